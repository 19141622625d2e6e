// The connection to the one probe an update talks to. It owns the connection handle: it opens
// the probe at the start, closes it before a restart, reaches it again afterwards and keeps
// the status text that describes it. The window's link trusts the device index; the command
// line's link finds a restarted probe by proof of its identity.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "ardellix.h"
#include "library_binding.h"

namespace mirovane {

enum class LinkMode { Unknown, Application, Bootloader };

// What proves that a device is the probe being updated: in application mode the eight
// characters of the serial number it reports, in bootloader mode its identity slot in flash.
struct ProbeProof {
    std::string serial;  // eight characters
};

// The 16 bytes of the serial slot of an identity block at 0x1020: "SERIAL", a 0 byte, the
// eight characters of `serial` (padded with 0 bytes when shorter) and a 0 byte.
std::array<std::uint8_t, 16> IdentitySlot(const std::string& serial);

// The outcome of one look for a restarted probe.
enum class Reach {
    Found,      // exactly one device proves to be the probe; the link holds it open
    NotYet,     // none does, so far
    Ambiguous,  // several do: the run must not go on with any of them
};

// The status text of a connection: what the window's status bar and the command line show.
struct LinkStatus {
    bool open = false;
    bool bootloader = false;            // opened in bootloader mode
    std::optional<std::string> serial;  // as read, when the last read succeeded

    std::string Text() const;
};

// The serial number in a field ReadSerialNo filled: its eight characters, up to a 0 byte among
// them. What the probe sent after them is not part of it: it is neither listed nor proven.
std::string ReportedSerial(const char (&field)[10]);

// ReadSerialNo through `lib` into the 10-character field, noting in `status` what was read (up
// to its first 0 byte), or that nothing was.
bool ReadSerialNoNoting(ArdellixApi& lib, ScaHandle handle, char (&field)[10], LinkStatus& status);

class ProbeLink {
  public:
    virtual ~ProbeLink() = default;

    // A reason not to update at all, asked first thing in the connection step; empty when
    // there is none.
    virtual std::string Obstacle() { return {}; }

    virtual ScaHandle Handle() const = 0;
    // What is known for certain of the open connection's mode. Unknown makes the run read
    // the probe's serial number to find out whether it still answers.
    virtual LinkMode Mode() const = 0;

    // Opens the probe at `index` at the start of a run; false when it does not answer.
    virtual bool OpenApplication(std::int32_t index) = 0;
    virtual bool OpenBootloader(std::int32_t index) = 0;
    virtual void Close() = 0;
    // ReadSerialNo into the 10-character field; the result also goes into the status text.
    virtual bool ReadSerialNo(char (&field)[10]) = 0;

    // The probe is about to restart: the moment to note the bus as it is.
    virtual void BeforeRestart() {}
    // One look for the probe after its restart into `mode`. Found leaves the link open.
    virtual Reach Reconnect(LinkMode mode, const ProbeProof& proof) = 0;
    // What the looks found, for the message when the probe was not found or found twice;
    // empty when there is nothing to add.
    virtual std::string Findings() const { return {}; }

    virtual const LinkStatus& Status() const = 0;
};

}  // namespace mirovane
