#pragma once

#include <filesystem>
#include <string>

namespace testkit
{

// A private folder made with mkdtemp under $TMPDIR (or /tmp) and removed with
// everything in it when the object goes away.
class TempDir
{
  public:
    explicit TempDir(const std::string& prefix = "testkit");
    ~TempDir();

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    TempDir(TempDir&& other) noexcept;
    TempDir& operator=(TempDir&& other) noexcept;

    const std::filesystem::path& path() const
    {
        return dir;
    }

    // Path of an entry inside the folder (nothing is created).
    std::filesystem::path operator/(const std::string& name) const
    {
        return dir / name;
    }

  private:
    void remove() noexcept;

    std::filesystem::path dir;
};

} // namespace testkit
