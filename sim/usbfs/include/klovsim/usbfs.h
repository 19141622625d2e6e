// The simulated probe on an emulated usbfs, for the real libusb 0.1.
//
// A UsbfsBus puts probe models (the same model the drop-in libusb uses) and foreign devices
// under /dev/bus/usb/001/ of a umockdev testbed and answers the usbfs requests of the
// unmodified Debian libusb 0.1 from them: reads of the device node (descriptors),
// CONNECTINFO, CONTROL (descriptor requests), SETCONFIGURATION, CLAIM/RELEASEINTERFACE,
// SUBMITURB, REAPURB/REAPURBNDELAY and DISCARDURB. Everything above the kernel is then the
// shipping code. The process must run under umockdev-wrapper.
//
// Time is real. A probe that resets leaves the bus at once (its node answers ENODEV) and,
// after its reset delay, comes back under a new device number, as a real probe re-enumerates.
// A transfer on an interface nobody claimed claims it, as Linux does, and is recorded as a
// protocol violation of the host.
//
// The nodes live in the testbed's directory (under $TMPDIR), and libusb lists them in the order
// that directory's file system yields them: a tmpfs gives a fixed order (newest first on the
// kernels measured here), a hashed directory (ext4) an order of its own.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "klovsim/probe_types.h"

namespace klovsim::usbfs {

class UsbfsBus {
  public:
    // Creates the testbed. Throws std::runtime_error when the process is not running under
    // umockdev-wrapper.
    UsbfsBus();
    ~UsbfsBus();
    UsbfsBus(const UsbfsBus&) = delete;
    UsbfsBus& operator=(const UsbfsBus&) = delete;

    // Devices appear in the order they are added. Returns the probe's number (from 0).
    int addProbe(const ProbeConfig& config = {});
    void addForeignDevice(std::uint16_t vendorId, std::uint16_t productId);

    // Restarts the probe's controller now, as its reset command does: it leaves the bus at
    // once and comes back after its reset delay under a new device number.
    void restart(int probe);

    // A probe, looked at from outside: one consistent copy, and single parts of it.
    ProbeState state(int probe) const;
    std::array<std::uint8_t, kFlashSize> flash(int probe) const { return state(probe).flash; }
    std::uint8_t bootFlag(int probe) const { return state(probe).bootFlag; }
    Mode mode(int probe) const { return state(probe).mode; }
    bool onBus(int probe) const { return state(probe).onBus; }
    bool bricked(int probe) const { return state(probe).bricked; }
    std::vector<WriteViolation> writeViolations(int probe) const {
        return state(probe).writeViolations;
    }
    std::vector<ProtocolViolation> protocolViolations(int probe) const {
        return state(probe).protocolViolations;
    }
    // Device node the probe answers on now ("/dev/bus/usb/001/002"), empty while off the bus.
    std::string devnode(int probe) const;
    // Unplug takes the probe off the bus at once; plug puts it back under a new node.
    void unplug(int probe);
    void plug(int probe);

    // Every bulk transfer that reached a probe or brought a reply from one, in order.
    struct Transfer {
        int probe;  // the probe's number
        bool out;   // a request to the probe, else a reply delivered to the host
        std::vector<std::uint8_t> data;
    };
    std::vector<Transfer> transfers() const;

    // Counts over every node since the bus was made.
    struct Counters {
        long submitted = 0;   // URBs
        long discarded = 0;   // URBs cancelled by the host (a read that timed out)
        long claimsHeld = 0;  // interfaces claimed right now
    };
    Counters counters() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace klovsim::usbfs
