#pragma once

#include "testkit/sandbox.hpp"

namespace testkit
{

// The whole main of a test binary: enters the sandbox (continuing without it
// when refused, see sandboxRefusal()), initialises gtest and gmock, starts a
// private system bus when asked (see bus()), runs every test and returns
// gtest's result.
int runTests(int argc, char** argv, const SandboxOptions& options,
             bool privateBus = true);

} // namespace testkit
