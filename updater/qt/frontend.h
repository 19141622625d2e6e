// The Qt front end as a whole: the host, the core's main window and its widgets, and every
// signal connection between them.
#pragma once

#include "main_window.h"
#include "qt_host.h"
#include "serial_dialog.h"
#include "top_level.h"

namespace mirovane::qt {

// Connects the dialog's buttons to the core's operations; the dialog closes when the core
// unloads it.
void WireSerialDialog(SerialDialog& view, SerialDlg& dlg);

// Loads the dialog from the core, shows it modally over `owner` and returns once it closed.
void RunSerialDialog(QWidget* owner, SerialDlg& dlg);

class Frontend {
  public:
    Frontend();

    // Form_Load, then the window appears.
    void Start();

    TopLevel& top() { return top_; }
    MainWindow& window() { return window_; }
    QtHost& host() { return host_; }

  private:
    void Wire();

    QtHost host_;
    TopLevel top_;
    MainWindow window_;
};

}  // namespace mirovane::qt
