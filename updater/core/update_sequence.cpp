#include "update_sequence.h"

#include <algorithm>

#include "identity_patch.h"
#include "text_utils.h"

namespace mirovane {

namespace {

constexpr std::int32_t kFlashStart = 2048;
constexpr std::int32_t kFlashEnd = 32767;
constexpr std::int32_t kEraseStep = 64;
constexpr std::int32_t kRowStep = 16;
constexpr std::int32_t kIdentityRow = kSerialNameAddr;  // the row of the serial slot

}  // namespace

const char* PhaseName(UpdatePhase phase) {
    switch (phase) {
        case UpdatePhase::Preparation:
            return "preparation";
        case UpdatePhase::Connection:
            return "connection";
        case UpdatePhase::SerialAndDate:
            return "serial and date";
        case UpdatePhase::Patch:
            return "patch";
        case UpdatePhase::SwitchToBootloader:
            return "switch to bootloader";
        case UpdatePhase::Erase:
            return "erase";
        case UpdatePhase::Write:
            return "write";
        case UpdatePhase::Verify:
            return "verify";
        case UpdatePhase::BackToApplication:
            return "back to application";
        case UpdatePhase::Closing:
            return "closing";
    }
    return "?";
}

UpdateSequence::UpdateSequence(UpdateSetup setup) : s_(std::move(setup)) {}

UpdateResult UpdateSequence::Run() {
    UpdateResult r;
    UpdatePhase at = UpdatePhase::Preparation;
    ambiguous_ = false;
    // Each step runs only when every step before it succeeded.
    const auto step = [&](UpdatePhase phase, bool (UpdateSequence::*fn)()) {
        at = phase;
        return (this->*fn)();
    };
    bool ok = step(UpdatePhase::Preparation, &UpdateSequence::Prepare) &&
              step(UpdatePhase::Connection, &UpdateSequence::ConnectAndIdentify) &&
              step(UpdatePhase::SerialAndDate, &UpdateSequence::SettleSerialAndDate) &&
              step(UpdatePhase::Patch, &UpdateSequence::Patch);
    if (ok && !s_.events.Proceed({PatchedSerial(), productionDate_, startedInBootloader_})) {
        ok = false;
        r.declined = true;
    }
    if (ok) {
        r.touched = true;
        ok = step(UpdatePhase::SwitchToBootloader, &UpdateSequence::SwitchToBootloader) &&
             step(UpdatePhase::Erase, &UpdateSequence::Erase) &&
             step(UpdatePhase::Write, &UpdateSequence::Write) &&
             step(UpdatePhase::Verify, &UpdateSequence::Verify) &&
             step(UpdatePhase::BackToApplication, &UpdateSequence::BackToApplication);
    }
    Close();
    r.completed = ok;
    r.failedIn = ok ? UpdatePhase::Closing : at;
    r.ambiguous = ambiguous_;
    return r;
}

bool UpdateSequence::Prepare() {
    s_.events.Phase(UpdatePhase::Preparation);
    s_.image.ResetImage();
    if (!s_.load(s_.image, s_.events)) {
        return false;
    }
    high_ = s_.image.FWHighAddr;
    serialNumber_ = 0;
    deviceDate_.clear();
    startedInBootloader_ = false;
    serialRead_ = false;
    return true;
}

bool UpdateSequence::ConnectAndIdentify() {
    s_.events.Phase(UpdatePhase::Connection);
    ProbeLink& link = s_.link;
    if (const std::string obstacle = link.Obstacle(); !obstacle.empty()) {
        s_.events.ErrorBox(obstacle);
        return false;
    }
    bool readDate = true;
    if (link.Handle() != 0) {
        if (link.Mode() == LinkMode::Bootloader) {
            startedInBootloader_ = true;
            readDate = false;
        } else if (link.ReadSerialNo(serialField_)) {
            serialNumber_ = NumericValue(std::string_view(serialField_, sizeof serialField_));
            serialRead_ = true;
        } else {
            // The open connection does not answer: it may have died with the probe (unplugged,
            // or restarted on its own), or reach a probe that an interrupted update left in its
            // bootloader. A dead handle would fail every later run at its first command, so the
            // run lets go of it and opens the probe afresh, in whichever mode it runs.
            Disconnect();
        }
    }
    if (link.Handle() == 0) {
        if (link.OpenApplication(s_.deviceIndex)) {
            if (link.ReadSerialNo(serialField_)) {
                serialNumber_ = NumericValue(std::string_view(serialField_, sizeof serialField_));
                serialRead_ = true;
            }
            s_.events.Status(link.Status().Text());
        } else if (link.OpenBootloader(s_.deviceIndex)) {
            s_.events.Status(link.Status().Text());
            startedInBootloader_ = true;
            readDate = false;
        } else {
            const std::string found = link.Findings();
            s_.events.ErrorBox("Failed to connect to kLOV" + (found.empty() ? "" : "\r\n" + found));
            return false;
        }
    }
    if (readDate) {
        char dateField[32] = {};
        if (s_.lib.ReadDeviceInfo(link.Handle(), 4, dateField) != 0) {
            deviceDate_ = StripNulls(std::string(dateField, sizeof dateField));
        }
    }
    return true;
}

bool UpdateSequence::LookUp(const std::string& serial) {
    const SerialEntry* entry = FindSerial(s_.serials, serial);
    if (entry != nullptr) {
        tableDate_ = entry->ProdDate;
    }
    return entry != nullptr;
}

bool UpdateSequence::SettleSerialAndDate() {
    s_.events.Phase(UpdatePhase::SerialAndDate);
    if (serialNumber_ != 0) {
        if (!LookUp(std::string(serialField_, 8))) {
            s_.events.ErrorBox("Invalid serial number, will not try to update this device.");
            return false;
        }
    } else {
        for (;;) {
            const std::optional<std::string> answer = s_.events.AskSerialNumber();
            if (answer && answer->size() == 8 && LookUp(*answer)) {
                serialNumber_ = NumericValue(*answer);
                // What the probe's flash holds when it could not say: the number on its label.
                if (!serialRead_) {
                    std::copy(answer->begin(), answer->end(), serialField_);
                }
                break;
            }
            if (!answer) {
                s_.events.ErrorBox(
                    "Operation aborted.\r\nThe device may be in an unusable state, please try "
                    "the update process again.");
                return false;
            }
            s_.events.ErrorBox("Invalid serial number, try again.");
        }
    }
    productionDate_ = deviceDate_.empty() ? tableDate_ : deviceDate_;
    return true;
}

bool UpdateSequence::Patch() {
    s_.events.Phase(UpdatePhase::Patch);
    return PatchInfo(s_.image, serialNumber_, productionDate_, s_.events);
}

std::string UpdateSequence::PatchedSerial() const {
    const auto* at = s_.image.FWImage.data() + kSerialValueAddr;
    return std::string(reinterpret_cast<const char*>(at), 8);
}

bool UpdateSequence::SwitchToBootloader() {
    s_.events.Phase(UpdatePhase::SwitchToBootloader);
    // Also for a probe found in its bootloader: its flag may still select the application (an
    // update interrupted after the flag was cleared), and erasing under that flag would leave a
    // probe that starts an empty application at its next reset. Such a probe needs no reset.
    if (s_.lib.SetBootloaderFlag(s_.link.Handle(), 1) == 0) {
        s_.events.ErrorBox("Failed to set bootloader mode flag");
        return false;
    }
    if (startedInBootloader_) {
        return true;
    }
    s_.events.Restarting(true);
    s_.link.BeforeRestart();
    if (s_.lib.ResetController(s_.link.Handle()) == 0) {
        s_.events.ErrorBox("Failed to reset the microcontroller");
        return false;
    }
    Disconnect();
    if (!Reconnect(LinkMode::Bootloader, s_.wait.bootloaderFirstWaitMs,
                   "Failed to reconnect to kLOV in bootloader mode")) {
        return false;
    }
    s_.events.Status(s_.link.Status().Text());
    s_.events.Reconnected(true);
    return true;
}

void UpdateSequence::Disconnect() {
    s_.link.Close();
    s_.events.Status(s_.link.Status().Text());
}

bool UpdateSequence::Reconnect(LinkMode mode, int firstWaitMs, const std::string& failure) {
    // Into the bootloader the probe still carries the identity it had; back in its
    // application it reports the serial number just written.
    const ProbeProof proof{mode == LinkMode::Bootloader ? std::string(serialField_, 8)
                                                        : PatchedSerial()};
    if (firstWaitMs > 0) {
        s_.events.Wait(firstWaitMs);
    }
    s_.events.Busy(true);
    Reach reach = Reach::NotYet;
    for (int attempt = 0; attempt < s_.wait.attempts; ++attempt) {
        reach = s_.link.Reconnect(mode, proof);
        if (reach != Reach::NotYet) {
            break;
        }
        s_.events.Wait(s_.wait.retryWaitMs);
    }
    s_.events.Busy(false);
    ambiguous_ = reach == Reach::Ambiguous;
    if (reach != Reach::Found) {
        const std::string found = s_.link.Findings();
        s_.events.ErrorBox(failure + (found.empty() ? "" : "\r\n" + found));
        return false;
    }
    return true;
}

bool UpdateSequence::Erase() {
    s_.events.Phase(UpdatePhase::Erase);
    for (std::int32_t address = kFlashStart; address <= kFlashEnd; address += kEraseStep) {
        s_.events.Progress(UpdatePhase::Erase, address,
                           (address - kFlashStart) * 100.0 / (kFlashEnd - kFlashStart));
        if (s_.lib.EraseFlashBlock(s_.link.Handle(), static_cast<std::uint32_t>(address)) == 0) {
            s_.events.ErrorBox("Failed to erase flash at address " + HexAddress(address));
            return false;
        }
        if (IdentityRowFirst() && address == (kIdentityRow & ~(kEraseStep - 1)) &&
            !WriteRow(kIdentityRow)) {
            return false;
        }
    }
    s_.events.Progress(UpdatePhase::Erase, -1, 100.0);
    return true;
}

bool UpdateSequence::FlashPass(bool verify) {
    const UpdatePhase phase = verify ? UpdatePhase::Verify : UpdatePhase::Write;
    s_.events.Phase(phase);
    for (std::int32_t address = kFlashStart; address <= high_; address += kRowStep) {
        // An image that ends in its first row has nothing left to show: it is complete.
        s_.events.Progress(
            phase, address,
            high_ == kFlashStart ? 100.0 : (address - kFlashStart) * 100.0 / (high_ - kFlashStart));
        if (verify) {
            const std::uint8_t* row = &s_.image.FWImage[static_cast<std::size_t>(address)];
            if (s_.lib.VerifyFlash(s_.link.Handle(), static_cast<std::uint32_t>(address), row,
                                   kRowStep) == 0) {
                s_.events.ErrorBox("Flash verification failed at address " + HexAddress(address));
                return false;
            }
        } else if (!(IdentityRowFirst() && address == kIdentityRow) && !WriteRow(address)) {
            return false;
        }
    }
    s_.events.Progress(phase, -1, 100.0);
    return true;
}

bool UpdateSequence::IdentityRowFirst() const {
    return s_.identityFirst && high_ >= kIdentityRow;
}

bool UpdateSequence::WriteRow(std::int32_t address) {
    const std::uint8_t* row = &s_.image.FWImage[static_cast<std::size_t>(address)];
    if (s_.lib.WriteFlash(s_.link.Handle(), static_cast<std::uint32_t>(address), row, kRowStep) ==
        0) {
        s_.events.ErrorBox("Failed to write flash at address " + HexAddress(address));
        return false;
    }
    return true;
}

bool UpdateSequence::Write() {
    return FlashPass(false);
}

bool UpdateSequence::Verify() {
    return FlashPass(true);
}

bool UpdateSequence::BackToApplication() {
    s_.events.Phase(UpdatePhase::BackToApplication);
    if (s_.lib.SetBootloaderFlag(s_.link.Handle(), 0) == 0) {
        s_.events.ErrorBox("Failed to clear bootloader mode flag");
        return false;
    }
    s_.events.Restarting(false);
    s_.link.BeforeRestart();
    if (s_.lib.ResetController(s_.link.Handle()) == 0) {
        s_.events.ErrorBox("Failed to reset the microcontroller");
        return false;
    }
    Disconnect();
    if (!Reconnect(LinkMode::Application, s_.wait.applicationFirstWaitMs,
                   "Failed to connect to kLOV")) {
        return false;
    }
    s_.events.Reconnected(false);
    char serial[10] = {};
    if (!s_.link.ReadSerialNo(serial)) {
        s_.events.ErrorBox("Failed to read serial number.");
    }
    s_.events.Status(s_.link.Status().Text());
    s_.events.ShowIdentity();
    return true;
}

void UpdateSequence::Close() {
    s_.events.Phase(UpdatePhase::Closing);
}

}  // namespace mirovane
