// Connection handles: small non-zero ids that designate transports owned by the library.
// An id that was never issued, or whose connection is closed, finds nothing. Only the table
// is locked; a lookup hands out shared ownership, so a connection stays alive until every
// call that found it has returned, and transfers run without any lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "transport.h"

namespace ardellix {

using Handle = std::uint32_t;

class HandleRegistry {
  public:
    // The process's one registry, made at first use and never destroyed.
    static HandleRegistry& Instance();

    // Takes ownership and returns a fresh id, or 0 when the transport is null.
    Handle Add(std::shared_ptr<Transport> transport);
    // The transport behind an id, or null.
    std::shared_ptr<Transport> Find(Handle handle) const;
    // Forgets the id and hands back its transport (null when the id was unknown).
    std::shared_ptr<Transport> Remove(Handle handle);

  private:
    mutable std::mutex mutex_;
    std::unordered_map<Handle, std::shared_ptr<Transport>> live_;
    // Ids are issued in increasing order and wrap after 2^32 - 1 opens, skipping 0 and any id
    // still live, so a closed id is not handed out again soon.
    Handle next_ = 1;
};

}  // namespace ardellix
