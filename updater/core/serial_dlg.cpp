#include "serial_dlg.h"

namespace mirovane {

void SerialDlg::Form_Load() {
    Cancel = true;
    Valid = false;
    txtSerialNo.Text.clear();
    unloaded_ = false;
}

void SerialDlg::cmdOK_Click() {
    Cancel = false;
    SerialNo = txtSerialNo.Text;
    Valid = SerialNo.size() == 8;
    unloaded_ = true;
}

void SerialDlg::cmdCancel_Click() {
    Cancel = true;
    Valid = false;
    unloaded_ = true;
}

}  // namespace mirovane
