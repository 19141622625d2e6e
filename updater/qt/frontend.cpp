#include "frontend.h"

#include <QLineEdit>
#include <QPushButton>

namespace mirovane::qt {

void WireSerialDialog(SerialDialog& view, SerialDlg& dlg) {
    QObject::connect(view.cmdOK, &QPushButton::clicked, &view, [&view, &dlg] {
        // One byte per character, so that the length check counts what the operator typed.
        dlg.txtSerialNo.Text = view.txtSerialNo->text().toLatin1().toStdString();
        dlg.cmdOK_Click();
        if (dlg.Unloaded()) {
            view.accept();
        }
    });
    QObject::connect(view.cmdCancel, &QPushButton::clicked, &view, [&view, &dlg] {
        dlg.cmdCancel_Click();
        if (dlg.Unloaded()) {
            view.reject();
        }
    });
}

void RunSerialDialog(QWidget* owner, SerialDlg& dlg) {
    SerialDialog view(owner);
    view.Mirror(dlg);
    WireSerialDialog(view, dlg);
    view.exec();
}

Frontend::Frontend() : top_(host_) {
    host_.Attach(&top_, &window_);
    host_.SetDialogFunction(RunSerialDialog);
    Wire();
}

void Frontend::Wire() {
    QObject::connect(window_.cmdConnect, &QPushButton::clicked, &window_, [this] {
        top_.cmdConnect_Click();
        window_.Mirror(top_);
    });
    QObject::connect(window_.cmdUpload, &QPushButton::clicked, &window_, [this] {
        top_.cmdUpload_Click();
        window_.Mirror(top_);
    });
    QObject::connect(&host_.Timer1(), &QTimer::timeout, &window_, [this] { top_.Timer1_Timer(); });
    window_.SetCloseGuard([this] { return top_.Form_QueryUnload(); });
}

void Frontend::Start() {
    top_.Form_Load();
    window_.Mirror(top_);
    window_.show();
}

}  // namespace mirovane::qt
