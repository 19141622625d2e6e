// The serial-number dialog: collects a serial number typed by the operator and checks its
// length. Whether the number may be updated is the update's decision.
#pragma once

#include <string>

#include "controls.h"

namespace mirovane {

class SerialDlg {
  public:
    // Members read by the update once the dialog has closed.
    std::string SerialNo;  // the last text accepted with OK, untrimmed
    bool Valid = false;    // OK was pressed and SerialNo has exactly 8 characters
    bool Cancel = true;    // the operator left without OK

    // Controls.
    std::string Caption = "Enter Serial Number";
    Label Label1{
        "Please enter the serial number exactly as written in the label found on the "
        "side of the device:"};
    TextBox txtSerialNo;
    CommandButton cmdOK{"&OK"};
    CommandButton cmdCancel{"&Cancel"};

    // Runs at every load: the members take their "left without OK" values and the entry is
    // emptied.
    void Form_Load();
    void cmdOK_Click();
    void cmdCancel_Click();

    // True once a button has asked the dialog to close; reset by Form_Load.
    bool Unloaded() const { return unloaded_; }

  private:
    bool unloaded_ = false;
};

}  // namespace mirovane
