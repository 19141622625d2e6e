#include "handle_registry.h"

#include <utility>

namespace ardellix {

HandleRegistry& HandleRegistry::Instance() {
    // Never destroyed: ending the program or unloading the library runs no destructor that
    // would close connections (no USB work at exit or at unload), and a caller's own static
    // destructor can still close its connections. What is still open then ends with the
    // process.
    static HandleRegistry* const registry = new HandleRegistry;
    return *registry;
}

Handle HandleRegistry::Add(std::shared_ptr<Transport> transport) {
    if (!transport) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    while (next_ == 0 || live_.count(next_) != 0) {
        ++next_;
    }
    const Handle id = next_++;
    live_.emplace(id, std::move(transport));
    return id;
}

std::shared_ptr<Transport> HandleRegistry::Find(Handle handle) const {
    if (handle == 0) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = live_.find(handle);
    return it == live_.end() ? nullptr : it->second;
}

std::shared_ptr<Transport> HandleRegistry::Remove(Handle handle) {
    if (handle == 0) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = live_.find(handle);
    if (it == live_.end()) {
        return nullptr;
    }
    std::shared_ptr<Transport> transport = std::move(it->second);
    live_.erase(it);
    return transport;
}

}  // namespace ardellix
