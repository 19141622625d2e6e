#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>

#include "stop_signals.h"

namespace klov {

namespace {

// The handler sets the flag and writes a byte into a pipe that the sleep waits on, so a
// signal that arrives just before the sleep begins still ends it.
volatile std::sig_atomic_t g_stop = 0;
int g_wake[2] = {-1, -1};
struct sigaction g_oldInt {};
struct sigaction g_oldTerm {};

extern "C" void OnStopSignal(int) {
    g_stop = 1;
    if (g_wake[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = write(g_wake[1], &byte, 1);
    }
}

}  // namespace

StopSignals::StopSignals() {
    g_stop = 0;
    if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_wake[0] = g_wake[1] = -1;  // the sleep then ends on the interruption alone
    }
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &g_oldInt);
    sigaction(SIGTERM, &sa, &g_oldTerm);
}

StopSignals::~StopSignals() {
    sigaction(SIGINT, &g_oldInt, nullptr);
    sigaction(SIGTERM, &g_oldTerm, nullptr);
    for (int& fd : g_wake) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

bool StopSignals::Requested() const {
    return g_stop != 0;
}

bool StopSignals::SleepUntil(Clock::time_point at) const {
    while (g_stop == 0) {
        const auto now = Clock::now();
        if (now >= at) {
            break;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(at - now).count();
        pollfd wake{g_wake[0], POLLIN, 0};
        poll(&wake, g_wake[0] >= 0 ? 1 : 0, static_cast<int>(std::min<long long>(left, INT_MAX)));
    }
    return g_stop == 0;
}

}  // namespace klov
