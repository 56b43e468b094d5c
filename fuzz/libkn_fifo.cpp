// A message read from a FIFO whose writer sent the input bytes and went
// away.

#include <fcntl.h>
#include <libkn/mkfifo.h>
#include <unistd.h>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    // A pipe holds 64 KiB before a write blocks.
    if (size > 60000)
    {
        return 0;
    }
    int fds[2];
    if (pipe(fds) != 0)
    {
        std::abort();
    }
    if (size > 0 && write(fds[1], data, size) != static_cast<ssize_t>(size))
    {
        std::abort();
    }
    close(fds[1]);
    unsigned char buffer[KN_FIFO_BUFFER_SIZE];
    int length = 0;
    while (readMsg(fds[0], buffer, &length, 0) == 0)
    {}
    close(fds[0]);
    return 0;
}
