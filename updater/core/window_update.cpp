#include "window_update.h"

#include "firmware_module.h"
#include "hex_reader.h"

namespace mirovane {

namespace {

constexpr const char* kSeveralProbes =
    "More than one kLOV is attached. Please disconnect all but the one to update.";

SerialList TableOf(const TopLevel& w) {
    return {w.SerialTable.begin(), w.SerialTable.end()};
}

}  // namespace

void TopLevel::cmdUpload_Click() {
    if (!cmdUpload.Enabled || updating_) {
        return;
    }
    updating_ = true;
    WindowUpdate(*this).Run();
    updating_ = false;
}

// ----- events ----------------------------------------------------------------------------------

void WindowEvents::ErrorBox(const std::string& message) {
    w_.host().ErrorBox(message);
}

void WindowEvents::Phase(UpdatePhase phase) {
    if (w_.observer_ != nullptr) {
        w_.observer_->PhaseChanged(phase);
    }
    switch (phase) {
        case UpdatePhase::Preparation:
            w_.lblProgress.Caption = "Uploading...";
            w_.lblProgress.Visible = true;
            w_.ProgressBar.Value = 0.0F;
            w_.ProgressBar.Visible = true;
            w_.cmdUpload.Enabled = false;
            // A Connect click while the run holds no connection would open a handle the run
            // then overwrites; the button rests until the run ends.
            connectWasEnabled_ = w_.cmdConnect.Enabled;
            w_.cmdConnect.Enabled = false;
            break;
        case UpdatePhase::Erase:
            w_.ClearDeviceInfo();
            w_.lblProgress.Caption = "Erasing:";
            break;
        case UpdatePhase::Write:
            w_.lblProgress.Caption = "Writing:";
            break;
        case UpdatePhase::Verify:
            w_.lblProgress.Caption = "Verifying:";
            break;
        case UpdatePhase::Closing:
            w_.lblProgress.Visible = false;
            w_.ProgressBar.Visible = false;
            w_.cmdUpload.Enabled = true;
            w_.cmdConnect.Enabled = connectWasEnabled_;
            break;
        default:
            break;
    }
}

void WindowEvents::Progress(UpdatePhase phase, std::int32_t address, double percent) {
    w_.ProgressBar.Value = static_cast<float>(percent);
    w_.host().ProcessEvents();
    if (address >= 0 && w_.observer_ != nullptr) {
        w_.observer_->BlockStarting(phase, address);
    }
}

void WindowEvents::Status(const std::string& text) {
    w_.StatusText = text;
}

std::optional<std::string> WindowEvents::AskSerialNumber() {
    SerialDlg& dlg = w_.SerialDialog;
    dlg.Form_Load();
    w_.host().ShowSerialDlg(dlg);
    if (dlg.Cancel) {
        return std::nullopt;
    }
    return dlg.SerialNo;
}

void WindowEvents::Wait(int milliseconds) {
    w_.TimerWait(milliseconds);
}

void WindowEvents::Restarting(bool intoBootloader) {
    if (!intoBootloader) {
        w_.lblProgress.Caption = "Resetting...";
        w_.host().ProcessEvents();
    }
}

void WindowEvents::Reconnected(bool bootloader) {
    if (bootloader) {
        w_.host().ProcessEvents();
    } else {
        w_.cmdUpload.Enabled = true;
    }
}

void WindowEvents::Busy(bool on) {
    w_.host().SetWaitCursor(on);
}

void WindowEvents::ShowIdentity() {
    w_.ShowDeviceInfo();
}

// ----- link ------------------------------------------------------------------------------------

WindowLink::WindowLink(TopLevel& window) : w_(window), lib_(window.host().Library()) {
    status_.open = window.DeviceHandle != 0;
}

ScaHandle WindowLink::Handle() const {
    // Taken from the window at every call, as every library call of the run does.
    return w_.DeviceHandle;
}

bool WindowLink::Opened(bool bootloader) {
    if (w_.DeviceHandle == 0) {
        return false;
    }
    w_.cmdConnect.Caption = "&Disconnect";
    status_ = {true, bootloader, std::nullopt};
    return true;
}

bool WindowLink::OpenApplication(std::int32_t index) {
    w_.DeviceHandle = lib_.OpenSCA(index);
    return Opened(false);
}

bool WindowLink::OpenBootloader(std::int32_t index) {
    w_.DeviceHandle = lib_.OpenSCABootloader(index);
    return Opened(true);
}

void WindowLink::Close() {
    lib_.CloseSCA(w_.DeviceHandle);
    w_.DeviceHandle = 0;
    w_.cmdConnect.Caption = "&Connect";
    status_ = {};
}

bool WindowLink::ReadSerialNo(char (&field)[10]) {
    return ReadSerialNoNoting(lib_, w_.DeviceHandle, field, status_);
}

std::string WindowLink::Obstacle() {
    if (const ScaHandle second = lib_.OpenSCABootloader(1); second != 0) {
        lib_.CloseSCA(second);
        return kSeveralProbes;
    }
    return {};
}

Reach WindowLink::Reconnect(LinkMode mode, const ProbeProof& proof) {
    (void)proof;  // one probe: index 0 is the probe that restarted
    const bool found = mode == LinkMode::Bootloader ? OpenBootloader(0) : OpenApplication(0);
    return found ? Reach::Found : Reach::NotYet;
}

// ----- the run ---------------------------------------------------------------------------------

WindowUpdate::WindowUpdate(TopLevel& window)
    : events_(window),
      link_(window),
      sequence_(UpdateSetup{window.host().Library(), link_, window.Image,
                            [&window](FirmwareImage& image, MessageBoxes& boxes) {
                                window.FirmwareInit();
                                return ReadFWFile(image, FWFile, boxes);
                            },
                            TableOf(window), 0, events_, WaitPolicy::Window()}) {}

void WindowUpdate::Run() {
    sequence_.Run();
}

}  // namespace mirovane
