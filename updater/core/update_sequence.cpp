#include "update_sequence.h"

#include "firmware_module.h"
#include "hex_reader.h"
#include "identity_patch.h"
#include "text_utils.h"

namespace mirovane {

namespace {

constexpr std::int32_t kFlashStart = 2048;
constexpr std::int32_t kFlashEnd = 32767;
constexpr std::int32_t kEraseStep = 64;
constexpr std::int32_t kRowStep = 16;
constexpr int kReconnectAttempts = 60;
constexpr int kResetWaitMs = 2000;
constexpr int kRetryWaitMs = 1000;

}  // namespace

void TopLevel::cmdUpload_Click() {
    if (!cmdUpload.Enabled || updating_) {
        return;
    }
    updating_ = true;
    UpdateSequence(*this).Run();
    updating_ = false;
}

UpdateSequence::UpdateSequence(TopLevel& window)
    : w_(window), host_(window.host()), lib_(window.host().Library()) {}

void UpdateSequence::Enter(UpdatePhase phase) {
    if (w_.observer_ != nullptr) {
        w_.observer_->PhaseChanged(phase);
    }
}

void UpdateSequence::Run() {
    // Each step runs only when every step before it succeeded; the probe-side steps in the
    // middle are skipped when the probe was found already in its bootloader.
    bool ok = Prepare() && ConnectAndIdentify() && SettleSerialAndDate() && Patch();
    ok = ok && SwitchToBootloader() && Erase() && Write() && Verify() && BackToApplication();
    Close();
}

bool UpdateSequence::Prepare() {
    Enter(UpdatePhase::Preparation);
    w_.lblProgress.Caption = "Uploading...";
    w_.lblProgress.Visible = true;
    w_.ProgressBar.Value = 0.0F;
    w_.ProgressBar.Visible = true;
    w_.cmdUpload.Enabled = false;
    // A Connect click while the run holds no connection would open a handle the run then
    // overwrites; the button rests until the run ends.
    connectWasEnabled_ = w_.cmdConnect.Enabled;
    w_.cmdConnect.Enabled = false;

    w_.Image.ResetImage();
    w_.FirmwareInit();
    if (!ReadFWFile(w_.Image, FWFile, host_)) {
        return false;
    }
    high_ = w_.Image.FWHighAddr;
    serialNumber_ = 0;
    deviceDate_.clear();
    startedInBootloader_ = false;
    return true;
}

bool UpdateSequence::ConnectAndIdentify() {
    Enter(UpdatePhase::Connection);
    bool readDate = true;
    if (w_.DeviceHandle != 0) {
        if (lib_.ReadSerialNo(w_.DeviceHandle, serialField_) != 0) {
            serialNumber_ = NumericValue(std::string_view(serialField_, sizeof serialField_));
        } else {
            // The open connection does not answer: it may have died with the probe (unplugged,
            // or restarted on its own), or reach a probe that an interrupted update left in its
            // bootloader. A dead handle would fail every later run at its first command, so the
            // run lets go of it and opens the probe afresh, in whichever mode it runs.
            Disconnect();
        }
    }
    if (w_.DeviceHandle == 0) {
        w_.DeviceHandle = lib_.OpenSCA(0);
        if (w_.DeviceHandle != 0) {
            w_.cmdConnect.Caption = "&Disconnect";
            if (lib_.ReadSerialNo(w_.DeviceHandle, serialField_) != 0) {
                w_.StatusText = "Connected to kLOV with S/N " +
                                StripNulls(std::string(serialField_, sizeof serialField_));
                serialNumber_ = NumericValue(std::string_view(serialField_, sizeof serialField_));
            } else {
                w_.StatusText = "Connected to kLOV with unknown S/N";
            }
        } else {
            w_.DeviceHandle = lib_.OpenSCABootloader(0);
            if (w_.DeviceHandle == 0) {
                host_.ErrorBox("Failed to connect to kLOV");
                return false;
            }
            w_.cmdConnect.Caption = "&Disconnect";
            w_.StatusText = "Connected to kLOV in bootloader mode";
            startedInBootloader_ = true;
            readDate = false;
        }
    }
    if (readDate) {
        char dateField[32] = {};
        if (lib_.ReadDeviceInfo(w_.DeviceHandle, 4, dateField) != 0) {
            deviceDate_ = StripNulls(std::string(dateField, sizeof dateField));
        }
    }
    return true;
}

bool UpdateSequence::LookUp(const std::string& serial) {
    for (const SerialEntry& entry : w_.SerialTable) {
        if (entry.Serial == serial) {
            tableDate_ = entry.ProdDate;
            return true;
        }
    }
    return false;
}

bool UpdateSequence::SettleSerialAndDate() {
    Enter(UpdatePhase::SerialAndDate);
    if (serialNumber_ != 0) {
        if (!LookUp(std::string(serialField_, 8))) {
            host_.ErrorBox("Invalid serial number, will not try to update this device.");
            return false;
        }
    } else {
        SerialDlg& dlg = w_.SerialDialog;
        for (;;) {
            dlg.Form_Load();
            host_.ShowSerialDlg(dlg);
            if (dlg.Valid && LookUp(dlg.SerialNo)) {
                break;
            }
            if (dlg.Cancel) {
                host_.ErrorBox(
                    "Operation aborted.\r\nThe device may be in an unusable state, please try "
                    "the update process again.");
                return false;
            }
            host_.ErrorBox("Invalid serial number, try again.");
        }
        serialNumber_ = NumericValue(dlg.SerialNo);
    }
    productionDate_ = deviceDate_.empty() ? tableDate_ : deviceDate_;
    return true;
}

bool UpdateSequence::Patch() {
    Enter(UpdatePhase::Patch);
    return PatchInfo(w_.Image, serialNumber_, productionDate_, host_);
}

bool UpdateSequence::SwitchToBootloader() {
    Enter(UpdatePhase::SwitchToBootloader);
    // Also for a probe found in its bootloader: its flag may still select the application (an
    // update interrupted after the flag was cleared), and erasing under that flag would leave a
    // probe that starts an empty application at its next reset. Such a probe needs no reset.
    if (lib_.SetBootloaderFlag(w_.DeviceHandle, 1) == 0) {
        host_.ErrorBox("Failed to set bootloader mode flag");
        return false;
    }
    if (startedInBootloader_) {
        return true;
    }
    if (lib_.ResetController(w_.DeviceHandle) == 0) {
        host_.ErrorBox("Failed to reset the microcontroller");
        return false;
    }
    Disconnect();

    w_.TimerWait(kResetWaitMs);
    Reconnect(true);

    if (w_.DeviceHandle == 0) {
        host_.ErrorBox("Failed to reconnect to kLOV in bootloader mode");
        return false;
    }
    w_.cmdConnect.Caption = "&Disconnect";
    w_.StatusText = "Connected to kLOV in bootloader mode";
    host_.ProcessEvents();
    return true;
}

void UpdateSequence::Disconnect() {
    lib_.CloseSCA(w_.DeviceHandle);
    w_.DeviceHandle = 0;
    w_.cmdConnect.Caption = "&Connect";
    w_.StatusText = "Disconnected";
}

void UpdateSequence::Reconnect(bool bootloader) {
    host_.SetWaitCursor(true);
    for (int attempt = 0; attempt < kReconnectAttempts; ++attempt) {
        w_.DeviceHandle = bootloader ? lib_.OpenSCABootloader(0) : lib_.OpenSCA(0);
        if (w_.DeviceHandle != 0) {
            break;
        }
        w_.TimerWait(kRetryWaitMs);
    }
    host_.SetWaitCursor(false);
}

void UpdateSequence::SetProgress(double value) {
    w_.ProgressBar.Value = static_cast<float>(value);
}

bool UpdateSequence::Erase() {
    Enter(UpdatePhase::Erase);
    w_.ClearDeviceInfo();
    w_.lblProgress.Caption = "Erasing:";
    for (std::int32_t address = kFlashStart; address <= kFlashEnd; address += kEraseStep) {
        SetProgress((address - kFlashStart) * 100.0 / (kFlashEnd - kFlashStart));
        host_.ProcessEvents();
        if (w_.observer_ != nullptr) {
            w_.observer_->BlockStarting(UpdatePhase::Erase, address);
        }
        if (lib_.EraseFlashBlock(w_.DeviceHandle, static_cast<std::uint32_t>(address)) == 0) {
            host_.ErrorBox("Failed to erase flash at address " + HexAddress(address));
            return false;
        }
    }
    SetProgress(100.0);
    host_.ProcessEvents();
    return true;
}

bool UpdateSequence::FlashPass(bool verify) {
    const UpdatePhase phase = verify ? UpdatePhase::Verify : UpdatePhase::Write;
    Enter(phase);
    w_.lblProgress.Caption = verify ? "Verifying:" : "Writing:";
    for (std::int32_t address = kFlashStart; address <= high_; address += kRowStep) {
        // An image that ends in its first row has nothing left to show: it is complete.
        SetProgress(high_ == kFlashStart ? 100.0
                                         : (address - kFlashStart) * 100.0 / (high_ - kFlashStart));
        host_.ProcessEvents();
        if (w_.observer_ != nullptr) {
            w_.observer_->BlockStarting(phase, address);
        }
        const std::uint8_t* row = &w_.Image.FWImage[static_cast<std::size_t>(address)];
        const auto at = static_cast<std::uint32_t>(address);
        if (verify) {
            if (lib_.VerifyFlash(w_.DeviceHandle, at, row, kRowStep) == 0) {
                host_.ErrorBox("Flash verification failed at address " + HexAddress(address));
                return false;
            }
        } else if (lib_.WriteFlash(w_.DeviceHandle, at, row, kRowStep) == 0) {
            host_.ErrorBox("Failed to write flash at address " + HexAddress(address));
            return false;
        }
    }
    SetProgress(100.0);
    host_.ProcessEvents();
    return true;
}

bool UpdateSequence::Write() {
    return FlashPass(false);
}

bool UpdateSequence::Verify() {
    return FlashPass(true);
}

bool UpdateSequence::BackToApplication() {
    Enter(UpdatePhase::BackToApplication);
    if (lib_.SetBootloaderFlag(w_.DeviceHandle, 0) == 0) {
        host_.ErrorBox("Failed to clear bootloader mode flag");
        return false;
    }
    w_.lblProgress.Caption = "Resetting...";
    host_.ProcessEvents();
    if (lib_.ResetController(w_.DeviceHandle) == 0) {
        host_.ErrorBox("Failed to reset the microcontroller");
        return false;
    }
    Disconnect();
    w_.cmdUpload.Enabled = false;

    Reconnect(false);
    if (w_.DeviceHandle == 0) {
        host_.ErrorBox("Failed to connect to kLOV");
        return false;
    }

    w_.cmdConnect.Caption = "&Disconnect";
    w_.cmdUpload.Enabled = true;
    char serial[10] = {};
    if (lib_.ReadSerialNo(w_.DeviceHandle, serial) != 0) {
        w_.StatusText =
            "Connected to kLOV with S/N " + StripNulls(std::string(serial, sizeof serial));
    } else {
        host_.ErrorBox("Failed to read serial number.");
        w_.StatusText = "Connected to kLOV with unknown S/N";
    }
    w_.ShowDeviceInfo();
    return true;
}

void UpdateSequence::Close() {
    Enter(UpdatePhase::Closing);
    w_.lblProgress.Visible = false;
    w_.ProgressBar.Visible = false;
    w_.cmdUpload.Enabled = true;
    w_.cmdConnect.Enabled = connectWasEnabled_;
}

}  // namespace mirovane
