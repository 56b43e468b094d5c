// The key-value, ini and JSON readers of the library on a file of the
// input bytes. The first line of the input names the key (and the ini
// section before a '/'); the rest is the file.

#include "fuzz_util.hpp"

#include <libkn/conf.h>
#include <libkn/json.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t eol = input.find('\n');
    std::string head = input.substr(0, eol);
    std::string body = eol == std::string::npos ? "" : input.substr(eol + 1);
    std::size_t slash = head.find('/');
    std::string section =
        slash == std::string::npos ? "" : head.substr(0, slash);
    std::string key =
        slash == std::string::npos ? head : head.substr(slash + 1);

    const std::string path = fuzz::workDir() + "/file";
    fuzz::writeFile(path, reinterpret_cast<const uint8_t*>(body.data()),
                    body.size());

    char value[KN_CONF_VALUE_SIZE];
    read_conf_value(path.c_str(), key.c_str(), value);
    char small[8];
    read_conf_value_safe(path.c_str(), key.c_str(), small, sizeof(small), ':');
    GetIniKeyString(section.c_str(), key.c_str(), path.c_str());
    GetIniKeyInt(section.c_str(), key.c_str(), path.c_str());

    if (cJSON* json = prepare_parse_json(path.c_str()))
    {
        int64_t number = 0;
        cjson_value_get(json, key.c_str(), KN_JSON_INT64, &number,
                        sizeof(number));
        double real = 0;
        cjson_value_get(json, key.c_str(), KN_JSON_DOUBLE, &real, sizeof(real));
        char text[32];
        cjson_value_get(json, key.c_str(), KN_JSON_TEXT, text, sizeof(text));
        cJSON_Delete(json);
    }
    return 0;
}
