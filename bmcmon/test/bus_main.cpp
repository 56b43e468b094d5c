#include "testkit/main.hpp"

int main(int argc, char** argv)
{
    // The journal is captured: the helper's failures are checked there.
    testkit::SandboxOptions options;
    options.journal = true;
    return testkit::runTests(argc, argv, options);
}
