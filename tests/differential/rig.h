// The differential suite: one table of scenarios, run against the drop-in libusb and against
// Debian's real libusb 0.1 over the usbfs adapter (each in its own executable, since both are
// libusb-0.1.so.4). A Rig is what a scenario needs from either bus.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "klovsim/probe_types.h"
#include "klovsim/sim.h"

namespace differential {

using Transcript = std::vector<std::string>;

struct Transfer {
    int probe;
    bool out;  // a request to the probe, else a reply delivered to the host
    std::vector<std::uint8_t> data;
};

class Rig {
  public:
    virtual ~Rig() = default;
    // The order the bus's directory yields its nodes in: as configured for the drop-in, as
    // found in the testbed's directory for the usbfs adapter. Fails the test when the
    // directory yields neither.
    virtual klovsim::DirectoryOrder order() = 0;
    // Devices appear in the order they are added; probes are numbered from 0.
    virtual int addProbe(const klovsim::ProbeConfig& config) = 0;
    virtual void addForeignDevice(std::uint16_t vendorId, std::uint16_t productId) = 0;
    virtual void unplug(int probe) = 0;
    virtual void plug(int probe) = 0;
    // Waits until the probe is on the bus under a device node again; false after 5 s.
    virtual bool waitForNode(int probe) = 0;
    // What a fresh process lists (this program with --list), one line per index.
    virtual Transcript freshProcess() = 0;
    // Every request that reached a probe and every non-empty reply delivered, in order.
    virtual std::vector<Transfer> transfers() = 0;
    virtual std::size_t violations(int probe) = 0;
};

// The rig of this executable for a new, empty bus (rig_dropin.cpp or rig_usbfs.cpp).
std::unique_ptr<Rig> MakeRig(klovsim::DirectoryOrder order);
// The rig's name in test names and messages.
extern const char* const kRigName;
// Whether this executable judges the drop-in against the real libusb (the usbfs one does).
extern const bool kComparesWithDropIn;

// Runs this executable (or another) with `args`, `extraEnv` added to the environment and
// `dropEnv` removed from it, and returns its standard output as lines, then a line naming the
// exit status when it is not 0.
Transcript RunChild(const std::string& program, const std::vector<std::string>& args,
                    const std::vector<std::string>& extraEnv,
                    const std::vector<std::string>& dropEnv);
// The path of the running executable.
std::string Self();

}  // namespace differential
