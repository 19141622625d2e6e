// What the core asks of the outside world, done with Qt: message boxes, event processing,
// the wait cursor, the modal serial-number dialog, Timer1, long dates and the probe library.
#pragma once

#include <QString>
#include <QTimer>
#include <functional>

#include "host.h"
#include "library_binding.h"

class QWidget;

namespace mirovane {
class TopLevel;
}

namespace mirovane::qt {

class MainWindow;

class QtHost final : public Host {
  public:
    // Shows one error message, modal, over `parent`.
    using BoxFunction = std::function<void(QWidget* parent, const QString& message)>;
    // Shows the serial-number dialog over `owner`, returning once it has closed.
    using DialogFunction = std::function<void(QWidget* owner, SerialDlg& dlg)>;

    QtHost();

    void Attach(TopLevel* top, MainWindow* window);
    void SetBoxFunction(BoxFunction box) { box_ = std::move(box); }
    void SetDialogFunction(DialogFunction dialog) { dialog_ = std::move(dialog); }
    QTimer& Timer1() { return timer1_; }

    // The real message box: title "Mirovane", error icon, one OK button.
    static void StandardErrorBox(QWidget* parent, const QString& message);

    void ErrorBox(const std::string& message) override;
    void ProcessEvents() override;
    void WaitForEvents() override;
    void SetWaitCursor(bool on) override;
    void ShowSerialDlg(SerialDlg& dlg) override;
    void TimerChanged(const TimerControl& timer) override;
    std::string FormatLongDate(int year, int month, int day) override;
    ArdellixApi& Library() override { return library_; }

  private:
    void Mirror();

    TopLevel* top_ = nullptr;
    MainWindow* window_ = nullptr;
    BoxFunction box_ = StandardErrorBox;
    DialogFunction dialog_;
    QTimer timer1_;
    ArdellixLibrary library_;
};

}  // namespace mirovane::qt
