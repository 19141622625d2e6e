// The simulator's needs of the system, on Windows.
#include <windows.h>

#include <thread>

#include "platform.h"

namespace klovsim::detail::platform {
namespace {

// Windows ends a sleep on a timer tick: about 1 ms under Wine and where a program raised the
// timer resolution, 15.6 ms otherwise. The sleep aims this much before the deadline and the
// caller spins the rest; with the coarse tick a hold can still end up to a tick late.
constexpr std::chrono::milliseconds kTimerTick{2};

}  // namespace

void sleepUntil(std::chrono::steady_clock::time_point deadline) {
    const auto wake = deadline - kTimerTick;
    if (std::chrono::steady_clock::now() < wake) {
        std::this_thread::sleep_until(wake);
    }
}

// From the process's own environment block rather than the C runtime's copy of it, which
// misses what the host set with SetEnvironmentVariable after its start.
std::optional<std::string> environment(const char* name) {
    std::string value(64, '\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD n =
            GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
                return std::nullopt;
            }
            return std::string();
        }
        if (n < value.size()) {
            value.resize(n);
            return value;
        }
        value.resize(n);  // n is the size needed, with the terminating zero
    }
}

// rename() refuses an existing target on Windows.
bool replaceFile(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace klovsim::detail::platform
