#include "terminal_update.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <istream>
#include <ostream>

#include "exit_codes.h"
#include "text.h"
#include "top_level.h"
#include "update_sequence.h"

namespace klov {

namespace {

constexpr int kBarWidth = 40;

// Calls with device index 0, as the update sequence makes them, go to the chosen probe.
class DeviceApi final : public mirovane::ArdellixApi {
  public:
    DeviceApi(mirovane::ArdellixApi& lib, int device) : lib_(lib), device_(device) {}

    ScaHandle OpenSCA(std::int32_t i) override { return lib_.OpenSCA(i + device_); }
    ScaHandle OpenSCABootloader(std::int32_t i) override {
        return lib_.OpenSCABootloader(i + device_);
    }
    std::int32_t CloseSCA(ScaHandle h) override { return lib_.CloseSCA(h); }
    std::int32_t ReadSerialNo(ScaHandle h, char* s) override { return lib_.ReadSerialNo(h, s); }
    std::int32_t ReadDeviceInfo(ScaHandle h, std::int32_t sel, char* t) override {
        return lib_.ReadDeviceInfo(h, sel, t);
    }
    std::int32_t SetBootloaderFlag(ScaHandle h, std::int32_t b) override {
        return lib_.SetBootloaderFlag(h, b);
    }
    std::int32_t ResetController(ScaHandle h) override { return lib_.ResetController(h); }
    std::int32_t EraseFlashBlock(ScaHandle h, std::uint32_t a) override {
        return lib_.EraseFlashBlock(h, a);
    }
    std::int32_t WriteFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                            std::int32_t n) override {
        return lib_.WriteFlash(h, a, d, n);
    }
    std::int32_t VerifyFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                             std::int32_t n) override {
        return lib_.VerifyFlash(h, a, d, n);
    }

  private:
    mirovane::ArdellixApi& lib_;
    std::int32_t device_;
};

// Sleeps until `deadline` on the monotonic clock; a signal does not cut the wait short.
void SleepUntil(const timespec& deadline) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

timespec Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

timespec AddMs(timespec t, int ms) {
    t.tv_sec += ms / 1000;
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

std::string Trim(std::string s) {
    auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    s.erase(s.begin(), std::find_if_not(s.begin(), s.end(), blank));
    s.erase(std::find_if_not(s.rbegin(), s.rend(), blank).base(), s.end());
    return s;
}

class TerminalHost final : public mirovane::Host, public mirovane::UpdateObserver {
  public:
    TerminalHost(mirovane::ArdellixApi& lib, const UpdateOptions& options, UpdateStreams io)
        : lib_(lib), options_(options), io_(io) {}

    // The window whose state the host reports; its status so far counts as already told.
    void Attach(mirovane::TopLevel& window) {
        w_ = &window;
        status_ = window.StatusText;
    }

    // A message of the command line itself, after whatever the sequence still had to say.
    std::ostream& Say() {
        EndBar();
        ReportStatus();
        return io_.err << "klov: ";
    }

    // ----- Host -----
    void ErrorBox(const std::string& message) override {
        EndBar();
        ReportStatus();
        std::string text = message;
        for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) {
            text.replace(at, 2, "\nklov: ");
        }
        io_.err << "klov: " << text << std::endl;
    }

    void ProcessEvents() override {
        ReportStatus();
        DrawProgress();
    }

    void WaitForEvents() override {
        ReportStatus();
        if (!timerEnabled_) {
            return;  // nothing else ever arrives on a terminal
        }
        SleepUntil(deadline_);
        deadline_ = AddMs(deadline_, interval_);
        w_->Timer1_Timer();
    }

    void SetWaitCursor(bool) override {}

    void ShowSerialDlg(mirovane::SerialDlg& dlg) override {
        EndBar();
        if (options_.serial) {
            // The number from the command line is offered once; a second showing means it
            // was turned down, and asking again could never end.
            if (serialOffered_) {
                dlg.cmdCancel_Click();
                return;
            }
            serialOffered_ = true;
            io_.err << "klov: the probe cannot report its serial number; using "
                    << Printable(*options_.serial) << std::endl;
            dlg.txtSerialNo.Text = *options_.serial;
            dlg.cmdOK_Click();
            return;
        }
        io_.err << "klov: the probe cannot report its serial number.\n"
                << "Serial number (8 characters, as on the probe's label; empty line or end "
                   "of input to cancel): "
                << std::flush;
        std::string line;
        if (!std::getline(io_.in, line) || Trim(line).empty()) {
            if (io_.inIsTerminal) {
                io_.err << '\n';
            }
            dlg.cmdCancel_Click();
            return;
        }
        dlg.txtSerialNo.Text = Trim(line);
        dlg.cmdOK_Click();
    }

    void TimerChanged(const mirovane::TimerControl& timer) override {
        timerEnabled_ = timer.Enabled;
        interval_ = std::max(timer.Interval, 1);
        if (timer.Enabled) {
            deadline_ = AddMs(Now(), interval_);
        }
    }

    std::string FormatLongDate(int year, int month, int day) override {
        char text[16];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
        return text;
    }

    mirovane::ArdellixApi& Library() override { return lib_; }

    // ----- UpdateObserver -----
    void PhaseChanged(mirovane::UpdatePhase phase) override {
        EndBar();
        ReportStatus();
        phase_ = phase;
        lastShown_ = -1;
        switch (phase) {
            case mirovane::UpdatePhase::SwitchToBootloader:
                io_.err << "klov: switching the probe to bootloader mode" << std::endl;
                break;
            case mirovane::UpdatePhase::BackToApplication:
                io_.err << "klov: restarting the probe in its application" << std::endl;
                break;
            default:
                break;
        }
    }

    void Finish() {
        EndBar();
        ReportStatus();
    }

  private:
    static bool Flashing(mirovane::UpdatePhase p) {
        return p == mirovane::UpdatePhase::Erase || p == mirovane::UpdatePhase::Write ||
               p == mirovane::UpdatePhase::Verify;
    }

    void ReportStatus() {
        if (w_ != nullptr && w_->StatusText != status_) {
            EndBar();
            status_ = w_->StatusText;
            io_.err << "klov: " << Printable(status_) << std::endl;
        }
    }

    void DrawProgress() {
        if (w_ == nullptr || !Flashing(phase_)) {
            return;
        }
        const int percent = std::clamp(static_cast<int>(w_->ProgressBar.Value), 0, 100);
        const char* name = mirovane::PhaseName(phase_);
        if (io_.outIsTerminal) {
            if (percent == lastShown_) {
                return;
            }
            lastShown_ = percent;
            const int filled = percent * kBarWidth / 100;
            char label[16];
            std::snprintf(label, sizeof label, "%-7s", name);
            io_.out << '\r' << label << '[' << std::string(static_cast<std::size_t>(filled), '#')
                    << std::string(static_cast<std::size_t>(kBarWidth - filled), '.') << "] ";
            char pct[8];
            std::snprintf(pct, sizeof pct, "%3d%%", percent);
            io_.out << pct << std::flush;
            barOpen_ = true;
            return;
        }
        // Plain lines, one per tenth of the phase.
        const int step = percent / 10 * 10;
        if (step > lastShown_) {
            lastShown_ = step;
            io_.out << name << ' ' << step << '%' << std::endl;
        }
    }

    void EndBar() {
        if (barOpen_) {
            io_.out << std::endl;
            barOpen_ = false;
        }
    }

    mirovane::ArdellixApi& lib_;
    const UpdateOptions& options_;
    UpdateStreams io_;
    mirovane::TopLevel* w_ = nullptr;
    mirovane::UpdatePhase phase_ = mirovane::UpdatePhase::Preparation;
    int lastShown_ = -1;
    bool barOpen_ = false;
    std::string status_;
    bool serialOffered_ = false;
    bool timerEnabled_ = false;
    int interval_ = 1000;
    timespec deadline_{};
};

std::string SerialText(std::int32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08d", static_cast<int>(serial));
    return text;
}

bool Confirm(const mirovane::UpdateSequence& seq, const UpdateOptions& options, UpdateStreams io,
             std::ostream& say) {
    say << "about to rewrite the firmware of the probe at device index " << options.device
        << " (S/N " << SerialText(seq.SerialNumber()) << ", production date "
        << Printable(seq.ProductionDate()) << ", now in "
        << (seq.StartedInBootloader() ? "bootloader mode" : "its application") << ").\n"
        << "klov: do not unplug it until klov has finished.\n"
        << "Continue? [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(io.in, answer)) {
        io.err << '\n';
        return false;
    }
    answer = Trim(answer);
    std::transform(answer.begin(), answer.end(), answer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return answer == "y" || answer == "yes";
}

bool Listed(const mirovane::TopLevel& w, const std::string& serial) {
    return std::any_of(w.SerialTable.begin(), w.SerialTable.end(),
                       [&](const mirovane::SerialEntry& e) { return e.Serial == serial; });
}

}  // namespace

int RunUpdate(mirovane::ArdellixApi& lib, const UpdateOptions& options, UpdateStreams io) {
    if (!options.yes && !io.inIsTerminal) {
        io.err << "klov: an update needs a confirmation and standard input is not a terminal;\n"
                  "klov: pass --yes to update without asking.\n";
        return kExitUsage;
    }
    DeviceApi api(lib, options.device);
    TerminalHost host(api, options, io);
    mirovane::TopLevel window(host);
    window.Form_Load();
    host.Attach(window);
    window.SetUpdateObserver(&host);

    if (options.serial && !Listed(window, *options.serial)) {
        io.err << "klov: serial number \"" << Printable(*options.serial)
               << "\" is not one this firmware may be installed on; nothing was done.\n";
        return kExitRefused;
    }

    // The same order of steps as the window's Update button; a confirmation comes between
    // the patch and the first step that changes the probe.
    mirovane::UpdateSequence seq(window);
    int code = kExitOk;
    bool changing = false;  // the probe may be left changed from here on
    if (!seq.Prepare()) {
        code = kExitInternal;
    } else if (!seq.ConnectAndIdentify()) {
        host.Say() << "is the probe plugged in, and may your user open it? See the udev rule "
                      "in the README.\n";
        code = kExitNoProbe;
    } else if (options.serial && seq.SerialNumber() != 0 &&
               seq.SerialNumber() != mirovane::NumericValue(*options.serial)) {
        host.Say() << "the probe reports S/N " << SerialText(seq.SerialNumber()) << ", not "
                   << Printable(*options.serial) << "; nothing was done.\n";
        code = kExitRefused;
    } else if (!seq.SettleSerialAndDate()) {
        code = kExitRefused;
    } else if (!seq.Patch()) {
        code = kExitInternal;
    } else if (!options.yes && !Confirm(seq, options, io, host.Say())) {
        host.Say() << "not confirmed; the probe was not changed.\n";
        code = kExitRefused;
    } else if (changing = true; !seq.SwitchToBootloader()) {
        code = window.DeviceHandle == 0 ? kExitNoProbe : kExitExchange;
    } else if (!seq.Erase() || !seq.Write() || !seq.Verify()) {
        code = kExitExchange;
    } else if (!seq.BackToApplication()) {
        code = window.DeviceHandle == 0 ? kExitNoProbe : kExitExchange;
    }
    seq.Close();
    host.Finish();

    if (code == kExitOk) {
        host.Say() << "update finished: " << Printable(window.lblProdName.Caption) << ", S/N "
                   << Printable(window.lblSerialNo.Caption) << ", firmware "
                   << Printable(window.lblFWversion.Caption) << ", production date "
                   << Printable(window.lblProdDate.Caption) << std::endl;
    } else if (changing) {
        host.Say() << "the update did not finish; the probe may be left in bootloader mode. "
                      "Bring it back with:\n"
                   << "klov:   klov update -d " << options.device << " --serial "
                   << SerialText(seq.SerialNumber()) << " --yes\n";
    }
    if (window.DeviceHandle != 0) {
        api.CloseSCA(window.DeviceHandle);
        window.DeviceHandle = 0;
    }
    return code;
}

}  // namespace klov
