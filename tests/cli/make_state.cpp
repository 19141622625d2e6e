// Writes a simulator state file. With no probe given, it holds one probe as an update
// interrupted after the erase leaves it: boot flag on the bootloader, application area blank.
// Otherwise one probe per argument, in bus order:
//   app:S     running its application, serial number S
//   boot:S    in bootloader mode, the identity block of S intact in its flash
//   erased:S  in bootloader mode with its application area erased (S is only on its label)
// Usage: make_state PATH [PROBE...]
#include <cstdio>
#include <string>

#include "klovsim/sim.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s STATE-FILE [app:S|boot:S|erased:S ...]\n", argv[0]);
        return 2;
    }
    klovsim::Bus& bus = klovsim::Bus::instance();
    bus.reset();
    if (argc == 2) {
        klovsim::ProbeConfig config;
        config.mode = klovsim::Mode::Bootloader;
        config.blankApplication = true;
        bus.addProbe(config);
    }
    for (int i = 2; i < argc; ++i) {
        const std::string entry = argv[i];
        const std::size_t colon = entry.find(':');
        const std::string kind = entry.substr(0, colon);
        klovsim::ProbeConfig config;
        config.serial = colon == std::string::npos ? "" : entry.substr(colon + 1);
        if (config.serial.size() != 8 || (kind != "app" && kind != "boot" && kind != "erased")) {
            std::fprintf(stderr, "make_state: bad probe \"%s\"\n", argv[i]);
            return 2;
        }
        config.mode = kind == "app" ? klovsim::Mode::Application : klovsim::Mode::Bootloader;
        config.blankApplication = kind == "erased";
        bus.addProbe(config);
    }
    return bus.saveState(argv[1]) ? 0 : 1;
}
