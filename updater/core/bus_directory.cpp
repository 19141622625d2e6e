#include "bus_directory.h"

#include <algorithm>
#include <shared_mutex>
#include <thread>

#include "identity_patch.h"
#include "text_utils.h"

namespace mirovane {

namespace {

// A pass now and then even when the device count shows no change: a probe may have come back
// just as another one left. Looks come every 50 ms, so this is every 3 s of waiting.
constexpr int kLooksBetweenForcedPasses = 60;

// A probe back in its application may wait for its pass while other updates are flashing (a
// pass holds each of them for the identify time-out of its probe), but not for long: 10 s of
// looks, well inside the reconnect limit.
constexpr int kMostDeferredLooks = 200;

std::string Plural(int n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

// ----- the lock --------------------------------------------------------------------------------

void BusLock::lock() {
    std::unique_lock<std::mutex> lk(m_);
    ++writersWaiting_;
    cv_.wait(lk, [&] { return !writer_ && readers_ == 0; });
    --writersWaiting_;
    writer_ = true;
}

void BusLock::unlock() {
    {
        std::lock_guard<std::mutex> lk(m_);
        writer_ = false;
    }
    cv_.notify_all();
}

void BusLock::lock_shared() {
    std::unique_lock<std::mutex> lk(m_);
    cv_.wait(lk, [&] { return !writer_ && writersWaiting_ == 0; });
    ++readers_;
}

void BusLock::unlock_shared() {
    bool last = false;
    {
        std::lock_guard<std::mutex> lk(m_);
        last = --readers_ == 0;
    }
    if (last) {
        cv_.notify_all();
    }
}

// ----- calls on owned connections ----------------------------------------------------------------

// Nothing opens by index here: an update's connections come from a scan or a look, which
// hold the bus lock alone while they open devices.
ScaHandle BusDirectory::OwnedApi::OpenSCA(std::int32_t i) {
    return lib_.OpenSCA(i);
}

ScaHandle BusDirectory::OwnedApi::OpenSCABootloader(std::int32_t i) {
    return lib_.OpenSCABootloader(i);
}

std::int32_t BusDirectory::OwnedApi::CloseSCA(ScaHandle h) {
    std::shared_lock<BusLock> lk(lock_);
    return lib_.CloseSCA(h);
}

std::int32_t BusDirectory::OwnedApi::ReadSerialNo(ScaHandle h, char* s) {
    std::shared_lock<BusLock> lk(lock_);
    return lib_.ReadSerialNo(h, s);
}

std::int32_t BusDirectory::OwnedApi::ReadDeviceInfo(ScaHandle h, std::int32_t sel, char* t) {
    std::shared_lock<BusLock> lk(lock_);
    return lib_.ReadDeviceInfo(h, sel, t);
}

std::int32_t BusDirectory::OwnedApi::SetBootloaderFlag(ScaHandle h, std::int32_t b) {
    std::shared_lock<BusLock> lk(lock_);
    return lib_.SetBootloaderFlag(h, b);
}

std::int32_t BusDirectory::OwnedApi::ResetController(ScaHandle h) {
    std::shared_lock<BusLock> lk(lock_);
    return lib_.ResetController(h);
}

std::int32_t BusDirectory::OwnedApi::EraseFlashBlock(ScaHandle h, std::uint32_t a) {
    std::shared_lock<BusLock> lk(lock_);
    return lib_.EraseFlashBlock(h, a);
}

std::int32_t BusDirectory::OwnedApi::WriteFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                                                std::int32_t n) {
    std::shared_lock<BusLock> lk(lock_);
    return lib_.WriteFlash(h, a, d, n);
}

std::int32_t BusDirectory::OwnedApi::VerifyFlash(ScaHandle h, std::uint32_t a,
                                                 const std::uint8_t* d, std::int32_t n) {
    std::shared_lock<BusLock> lk(lock_);
    return lib_.VerifyFlash(h, a, d, n);
}

// ----- proof -----------------------------------------------------------------------------------

bool FlashProves(ArdellixApi& lib, ScaHandle handle, const std::string& serial) {
    const auto slot = IdentitySlot(serial);
    return lib.VerifyFlash(handle, static_cast<std::uint32_t>(kSerialNameAddr), slot.data(),
                           static_cast<std::int32_t>(slot.size())) != 0;
}

FlashIdentity ReadFlashIdentity(ArdellixApi& lib, ScaHandle handle, const SerialList& listed,
                                std::optional<std::string>& serial) {
    serial.reset();
    for (const SerialEntry& e : listed) {
        if (FlashProves(lib, handle, e.Serial)) {
            serial = e.Serial;
            return FlashIdentity::Listed;
        }
    }
    // The slot's name and its 0 byte, without the number.
    const auto slot = IdentitySlot("");
    return lib.VerifyFlash(handle, static_cast<std::uint32_t>(kSerialNameAddr), slot.data(), 7) != 0
               ? FlashIdentity::Unlisted
               : FlashIdentity::Missing;
}

// ----- the directory ---------------------------------------------------------------------------

BusDirectory::BusDirectory(ArdellixApi& lib) : lib_(lib), owned_(lib, lock_) {}

std::vector<DeviceFacts> BusDirectory::IdentifyLocked(int n, const Examine& then) {
    std::vector<DeviceFacts> found(static_cast<std::size_t>(std::max(n, 0)));
    const auto one = [&](std::size_t slot) {
        DeviceFacts& d = found[slot];
        d.index = static_cast<std::int32_t>(slot);
        d.handle = lib_.OpenSCA(d.index);
        if (d.handle == 0) {
            // Only a device that does not identify itself is sent a bootloader command.
            d.handle = lib_.OpenSCABootloader(d.index);
            d.bootloader = true;
        }
        if (d.handle != 0) {
            then(d, slot);
        }
    };
    if (found.size() == 1) {
        one(0);
    } else {
        std::vector<std::thread> threads;
        for (std::size_t slot = 0; slot < found.size(); ++slot) {
            threads.emplace_back(one, slot);
        }
        for (std::thread& t : threads) {
            t.join();
        }
    }
    return found;
}

std::vector<DeviceFacts> BusDirectory::Scan(const SerialList& listed, bool versions) {
    std::unique_lock<BusLock> lk(lock_);
    const int count = CountLocked();
    std::vector<DeviceFacts> found = IdentifyLocked(count, [&](DeviceFacts& d, std::size_t) {
        if (d.bootloader) {
            d.flash = ReadFlashIdentity(lib_, d.handle, listed, d.serial);
            return;
        }
        char field[10] = {};
        if (lib_.ReadSerialNo(d.handle, field) != 0) {
            d.serial = ReportedSerial(field);
        }
        if (versions) {
            char text[32] = {};
            if (lib_.ReadDeviceInfo(d.handle, 3, text) != 0) {
                d.version = StripNulls(std::string(text, sizeof text));
            }
        }
    });
    std::erase_if(found, [](const DeviceFacts& d) { return d.handle == 0; });
    floor_ = count;
    full_ = std::max(full_, count);
    return found;
}

void BusDirectory::Release(std::vector<DeviceFacts>& devices) {
    std::shared_lock<BusLock> lk(lock_);
    for (DeviceFacts& d : devices) {
        if (d.handle != 0) {
            lib_.CloseSCA(d.handle);
            d.handle = 0;
        }
    }
}

void BusDirectory::BeforeRestart() {
    std::unique_lock<BusLock> lk(lock_);
    full_ = std::max(full_, CountLocked());
}

bool BusDirectory::PresentLocked(int index) {
    const ScaHandle h = lib_.OpenSCABootloader(index);
    if (h != 0) {
        lib_.CloseSCA(h);
    }
    return h != 0;
}

int BusDirectory::CountLocked() {
    // Opening in bootloader mode makes no exchange; it only finds the device.
    int n = 0;
    for (ScaHandle h; (h = lib_.OpenSCABootloader(n)) != 0; ++n) {
        lib_.CloseSCA(h);
    }
    return n;
}

Reach BusDirectory::Look(Waiter& w, LinkMode mode, const ProbeProof& proof, std::string& findings) {
    std::unique_lock<BusLock> lk(lock_);
    w.mode = mode;
    w.proof = proof;
    const Reach reach = LookLocked(w);
    findings = w.findings;
    return reach;
}

Reach BusDirectory::LookLocked(Waiter& w) {
    if (!w.registered) {
        waiters_.push_back(&w);
        w.registered = true;
    }
    if (w.found == 0 && !w.ambiguous) {
        if (w.mode == LinkMode::Application && bootloaderHolders_ > 0 &&
            w.deferredLooks < kMostDeferredLooks) {
            // Nothing is lost by waiting here while others flash: the run is over when the
            // last probe is, and a pass now would hold up every probe still flashing. The
            // bus is not even looked at; the first look after this goes through it.
            ++w.deferredLooks;
            w.passOwed = true;
            return Reach::NotYet;
        }
        // Each check costs one or two openings, no exchange. First: is every device back that
        // was there before a restart? While one is still on its way, a pass could meet it
        // coming back between the two listings by which the library opens a connection's two
        // channels, and bind them to two devices: a request to one probe, the reply read from
        // another and the first probe's next exchange answered by a stale reply.
        const bool complete = full_ <= 0 || PresentLocked(full_ - 1);
        // Then: has the count risen since the last pass (a device at index floor_), or fallen
        // (none at floor_ - 1), so that its rise is what to wait for?
        bool due = w.passOwed || floor_ < 0 || PresentLocked(floor_);
        if (!due && floor_ > 0 && !PresentLocked(floor_ - 1)) {
            floor_ = CountLocked();
        }
        if (!w.looked) {
            // Already back by the first look: the restart may be over before it.
            due = true;
            w.looked = true;
        }
        // Now and then regardless: a probe that never comes back must not hold up the others.
        const bool forced = ++w.looksWithoutPass >= kLooksBetweenForcedPasses;
        if ((due && complete) || forced) {
            PassLocked(CountLocked());
        }
    }
    if (w.found != 0) {
        Unregister(w);
        return Reach::Found;
    }
    if (w.ambiguous) {
        Unregister(w);
        return Reach::Ambiguous;
    }
    return Reach::NotYet;
}

void BusDirectory::Forget(Waiter& w) {
    std::unique_lock<BusLock> lk(lock_);
    Unregister(w);
    if (w.found != 0) {
        lib_.CloseSCA(w.found);
        w.found = 0;
    }
}

void BusDirectory::HoldingBootloader(bool holding) {
    std::unique_lock<BusLock> lk(lock_);
    bootloaderHolders_ += holding ? 1 : -1;
}

void BusDirectory::Unregister(Waiter& w) {
    waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), &w), waiters_.end());
    w.registered = false;
}

void BusDirectory::PassLocked(int count) {
    const auto open = [](const Waiter* w) { return w->found == 0 && !w->ambiguous; };
    // Each device proves to be at most one waiter's probe: the first whose proof it passes.
    std::vector<int> owner(static_cast<std::size_t>(count), -1);
    std::vector<DeviceFacts> devices = IdentifyLocked(count, [&](DeviceFacts& d, std::size_t slot) {
        char field[10] = {};
        bool read = false;
        for (std::size_t k = 0; k < waiters_.size() && owner[slot] < 0; ++k) {
            const Waiter& w = *waiters_[k];
            if (!open(&w) || (w.mode == LinkMode::Bootloader) != d.bootloader) {
                continue;
            }
            if (d.bootloader) {
                if (FlashProves(lib_, d.handle, w.proof.serial)) {
                    owner[slot] = static_cast<int>(k);
                }
                continue;
            }
            if (!read && lib_.ReadSerialNo(d.handle, field) == 0) {
                return;
            }
            read = true;
            if (ReportedSerial(field) == w.proof.serial) {
                owner[slot] = static_cast<int>(k);
            }
        }
        // Proven twice over the same connection. The library opens a connection's two
        // channels by two listings of the bus, so a device appearing in between binds them to
        // two devices; a stale reply on the second could pass one proof, hardly two.
        if (owner[slot] >= 0) {
            const Waiter& w = *waiters_[static_cast<std::size_t>(owner[slot])];
            char again[10] = {};
            const bool still = d.bootloader ? FlashProves(lib_, d.handle, w.proof.serial)
                                            : lib_.ReadSerialNo(d.handle, again) != 0 &&
                                                  ReportedSerial(again) == w.proof.serial;
            if (!still) {
                owner[slot] = -1;
            }
        }
    });
    std::vector<std::vector<ScaHandle>> candidates(waiters_.size());
    int application = 0;
    int bootloader = 0;
    for (std::size_t slot = 0; slot < devices.size(); ++slot) {
        const DeviceFacts& d = devices[slot];
        if (d.handle == 0) {
            continue;
        }
        ++(d.bootloader ? bootloader : application);
        if (owner[slot] >= 0) {
            candidates[static_cast<std::size_t>(owner[slot])].push_back(d.handle);
        } else {
            lib_.CloseSCA(d.handle);
        }
    }
    // A device that appeared during the pass moves the others to other indices: one of them
    // may have been opened twice, or a connection's two channels bound to two devices. A pass
    // over a bus that changed meanwhile decides nothing.
    const bool settled = CountLocked() == count;
    floor_ = settled ? count : -1;
    if (!settled) {
        // Nothing handed on from a bus that changed under the pass: the next look goes
        // through it again.
        for (std::vector<ScaHandle>& handles : candidates) {
            for (ScaHandle h : handles) {
                lib_.CloseSCA(h);
            }
        }
        for (Waiter* w : waiters_) {
            w->passOwed = true;
        }
        return;
    }

    const std::string census =
        "found " + Plural(application + bootloader, "probe", "probes") +
        (application + bootloader == 0
             ? ""
             : ": " + std::to_string(application) + " in application mode, " +
                   std::to_string(bootloader) + " in bootloader mode");
    for (std::size_t k = 0; k < waiters_.size(); ++k) {
        Waiter& w = *waiters_[k];
        w.looksWithoutPass = 0;
        w.passOwed = false;
        if (w.found != 0 || w.ambiguous) {
            continue;
        }
        const std::string who = "S/N " + StripNulls(w.proof.serial);
        const bool boot = w.mode == LinkMode::Bootloader;
        const std::vector<ScaHandle>& mine = candidates[k];
        if (mine.size() == 1) {
            w.found = mine.front();
            continue;
        }
        if (mine.empty()) {
            w.ambiguousPasses = 0;
        }
        if (mine.size() > 1) {
            for (ScaHandle h : mine) {
                lib_.CloseSCA(h);
            }
            // Several only count when two passes in a row find them.
            if (++w.ambiguousPasses < 2) {
                w.passOwed = true;
                continue;
            }
            w.ambiguous = true;
            w.findings = boot ? std::to_string(mine.size()) +
                                    " probes in bootloader mode carry the identity of " + who +
                                    "; nothing was erased."
                              : std::to_string(mine.size()) + " probes report " + who + ".";
            continue;
        }
        w.findings = (boot ? "no probe in bootloader mode carries the identity of " + who
                           : "no probe reports " + who) +
                     " (" + census + ")" + (boot ? "; nothing was erased." : ".");
    }
}

}  // namespace mirovane
