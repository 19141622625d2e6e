// The device order of tests with several probes. The simulator keeps its device lists as the
// legacy libusb 0.1 does: a process's first listing of a bus in the order its directory yields
// the devices (newest first or oldest first), then every device new to the process, a probe
// back from a restart among them, at the front. So a probe's device index changes when it or
// another probe restarts; tests run under both directory orders.
#pragma once

#include <string>

#include "klovsim/sim.h"
#include "library_binding.h"

namespace apptest {

inline const char* Name(klovsim::DirectoryOrder order) {
    return order == klovsim::DirectoryOrder::NewestFirst ? "newestfirst" : "oldestfirst";
}

// The id of the probe that device index `index` names now, as this process lists the bus;
// -1 when there is none. Opens the device (no exchange) and reads the simulator's log.
inline int ProbeAt(mirovane::ArdellixApi& lib, int index) {
    const ScaHandle h = lib.OpenSCABootloader(index);
    if (h == 0) {
        return -1;
    }
    int id = -1;
    for (const klovsim::LogEntry& e : klovsim::Bus::instance().log()) {
        if (e.call == "usb_open" && e.result == 1) {
            id = e.probe;
        }
    }
    lib.CloseSCA(h);
    return id;
}

}  // namespace apptest
