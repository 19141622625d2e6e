// The firmware update as named steps. It stands alone: it is given the library calls, the link
// to its probe, the image to fill and send, the serial numbers it may be installed on, the
// device index, the events of its front end and a wait policy. Nothing in it is shared, so
// several sequences can run at once, one per probe.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "firmware_image.h"
#include "library_binding.h"
#include "probe_link.h"
#include "serial_entry.h"
#include "update_events.h"

namespace mirovane {

// Fills a reset image with the firmware to send; false after its own message.
using FirmwareLoader = std::function<bool(FirmwareImage& image, MessageBoxes& boxes)>;

struct UpdateSetup {
    ArdellixApi& lib;
    ProbeLink& link;
    FirmwareImage& image;
    FirmwareLoader load;
    SerialList serials;
    std::int32_t deviceIndex = 0;
    UpdateEvents& events;
    WaitPolicy wait;
    // Writes the row holding the serial slot right after the erase of its block, instead of in
    // address order: a probe interrupted at any other point then still proves its identity
    // from flash and can be told from other probes in bootloader mode. The same rows are
    // written and verified either way.
    bool identityFirst = false;
};

// How a run ended.
struct UpdateResult {
    bool completed = false;
    UpdatePhase failedIn = UpdatePhase::Closing;  // the step that ended an incomplete run
    bool declined = false;                        // the front end did not proceed
    bool touched = false;                         // the boot flag or the flash may be changed
    bool ambiguous = false;  // after a restart several probes proved to be the one updated
};

class UpdateSequence {
  public:
    explicit UpdateSequence(UpdateSetup setup);

    // Runs every step in order; the first failing step ends the run at Close().
    UpdateResult Run();

    // The steps. Each returns false when the run must end (its message already shown).
    bool Prepare();              // the image rebuilt from the firmware
    bool ConnectAndIdentify();   // use the open connection or open one; read serial and date
    bool SettleSerialAndDate();  // serial number checked against the list or asked for
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
    // The eight characters of the serial number as patched into the image.
    std::string PatchedSerial() const;

  private:
    void Disconnect();  // closes the link and reports the status
    // The restarted probe looked for up to the policy's attempts, a wait after each look that
    // did not find it; false after the message.
    bool Reconnect(LinkMode mode, int firstWaitMs, const std::string& failure);
    bool FlashPass(bool verify);
    bool IdentityRowFirst() const;
    bool WriteRow(std::int32_t address);
    bool LookUp(const std::string& serial);

    UpdateSetup s_;
    char serialField_[10] = {};
    std::int32_t serialNumber_ = 0;
    std::string deviceDate_;
    std::string tableDate_;
    std::string productionDate_;
    bool startedInBootloader_ = false;
    bool serialRead_ = false;  // the serial field holds what the probe reported
    bool ambiguous_ = false;   // a look after a restart found several probes
    std::int32_t high_ = 0;
};

}  // namespace mirovane
