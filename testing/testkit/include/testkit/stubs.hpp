#pragma once

#include "testkit/tempdir.hpp"

#include <string>
#include <vector>

namespace testkit
{

// A folder of recording stand-ins for outside commands. Put path() first on
// a child's PATH (Process::Options::pathPrepend): every call of a stub is
// recorded with its arguments and answered with the stub's exit status and
// output, both changeable while the child runs. Calls are numbered under a
// lock, so stubs called by several processes at once are all recorded.
class CommandStubs
{
  public:
    CommandStubs();

    // Creates (or resets) the stub `name`. Throws std::invalid_argument for
    // a name that is not a plain file name.
    void add(const std::string& name, int exitStatus = 0);
    void setStatus(const std::string& name, int exitStatus);
    // What the stub prints on stdout from now on.
    void setOutput(const std::string& name, const std::string& text);

    // argv[1..] of each call of the stub, in call order.
    std::vector<std::vector<std::string>> calls(const std::string& name) const;
    // Forgets every recorded call of every stub.
    void clear();

    std::string path() const;

  private:
    void checkName(const std::string& name) const;

    TempDir dir;
};

} // namespace testkit
