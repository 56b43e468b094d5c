#pragma once

// For the targets on the fake I2C bus of libkn's tests. The fake answers
// every sleep() and usleep() of the process at once; libFuzzer's thread
// that watches the memory in use sleeps between looks and would spin on
// the fake's lock instead. The targets run without that thread (leaks are
// still found).

#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static std::vector<char*> args;
    static char noMemoryWatch[] = "-rss_limit_mb=0";
    args.assign(*argv, *argv + *argc);
    args.push_back(noMemoryWatch);
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size()) - 1;
    *argv = args.data();
    return 0;
}
