#include "testkit/main.hpp"

int main(int argc, char** argv)
{
    return testkit::runTests(argc, argv, {});
}
