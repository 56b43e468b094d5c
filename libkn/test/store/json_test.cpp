// JSON files and typed values.
#include "libkn/json.h"

#include "files.hpp"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using kntest::writeText;

using Tree = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

Tree parse(const char* text)
{
    return Tree(cJSON_Parse(text), cJSON_Delete);
}

TEST(JsonValues, NumbersStringsAndBooleansByKind)
{
    Tree tree = parse(R"({"str": "12.7", "neg": -3.9, "on": true,
                          "off": false, "big": 300, "huge": 1e30,
                          "none": null, "list": [1]})");
    ASSERT_TRUE(tree);
    const cJSON* root = tree.get();

    int32_t i32 = 0;
    EXPECT_EQ(cjson_value_get(root, "str", KN_JSON_INT32, &i32, sizeof(i32)),
              0);
    EXPECT_EQ(i32, 12);
    EXPECT_EQ(cjson_value_get(root, "neg", KN_JSON_INT32, &i32, sizeof(i32)),
              0);
    EXPECT_EQ(i32, -3);
    EXPECT_EQ(cjson_value_get(root, "ON", KN_JSON_INT32, &i32, sizeof(i32)), 0);
    EXPECT_EQ(i32, 1);

    uint8_t u8 = 0;
    EXPECT_EQ(cjson_value_get(root, "big", KN_JSON_UINT8, &u8, 1), 0);
    EXPECT_EQ(u8, 300 % 256);
    int16_t i16 = 0;
    EXPECT_EQ(cjson_value_get(root, "neg", KN_JSON_INT16, &i16, 2), 0);
    EXPECT_EQ(i16, -3);
    int64_t i64 = 0;
    EXPECT_EQ(cjson_value_get(root, "big", KN_JSON_INT64, &i64, 8), 0);
    EXPECT_EQ(i64, 300);
    EXPECT_EQ(cjson_value_get(root, "huge", KN_JSON_INT64, &i64, 8), -1);
    float f = 0;
    EXPECT_EQ(cjson_value_get(root, "str", KN_JSON_FLOAT, &f, sizeof(f)), 0);
    EXPECT_FLOAT_EQ(f, 12.7f);
    double d = 0;
    EXPECT_EQ(cjson_value_get(root, "off", KN_JSON_DOUBLE, &d, sizeof(d)), 0);
    EXPECT_EQ(d, 0.0);

    char text[16];
    EXPECT_EQ(cjson_value_get(root, "str", KN_JSON_TEXT, text, sizeof(text)),
              0);
    EXPECT_STREQ(text, "12.7");
    EXPECT_EQ(cjson_value_get(root, "big", KN_JSON_TEXT, text, sizeof(text)),
              0);
    EXPECT_STREQ(text, "300.000000");
    EXPECT_EQ(cjson_value_get(root, "big", KN_JSON_TEXT, text, 4), 0);
    EXPECT_STREQ(text, "300");

    EXPECT_EQ(cjson_value_get(root, "none", KN_JSON_INT32, &i32, 4), -1);
    EXPECT_EQ(cjson_value_get(root, "list", KN_JSON_INT32, &i32, 4), -1);
    EXPECT_EQ(cjson_value_get(root, "absent", KN_JSON_INT32, &i32, 4), -1);
    EXPECT_EQ(cjson_value_get(root, "big", 7, &i32, 4), -1);
    EXPECT_EQ(cjson_value_get(root, "big", -1, &i32, 4), -1);
    EXPECT_EQ(cjson_data_get(nullptr, KN_JSON_INT32, &i32, 4), -1);
    EXPECT_EQ(cjson_data_get(root, KN_JSON_INT32, nullptr, 4), -1);
}

// An output smaller than the kind's value is refused, not overrun.
TEST(JsonValues, ShortOutputsAreRefused)
{
    Tree tree = parse(R"({"v": 1234567})");
    ASSERT_TRUE(tree);
    unsigned char bytes[9];
    std::memset(bytes, 0xEE, sizeof(bytes));
    EXPECT_EQ(cjson_value_get(tree.get(), "v", KN_JSON_INT64, bytes, 4), -1);
    EXPECT_EQ(cjson_value_get(tree.get(), "v", KN_JSON_INT32, bytes, 2), -1);
    EXPECT_EQ(cjson_value_get(tree.get(), "v", KN_JSON_DOUBLE, bytes, 0), -1);
    for (unsigned char b : bytes)
    {
        EXPECT_EQ(b, 0xEE);
    }
}

class JsonFiles : public kntest::FolderTest
{
  protected:
    JsonFiles() : FolderTest("libkn-json") {}
};

TEST_F(JsonFiles, ParseWholeFiles)
{
    EXPECT_EQ(prepare_parse_json(path("missing").c_str()), nullptr);
    writeText(path("empty"), "");
    EXPECT_EQ(prepare_parse_json(path("empty").c_str()), nullptr);
    writeText(path("broken"), "{\"a\": ");
    EXPECT_EQ(prepare_parse_json(path("broken").c_str()), nullptr);
    EXPECT_EQ(prepare_parse_json(nullptr), nullptr);

    writeText(path("good"), "{\"name\": \"bmc\", \"list\": [1, 2, 3]}");
    Tree tree(prepare_parse_json(path("good").c_str()), cJSON_Delete);
    ASSERT_TRUE(tree);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(tree.get(), "list")), 3);
}

TEST_F(JsonFiles, WriteReplacesTheFileWhole)
{
    std::string file = path("settings.json");
    writeText(file, "old content");
    Tree tree = parse(R"({"interval": 5, "name": "fan"})");
    ASSERT_TRUE(tree);
    EXPECT_EQ(cjson_file_write(tree.get(), file.c_str()), 0);

    Tree back(prepare_parse_json(file.c_str()), cJSON_Delete);
    ASSERT_TRUE(back);
    EXPECT_TRUE(cJSON_Compare(tree.get(), back.get(), true));
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir.path()))
    {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1u);

    EXPECT_EQ(cjson_file_write(tree.get(), path("no/such/dir.json").c_str()),
              -1);
    EXPECT_EQ(cjson_file_write(nullptr, file.c_str()), -1);
}

} // namespace
