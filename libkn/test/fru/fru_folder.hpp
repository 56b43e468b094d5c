// A private working folder for the FRU calls, which read and write fru.ini
// and the image files in the current directory, with the clock's zone at
// UTC and a fresh model.
#pragma once

#include "libkn/fru.h"

#include "files.hpp"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kntest
{

class FruFolder : public FolderTest
{
  protected:
    FruFolder() : FolderTest("fru") {}

    void SetUp() override
    {
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        if (const char* zone = std::getenv("TZ"))
        {
            savedZone = zone;
        }
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        fru_init();
    }

    void TearDown() override
    {
        std::filesystem::current_path(previous);
        if (savedZone)
        {
            ::setenv("TZ", savedZone->c_str(), 1);
        }
        else
        {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

    // The default fru.ini encoded: the image and its length.
    static std::vector<uint8_t> defaultImage()
    {
        fru_init();
        EXPECT_EQ(
            config_default_ini(default_ini, KN_FRU_INI_LINES, KN_FRU_INI_PATH),
            0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(fru_read_ini(), 0);
        std::fflush(stdout);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(get_fru_date(), 0);
        return std::vector<uint8_t>(bmc_fru_date, bmc_fru_date + bmc_fru_len);
    }

    // The characters of a text field; "absent" below 0xC0.
    static std::string text(const fru_text& field)
    {
        return text(field.type_length, field.data);
    }

    static std::string text(uint8_t typeLength, const char* data)
    {
        if (typeLength < KN_FRU_TYPE_ASCII)
        {
            return "absent";
        }
        return std::string(data, typeLength - KN_FRU_TYPE_ASCII);
    }

  private:
    std::filesystem::path previous;
    std::optional<std::string> savedZone;
};

} // namespace kntest
