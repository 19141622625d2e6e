// The simulator's needs of the system, on Linux.
#include <sys/prctl.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform.h"

namespace klovsim::detail::platform {

// Against the same monotonic clock as steady_clock. The kernel may end a sleep up to the
// thread's timer slack late (50 us by default), so the slack is cut to the minimum for this
// sleep and restored afterwards.
void sleepUntil(std::chrono::steady_clock::time_point deadline) {
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (slack > 1) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    }
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
    ts.tv_nsec = static_cast<long>(ns.count() % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
    if (slack > 1) {
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0, 0, 0);
    }
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

bool replaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace klovsim::detail::platform
