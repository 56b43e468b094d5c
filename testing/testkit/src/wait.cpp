#include "testkit/wait.hpp"

#include <algorithm>
#include <thread>

namespace testkit
{

bool waitUntil(const std::function<bool()>& cond,
               std::chrono::milliseconds deadline)
{
    using namespace std::chrono;
    const auto end = steady_clock::now() + deadline;
    auto pause = microseconds(200);
    while (!cond())
    {
        if (steady_clock::now() >= end)
        {
            return cond();
        }
        std::this_thread::sleep_for(pause);
        pause = std::min<microseconds>(pause * 2, milliseconds(20));
    }
    return true;
}

} // namespace testkit
