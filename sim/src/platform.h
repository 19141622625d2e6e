// What the simulator needs of the operating system, with one implementation per system:
// platform_linux.cpp and platform_windows.cpp.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace klovsim::detail::platform {

// Sleeps until shortly before `deadline`, never past it as far as the system allows: the
// caller spins the rest. Returns at once for a deadline already reached.
void sleepUntil(std::chrono::steady_clock::time_point deadline);

// A variable of the process's environment, or nothing when it is not set.
std::optional<std::string> environment(const char* name);

// Puts the file `from` in the place of `to` in one step, replacing any file there.
bool replaceFile(const std::string& from, const std::string& to);

}  // namespace klovsim::detail::platform
