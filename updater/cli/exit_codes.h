// How klov ends, in the style of sysexits.h, so that scripts can tell the cases apart.
#pragma once

namespace klov {

enum ExitCode : int {
    kExitOk = 0,
    kExitLibrary = 1,    // the probe library could not be loaded (reported by the binding)
    kExitUsage = 64,     // unknown command or option, missing argument, --yes needed
    kExitRefused = 65,   // a value out of range, a serial number that is not listed
    kExitNoProbe = 69,   // no probe answers (or it answers only in bootloader mode)
    kExitInternal = 70,  // the firmware carried by klov could not be prepared
    kExitExchange = 74,  // an exchange with the probe failed, or a verification did
};

// The table shown at the end of every --help.
inline constexpr const char* kExitCodeHelp =
    "Exit codes:\n"
    "  0   success\n"
    "  1   the probe library (libArdellix.so.1) could not be loaded\n"
    "  64  usage error: unknown command or option, missing argument, or an update\n"
    "      without a terminal to confirm on and without --yes\n"
    "  65  refused input: a value out of range, a serial number that is not listed\n"
    "      (or not the probe's), or an update that was not confirmed\n"
    "  69  no probe answers (check the cable and the udev rule that gives you access)\n"
    "  70  internal error: the firmware carried by klov could not be prepared\n"
    "  74  an exchange with the probe failed, or the flash verification failed\n";

}  // namespace klov
