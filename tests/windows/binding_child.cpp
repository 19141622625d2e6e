// A caller of the updater's library binding, for the tests of a library or export that is
// missing: binding_child <library file> opens probe 0 and closes what it opened, binding
// each export at its first call, and says so on standard output as it goes.
#include <cstdio>

#include "library_binding.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: binding_child <library file>\n");
        return 2;
    }
    mirovane::ArdellixLibrary library(argv[1]);
    const ScaHandle handle = library.OpenSCA(0);
    std::printf("OpenSCA(0) returned %d\n", static_cast<int>(handle));
    std::fflush(stdout);
    const int closed = library.CloseSCA(handle);
    std::printf("CloseSCA returned %d\n", closed);
    return 0;
}
