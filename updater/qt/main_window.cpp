#include "main_window.h"

#include <algorithm>
#include <string>

#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>

#include "top_level.h"
#include "ui_metrics.h"

namespace mirovane::qt {

namespace {

QLabel* MakeLabel(QWidget* parent, const QRect& geometry, bool bold) {
    auto* label = new QLabel(parent);
    label->setGeometry(geometry);
    label->setFont(DialogFont(bold));
    return label;
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QWidget(parent) {
    setFixedSize(TwipsSize(6375, 3120));

    Frame1 = new QGroupBox(this);
    Frame1->setGeometry(Twips(120, 120, 4755, 2115));
    Frame1->setFont(DialogFont());

    QLabel** captions[] = {&Label1, &Label2, &Label3, &Label4, &Label5};
    QLabel** values[] = {&lblProdName, &lblManufacturer, &lblSerialNo, &lblFWversion, &lblProdDate};
    for (int i = 0; i < 5; ++i) {
        const int top = 360 + 300 * i;
        *captions[i] = MakeLabel(Frame1, Twips(300, top, 1395, 195), false);
        *values[i] = MakeLabel(Frame1, Twips(1980, top, 2415, 195), true);
    }

    cmdConnect = new QPushButton(this);
    cmdConnect->setGeometry(Twips(5040, 180, 1155, 375));
    cmdUpload = new QPushButton(this);
    cmdUpload->setGeometry(Twips(5040, 660, 1152, 372));
    setTabOrder(cmdConnect, cmdUpload);

    lblProgress = MakeLabel(this, Twips(180, 2400, 1155, 195), false);
    ProgressBar = new QProgressBar(this);
    ProgressBar->setGeometry(Twips(1500, 2400, 4575, 255));
    ProgressBar->setRange(0, 100);
    ProgressBar->setTextVisible(false);

    StatusBar = new QStatusBar(this);
    StatusBar->setGeometry(Twips(0, 2805, 6375, 315));
    StatusBar->setSizeGripEnabled(false);
    StatusBar->setFont(DialogFont());
    StatusPanel = new QLabel(StatusBar);
    StatusPanel->setFont(DialogFont());
    StatusBar->addWidget(StatusPanel, 1);
}

bool MainWindow::Changed(const QObject* widget, const std::string& text) {
    auto [it, inserted] = shown_.try_emplace(widget, text);
    if (inserted) {
        return true;
    }
    if (it->second == text) {
        return false;
    }
    it->second = text;
    return true;
}

void MainWindow::Mirror(const TopLevel& top) {
    // The window is mirrored before every flash block; only texts that changed are converted
    // and set, which keeps the front end's share of a block small.
    if (Changed(this, top.Caption)) {
        setWindowTitle(Text(top.Caption));
    }
    if (Changed(Frame1, top.Frame1.Caption)) {
        Frame1->setTitle(Text(top.Frame1.Caption));
    }
    const Label* captions[] = {&top.Label1, &top.Label2, &top.Label3, &top.Label4, &top.Label5};
    QLabel* captionWidgets[] = {Label1, Label2, Label3, Label4, Label5};
    const Label* values[] = {&top.lblProdName, &top.lblManufacturer, &top.lblSerialNo,
                             &top.lblFWversion, &top.lblProdDate};
    QLabel* valueWidgets[] = {lblProdName, lblManufacturer, lblSerialNo, lblFWversion, lblProdDate};
    for (int i = 0; i < 5; ++i) {
        if (Changed(captionWidgets[i], captions[i]->Caption)) {
            captionWidgets[i]->setText(Text(captions[i]->Caption));
            // Where the fallback font is wider than the designed one, a caption may take the
            // free room up to its value label instead of being clipped.
            const int designed = Twips(300, 0, 1395, 0).width();
            const int room = valueWidgets[i]->x() - captionWidgets[i]->x();
            captionWidgets[i]->resize(std::clamp(captionWidgets[i]->sizeHint().width(), designed,
                                                 std::max(designed, room)),
                                      captionWidgets[i]->height());
        }
        if (Changed(valueWidgets[i], values[i]->Caption)) {
            valueWidgets[i]->setText(Text(values[i]->Caption));
        }
    }
    if (Changed(cmdConnect, top.cmdConnect.Caption)) {
        cmdConnect->setText(Text(top.cmdConnect.Caption));
    }
    cmdConnect->setEnabled(top.cmdConnect.Enabled);
    if (Changed(cmdUpload, top.cmdUpload.Caption)) {
        cmdUpload->setText(Text(top.cmdUpload.Caption));
    }
    cmdUpload->setEnabled(top.cmdUpload.Enabled);
    if (Changed(lblProgress, top.lblProgress.Caption)) {
        lblProgress->setText(Text(top.lblProgress.Caption));
    }
    lblProgress->setVisible(top.lblProgress.Visible);
    // QProgressBar repaints at once whenever its shown value changes; during a fast flash
    // phase that would be a hundred repaints in a fraction of a second. New values are shown
    // at most at the screen's rate, and 0 and 100 always at once.
    const int progress = static_cast<int>(top.ProgressBar.Value);
    if (progress != ProgressBar->value() &&
        (progress == 0 || progress == 100 || !progressShown_.isValid() ||
         progressShown_.elapsed() >= kProgressRepaintMs)) {
        ProgressBar->setValue(progress);
        progressShown_.start();
    }
    ProgressBar->setVisible(top.ProgressBar.Visible);
    if (Changed(StatusPanel, top.StatusText)) {
        StatusPanel->setText(Text(top.StatusText));
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closeGuard_ && closeGuard_()) {
        event->ignore();
        return;
    }
    event->accept();
}

}  // namespace mirovane::qt
