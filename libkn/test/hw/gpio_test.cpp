// GPIO, LED and platform files in the sandbox's private /sys/class,
// /sys/devices, /run and /tmp.
#include "libkn/gpio.h"

#include "child.hpp"
#include "fake_i2c.hpp"
#include "files.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/tempdir.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using kntest::FakeI2c;
using kntest::readText;
using kntest::writeText;

const fs::path gpioRoot = KN_GPIO_SYSFS;
const fs::path infoFolder = "/run/obmcinfo";

class Platform : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        FakeI2c::world().reset();
        fs::remove_all(gpioRoot);
        fs::create_directories(gpioRoot);
        fs::remove_all(infoFolder);
        fs::create_directories(infoFolder);
    }
};

TEST_F(Platform, DirectionOfAnExportedGpioOnly)
{
    fs::create_directories(gpioRoot / "gpio5");
    EXPECT_EQ(set_gpio_direction(5, "out"), 0);
    EXPECT_EQ(readText(gpioRoot / "gpio5/direction"), "out\n");
    EXPECT_FALSE(fs::exists(gpioRoot / "export"));

    EXPECT_EQ(write_gpio(5, 1), 0);
    EXPECT_EQ(readText(gpioRoot / "gpio5/value"), "1\n");
    EXPECT_EQ(write_gpio(5, 0), 0);
    EXPECT_EQ(readText(gpioRoot / "gpio5/value"), "0\n");
}

TEST_F(Platform, AnUnexportedGpioIsExportedFirst)
{
    // Without a kernel nothing makes the folder appear: the direction
    // cannot be written.
    EXPECT_EQ(set_gpio_direction(12, "in"), -1);
    EXPECT_EQ(readText(gpioRoot / "export"), "12\n");
    EXPECT_EQ(write_gpio(12, 1), -1);
    EXPECT_EQ(enable_gpio(13), 0);
    EXPECT_EQ(readText(gpioRoot / "export"), "13\n");
    EXPECT_EQ(set_gpio_direction(-1, "in"), -1);
    EXPECT_EQ(set_gpio_direction(5, nullptr), -1);
}

// The direction text reaches the file as it is and is never run.
TEST_F(Platform, DirectionTextIsNotACommand)
{
    testkit::TempDir scratch{"libkn-gpio"};
    fs::path marker = scratch.path() / "ran";
    fs::create_directories(gpioRoot / "gpio6");
    std::string text = "out; touch " + marker.string();
    set_gpio_direction(6, text.c_str());
    std::string quoted = "$(touch " + marker.string() + ")";
    set_gpio_direction(6, quoted.c_str());
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(readText(gpioRoot / "gpio6/direction"), quoted + "\n");
}

TEST_F(Platform, MemoryFaultLed)
{
    fs::path led = "/sys/devices/platform/leds/leds/cpu1_dimm2_m3";
    fs::create_directories(led);
    EXPECT_EQ(CmmFunMemFaultLed(1, 2, 3, 255), 0);
    EXPECT_EQ(readText(led / "brightness"), "255\n");
    EXPECT_EQ(CmmFunMemFaultLed(9, 9, 9, 1), 0); // no such LED
}

std::vector<fs::path> tmpLookupFiles()
{
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator("/tmp"))
    {
        if (entry.path().filename().string().starts_with("i2c-"))
        {
            found.push_back(entry.path());
        }
    }
    return found;
}

TEST_F(Platform, ExtensionBusFromTheCacheOrTheKernelMessages)
{
    writeText(infoFolder / "i2c_dmesg",
              "[    1.10] i2c i2c-13: Added multiplexed i2c bus 16\n"
              "[    1.11] i2c i2c-2: Added multiplexed i2c bus 18\n"
              "[    1.12] i2c i2c-1: Added multiplexed i2c bus 19\n"
              "[    1.13] i2c i2c-13: Added multiplexed i2c bus 17\n"
              "[    1.14] i2c-13 no delimiter here\n");
    EXPECT_EQ(CmmFunGetI2CExtBus(13, 1), 16);
    EXPECT_EQ(CmmFunGetI2CExtBus(13, 2), 17);
    EXPECT_EQ(CmmFunGetI2CExtBus(2, 1), 18);
    // "i2c-1" is found inside "i2c-13" as well.
    EXPECT_EQ(CmmFunGetI2CExtBus(1, 1), 16);
    EXPECT_EQ(CmmFunGetI2CExtBus(1, 2), 19);
    EXPECT_EQ(CmmFunGetI2CExtBus(1, 3), 17);
    // A line without the cut's delimiter passes whole: no number in it.
    EXPECT_EQ(CmmFunGetI2CExtBus(13, 3), 0);
    EXPECT_EQ(CmmFunGetI2CExtBus(13, 9), 0); // not announced
    EXPECT_EQ(CmmFunGetI2CExtBus(13, 0), 0);

    // The cache comes first.
    writeText(infoFolder / "i2c/i2c-13-1", "21\n");
    EXPECT_EQ(CmmFunGetI2CExtBus(13, 1), 21);
    EXPECT_TRUE(tmpLookupFiles().empty());
}

// Callers asking about one bus at the same moment, each with its own
// index, all get their own answer.
TEST_F(Platform, ConcurrentLookupsOnOneBus)
{
    std::string capture;
    for (int i = 1; i <= 4; ++i)
    {
        capture += "[    1.0" + std::to_string(i) +
                   "] i2c i2c-5: Added multiplexed i2c bus " +
                   std::to_string(30 + i) + "\n";
    }
    writeText(infoFolder / "i2c_dmesg", capture);
    kntest::Gate gate;
    std::vector<pid_t> children;
    for (int index = 1; index <= 4; ++index)
    {
        children.push_back(kntest::forkChild([&gate, index] {
            gate.wait();
            int wrong = 0;
            for (int call = 0; call < 40; ++call)
            {
                wrong += CmmFunGetI2CExtBus(5, static_cast<uint8_t>(index)) !=
                         30 + index;
            }
            return wrong;
        }));
    }
    gate.open();
    for (pid_t child : children)
    {
        EXPECT_EQ(kntest::waitChild(child), 0);
    }
    EXPECT_TRUE(tmpLookupFiles().empty());
}

// A capture of the kernel messages that finds nothing is not kept, so the
// next call looks again.
TEST_F(Platform, OnlyAWholeCaptureIsKept)
{
    testkit::TempDir tools{"libkn-dmesg"};
    fs::path dmesg = tools.path() / "dmesg";
    fs::path lines = tools.path() / "lines";
    std::ofstream(dmesg) << "#!/bin/sh\ncat " << lines.string() << "\n";
    fs::permissions(dmesg, fs::perms::owner_all);
    std::ofstream(lines) << "[    0.50] usb 1-1: new device\n";

    std::string oldPath =
        std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
    ::setenv("PATH", (tools.path().string() + ":" + oldPath).c_str(), 1);
    EXPECT_EQ(CmmFunGetI2CExtBus(3, 1), -1); // no capture
    EXPECT_FALSE(fs::exists(infoFolder / "i2c_dmesg"));

    std::ofstream(lines) << "[    2.00] i2c i2c-3: Added multiplexed i2c bus "
                            "21\n";
    EXPECT_EQ(CmmFunGetI2CExtBus(3, 1), 21);
    ::setenv("PATH", oldPath.c_str(), 1);
    EXPECT_EQ(readText(infoFolder / "i2c_dmesg"),
              "[    2.00] i2c i2c-3: Added multiplexed i2c bus 21\n");
    size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(infoFolder))
    {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

TEST_F(Platform, WaitForTheSkuFile)
{
    EXPECT_EQ(get_sku(), 4);
    // The file appears during the third pause.
    FakeI2c::world().onSleep([](size_t count) {
        if (count == 3)
        {
            std::ofstream(KN_SKU_FILE) << "1";
        }
    });
    EXPECT_EQ(wait_sku_file(), 0);
    EXPECT_EQ(FakeI2c::world().pauses(), std::vector<uint64_t>(3, 1000000));

    // Already there: no pause at all; never there: every check is made.
    FakeI2c::world().reset();
    EXPECT_EQ(wait_sku_file(), 0);
    EXPECT_TRUE(FakeI2c::world().pauses().empty());
    fs::remove(KN_SKU_FILE);
    EXPECT_EQ(wait_sku_file(), 0);
    EXPECT_EQ(FakeI2c::world().pauses().size(),
              static_cast<size_t>(KN_SKU_WAIT_CHECKS));
}

} // namespace
