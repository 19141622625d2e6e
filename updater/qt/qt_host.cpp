#include "qt_host.h"

#include <QApplication>
#include <QDate>
#include <QEventLoop>
#include <QGuiApplication>
#include <QLocale>
#include <QMessageBox>

#include "main_window.h"
#include "top_level.h"
#include "ui_metrics.h"

namespace mirovane::qt {

QtHost::QtHost()
    : library_(ARDELLIX_LIBRARY_FILE,
               [](const std::string& message) { StandardErrorBox(nullptr, Text(message)); }) {
    timer1_.setTimerType(Qt::PreciseTimer);
}

void QtHost::Attach(TopLevel* top, MainWindow* window) {
    top_ = top;
    window_ = window;
}

void QtHost::StandardErrorBox(QWidget* parent, const QString& message) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Mirovane"), message, QMessageBox::Ok,
                    parent);
    box.exec();
}

void QtHost::Mirror() {
    if (top_ != nullptr && window_ != nullptr) {
        window_->Mirror(*top_);
    }
}

void QtHost::ErrorBox(const std::string& message) {
    Mirror();
    QString text = Text(message);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    box_(window_, text);
}

void QtHost::ProcessEvents() {
    Mirror();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtHost::WaitForEvents() {
    Mirror();
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void QtHost::SetWaitCursor(bool on) {
    if (on) {
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QGuiApplication::restoreOverrideCursor();
    }
}

void QtHost::ShowSerialDlg(SerialDlg& dlg) {
    Mirror();
    if (dialog_) {
        dialog_(window_, dlg);
    }
}

void QtHost::TimerChanged(const TimerControl& timer) {
    timer1_.stop();
    timer1_.setInterval(timer.Interval);
    if (timer.Enabled) {
        timer1_.start();
    }
}

std::string QtHost::FormatLongDate(int year, int month, int day) {
    const QDate date(year, month, day);
    if (!date.isValid()) {
        return {};
    }
    return QLocale::system().toString(date, QLocale::LongFormat).toStdString();
}

}  // namespace mirovane::qt
