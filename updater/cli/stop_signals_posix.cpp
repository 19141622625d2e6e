#include <cerrno>
#include <csignal>
#include <ctime>

#include "stop_signals.h"

namespace klov {

namespace {

volatile std::sig_atomic_t g_stop = 0;
struct sigaction g_oldInt {};
struct sigaction g_oldTerm {};

extern "C" void OnStopSignal(int) {
    g_stop = 1;
}

}  // namespace

StopSignals::StopSignals() {
    g_stop = 0;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &g_oldInt);
    sigaction(SIGTERM, &sa, &g_oldTerm);
}

StopSignals::~StopSignals() {
    sigaction(SIGINT, &g_oldInt, nullptr);
    sigaction(SIGTERM, &g_oldTerm, nullptr);
}

bool StopSignals::Requested() const {
    return g_stop != 0;
}

bool StopSignals::SleepUntil(Clock::time_point at) const {
    // The steady clock is CLOCK_MONOTONIC, so its time points convert directly. A signal
    // interrupts the sleep (no SA_RESTART), which ends it when the signal was ours.
    static_assert(Clock::is_steady);
    const auto sinceEpoch = at.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    timespec until{};
    until.tv_sec = static_cast<time_t>(seconds.count());
    until.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - seconds).count());
    while (g_stop == 0) {
        const int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        if (rc != EINTR) {
            break;
        }
    }
    return g_stop == 0;
}

}  // namespace klov
