// Writes journal entries through the real sd_journal_send, for the test
// kit's journal capture tests.
#include <systemd/sd-journal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const long count = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 0;
    int r = -1;
    if (mode == "plain")
    {
        r = sd_journal_send("MESSAGE=hello %s", "world", "PRIORITY=6",
                            "MULTI=line one\nline two",
                            "EMPTY=", "WITH_EQUALS=a=b", nullptr);
    }
    else if (mode == "large" && count > 0)
    {
        std::string text(static_cast<size_t>(count), 'x');
        text.back() = 'y';
        r = sd_journal_send("MESSAGE=%s", text.c_str(), "TAG=large", nullptr);
    }
    else if (mode == "many" && count > 0)
    {
        for (long i = 0; i < count; ++i)
        {
            r = sd_journal_send("MESSAGE=entry %ld", i, "TAG=many", nullptr);
            if (r < 0)
            {
                break;
            }
        }
    }
    else
    {
        std::fprintf(stderr, "usage: %s plain|large N|many N\n", argv[0]);
        return 2;
    }
    if (r < 0)
    {
        std::fprintf(stderr, "sd_journal_send: %s\n", std::strerror(-r));
        return 1;
    }
    return 0;
}
