#include "events/snmp_trap_command.hpp"

#include "events/shell_command.hpp"

#include <utility>

namespace events
{

TrapBinding TrapBinding::text(const std::string& oid, const std::string& value)
{
    return {oid, "s" + value};
}

TrapBinding TrapBinding::integer(const std::string& oid, int64_t value)
{
    return {oid, "i" + std::to_string(value)};
}

SnmpTrapCommand::SnmpTrapCommand(std::string trapOid,
                                 std::vector<TrapBinding> bindings,
                                 bool quoted) :
    trapOid(std::move(trapOid)),
    bindings(std::move(bindings)), quoted(quoted)
{}

std::string SnmpTrapCommand::str() const
{
    auto word = [this](const std::string& text) {
        return quoted ? doubleQuoted(text) : shellWord(text);
    };
    std::string line = "busctl --timeout=2 call xyz.openbmc_project.Logging "
                       "/xyz/openbmc_project/logging"
                       " xyz.openbmc_project.Logging.Create Create ssa{ss} " +
                       word(trapOid) + " " + word(severity) + " " +
                       std::to_string(bindings.size());
    for (const auto& b : bindings)
    {
        line += " " + word(b.oid) + " " + word(b.typedValue);
    }
    return line;
}

} // namespace events
