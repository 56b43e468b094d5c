// GPIO lines, memory fault LEDs and platform facts through sysfs.
#include "libkn/gpio.h"

#include "libkn/misc.h"

#include "core/file_io.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace
{

constexpr const char* ledFolder = "/sys/devices/platform/leds/leds";
constexpr const char* infoFolder = "/var/run/obmcinfo";
constexpr const char* dmesgCapture = "/var/run/obmcinfo/i2c_dmesg";
constexpr int sku = 4;

// What "echo <text> >path" writes; 0 or -1. No shell is involved, so the
// caller's text cannot become a command.
int echoTo(const std::string& path, const std::string& text)
{
    std::string line = text + "\n";
    return kn::writeFileBytes(path.c_str(), O_TRUNC, line.data(), line.size()) <
                   0
               ? -1
               : 0;
}

std::string gpioFolder(int gpio)
{
    return std::string(KN_GPIO_SYSFS) + "/gpio" + std::to_string(gpio);
}

bool shellSucceeded(const std::string& command)
{
    int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The kernel's I2C messages, captured once: into a file of this process
// first, which becomes the capture only when the capture went through and
// found something, so that no reader sees half a capture and a failed one
// is tried again next time.
void captureI2cMessages()
{
    if (kn::pathExists(dmesgCapture))
    {
        return;
    }
    std::string partial =
        std::string(dmesgCapture) + "." + std::to_string(::getpid());
    if (shellSucceeded("dmesg  | grep i2c > " + partial))
    {
        std::rename(partial.c_str(), dmesgCapture);
    }
    ::unlink(partial.c_str());
}

// Field 2 of the line as `cut -f 2 -d <delimiter>` gives it: the text
// between the first and the second delimiter, the whole line when it holds
// no delimiter.
std::string_view cutField(std::string_view line, char delimiter)
{
    size_t first = line.find(delimiter);
    if (first == std::string_view::npos)
    {
        return line;
    }
    std::string_view rest = line.substr(first + 1);
    return rest.substr(0, rest.find(delimiter));
}

} // namespace

int set_gpio_direction(int gpio, const char* direction)
{
    if (gpio < 0 || direction == nullptr)
    {
        return -1;
    }
    if (!kn::pathExists(gpioFolder(gpio).c_str()))
    {
        enable_gpio(gpio);
    }
    return echoTo(gpioFolder(gpio) + "/direction", direction);
}

int write_gpio(int gpio, int value)
{
    if (gpio < 0)
    {
        return -1;
    }
    return echoTo(gpioFolder(gpio) + "/value", std::to_string(value));
}

int enable_gpio(int gpio)
{
    if (gpio < 0)
    {
        return -1;
    }
    return echoTo(std::string(KN_GPIO_SYSFS) + "/export", std::to_string(gpio));
}

int CmmFunMemFaultLed(uint8_t cpu, uint8_t dimm, uint8_t module, int value)
{
    std::string path = std::string(ledFolder) + "/cpu" + std::to_string(cpu) +
                       "_dimm" + std::to_string(dimm) + "_m" +
                       std::to_string(module) + "/brightness";
    echoTo(path, std::to_string(value));
    return 0;
}

int CmmFunGetI2CExtBus(uint8_t bus, uint8_t index)
{
    char path[256];
    std::snprintf(path, sizeof(path), "%s/i2c/i2c-%d-%d", infoFolder, bus,
                  index);
    if (kn::pathExists(path))
    {
        return read_file_value(path);
    }
    captureI2cMessages();
    // The index-th message line that names the bus (as a substring:
    // "i2c-1" is also found in "i2c-10"), cut down to the number of the bus
    // it announces ("... i2c bus <n>"). Everything stays in this process:
    // callers asking about one bus at the same time share no file. Nothing
    // between the open and the close may throw.
    const std::string name = "i2c-" + std::to_string(bus);
    FILE* capture = std::fopen(dmesgCapture, "re");
    if (capture == nullptr)
    {
        return -1;
    }
    int result = 0;
    unsigned seen = 0;
    char* line = nullptr;
    size_t size = 0;
    ssize_t length = 0;
    while (index != 0 && (length = ::getline(&line, &size, capture)) >= 0)
    {
        std::string_view text(line, static_cast<size_t>(length));
        if (!text.empty() && text.back() == '\n')
        {
            text.remove_suffix(1);
        }
        if (text.find(name) == std::string_view::npos || ++seen != index)
        {
            continue;
        }
        char number[32];
        kn::copyText(number, sizeof(number),
                     cutField(cutField(text, 's'), ' '));
        result = std::atoi(number);
        break;
    }
    std::free(line);
    std::fclose(capture);
    return result;
}

int get_sku(void)
{
    return sku;
}

int wait_sku_file(void)
{
    for (int check = 0; check < KN_SKU_WAIT_CHECKS; ++check)
    {
        if (kn::pathExists(KN_SKU_FILE))
        {
            return 0;
        }
        sleep(1);
    }
    return 0;
}
