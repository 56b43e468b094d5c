#include "testkit/main.hpp"

int main(int argc, char** argv)
{
    // The daemon's fixed paths get private overlays; its journal entries
    // are captured.
    return testkit::runTests(argc, argv,
                             {.overlays = {"/var", "/usr/share", "/usr/bin"},
                              .mkdirs = {"/usr/share/breezekeeper"},
                              .journal = true});
}
