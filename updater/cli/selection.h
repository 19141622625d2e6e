// Which probe a command means: by device index (-d), by serial number (--serial) in either
// mode, or both, which must then agree. A serial number is matched against what a probe in
// application mode reports and, in bootloader mode, against the identity slot in its flash.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "bus_directory.h"
#include "library_binding.h"
#include "serial_entry.h"

namespace klov {

struct ProbeChoice {
    std::optional<int> device;          // -d N
    std::optional<std::string> serial;  // --serial S
};

// One line about a device for messages: where it is, its mode and whom it says it is.
std::string Describe(const mirovane::DeviceFacts& device);

// The serial number a device is known by: reported in application mode, proven from its
// flash in bootloader mode; nothing when it cannot be told.
std::optional<std::string> KnownSerial(const mirovane::DeviceFacts& device);

// The probe for a command that talks to a running application, opened in application mode,
// and the device index it was found at. When there is none, says why on `err` (with the way
// out) and returns the exit code; the handle is then 0.
int SelectApplication(mirovane::ArdellixApi& lib, const ProbeChoice& choice, std::ostream& err,
                      ScaHandle& handle, int& index);

// The probe an update means, taken out of `scan` (its handle moves into `target`).
struct UpdateTarget {
    mirovane::DeviceFacts device;
    // The serial number to install: reported, proven from flash, or named with --serial for a
    // probe in bootloader mode whose flash holds no identity. Nothing: ask for it.
    std::optional<std::string> serial;
    bool named = false;  // the serial number is the user's word, not the probe's
    // The serial numbers the other attached probes are known by: a number asked for must be
    // none of these, or two probes would carry it.
    std::vector<std::string> othersCarry;
};

// Chooses the probe to update among the devices of a scan. Refuses, before anything is
// written, every choice that could reach another probe than the one meant: a serial number
// that two probes carry, a probe in bootloader mode that cannot prove who it is while another
// one is in bootloader mode too, a flash identity that is not listed. Returns the exit code
// after saying why on `err`.
int SelectForUpdate(std::vector<mirovane::DeviceFacts>& scan, const ProbeChoice& choice,
                    std::ostream& err, UpdateTarget& target);

}  // namespace klov
