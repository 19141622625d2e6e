#include "serial_dialog.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "serial_dlg.h"
#include "ui_metrics.h"

namespace mirovane::qt {

SerialDialog::SerialDialog(QWidget* owner) : QDialog(owner) {
    setModal(true);
    setFont(DialogFont());
    setFixedSize(TwipsSize(4560, 1920));

    Label1 = new QLabel(this);
    Label1->setGeometry(Twips(330, 180, 3915, 435));
    Label1->setWordWrap(true);
    txtSerialNo = new QLineEdit(this);
    txtSerialNo->setGeometry(Twips(713, 780, 3135, 375));
    cmdOK = new QPushButton(this);
    cmdOK->setGeometry(Twips(983, 1320, 1155, 375));
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(this);
    cmdCancel->setGeometry(Twips(2423, 1320, 1155, 375));
    cmdCancel->setAutoDefault(false);

    setTabOrder(txtSerialNo, cmdOK);
    setTabOrder(cmdOK, cmdCancel);
    txtSerialNo->setFocus();
}

void SerialDialog::Mirror(const SerialDlg& dlg) {
    setWindowTitle(Text(dlg.Caption));
    Label1->setText(Text(dlg.Label1.Caption));
    txtSerialNo->setText(Text(dlg.txtSerialNo.Text));
    cmdOK->setText(Text(dlg.cmdOK.Caption));
    cmdCancel->setText(Text(dlg.cmdCancel.Caption));
}

void SerialDialog::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Cancel)) {
        cmdCancel->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace mirovane::qt
