// One probe that the carried firmware may be installed on: its serial number and the
// production date to patch in when the probe reports none.
#pragma once

#include <string>
#include <vector>

namespace mirovane {

struct SerialEntry {
    std::string Serial;    // eight characters
    std::string ProdDate;  // eight characters: year, month, day
};

using SerialList = std::vector<SerialEntry>;

// The probes the carried firmware may be installed on, in the order they are looked up.
inline const SerialList& UpdatableProbes() {
    static const SerialList list = {
        {"04124008", "20121228"}, {"04124009", "20121228"}, {"04124010", "20130322"},
        {"04131008", "20130513"}, {"04131009", "20130813"},
    };
    return list;
}

// The first entry whose serial number equals `serial` exactly; null when there is none.
inline const SerialEntry* FindSerial(const SerialList& list, const std::string& serial) {
    for (const SerialEntry& e : list) {
        if (e.Serial == serial) {
            return &e;
        }
    }
    return nullptr;
}

}  // namespace mirovane
