// The probes on the bus, recognised by proof rather than by device index, for any number of
// updates at once.
//
// A device index only counts matching devices in the order the USB stack lists them, and a
// probe that restarts may come back under another index while every other probe shifts. So
// a probe is recognised by what it reports (application mode) or by the identity slot in its
// flash (bootloader mode), and a connection, once proven, is kept open and handed on instead
// of being opened again by index.
//
// Opening a device and the exchanges that tell what it is (identify, read-back of the identity
// slot) may meet a probe that another update is talking to, and two connections to one device
// may take each other's replies. So the directory holds a bus lock: calls on connections that
// an update owns share it, and looking at the bus takes it alone, between two of those calls.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "library_binding.h"
#include "probe_link.h"
#include "serial_entry.h"

namespace mirovane {

// A shared/exclusive lock in which a waiting exclusive locker holds off new shared ones, so
// that a look at the bus never starves behind a stream of flash exchanges.
class BusLock {
  public:
    void lock();
    void unlock();
    void lock_shared();
    void unlock_shared();

  private:
    std::mutex m_;
    std::condition_variable cv_;
    int readers_ = 0;
    int writersWaiting_ = 0;
    bool writer_ = false;
};

// What the identity slot in a bootloader-mode probe's flash shows.
enum class FlashIdentity {
    Listed,    // the slot of one of the listed serial numbers, proven by read-back
    Unlisted,  // a slot ("SERIAL" and its 0 byte) holding no listed serial number
    Missing,   // no slot: the identity block is erased or not there
};

// One device found on the bus, with its connection left open.
struct DeviceFacts {
    std::int32_t index = 0;  // where it was found; may name another device by now
    ScaHandle handle = 0;
    bool bootloader = false;
    // Application mode: the serial number as reported (ReportedSerial), nothing when the read
    // failed. Bootloader mode: the listed serial number its flash proves.
    std::optional<std::string> serial;
    std::optional<std::string> version;            // application mode, when asked for
    FlashIdentity flash = FlashIdentity::Missing;  // bootloader mode
};

class BusDirectory {
  public:
    explicit BusDirectory(ArdellixApi& lib);
    BusDirectory(const BusDirectory&) = delete;
    BusDirectory& operator=(const BusDirectory&) = delete;

    // The library for calls on connections an update owns: each call shares the bus lock.
    // Its openings by index are plain library calls; the connections an update owns come
    // from Scan and Look.
    ArdellixApi& Owned() { return owned_; }

    // Every matching device, each left open: identified, and in bootloader mode proven
    // against `listed`. With `versions`, application-mode devices also report their firmware
    // version.
    std::vector<DeviceFacts> Scan(const SerialList& listed, bool versions);
    // Closes what a scan left open, except the connections taken out of it (handle 0).
    void Release(std::vector<DeviceFacts>& devices);

    // An update waiting for its restarted probe. Once a look has registered it, the passes of
    // other updates read and fill it under the bus lock: its owner only touches it through
    // the directory until a look returns Found or Ambiguous, or Forget.
    struct Waiter {
        LinkMode mode = LinkMode::Bootloader;
        ProbeProof proof;
        // Filled by the looks.
        ScaHandle found = 0;
        bool ambiguous = false;
        std::string findings;
        // Bookkeeping.
        bool registered = false;
        bool looked = false;
        int looksWithoutPass = 0;
        int deferredLooks = 0;
        bool passOwed = false;
        int ambiguousPasses = 0;  // settled passes in a row that found several
    };

    // A probe is about to restart: the devices on the bus now are those to wait for.
    void BeforeRestart();
    // One look for `waiter`'s probe. The bus is gone through (a pass) when every device is
    // back that was there before a restart and the count has risen since the last pass (or at
    // the first look after a restart), and now and then regardless; every waiting update is
    // served by the same pass. Found hands the proven connection to the waiter; `findings` receives
    // what the looks found so far, for a message.
    Reach Look(Waiter& waiter, LinkMode mode, const ProbeProof& proof, std::string& findings);
    // Stops waiting, closing a connection that was found for the waiter but not taken.
    void Forget(Waiter& waiter);

    // An update holds (true) or gives up (false) a connection to its probe in bootloader mode,
    // where it erases, writes and verifies.
    void HoldingBootloader(bool holding);

  private:
    class OwnedApi final : public ArdellixApi {
      public:
        OwnedApi(ArdellixApi& lib, BusLock& lock) : lib_(lib), lock_(lock) {}
        ScaHandle OpenSCA(std::int32_t i) override;
        ScaHandle OpenSCABootloader(std::int32_t i) override;
        std::int32_t CloseSCA(ScaHandle h) override;
        std::int32_t ReadSerialNo(ScaHandle h, char* s) override;
        std::int32_t ReadDeviceInfo(ScaHandle h, std::int32_t sel, char* t) override;
        std::int32_t SetBootloaderFlag(ScaHandle h, std::int32_t b) override;
        std::int32_t ResetController(ScaHandle h) override;
        std::int32_t EraseFlashBlock(ScaHandle h, std::uint32_t a) override;
        std::int32_t WriteFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                                std::int32_t n) override;
        std::int32_t VerifyFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                                 std::int32_t n) override;

      private:
        ArdellixApi& lib_;
        BusLock& lock_;
    };

    int CountLocked();
    Reach LookLocked(Waiter& waiter);
    bool PresentLocked(int index);  // a device at this index, found without an exchange
    // Every device from index 0 to n - 1 identified at once, one thread per device (the
    // identify request to a probe in bootloader mode is answered by nothing but its time-out,
    // so one after the other they would add up). Each entry is left open in the mode found and
    // handed to `then` for the exchanges of that mode; a device gone meanwhile gets handle 0.
    using Examine = std::function<void(DeviceFacts& device, std::size_t slot)>;
    std::vector<DeviceFacts> IdentifyLocked(int n, const Examine& then);
    void PassLocked(int count);
    void Unregister(Waiter& waiter);

    ArdellixApi& lib_;  // used under the exclusive lock only
    BusLock lock_;
    OwnedApi owned_;
    std::vector<Waiter*> waiters_;
    int floor_ = -1;  // lowest device count seen since the last pass; -1 before any
    int full_ = -1;   // devices on the bus when none is restarting
    int bootloaderHolders_ = 0;
};

// True when the identity slot in the flash of the bootloader-mode probe behind `handle`
// holds `serial`: one read-back of 16 bytes.
bool FlashProves(ArdellixApi& lib, ScaHandle handle, const std::string& serial);

// What the flash of a bootloader-mode probe says about its identity; `serial` receives the
// listed serial number it proves.
FlashIdentity ReadFlashIdentity(ArdellixApi& lib, ScaHandle handle, const SerialList& listed,
                                std::optional<std::string>& serial);

}  // namespace mirovane
