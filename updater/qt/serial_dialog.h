// The serial-number dialog's widgets. The core's SerialDlg holds its logic and members.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace mirovane {
class SerialDlg;
}

namespace mirovane::qt {

class SerialDialog : public QDialog {
    Q_OBJECT

  public:
    explicit SerialDialog(QWidget* owner = nullptr);

    void Mirror(const SerialDlg& dlg);

    QLabel* Label1;
    QLineEdit* txtSerialNo;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;

  protected:
    // Escape presses cmdCancel, as a click would.
    void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace mirovane::qt
