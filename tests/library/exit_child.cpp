// A caller that still holds connections when the program ends. CTest runs it three ways:
//   exit          opens two connections and returns from main
//   unload        opens two connections and unloads the library
//   static-close  opens two connections that a static object of the caller closes in its
//                 destructor, which runs after main has returned and after the destructors of
//                 every static made later (the library's own included)
// The library must do no USB work at exit or at unload: the simulator's log must not grow
// after main has returned, or across the unload, except for the closes the caller asks for.
// The library is loaded by file name, as the updater loads it; the simulated libusb is linked,
// so the library's libusb dependency resolves to it.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ardellix.h"
#include "klovsim/sim.h"

namespace {

using OpenFn = ScaHandle (*)(int32_t);
using CloseFn = int32_t (*)(ScaHandle);

int failures = 0;

void Check(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "exit_child: %s\n", what.c_str());
        ++failures;
    }
}

klovsim::Bus& bus() {
    return klovsim::Bus::instance();
}

// The libusb calls logged since entry `from`, by name.
std::string CallsSince(std::size_t from) {
    const auto log = bus().log();
    std::string names;
    for (std::size_t i = from; i < log.size(); ++i) {
        names += " " + log[i].call;
    }
    return names;
}

// Set when main returns: the log size then.
bool mainReturned = false;
std::size_t logAtMainReturn = 0;

// Made before main, so its destructor is the last of the program's to run.
struct Owner {
    CloseFn close = nullptr;
    ScaHandle handles[2] = {};

    ~Owner() {
        if (close != nullptr) {
            const std::int64_t before = bus().calls("usb_close");
            for (ScaHandle h : handles) {
                Check(close(h) == 1,
                      "CloseSCA from a static destructor did not close " + std::to_string(h));
            }
            Check(bus().calls("usb_close") - before == 4,
                  "CloseSCA from a static destructor made " +
                      std::to_string(bus().calls("usb_close") - before) +
                      " usb_close calls, not 2 per connection");
            Check(bus().openHandles() == 0, "handles left open after CloseSCA");
        }
        if (failures != 0) {
            std::_Exit(1);
        }
        std::printf("exit_child: ok\n");
    }
} owner;

// Registered at the start of main: runs after the destructors of every static made later,
// the library's own among them, and before the owner's.
void AfterMain() {
    Check(mainReturned, "the program ended before main returned");
    Check(bus().log().size() == logAtMainReturn,
          "USB work after main returned:" + CallsSince(logAtMainReturn));
}

template <typename F>
F Bind(void* library, const char* name) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "exit_child: %s not found\n", name);
        std::exit(2);
    }
    return reinterpret_cast<F>(symbol);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "exit" && mode != "unload" && mode != "static-close") {
        std::fprintf(stderr, "usage: exit_child exit|unload|static-close\n");
        return 2;
    }
    bus().reset();
    bus().addProbe();
    bus().addProbe();
    std::atexit(AfterMain);

    void* library = dlopen(ARDELLIX_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "exit_child: %s\n", dlerror());
        return 2;
    }
    const auto open = Bind<OpenFn>(library, "OpenSCA");
    const ScaHandle first = open(0);
    const ScaHandle second = open(1);
    Check(first != 0 && second != 0, "OpenSCA failed");
    Check(bus().openHandles() == 4, "not two channels open per connection");

    if (mode == "unload") {
        const std::size_t before = bus().log().size();
        Check(dlclose(library) == 0, "dlclose failed");
        Check(dlopen(ARDELLIX_LIBRARY, RTLD_NOW | RTLD_NOLOAD) == nullptr,
              "the library stayed loaded: nothing unloaded");
        Check(bus().log().size() == before, "USB work at unload:" + CallsSince(before));
    } else if (mode == "static-close") {
        owner.close = Bind<CloseFn>(library, "CloseSCA");
        owner.handles[0] = first;
        owner.handles[1] = second;
    }
    logAtMainReturn = bus().log().size();
    mainReturned = true;
    return 0;
}
