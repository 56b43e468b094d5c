#include "testkit/main.hpp"

int main(int argc, char** argv)
{
    // The marker folder, the power-cap flag file, the custom table and the
    // full-speed script live at fixed paths: each gets a private overlay.
    return testkit::runTests(argc, argv,
                             {.overlays = {"/var", "/usr/share", "/usr/bin"},
                              .mkdirs = {"/usr/share/breezekeeper"}});
}
