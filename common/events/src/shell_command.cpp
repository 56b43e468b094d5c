#include "events/shell_command.hpp"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace events
{

std::string doubleQuoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text)
    {
        if (c == '$' || c == '`' || c == '"' || c == '\\')
        {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::string shellWord(const std::string& text)
{
    constexpr std::string_view plain = "abcdefghijklmnopqrstuvwxyz"
                                       "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                       "0123456789_./:=,+@%-";
    if (!text.empty() && text.find_first_not_of(plain) == std::string::npos)
    {
        return text;
    }
    std::string out = "'";
    for (char c : text)
    {
        if (c == '\'')
        {
            out += "'\\''";
        }
        else
        {
            out += c;
        }
    }
    return out + "'";
}

int runCommand(const std::string& command, std::ostream& err)
{
    char buffer[commandBufferSize];
    std::snprintf(buffer, sizeof(buffer), "%s", command.c_str());
    int status = std::system(buffer);
    if (status != 0)
    {
        err << "Failed to exec. Return code: " << status << ", cmd: " << buffer
            << std::endl;
    }
    return status;
}

void runCommands(const std::vector<std::string>& commands, std::ostream& err)
{
    for (const auto& command : commands)
    {
        runCommand(command, err);
    }
}

} // namespace events
