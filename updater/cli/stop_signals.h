// Ctrl-C or a termination request, caught while a command runs that the operator ends that
// way (klov rate --watch). One platform file each: POSIX signals, or the Windows console.
#pragma once

#include <chrono>

namespace klov {

class StopSignals {
  public:
    using Clock = std::chrono::steady_clock;

    // Catches the requests from here on; the previous handling comes back on destruction.
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Whether a request came since construction.
    bool Requested() const;

    // Sleeps until `at`. Returns false, early, when a request comes (or had come) first.
    bool SleepUntil(Clock::time_point at) const;
};

}  // namespace klov
