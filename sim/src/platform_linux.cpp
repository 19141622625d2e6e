// The simulator's needs of the system, on Linux.
#include <sys/prctl.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform.h"

namespace klovsim::detail::platform {

// The standard library sleeps again after an interruption until the deadline has passed. The
// kernel may end a sleep up to the thread's timer slack late (50 us by default), so the slack
// is cut to the minimum for this sleep and restored afterwards.
void sleepUntil(std::chrono::steady_clock::time_point deadline) {
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (slack > 1) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    }
    std::this_thread::sleep_until(deadline);
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
