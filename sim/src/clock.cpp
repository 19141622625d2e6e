#include "clock.h"

#include <atomic>

#include "klovsim/sim.h"
#include "platform.h"

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
        platform::sleepUntil(kOrigin + deadline - kSpinMargin);
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
