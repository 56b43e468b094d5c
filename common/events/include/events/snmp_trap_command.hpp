#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace events
{

/** One variable binding of a trap: its identifier and its typed value, the
 *  type letter followed by the value ("s" and a text, "i" and a decimal
 *  integer). */
struct TrapBinding
{
    std::string oid;
    std::string typedValue;

    static TrapBinding text(const std::string& oid, const std::string& value);
    static TrapBinding integer(const std::string& oid, int64_t value);
};

/** The busctl call of the logging service's Create method that records a
 *  trap, given up after 2 s so that a hung logging service holds up its
 *  caller no longer:
 *
 *    busctl --timeout=2 call xyz.openbmc_project.Logging
 *        /xyz/openbmc_project/logging
 *        xyz.openbmc_project.Logging.Create Create ssa{ss} <trap oid>
 *        xyz.openbmc_project.Logging.Entry.Level.Error <n>
 *        <oid 1> <typed value 1> ... <oid n> <typed value n>
 *
 *  With `quoted`, the trap identifier, the severity and every binding word
 *  are enclosed in double quotes (n stays bare); without, they are bare
 *  words. busctl receives the same arguments either way. */
class SnmpTrapCommand
{
  public:
    static constexpr const char* severity =
        "xyz.openbmc_project.Logging.Entry.Level.Error";

    SnmpTrapCommand(std::string trapOid, std::vector<TrapBinding> bindings,
                    bool quoted);

    std::string str() const;

  private:
    std::string trapOid;
    std::vector<TrapBinding> bindings;
    bool quoted;
};

} // namespace events
