// The world of one case of the fault sweep: a fresh bus with the probe to update among other
// devices, a freshly loaded main window, and a host that answers the window at once
// (Timer1 on the simulator's virtual clock, the serial-number dialog answered with the probe's
// serial number). The library is watched: the probe is looked at after every call.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "firmware_image.h"
#include "host.h"
#include "klovsim/sim.h"
#include "library_binding.h"
#include "serial_dlg.h"
#include "top_level.h"

namespace sweep {

using namespace mirovane;

constexpr const char* kSerial = "04124008";
constexpr const char* kDate = "20121228";  // the probe's own date, also its table entry
constexpr const char* kOtherSerial = "04124009";
constexpr int kMaxDialogs = 3;

// The bus a case runs on: the directory order, which of kReplyBytes the probe answers with
// where the library must not look, and whether a second probe sits beside it (else only
// foreign devices do).
struct Setting {
    klovsim::DirectoryOrder order = klovsim::DirectoryOrder::NewestFirst;
    std::size_t replyBytes = 0;
    bool otherProbe = false;
};
extern const std::array<klovsim::UnexaminedBytes, 4> kReplyBytes;

class SweepHost final : public Host {
  public:
    explicit SweepHost(ArdellixApi& api) : api_(api) {}

    TopLevel* top = nullptr;
    std::vector<std::string> messages;
    int dialogs = 0;

    void ErrorBox(const std::string& message) override { messages.push_back(message); }
    void ProcessEvents() override { DeliverDueTicks(); }
    void WaitForEvents() override {
        if (!timerOn_) {
            // Nothing could ever end this wait; end it rather than hang the sweep.
            messages.push_back("sweep: wait with Timer1 off");
            top->TimerElapsed = true;
            return;
        }
        const auto now = klovsim::Clock::now();
        if (nextTick_ > now) {
            klovsim::Clock::advance(nextTick_ - now);
        }
        DeliverDueTicks();
    }
    void SetWaitCursor(bool) override {}
    // The operator types the serial number printed on the probe.
    void ShowSerialDlg(SerialDlg& dlg) override {
        if (++dialogs > kMaxDialogs) {
            dlg.cmdCancel_Click();
            return;
        }
        dlg.txtSerialNo.Text = kSerial;
        dlg.cmdOK_Click();
    }
    void TimerChanged(const TimerControl& timer) override {
        timerOn_ = timer.Enabled;
        interval_ = std::chrono::milliseconds(timer.Interval);
        nextTick_ = klovsim::Clock::now() + interval_;
    }
    std::string FormatLongDate(int year, int month, int day) override {
        return std::to_string(year) + "-" + std::to_string(month) + "-" + std::to_string(day);
    }
    ArdellixApi& Library() override { return api_; }

  private:
    void DeliverDueTicks() {
        while (timerOn_ && klovsim::Clock::now() >= nextTick_) {
            nextTick_ += interval_;
            top->Timer1_Timer();
        }
    }

    ArdellixApi& api_;
    bool timerOn_ = false;
    std::chrono::microseconds interval_{1000000};
    std::chrono::microseconds nextTick_{0};
};

class WatchedApi final : public ArdellixApi {
  public:
    explicit WatchedApi(ArdellixApi& next) : next_(next) {}

    bool bricked = false;
    bool recordCalls = false;
    std::vector<std::pair<std::int64_t, const char*>> callStarts;  // first exchange, name

    ScaHandle OpenSCA(std::int32_t i) override {
        return Watch("OpenSCA", [&] { return next_.OpenSCA(i); });
    }
    ScaHandle OpenSCABootloader(std::int32_t i) override {
        return Watch("OpenSCABootloader", [&] { return next_.OpenSCABootloader(i); });
    }
    std::int32_t CloseSCA(ScaHandle h) override {
        return Watch("CloseSCA", [&] { return next_.CloseSCA(h); });
    }
    std::int32_t ReadSerialNo(ScaHandle h, char* s) override {
        return Watch("ReadSerialNo", [&] { return next_.ReadSerialNo(h, s); });
    }
    std::int32_t ReadDeviceInfo(ScaHandle h, std::int32_t sel, char* t) override {
        return Watch("ReadDeviceInfo", [&] { return next_.ReadDeviceInfo(h, sel, t); });
    }
    std::int32_t SetBootloaderFlag(ScaHandle h, std::int32_t b) override {
        return Watch("SetBootloaderFlag", [&] { return next_.SetBootloaderFlag(h, b); });
    }
    std::int32_t ResetController(ScaHandle h) override {
        return Watch("ResetController", [&] { return next_.ResetController(h); });
    }
    std::int32_t EraseFlashBlock(ScaHandle h, std::uint32_t a) override {
        return Watch("EraseFlashBlock", [&] { return next_.EraseFlashBlock(h, a); });
    }
    std::int32_t WriteFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                            std::int32_t n) override {
        return Watch("WriteFlash", [&] { return next_.WriteFlash(h, a, d, n); });
    }
    std::int32_t VerifyFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                             std::int32_t n) override {
        return Watch("VerifyFlash", [&] { return next_.VerifyFlash(h, a, d, n); });
    }

  private:
    template <typename F>
    auto Watch(const char* name, F call) -> decltype(call()) {
        if (recordCalls) {
            callStarts.emplace_back(klovsim::Bus::instance().exchanges(), name);
        }
        auto result = call();
        Look();
        return result;
    }
    void Look() {
        auto& bus = klovsim::Bus::instance();
        for (int i = 0; i < bus.probeCount(); ++i) {
            bricked = bricked || bus.probe(i).bricked();
        }
    }
    ArdellixApi& next_;
};

// The world of one case: a fresh bus and a freshly loaded main window.
class World {
  public:
    World(ArdellixApi& library, const Setting& setting);
    ~World();

    // One press of Update; the messages it showed.
    std::vector<std::string> Press();
    // Empty when the probe holds the update; else what is wrong.
    std::string Check(const FirmwareImage& expected) const;
    // The probe as Check() wants it, and the window connected to it showing its serial number.
    std::string CheckWithWindow(const FirmwareImage& expected) const;
    // Empty when the other probe (if any) is as it was; else what changed.
    std::string CheckOther() const;

    WatchedApi api;
    SweepHost host;
    TopLevel top;
    std::unique_ptr<klovsim::Probe> probe;  // the one the update is for
    std::unique_ptr<klovsim::Probe> other;  // a second probe, never to be touched; or none
    std::array<std::uint8_t, klovsim::kFlashSize> initialFlash{};
    std::array<std::uint8_t, klovsim::kFlashSize> otherFlash{};
    std::array<std::uint8_t, klovsim::kEepromSize> otherEeprom{};
};

// The shipped firmware with the probe's serial number and date patched in.
FirmwareImage ExpectedImage();

}  // namespace sweep
