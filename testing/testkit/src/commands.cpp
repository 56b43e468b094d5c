#include "testkit/commands.hpp"

#include "bus_guard.hpp"
#include "testkit/process.hpp"

namespace testkit
{

CommandResult run(const std::vector<std::string>& argv,
                  std::chrono::milliseconds deadline)
{
    Process process(Process::Options{.argv = argv});
    std::optional<int> status = process.waitExit(deadline);
    if (!status)
    {
        process.terminate();
    }
    return CommandResult{.status = status.value_or(-1),
                         .out = process.out(),
                         .err = process.err()};
}

CommandResult busctl(const std::vector<std::string>& args)
{
    requireBusAddress("busctl");
    std::vector<std::string> argv{"/usr/bin/busctl", "--system"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

} // namespace testkit
