#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace testkit
{

// The file a command name stands for: a name with a '/' as it is, anything
// else the first executable file of that name on path.
inline std::string findProgram(const std::string& name, const std::string& path)
{
    if (name.find('/') != std::string::npos)
    {
        return name;
    }
    size_t start = 0;
    while (true)
    {
        size_t end = path.find(':', start);
        std::string entry = path.substr(start, end - start);
        std::string candidate = (entry.empty() ? "." : entry) + "/" + name;
        struct stat st
        {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
        {
            return candidate;
        }
        if (end == std::string::npos)
        {
            break;
        }
        start = end + 1;
    }
    throw std::system_error(ENOENT, std::generic_category(),
                            "\"" + name + "\" not found on PATH " + path);
}

} // namespace testkit
