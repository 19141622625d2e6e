// Internal helpers of the simulator's clock.
#pragma once

#include <chrono>

namespace klovsim::detail {

// Monotonic real time since the simulator was loaded.
std::chrono::microseconds realNow();

// Hold the calling thread until `deadline` of realNow(): sleep until shortly before it, then
// spin, so that short latencies are kept to a few microseconds.
void holdUntil(std::chrono::microseconds deadline);

}  // namespace klovsim::detail
