// fru.ini read into the FRU description, one field changed by its row id
// and the areas encoded; and a board time text on its own. The input is
// the row id byte, the value and the time text (each ended by a NUL
// byte), then the file.

#include "fuzz_util.hpp"

#include <libkn/fru.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    // The file is read from the current folder; the tool's lines go to
    // standard output.
    static const bool ready = [] {
        if (::chdir(fuzz::workDir().c_str()) != 0 ||
            std::freopen("/dev/null", "w", stdout) == nullptr)
        {
            std::abort();
        }
        return true;
    }();
    (void)ready;
    fuzz::Reader in(data, size);
    int row = in.byte() % (KN_FRU_PARAMS + 3);
    std::string value = in.part();
    std::string time = in.part();
    std::string file = in.take(size);
    fuzz::writeFile(KN_FRU_INI_PATH,
                    reinterpret_cast<const uint8_t*>(file.data()), file.size());

    get_time(time.data());
    fru_init();
    if (fru_read_ini() == 0)
    {
        modify_section(value.c_str(), row);
        if (get_fru_date() == 0)
        {
            parse_bin_date(bmc_fru_date, static_cast<int>(bmc_fru_len));
        }
    }
    return 0;
}
