#include "library_binding.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace mirovane {

namespace {

const char* const kExportNames[] = {
#define MIROVANE_EXPORT_NAME(name, argBytes) ARDELLIX_EXPORT_NAME(name, argBytes),
    ARDELLIX_FOR_EACH_EXPORT(MIROVANE_EXPORT_NAME)
#undef MIROVANE_EXPORT_NAME
};
static_assert(std::size(kExportNames) == static_cast<std::size_t>(ArdellixExport::Count));

// The function pointer type of an export, taken from the library's own declaration.
template <typename Fn>
Fn As(void* address) {
    Fn fn;
    static_assert(sizeof fn == sizeof address);
    std::memcpy(&fn, &address, sizeof fn);
    return fn;
}

// The running program's name (klov, mirovane, ...), as command-line tools name themselves.
std::string ProgramName() {
#if defined(_WIN32)
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string name(path, n);
    name = name.substr(name.find_last_of("\\/") + 1);
    if (name.size() > 4 && _stricmp(name.c_str() + name.size() - 4, ".exe") == 0) {
        name.resize(name.size() - 4);
    }
    return name.empty() ? "Mirovane" : name;
#elif defined(__GLIBC__)
    return program_invocation_short_name;
#else
    return "Mirovane";
#endif
}

std::string LoadError() {
#if defined(_WIN32)
    return "error " + std::to_string(GetLastError());
#else
    const char* e = dlerror();
    return e != nullptr ? e : "unknown error";
#endif
}

}  // namespace

const char* ArdellixExportName(ArdellixExport e) {
    return kExportNames[static_cast<int>(e)];
}

ArdellixLibrary::ArdellixLibrary(std::string file, FatalHook fatal)
    : file_(std::move(file)), fatal_(std::move(fatal)) {}

// The library stays loaded for the life of the process: connections it holds end with it.
ArdellixLibrary::~ArdellixLibrary() = default;

void ArdellixLibrary::Fatal(const std::string& message) {
    const std::string program = ProgramName();
    std::fprintf(stderr, "%s: %s\n", program.c_str(), message.c_str());
    std::fflush(stderr);
#if defined(_WIN32)
    // The platform's error report: a modal error box, even from a console program.
    MessageBoxA(nullptr, message.c_str(), program.c_str(), MB_OK | MB_ICONERROR | MB_TASKMODAL);
#endif
    if (fatal_) {
        fatal_(message);
    }
    std::_Exit(EXIT_FAILURE);
}

void* ArdellixLibrary::Resolve(ArdellixExport e) {
    // Bound once, by whichever thread calls the export first (klov updates several probes at
    // once); every later call only loads the address.
    std::atomic<void*>& slot = bound_[static_cast<int>(e)];
    if (void* bound = slot.load(std::memory_order_acquire); bound != nullptr) {
        return bound;
    }
    std::lock_guard<std::mutex> lk(bindMutex_);
    if (void* bound = slot.load(std::memory_order_relaxed); bound != nullptr) {
        return bound;
    }
    if (library_ == nullptr) {
#if defined(_WIN32)
        library_ = reinterpret_cast<void*>(LoadLibraryA(file_.c_str()));
#else
        library_ = dlopen(file_.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
        if (library_ == nullptr) {
            Fatal("cannot load the probe library " + file_ + " (" + LoadError() + ")");
        }
    }
    const char* name = ArdellixExportName(e);
#if defined(_WIN32)
    void* bound = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library_), name));
#else
    dlerror();
    void* bound = dlsym(library_, name);
#endif
    if (bound == nullptr) {
        Fatal("the probe library " + file_ + " has no function " + name);
    }
    slot.store(bound, std::memory_order_release);
    return bound;
}

#define MIROVANE_CALL(name, ...) As<decltype(&::name)>(Resolve(ArdellixExport::name))(__VA_ARGS__)

ScaHandle ArdellixLibrary::OpenSCA(std::int32_t deviceIndex) {
    return MIROVANE_CALL(OpenSCA, deviceIndex);
}
ScaHandle ArdellixLibrary::OpenSCABootloader(std::int32_t deviceIndex) {
    return MIROVANE_CALL(OpenSCABootloader, deviceIndex);
}
std::int32_t ArdellixLibrary::CloseSCA(ScaHandle handle) {
    return MIROVANE_CALL(CloseSCA, handle);
}
std::int32_t ArdellixLibrary::ReadSerialNo(ScaHandle handle, char* serial) {
    return MIROVANE_CALL(ReadSerialNo, handle, serial);
}
std::int32_t ArdellixLibrary::ReadDeviceInfo(ScaHandle handle, std::int32_t selector, char* text) {
    return MIROVANE_CALL(ReadDeviceInfo, handle, selector, text);
}
std::int32_t ArdellixLibrary::SetBootloaderFlag(ScaHandle handle, std::int32_t bootloader) {
    return MIROVANE_CALL(SetBootloaderFlag, handle, bootloader);
}
std::int32_t ArdellixLibrary::ResetController(ScaHandle handle) {
    return MIROVANE_CALL(ResetController, handle);
}
std::int32_t ArdellixLibrary::EraseFlashBlock(ScaHandle handle, std::uint32_t address) {
    return MIROVANE_CALL(EraseFlashBlock, handle, address);
}
std::int32_t ArdellixLibrary::WriteFlash(ScaHandle handle, std::uint32_t address,
                                         const std::uint8_t* data, std::int32_t length) {
    return MIROVANE_CALL(WriteFlash, handle, address, data, length);
}
std::int32_t ArdellixLibrary::VerifyFlash(ScaHandle handle, std::uint32_t address,
                                          const std::uint8_t* data, std::int32_t length) {
    return MIROVANE_CALL(VerifyFlash, handle, address, data, length);
}

#undef MIROVANE_CALL

}  // namespace mirovane
