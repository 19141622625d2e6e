// The firmware update behind the Update button, as named steps over the main window's state.
// TopLevel::cmdUpload_Click runs it; another front end can run it the same way.
#pragma once

#include <cstdint>
#include <string>

#include "top_level.h"

namespace mirovane {

class UpdateSequence {
  public:
    explicit UpdateSequence(TopLevel& window);

    // Runs every step in order; the first failing step ends the run at Close().
    void Run();

    // The steps. Each returns false when the run must end (its message already shown).
    bool Prepare();              // progress display, image rebuilt from the firmware module
    bool ConnectAndIdentify();   // use the open connection or open one; read serial and date
    bool SettleSerialAndDate();  // serial number checked against the table or asked for
    bool Patch();                // serial number and production date written into the image
    bool SwitchToBootloader();   // flag set; reset and reconnect unless found in bootloader mode
    bool Erase();
    bool Write();
    bool Verify();
    bool BackToApplication();  // flag cleared, reset, reconnect, identity shown
    void Close();              // every run ends here

    // Working values of the run, readable once it has ended.
    std::int32_t SerialNumber() const { return serialNumber_; }
    const std::string& ProductionDate() const { return productionDate_; }
    bool StartedInBootloader() const { return startedInBootloader_; }
    std::int32_t High() const { return high_; }

  private:
    void Enter(UpdatePhase phase);
    bool LookUp(const std::string& serial);
    void SetProgress(double value);
    void Disconnect();  // closes the window's connection and shows it disconnected
    // Up to 60 attempts to open the probe in the given mode, a 1-second timer wait after each
    // failed one, under the wait cursor.
    void Reconnect(bool bootloader);
    // One write or verify pass over 2048..High; `verify` picks the call and its message.
    bool FlashPass(bool verify);

    TopLevel& w_;
    Host& host_;
    ArdellixApi& lib_;

    char serialField_[10] = {};
    std::int32_t serialNumber_ = 0;
    std::string deviceDate_;
    std::string tableDate_;
    std::string productionDate_;
    bool startedInBootloader_ = false;
    std::int32_t high_ = 0;
    bool connectWasEnabled_ = true;
};

}  // namespace mirovane
