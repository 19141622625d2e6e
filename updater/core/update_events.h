// What the update sequence tells the front end that runs it, and asks of it. The window shows
// it with its captions, labels and boxes; the command line prints it. Several sequences may run
// at once, each with its own events object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "message_box.h"

namespace mirovane {

// The named steps of an update, in the order they run. Every run ends with Closing.
enum class UpdatePhase {
    Preparation,         // firmware decoded into a fresh image
    Connection,          // a connection found or opened, the probe's identity read
    SerialAndDate,       // serial number checked (or asked for), production date settled
    Patch,               // identity written into the image
    SwitchToBootloader,  // boot flag, reset, reconnect in bootloader mode
    Erase,
    Write,
    Verify,
    BackToApplication,  // boot flag cleared, reset, reconnect, identity shown
    Closing,
};

const char* PhaseName(UpdatePhase phase);

// How the sequence waits for a probe that restarts: a wait after the restart, then up to
// `attempts` looks for the probe with a wait after each one that did not find it.
struct WaitPolicy {
    int bootloaderFirstWaitMs = 0;   // after the restart into the bootloader
    int applicationFirstWaitMs = 0;  // after the restart back into the application
    int retryWaitMs = 0;
    int attempts = 0;

    // The window's timer waits: 2 s, then 60 attempts one second apart; none before the
    // first attempt back into the application.
    static constexpr WaitPolicy Window() { return {2000, 0, 1000, 60}; }
    // A look every 50 ms from the restart on, within the window's overall limit (62 s).
    static constexpr WaitPolicy Polling() { return {50, 50, 50, 1240}; }
};

// What the run is about to write into the probe, for a front end that asks first.
struct UpdatePlan {
    std::string serial;  // the eight characters patched into the image
    std::string productionDate;
    bool startedInBootloader = false;
};

class UpdateEvents : public MessageBoxes {
  public:
    // A named step starts.
    virtual void Phase(UpdatePhase phase) = 0;
    // Flash progress from 0 to 100: before every block (its address) and once more when the
    // phase is done (address -1). The front end may handle its own events here.
    virtual void Progress(UpdatePhase phase, std::int32_t address, double percent) = 0;
    // The connection's state, as a status text, changed.
    virtual void Status(const std::string& text) = 0;
    // The serial number on the probe's label, when the probe cannot report it; nothing when
    // the operator cancels. Asked again after an answer the run cannot use.
    virtual std::optional<std::string> AskSerialNumber() = 0;
    // About `milliseconds`, while the front end keeps handling its events.
    virtual void Wait(int milliseconds) = 0;

    // Asked once before the first step that changes the probe; false ends the run there.
    virtual bool Proceed(const UpdatePlan& plan) {
        (void)plan;
        return true;
    }
    // The probe is about to be restarted, into its bootloader or back into its application.
    virtual void Restarting(bool intoBootloader) { (void)intoBootloader; }
    // The restarted probe answers again.
    virtual void Reconnected(bool bootloader) { (void)bootloader; }
    // The run is busy waiting for the probe (a wait cursor, say).
    virtual void Busy(bool on) { (void)on; }
    // The update is complete and the connection open: show the probe's identity.
    virtual void ShowIdentity() {}
};

}  // namespace mirovane
