// Runs the test guest in QEMU (TCG) with one usb-redir device per probe socket, and collects
// what its serial console says.
//
// The guest runs one scenario (tests/kernel/guest/scenarios/NAME.sh) and reports on the
// console with lines starting with "@@ ": "@@ ready ..." once the probes are enumerated,
// "@@ exit N" with the scenario's exit status, then it powers off. A time limit kills QEMU.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kernel_test {

using Clock = std::chrono::steady_clock;

struct ConsoleLine {
    double at = 0;  // seconds since QEMU started
    std::string text;
};

enum class Controller { Xhci, Ehci };

struct GuestOptions {
    std::string scenario;
    std::vector<std::string> sockets;  // one usb-redir device each, in this order
    std::vector<std::pair<std::string, std::string>> args;  // the scenario's klov_NAME=VALUE
    Controller controller = Controller::Xhci;
    std::chrono::seconds limit{180};
    std::function<void()> tick;  // called every few milliseconds while the guest runs
};

struct GuestRun {
    std::vector<ConsoleLine> lines;
    std::optional<int> exitStatus;  // the scenario's, from "@@ exit N"
    bool timedOut = false;
    int qemuStatus = -1;  // QEMU's own exit status (or -1 when it was killed)
    double seconds = 0;

    // The report lines "@@ KEY rest": each rest, in order.
    std::vector<std::string> Reports(const std::string& key) const;
    // When the first report "@@ KEY ..." came, in seconds since QEMU started.
    std::optional<double> ReportedAt(const std::string& key) const;
    std::string Console() const;  // everything, for failure messages
};

// Fields "a=1 b=two" of a report.
std::map<std::string, std::string> Fields(const std::string& report);

// Boots the guest and runs the scenario. Throws std::runtime_error when QEMU cannot start.
GuestRun RunGuest(const GuestOptions& options);

}  // namespace kernel_test
