#include "clock.h"

#include <atomic>
#include <thread>

#include "klovsim/sim.h"

namespace klovsim {
namespace {

using std::chrono::microseconds;

const std::chrono::steady_clock::time_point kOrigin = std::chrono::steady_clock::now();

// The virtual time only moves forward by advance(); both fields are read without a lock.
std::atomic<bool> gVirtual{false};
std::atomic<std::int64_t> gVirtualNow{0};

constexpr microseconds kSpinMargin{200};

}  // namespace

namespace detail {

microseconds realNow() {
    return std::chrono::duration_cast<microseconds>(std::chrono::steady_clock::now() - kOrigin);
}

void holdUntil(microseconds deadline) {
    for (;;) {
        const microseconds left = deadline - realNow();
        if (left <= microseconds::zero()) {
            return;
        }
        if (left > kSpinMargin) {
            std::this_thread::sleep_for(left - kSpinMargin);
        } else {
            std::this_thread::yield();
        }
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
