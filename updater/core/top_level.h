// The updater's main window as plain control objects, with its operations under the names of
// the control and event that start them. It owns the state an update shares: the connection
// handle, the timer flag, the table of updatable serial numbers and the firmware image.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "controls.h"
#include "firmware_image.h"
#include "host.h"
#include "serial_dlg.h"
#include "serial_entry.h"
#include "text_utils.h"
#include "update_events.h"

namespace mirovane {

// Watches a running update: phase changes and the address of every flash block about to be
// sent. Front ends and measurements may use it; the windows do not need it.
class UpdateObserver {
  public:
    virtual ~UpdateObserver() = default;
    virtual void PhaseChanged(UpdatePhase phase) = 0;
    virtual void BlockStarting(UpdatePhase phase, std::int32_t address) {
        (void)phase;
        (void)address;
    }
};

class TopLevel {
  public:
    explicit TopLevel(Host& host);

    // ----- controls -----
    std::string Caption;
    Label Frame1{"Device info"};
    Label Label1{"Product name:"};
    Label Label2{"Manufacturer:"};
    Label Label3{"Serial number:"};
    Label Label4{"Firmware version:"};
    Label Label5{"Production date:"};
    Label lblProdName{"-"};
    Label lblManufacturer{"-"};
    Label lblSerialNo{"-"};
    Label lblFWversion{"-"};
    Label lblProdDate{"-"};
    CommandButton cmdConnect{"&Connect"};
    CommandButton cmdUpload{"&Update"};
    Label lblProgress{"", false};
    ProgressBarControl ProgressBar{0.0F, false};
    std::string StatusText;  // first panel of the status bar
    TimerControl Timer1;

    // ----- window state -----
    ScaHandle DeviceHandle = 0;
    bool TimerElapsed = false;
    std::array<SerialEntry, 5> SerialTable;
    FirmwareImage Image;
    SerialDlg SerialDialog;  // the one serial-number dialog, loaded anew at every showing

    // Fills the firmware module's line array. The shipped module by default; tests give
    // the window other firmware here.
    std::function<void()> FirmwareInit;

    // ----- operations -----
    void Form_Load();
    void cmdConnect_Click();
    void cmdUpload_Click();
    void Timer1_Timer();
    void ShowDeviceInfo();
    // Waits about `milliseconds` while the window keeps handling its events.
    void TimerWait(int milliseconds);
    // Asked before the window closes; true refuses the close (an update is running), after
    // telling the operator why.
    bool Form_QueryUnload();

    bool UpdateRunning() const { return updating_; }
    void SetUpdateObserver(UpdateObserver* observer) { observer_ = observer; }
    Host& host() { return host_; }

  private:
    friend class WindowEvents;
    friend class WindowLink;

    void SetTimer(int interval, bool enabled);
    void ClearDeviceInfo();

    Host& host_;
    bool updating_ = false;
    UpdateObserver* observer_ = nullptr;
};

struct CalendarDate {
    int year;
    int month;
    int day;
};

// Builds a date from year, month and day numbers, carrying months and days over into the
// neighbouring month or year (month 13 is January of the next year, day 0 the last day of the
// previous month). False when the result lies outside the years 1 to 9999.
bool MakeDate(std::int64_t year, std::int64_t month, std::int64_t day, CalendarDate& out);

}  // namespace mirovane
