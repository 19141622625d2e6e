// The real Qt widgets on the offscreen platform, against the shipping library and the
// simulated probe.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDate>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <ctime>

#include "frontend.h"
#include "klovsim/sim.h"

namespace {

using namespace mirovane;
using namespace mirovane::qt;

class QtFrontTest : public ::testing::Test {
  protected:
    void SetUp() override {
        klovsim::Bus::instance().reset();
        front.host().SetBoxFunction([this](QWidget*, const QString& message) { boxes << message; });
        front.Start();
    }
    void TearDown() override {
        // The window keeps its connection to the end; the test closes it before the bus goes.
        if (front.top().DeviceHandle != 0) {
            front.host().Library().CloseSCA(front.top().DeviceHandle);
        }
        klovsim::Bus::instance().reset();
    }

    QStringList Values() {
        MainWindow& w = front.window();
        return {w.lblProdName->text(), w.lblManufacturer->text(), w.lblSerialNo->text(),
                w.lblFWversion->text(), w.lblProdDate->text()};
    }

    Frontend front;
    QStringList boxes;
};

TEST_F(QtFrontTest, StateAtLoad) {
    MainWindow& w = front.window();
    EXPECT_EQ(w.windowTitle(), "kLOV-VR Firmware Updater - 1.2.4");
    EXPECT_EQ(w.StatusPanel->text(), "Disconnected");
    EXPECT_EQ(Values(), QStringList(5, "-"));
    EXPECT_EQ(w.Frame1->title(), "Device info");
    EXPECT_EQ(w.Label4->text(), "Firmware version:");
    EXPECT_EQ(w.cmdConnect->text(), "&Connect");
    EXPECT_TRUE(w.cmdConnect->isEnabled());
    EXPECT_EQ(w.cmdUpload->text(), "&Update");
    EXPECT_TRUE(w.cmdUpload->isEnabled());
    EXPECT_TRUE(w.lblProgress->isHidden());
    EXPECT_TRUE(w.ProgressBar->isHidden());
    EXPECT_FALSE(front.host().Timer1().isActive());
    // Geometry from twips at 96 dpi, fonts as designed.
    EXPECT_EQ(w.size(), QSize(425, 208));
    EXPECT_EQ(w.cmdConnect->geometry(), QRect(336, 12, 77, 25));
    EXPECT_EQ(w.lblProdDate->geometry(), QRect(132, 104, 161, 13));
    EXPECT_EQ(w.StatusBar->geometry(), QRect(0, 187, 425, 21));
    EXPECT_TRUE(w.lblProdName->font().bold());
    EXPECT_FALSE(w.Label1->font().bold());
    EXPECT_DOUBLE_EQ(w.Label1->font().pointSizeF(), 8.25);
}

TEST_F(QtFrontTest, ConnectWithNoProbeShowsTheMessageOnly) {
    QTest::mouseClick(front.window().cmdConnect, Qt::LeftButton);
    EXPECT_EQ(boxes, QStringList{"Failed to connect to kLOV"});
    EXPECT_EQ(front.window().StatusPanel->text(), "Disconnected");
    EXPECT_EQ(front.window().cmdConnect->text(), "&Connect");
    EXPECT_EQ(Values(), QStringList(5, "-"));
}

TEST_F(QtFrontTest, ConnectShowsTheIdentity) {
    klovsim::Bus::instance().addProbe();
    QTest::mouseClick(front.window().cmdConnect, Qt::LeftButton);
    EXPECT_TRUE(boxes.isEmpty());
    const QString date = QLocale::system().toString(QDate(2012, 12, 28), QLocale::LongFormat);
    EXPECT_EQ(Values(), (QStringList{"kLOV-VR", "KORVALIMEX", "04124008", "2.0.3", date}));
    EXPECT_EQ(front.window().StatusPanel->text(), "Connected to kLOV with S/N 04124008");
    EXPECT_EQ(front.window().cmdConnect->text(), "&Disconnect");
}

// A complete update through the window, with a close attempt in the middle of it.
TEST_F(QtFrontTest, UpdateRefusesToCloseAndEndsWithTheNewFirmware) {
    klovsim::ProbeConfig config;
    config.resetDelay = std::chrono::milliseconds(20);
    klovsim::Probe probe = klovsim::Bus::instance().addProbe(config);
    MainWindow& w = front.window();
    QTimer::singleShot(0, &w, [&] {
        EXPECT_FALSE(w.cmdUpload->isEnabled());
        EXPECT_FALSE(w.cmdConnect->isEnabled());
        EXPECT_FALSE(w.close());
    });
    QTest::mouseClick(w.cmdUpload, Qt::LeftButton);
    EXPECT_EQ(boxes,
              QStringList{"A firmware update is running. Please wait until it has finished."});
    EXPECT_EQ(Values()[3], "2.1.0");
    EXPECT_EQ(w.StatusPanel->text(), "Connected to kLOV with S/N 04124008");
    EXPECT_TRUE(w.ProgressBar->isHidden());
    EXPECT_TRUE(w.cmdUpload->isEnabled());
    EXPECT_EQ(probe.bootFlag(), klovsim::kBootFlagApplication);
    EXPECT_TRUE(w.close());
}

// The timer wait sleeps in the event loop until Timer1 ticks.
TEST_F(QtFrontTest, TimerWaitBlocksWithoutSpinning) {
    const std::clock_t cpu = std::clock();
    QElapsedTimer wall;
    wall.start();
    front.top().TimerWait(300);
    const double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC;
    EXPECT_GE(wall.elapsed(), 290);
    EXPECT_TRUE(front.top().TimerElapsed);
    EXPECT_TRUE(front.host().Timer1().isActive());
    EXPECT_EQ(front.host().Timer1().interval(), 300);
    EXPECT_LT(cpuMs, 150.0);
}

// The standard box: title "Mirovane", error icon, one OK button.
TEST(QtBoxTest, ErrorBoxLooksAsDesigned) {
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        seen = true;
        EXPECT_EQ(box->windowTitle(), "Mirovane");
        EXPECT_EQ(box->text(), "Failed to connect to kLOV");
        EXPECT_EQ(box->icon(), QMessageBox::Critical);
        EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
        box->button(QMessageBox::Ok)->click();
    });
    QtHost::StandardErrorBox(nullptr, "Failed to connect to kLOV");
    EXPECT_TRUE(seen);
}

// Enter presses OK and Escape presses Cancel; each closes the dialog.
TEST(QtDialogTest, EnterAndEscape) {
    SerialDlg dlg;
    struct Case {
        Qt::Key key;
        bool valid;
        bool cancel;
        QDialog::DialogCode result;
    };
    for (const Case& c : {Case{Qt::Key_Return, true, false, QDialog::Accepted},
                          Case{Qt::Key_Escape, false, true, QDialog::Rejected}}) {
        dlg.Form_Load();
        SerialDialog view;
        view.Mirror(dlg);
        WireSerialDialog(view, dlg);
        view.show();
        EXPECT_EQ(view.windowTitle(), "Enter Serial Number");
        EXPECT_EQ(view.focusWidget(), view.txtSerialNo);
        EXPECT_EQ(view.txtSerialNo->text(), "");
        QTest::keyClicks(view.txtSerialNo, "04124008");
        QTest::keyClick(view.txtSerialNo, c.key);
        EXPECT_EQ(dlg.Valid, c.valid);
        EXPECT_EQ(dlg.Cancel, c.cancel);
        EXPECT_EQ(dlg.SerialNo, "04124008");  // kept through the later Cancel
        EXPECT_EQ(view.result(), c.result);
        EXPECT_FALSE(view.isVisible());
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Widgets without a screen; test discovery runs this too, outside the test environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
