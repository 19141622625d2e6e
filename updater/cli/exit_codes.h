// How klov ends, in the style of sysexits.h, so that scripts can tell the cases apart.
#pragma once

#include "ardellix_exports.h"

namespace klov {

enum ExitCode : int {
    kExitOk = 0,
    kExitLibrary = 1,    // the probe library could not be loaded (reported by the binding)
    kExitUsage = 64,     // unknown command or option, missing argument, --yes or a choice needed
    kExitRefused = 65,   // a value out of range, a serial number not listed or ambiguous
    kExitNoProbe = 69,   // no probe answers (or it answers only in bootloader mode)
    kExitInternal = 70,  // the firmware carried by klov could not be prepared
    kExitExchange = 74,  // an exchange with the probe failed, or a verification did
};

// The table shown at the end of every --help.
inline constexpr const char* kExitCodeHelp =
    "Exit codes:\n"
    "  0   success\n"
    "  1   the probe library (" ARDELLIX_LIBRARY_FILE
    ") could not be loaded\n"
    "  64  usage error: unknown command or option, missing argument, an update\n"
    "      without a terminal to confirm on and without --yes, or without -d,\n"
    "      --serial or --all while several probes are attached\n"
    "  65  refused input: a value out of range, a serial number that is not listed\n"
    "      (or not the probe's, or carried by two probes), or an update that was\n"
    "      not confirmed\n"
    "  69  no probe answers (check the cable and the udev rule that gives you access)\n"
    "  70  internal error: the firmware carried by klov could not be prepared\n"
    "  74  an exchange with the probe failed, or the flash verification failed\n"
    "update --all ends with the worst code of all probes (0, 65, 69, 70, 74).\n";

}  // namespace klov
