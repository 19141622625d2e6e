// The fault table: the faults injected on the bus and the counting that decides which
// operation each one hits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "klovsim/sim.h"

namespace klovsim::detail {

// The operations faults belong to.
enum class Op { Open, Config, Claim, Close, Write, Read };

class FaultTable {
  public:
    // Throws std::invalid_argument for a rule that can never be met (a connection fault counted
    // by exchange, a negative position or count).
    static void validate(const FaultRule& rule);

    void add(const FaultRule& rule) { faults_.push_back({rule, 0}); }
    void clear() { faults_.clear(); }

    // Counts one operation for every fault of its kind and returns the kinds that hit it.
    // `exchange` is the exchange the operation belongs to: every write has one; a read only
    // when it is the first read after its write (later reads are not counted by exchange).
    std::vector<Fault> hit(Op op, int probeId, std::optional<std::int64_t> exchange);

    // The names KLOVSIM_FAULT knows (write-error, no-reply, ...), and the kind of one of them.
    static std::string names();
    static std::optional<Fault> byName(std::string_view name);

  private:
    struct Active {
        FaultRule rule;
        std::int64_t seen = 0;
    };
    std::vector<Active> faults_;
};

inline bool has(const std::vector<Fault>& faults, Fault f) {
    for (Fault g : faults) {
        if (g == f) {
            return true;
        }
    }
    return false;
}

}  // namespace klovsim::detail
