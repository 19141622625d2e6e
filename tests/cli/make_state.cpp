// Writes a simulator state file holding one probe as an update interrupted after the erase
// leaves it: boot flag on the bootloader, application area blank. Usage: make_state PATH
#include <cstdio>

#include "klovsim/sim.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s STATE-FILE\n", argv[0]);
        return 2;
    }
    klovsim::Bus& bus = klovsim::Bus::instance();
    bus.reset();
    klovsim::ProbeConfig config;
    config.mode = klovsim::Mode::Bootloader;
    config.blankApplication = true;
    bus.addProbe(config);
    return bus.saveState(argv[1]) ? 0 : 1;
}
