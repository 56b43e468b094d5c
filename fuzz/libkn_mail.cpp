// The mail client's file read into the alert settings, the settings
// written into a second file and read back from it.

#include "fuzz_util.hpp"

#include <libkn/mail.h>

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string path = fuzz::workDir() + "/nail.rc";
    const std::string copy = fuzz::workDir() + "/nail.rc.copy";
    fuzz::writeFile(path, data, size);
    std::remove(copy.c_str());
    mail_config config{};
    if (read_email_config(path.c_str(), &config) == 0)
    {
        write_email_config(copy.c_str(), &config);
        mail_config back{};
        read_email_config(copy.c_str(), &back);
    }
    return 0;
}
