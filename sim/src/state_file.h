// The state file: the devices on the bus as a kernel keeps them between processes (every
// probe's memories and running mode, every device's number and the order the devices appeared
// in), so that the next process finds the same bus.
//
// Text, one item per line:
//   klovsim-state 2
//   probes <count>
//   then per probe, in id order:
//   probe <id> <bus> <application|bootloader|off> <device number> <appearance>
//   flash <65536 hex digits>
//   config <32 hex digits>
//   eeprom <512 hex digits>
//   devices <count>
//   then per foreign device:
//   device <bus> <vendor id, 4 hex digits> <product id, 4 hex digits> <device number> <appearance>
// The appearance numbers give the order in which the devices came onto their bus (larger is
// later); a probe off the bus has device number and appearance 0. Version 1 files (no device
// numbers, appearances or foreign devices) are read too.
// A file is written next to the target and renamed over it, so a crash never leaves half.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "klovsim/probe_model.h"

namespace klovsim::detail {

struct SavedProbe {
    int bus = 0;
    std::optional<Mode> mode;  // nothing: off the bus
    model::Flash flash{};
    model::ConfigBytes config{};
    model::Eeprom eeprom{};
    int devnum = 0;              // 0: off the bus, or not recorded
    std::uint64_t appeared = 0;  // 0: off the bus, or not recorded
};

struct SavedDevice {
    int bus = 0;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    int devnum = 0;
    std::uint64_t appeared = 0;
};

struct SavedBus {
    std::vector<SavedProbe> probes;
    // Recorded since version 2; a version 1 file leaves the foreign devices as they are.
    std::optional<std::vector<SavedDevice>> foreign;
};

bool writeStateFile(const std::string& path, const SavedBus& bus);
// Nothing when the file cannot be read or is not a state file.
std::optional<SavedBus> readStateFile(const std::string& path);

}  // namespace klovsim::detail
