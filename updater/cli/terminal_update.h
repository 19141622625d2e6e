// The firmware update on a terminal: the updater core's update sequence with events that draw
// one progress bar per flash phase (or print plain progress lines when the output is not a
// terminal), report on standard error, and ask for the serial number and for a confirmation
// on standard input. The probe is chosen by device index or serial number and found again
// after each restart by proof of its identity.
#pragma once

#include "library_binding.h"
#include "update_common.h"

namespace klov {

// Runs one update (or, with options.all, every listed probe at once) and returns the exit
// code that says how it ended.
int RunUpdate(mirovane::ArdellixApi& lib, const UpdateOptions& options, UpdateStreams io);

}  // namespace klov
