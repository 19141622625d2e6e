#include "clock.h"

#include <sys/prctl.h>
#include <time.h>

#include <atomic>
#include <cerrno>

#include "klovsim/sim.h"

namespace klovsim {
namespace {

using std::chrono::microseconds;

const std::chrono::steady_clock::time_point kOrigin = std::chrono::steady_clock::now();

// The virtual time only moves forward by advance(); both fields are read without a lock.
std::atomic<bool> gVirtual{false};
std::atomic<std::int64_t> gVirtualNow{0};

// The hold sleeps until this margin before its deadline and spins the rest, which covers the
// usual wake-up delay of a sleeping thread.
constexpr microseconds kSpinMargin{50};

// Sleeps until `deadline` of realNow(), against the same monotonic clock. The kernel may end
// a sleep up to the thread's timer slack late (50 us by default), so the slack is cut to the
// minimum for this sleep and restored afterwards.
void sleepUntil(microseconds deadline) {
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (slack > 1) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    }
    const auto target = kOrigin + deadline;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(target.time_since_epoch());
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
    ts.tv_nsec = static_cast<long>(ns.count() % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
    if (slack > 1) {
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0, 0, 0);
    }
}

}  // namespace

namespace detail {

microseconds realNow() {
    return std::chrono::duration_cast<microseconds>(std::chrono::steady_clock::now() - kOrigin);
}

void holdUntil(microseconds deadline) {
    // The deadline is absolute, so a late wake-up never adds to the next hold. No yield in
    // the spin: on a busy machine a yielding thread can lose the processor for a whole time
    // slice, far past the deadline.
    if (deadline - realNow() > kSpinMargin) {
        sleepUntil(deadline - kSpinMargin);
    }
    while (realNow() < deadline) {
    }
}

}  // namespace detail

void Clock::setVirtual(bool on) {
    gVirtualNow.store(0);
    gVirtual.store(on);
}

bool Clock::isVirtual() {
    return gVirtual.load();
}

microseconds Clock::now() {
    return gVirtual.load() ? microseconds(gVirtualNow.load()) : detail::realNow();
}

void Clock::advance(microseconds d) {
    if (d <= microseconds::zero()) {
        return;
    }
    if (gVirtual.load()) {
        gVirtualNow.fetch_add(d.count());
    } else {
        detail::holdUntil(detail::realNow() + d);
    }
}

void Clock::sleepFor(microseconds d) {
    advance(d);
}

}  // namespace klovsim
