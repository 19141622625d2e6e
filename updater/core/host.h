// Everything the updater's core needs from the world around it. A front end (the Qt windows,
// a test double, a command line) implements it once.
#pragma once

#include <string>

#include "controls.h"
#include "library_binding.h"
#include "message_box.h"

namespace mirovane {

class SerialDlg;

class Host : public MessageBoxes {
  public:
    // Handle every pending window event once, then return. The front end refreshes its
    // widgets from the core's controls here.
    virtual void ProcessEvents() = 0;

    // Handle events, blocking until at least one has arrived (Timer1's tick among them).
    // The timer wait loops on it, so an idle wait costs no processor time.
    virtual void WaitForEvents() = 0;

    // The application-wide wait cursor (hourglass), on or off.
    virtual void SetWaitCursor(bool on) = 0;

    // Shows the dialog modally, owned by the main window, and returns once it has closed.
    // The dialog's Form_Load has already run; its buttons call cmdOK_Click/cmdCancel_Click.
    virtual void ShowSerialDlg(SerialDlg& dlg) = 0;

    // Timer1's interval or enabled state changed. While enabled, the timer ticks every
    // Interval milliseconds, counted afresh from this call, by calling Timer1_Timer.
    virtual void TimerChanged(const TimerControl& timer) = 0;

    // The operator's long date form of a valid calendar date (for example "Friday, December
    // 28, 2012"); empty when the front end cannot represent that date.
    virtual std::string FormatLongDate(int year, int month, int day) = 0;

    // The probe library.
    virtual ArdellixApi& Library() = 0;
};

}  // namespace mirovane
