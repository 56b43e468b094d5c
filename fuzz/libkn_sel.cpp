// A SEL record and its sensor's record rendered as the IPMI tool and the
// web show them: 16 bytes of record, then the sensor record.

#include <libkn/sel-parse.h>
#include <libkn/shm.h>

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 16)
    {
        return 0;
    }
    static std::vector<uint8_t> segment(KN_SHM_MAIN_SIZE);
    sensor_record sensor{};
    std::memcpy(&sensor, data + 16, std::min(size - 16, sizeof(sensor_record)));
    uint8_t number = data[11];
    if (number < KN_SHM_SENSOR_COUNT)
    {
        std::memcpy(segment.data() + KN_SHM_SENSOR_OFFSET +
                        KN_SHM_SENSOR_SIZE * number,
                    &sensor, sizeof(sensor));
    }
    char out[KN_SEL_TEXT_ROOM];
    out[0] = '\0';
    ipmi_parse_sel_entry(data, 0, segment.data(), out);
    out[0] = '\0';
    web_parse_sel_entry(data, 0, sensor, out);
    return 0;
}
