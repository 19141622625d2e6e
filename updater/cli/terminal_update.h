// The firmware update on a terminal: the updater core's update sequence, driven step by step
// with a host that draws one progress bar per flash phase (or prints plain progress lines
// when the output is not a terminal), reports on standard error, asks for the serial number
// and for a confirmation on standard input, and sleeps through the timer waits.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "library_binding.h"

namespace klov {

struct UpdateOptions {
    int device = 0;
    std::optional<std::string> serial;  // used instead of asking, when the probe can't tell
    bool yes = false;                   // no confirmation asked
};

struct UpdateStreams {
    std::ostream& out;  // progress
    std::ostream& err;  // messages and prompts
    std::istream& in;   // serial number and confirmation
    bool outIsTerminal;
    bool inIsTerminal;
};

// Runs one update and returns the exit code that says how it ended.
int RunUpdate(mirovane::ArdellixApi& lib, const UpdateOptions& options, UpdateStreams io);

}  // namespace klov
