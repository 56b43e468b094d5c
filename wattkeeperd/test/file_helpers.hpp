#pragma once

#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace bmcmon::test
{

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in),
            std::istreambuf_iterator<char>()};
}

/** Whether the file holds exactly `expected` (binary, so not printed). */
inline ::testing::AssertionResult fileHolds(const std::string& path,
                                            const std::string& expected)
{
    std::string actual = readFile(path);
    if (actual == expected)
    {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << path << " holds " << actual.size() << " bytes, not the "
           << expected.size() << " expected";
}

inline void writeFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

} // namespace bmcmon::test
