#include "testkit/tempdir.hpp"

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace testkit
{

TempDir::TempDir(const std::string& prefix)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = (base != nullptr && *base != '\0') ? base : "/tmp";
    pattern += "/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
    {
        throw std::system_error(errno, std::generic_category(),
                                "mkdtemp " + pattern);
    }
    dir = pattern;
}

TempDir::~TempDir()
{
    remove();
}

TempDir::TempDir(TempDir&& other) noexcept :
    dir(std::exchange(other.dir, std::filesystem::path()))
{}

TempDir& TempDir::operator=(TempDir&& other) noexcept
{
    if (this != &other)
    {
        remove();
        dir = std::exchange(other.dir, std::filesystem::path());
    }
    return *this;
}

void TempDir::remove() noexcept
{
    if (!dir.empty())
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        dir.clear();
    }
}

} // namespace testkit
