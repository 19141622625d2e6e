// What klov's two ways of updating (one probe, or all of them at once) share: options and
// streams, the firmware decoded once, the identity read after an update, exit codes, and how
// a flash phase's progress is drawn.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

#include "firmware_image.h"
#include "library_binding.h"
#include "update_events.h"
#include "update_sequence.h"

namespace klov {

struct UpdateOptions {
    std::optional<int> device;          // -d N
    std::optional<std::string> serial;  // --serial S
    bool yes = false;                   // no confirmation asked
    bool all = false;                   // every listed probe, in parallel
    // Waits between looks for a restarting probe; a plain sleep when empty. Tests put the
    // simulator's virtual clock here.
    std::function<void(int milliseconds)> sleep;
};

struct UpdateStreams {
    std::ostream& out;  // progress
    std::ostream& err;  // messages and prompts
    std::istream& in;   // serial number and confirmation
    bool outIsTerminal;
    bool inIsTerminal;
    bool errIsTerminal = false;
};

// Waits as the options say: their sleep when given, a plain sleep otherwise.
void WaitMs(const UpdateOptions& options, int milliseconds);

// A progress value of the update sequence as a whole percent from 0 to 100.
int PercentOf(double value);

// `s` without blanks at either end.
std::string Trim(std::string s);

// Asks "Continue? [y/N] " on `err` after the lines that say what is about to happen, and reads
// the answer line from `in`: true for "y" or "yes" in any case, blanks around it ignored. At
// the end of input it ends the prompt's line.
bool ReadYes(std::istream& in, std::ostream& err);

// The firmware klov carries, decoded into `image` (once per run: the decoder is not made to
// run on several threads). False after saying why on `err`.
bool DecodeFirmware(mirovane::FirmwareImage& image, std::ostream& err);

// A loader for the update sequence that hands it a copy of the decoded image.
mirovane::FirmwareLoader CopyOf(const mirovane::FirmwareImage& decoded);

// The probe's identity as read after an update: "kLOV-VR, S/N 04124008, firmware 2.1.0,
// production date 2012-12-28", "?" for what could not be read.
struct IdentityRead {
    std::string summary;
    std::optional<std::string> version;
};
IdentityRead ReadIdentity(mirovane::ArdellixApi& lib, ScaHandle handle);

// The exit code that says how a run ended; `connected` tells whether its link is still open.
int ExitCodeOf(const mirovane::UpdateResult& result, bool connected);

// The worse of two exit codes: success, refused, no probe, internal error, failed exchange.
int Worst(int a, int b);

// "erase  [####....]  40%" for a terminal.
std::string ProgressBar(const char* phase, int percent);

// The message of a box as lines of klov's messages.
std::string AsLines(const std::string& message, const std::string& prefix);

std::string SerialText(std::int32_t serial);

}  // namespace klov
