// Tests that need neither fixed paths nor shared IPC objects.
#include "testkit/main.hpp"

int main(int argc, char** argv)
{
    return testkit::runTests(argc, argv, {}, /*privateBus=*/false);
}
