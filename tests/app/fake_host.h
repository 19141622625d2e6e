// A host for the updater core without any window toolkit. Events are processed instantly; a
// timer wait moves the simulator's virtual clock to Timer1's next tick and delivers it; the
// serial-number dialog answers from a script. Every library call goes through a recorder
// that can act right before a given call (to inject a fault into exactly that call).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "firmware_module.h"
#include "host.h"
#include "klovsim/sim.h"
#include "library_binding.h"
#include "serial_dlg.h"
#include "top_level.h"

namespace apptest {

using namespace mirovane;

// Records every library call by name, in order, and forwards it.
class RecordingApi final : public ArdellixApi {
  public:
    explicit RecordingApi(ArdellixApi& next) : next_(next) {}

    std::vector<std::string> calls;
    std::map<std::string, int> counts;
    // Runs before the call: name and how many calls of that name came before it.
    std::function<void(const std::string& name, int index)> before;

    int Count(const std::string& name) const {
        auto it = counts.find(name);
        return it == counts.end() ? 0 : it->second;
    }

    ScaHandle OpenSCA(std::int32_t i) override { return Note("OpenSCA"), next_.OpenSCA(i); }
    ScaHandle OpenSCABootloader(std::int32_t i) override {
        return Note("OpenSCABootloader"), next_.OpenSCABootloader(i);
    }
    std::int32_t CloseSCA(ScaHandle h) override { return Note("CloseSCA"), next_.CloseSCA(h); }
    std::int32_t ReadSerialNo(ScaHandle h, char* s) override {
        return Note("ReadSerialNo"), next_.ReadSerialNo(h, s);
    }
    std::int32_t ReadDeviceInfo(ScaHandle h, std::int32_t sel, char* t) override {
        return Note("ReadDeviceInfo"), next_.ReadDeviceInfo(h, sel, t);
    }
    std::int32_t SetBootloaderFlag(ScaHandle h, std::int32_t b) override {
        return Note("SetBootloaderFlag"), next_.SetBootloaderFlag(h, b);
    }
    std::int32_t ResetController(ScaHandle h) override {
        return Note("ResetController"), next_.ResetController(h);
    }
    std::int32_t EraseFlashBlock(ScaHandle h, std::uint32_t a) override {
        lastErase = a;
        return Note("EraseFlashBlock"), next_.EraseFlashBlock(h, a);
    }
    std::int32_t WriteFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                            std::int32_t n) override {
        lastWrite = a;
        return Note("WriteFlash"), next_.WriteFlash(h, a, d, n);
    }
    std::int32_t VerifyFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                             std::int32_t n) override {
        lastVerify = a;
        return Note("VerifyFlash"), next_.VerifyFlash(h, a, d, n);
    }

    // Address of the latest call of each flash kind, already set when `before` runs.
    std::uint32_t lastErase = 0;
    std::uint32_t lastWrite = 0;
    std::uint32_t lastVerify = 0;

  private:
    void Note(const std::string& name) {
        int index = counts[name]++;
        calls.push_back(name);
        if (before) {
            before(name, index);
        }
    }
    ArdellixApi& next_;
};

struct Box {
    std::string message;
    std::string status;  // the status text when the box was shown
};

struct DialogAnswer {
    enum Kind { Ok, Cancel, CloseFrame } kind;
    std::string text;
};

class FakeHost final : public Host {
  public:
    ArdellixLibrary real;
    RecordingApi api{real};
    ArdellixApi* library = &api;  // a test may swap in a scripted library
    TopLevel* top = nullptr;

    std::vector<Box> boxes;
    std::deque<DialogAnswer> answers;
    std::vector<std::string> dialogTextsAtShow;
    std::vector<int> timerStarts;  // interval of every start of Timer1
    int cursorDepth = 0;
    int processed = 0;
    std::function<void()> onProcessEvents;

    void ErrorBox(const std::string& message) override {
        boxes.push_back({message, top != nullptr ? top->StatusText : ""});
    }
    void ProcessEvents() override {
        ++processed;
        DeliverDueTicks();
        if (onProcessEvents) {
            onProcessEvents();
        }
    }
    void WaitForEvents() override {
        if (!timerOn_) {
            ADD_FAILURE() << "waiting for events with Timer1 off would never end";
            top->TimerElapsed = true;
            return;
        }
        auto now = klovsim::Clock::now();
        if (nextTick_ > now) {
            klovsim::Clock::advance(nextTick_ - now);
        }
        DeliverDueTicks();
    }
    void SetWaitCursor(bool on) override { cursorDepth += on ? 1 : -1; }
    void ShowSerialDlg(SerialDlg& dlg) override {
        dialogTextsAtShow.push_back(dlg.txtSerialNo.Text);
        if (answers.empty()) {
            ADD_FAILURE() << "serial-number dialog shown with no scripted answer";
            dlg.cmdCancel_Click();
            return;
        }
        DialogAnswer a = answers.front();
        answers.pop_front();
        if (a.kind == DialogAnswer::Ok) {
            dlg.txtSerialNo.Text = a.text;
            dlg.cmdOK_Click();
        } else if (a.kind == DialogAnswer::Cancel) {
            dlg.cmdCancel_Click();
        }
    }
    void TimerChanged(const TimerControl& timer) override {
        timerOn_ = timer.Enabled;
        interval_ = std::chrono::milliseconds(timer.Interval);
        nextTick_ = klovsim::Clock::now() + interval_;
        if (timer.Enabled) {
            timerStarts.push_back(timer.Interval);
        }
    }
    std::string FormatLongDate(int year, int month, int day) override {
        char text[32];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
        return text;
    }
    ArdellixApi& Library() override { return *library; }

    std::vector<std::string> Messages() const {
        std::vector<std::string> m;
        for (const Box& b : boxes) {
            m.push_back(b.message);
        }
        return m;
    }

  private:
    void DeliverDueTicks() {
        while (timerOn_ && klovsim::Clock::now() >= nextTick_) {
            nextTick_ += interval_;
            top->Timer1_Timer();
        }
    }

    bool timerOn_ = false;
    std::chrono::microseconds interval_{1000000};
    std::chrono::microseconds nextTick_{0};
};

// A fresh bus on a virtual clock and a loaded main window. Table-driven tests call Fresh()
// at the start of every case.
class AppTest : public ::testing::Test {
  protected:
    struct World {
        FakeHost host;
        TopLevel top{host};
    };

    void SetUp() override { Fresh(); }
    void TearDown() override {
        CloseLeftover();
        klovsim::Bus::instance().reset();
        RestoreModule();
    }
    void Fresh() {
        CloseLeftover();
        world_.reset();
        RestoreModule();
        klovsim::Bus::instance().reset();
        klovsim::Clock::setVirtual(true);
        world_ = std::make_unique<World>();
        host().top = &top();
        top().Form_Load();
    }
    FakeHost& host() { return world_->host; }
    TopLevel& top() { return world_->top; }
    klovsim::Probe AddProbe(const klovsim::ProbeConfig& config = {}) {
        return klovsim::Bus::instance().addProbe(config);
    }

    // Injects a failing bulk write into the n-th call (from 0) of the named library call.
    void FailCall(const std::string& name, int index) {
        host().api.before = [name, index](const std::string& call, int i) {
            if (call == name && i == index) {
                klovsim::Bus::instance().inject({klovsim::Fault::WriteFails, 0, 1});
            }
        };
    }

  private:
    // A test may swap the firmware module (through TopLevel::FirmwareInit) for a shorter one.
    // The generated FWFileInit assigns the shipped module's elements by index, so the module
    // is put back after every case and every test: no run writes past a swapped-in module.
    static void RestoreModule() {
        static const std::vector<std::string> shipped = FWFile;
        FWFile = shipped;
    }

    // The window never closes its connection; the test does, so that no handle outlives
    // the probe it belongs to.
    void CloseLeftover() {
        if (world_ && world_->top.DeviceHandle != 0) {
            world_->host.real.CloseSCA(world_->top.DeviceHandle);
        }
    }

    std::unique_ptr<World> world_;
};

}  // namespace apptest
