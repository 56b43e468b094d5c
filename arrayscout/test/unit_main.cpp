#include "testkit/main.hpp"

int main(int argc, char** argv)
{
    // The inventory files land in this run's private overlay of /var.
    return testkit::runTests(argc, argv, {.overlays = {"/var"}});
}
