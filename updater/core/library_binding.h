// How the updater reaches the probe library. The core talks to an ArdellixApi; the shipping
// implementation loads the library by file name at the first call and binds every export by
// name at its own first call.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "ardellix.h"
#include "ardellix_exports.h"

namespace mirovane {

// The library calls the updater makes.
class ArdellixApi {
  public:
    virtual ~ArdellixApi() = default;
    virtual ScaHandle OpenSCA(std::int32_t deviceIndex) = 0;
    virtual ScaHandle OpenSCABootloader(std::int32_t deviceIndex) = 0;
    virtual std::int32_t CloseSCA(ScaHandle handle) = 0;
    virtual std::int32_t ReadSerialNo(ScaHandle handle, char* serial) = 0;
    virtual std::int32_t ReadDeviceInfo(ScaHandle handle, std::int32_t selector, char* text) = 0;
    virtual std::int32_t SetBootloaderFlag(ScaHandle handle, std::int32_t bootloader) = 0;
    virtual std::int32_t ResetController(ScaHandle handle) = 0;
    virtual std::int32_t EraseFlashBlock(ScaHandle handle, std::uint32_t address) = 0;
    virtual std::int32_t WriteFlash(ScaHandle handle, std::uint32_t address,
                                    const std::uint8_t* data, std::int32_t length) = 0;
    virtual std::int32_t VerifyFlash(ScaHandle handle, std::uint32_t address,
                                     const std::uint8_t* data, std::int32_t length) = 0;
};

// Every export of the library, in the order of ARDELLIX_FOR_EACH_EXPORT.
enum class ArdellixExport {
#define MIROVANE_EXPORT_ENUM(name, argBytes) name,
    ARDELLIX_FOR_EACH_EXPORT(MIROVANE_EXPORT_ENUM)
#undef MIROVANE_EXPORT_ENUM
        Count
};

// The name an export is bound by on this platform ("OpenSCA", or "_OpenSCA@4" on 32-bit
// Windows).
const char* ArdellixExportName(ArdellixExport e);

// Loads the library on first use (dlopen, or LoadLibrary on Windows, by file name) and binds
// each export at its first call (dlsym or GetProcAddress, by the name of ArdellixExportName).
// A library that cannot be loaded, or an export it lacks, ends the program: the message
// naming what is missing goes to standard error, on Windows into the system's error box,
// then to the fatal hook (the front end adds what it has to say, and on Linux shows it), and
// the process exits with status 1.
class ArdellixLibrary final : public ArdellixApi {
  public:
    using FatalHook = std::function<void(const std::string& message)>;

    explicit ArdellixLibrary(std::string file = ARDELLIX_LIBRARY_FILE, FatalHook fatal = {});
    ~ArdellixLibrary() override;
    ArdellixLibrary(const ArdellixLibrary&) = delete;
    ArdellixLibrary& operator=(const ArdellixLibrary&) = delete;

    void SetFatalHook(FatalHook fatal) { fatal_ = std::move(fatal); }

    // The address of an export, loading the library and binding the export if this is the
    // first use. Never returns null.
    void* Resolve(ArdellixExport e);

    ScaHandle OpenSCA(std::int32_t deviceIndex) override;
    ScaHandle OpenSCABootloader(std::int32_t deviceIndex) override;
    std::int32_t CloseSCA(ScaHandle handle) override;
    std::int32_t ReadSerialNo(ScaHandle handle, char* serial) override;
    std::int32_t ReadDeviceInfo(ScaHandle handle, std::int32_t selector, char* text) override;
    std::int32_t SetBootloaderFlag(ScaHandle handle, std::int32_t bootloader) override;
    std::int32_t ResetController(ScaHandle handle) override;
    std::int32_t EraseFlashBlock(ScaHandle handle, std::uint32_t address) override;
    std::int32_t WriteFlash(ScaHandle handle, std::uint32_t address, const std::uint8_t* data,
                            std::int32_t length) override;
    std::int32_t VerifyFlash(ScaHandle handle, std::uint32_t address, const std::uint8_t* data,
                             std::int32_t length) override;

  private:
    [[noreturn]] void Fatal(const std::string& message);

    std::string file_;
    FatalHook fatal_;
    std::mutex bindMutex_;  // loading the library and binding an export
    void* library_ = nullptr;
    std::atomic<void*> bound_[static_cast<int>(ArdellixExport::Count)] = {};
};

}  // namespace mirovane
