#include "sim_config.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace storesim
{

bool SimConfig::refresh()
{
    const char* name = std::getenv(configVariable);
    if (name == nullptr || *name == '\0')
    {
        return false;
    }
    struct stat st
    {};
    if (::stat(name, &st) != 0)
    {
        return false;
    }
    int64_t mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                    st.st_mtim.tv_nsec;
    if (path == name && mtime == mtimeNs && st.st_size == size &&
        st.st_ino == inode)
    {
        return false;
    }
    std::ifstream in(name);
    std::stringstream text;
    text << in.rdbuf();
    auto parsed = nlohmann::json::parse(text.str(), nullptr, false, true);
    if (parsed.is_discarded() || !parsed.is_object())
    {
        std::fprintf(stderr, "storesim: %s is not a JSON object\n", name);
        return false;
    }
    description = std::move(parsed);
    path = name;
    mtimeNs = mtime;
    size = st.st_size;
    inode = st.st_ino;
    return true;
}

} // namespace storesim
