// The simulator's configuration from KLOVSIM_* environment variables (see sim.h), read for a
// process that does not configure the bus itself.
#pragma once

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "klovsim/sim.h"

namespace klovsim::detail {

struct EnvironmentConfig {
    std::vector<ProbeConfig> probes;  // all on bus 0, in the order they are added
    std::chrono::microseconds latency{0};
    std::optional<FaultRule> fault;
    std::vector<DirectoryOrder> orders;  // by bus number; the last one for further busses
    std::string statePath;               // empty: no state file
};

// Reads the variables. A value that cannot be used is reported on `warnings` and its default
// taken.
EnvironmentConfig readEnvironment(std::ostream& warnings);

}  // namespace klovsim::detail
