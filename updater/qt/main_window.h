// The main window's widgets. It shows what the core's TopLevel holds; the wiring of its
// buttons lives in the front end.
#pragma once

#include <QElapsedTimer>
#include <QWidget>
#include <functional>
#include <string>
#include <unordered_map>

class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QStatusBar;

namespace mirovane {
class TopLevel;
}

namespace mirovane::qt {

class MainWindow : public QWidget {
    Q_OBJECT

  public:
    explicit MainWindow(QWidget* parent = nullptr);

    // Copies every control of the core into its widget.
    void Mirror(const TopLevel& top);

    // Asked when the operator closes the window; true keeps it open.
    void SetCloseGuard(std::function<bool()> guard) { closeGuard_ = std::move(guard); }

    QGroupBox* Frame1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* lblProdName;
    QLabel* lblManufacturer;
    QLabel* lblSerialNo;
    QLabel* lblFWversion;
    QLabel* lblProdDate;
    QPushButton* cmdConnect;
    QPushButton* cmdUpload;
    QLabel* lblProgress;
    QProgressBar* ProgressBar;
    QStatusBar* StatusBar;
    QLabel* StatusPanel;  // first panel of the status bar

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    // True when `text` differs from what `widget` last showed (and remembers it).
    bool Changed(const QObject* widget, const std::string& text);

    std::function<bool()> closeGuard_;
    std::unordered_map<const QObject*, std::string> shown_;
    static constexpr qint64 kProgressRepaintMs = 16;
    QElapsedTimer progressShown_;
};

}  // namespace mirovane::qt
