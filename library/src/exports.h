// Shared plumbing of the exported functions: nothing may throw across the C boundary.
#pragma once

#include <memory>

#include "handle_registry.h"

namespace ardellix {

// Runs `body` with the transport behind `handle`; 0 for an unknown handle or any exception.
template <typename Body>
int Guarded(Handle handle, Body&& body) noexcept {
    try {
        const std::shared_ptr<Transport> transport = HandleRegistry::Instance().Find(handle);
        if (!transport) {
            return 0;
        }
        return body(*transport) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // namespace ardellix
