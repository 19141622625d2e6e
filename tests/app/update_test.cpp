// The update behind the Update button, end to end against the shipping library and a
// simulated probe.
#include <algorithm>

#include "fake_host.h"
#include "test_firmware.h"
#include "window_update.h"

namespace apptest {
namespace {

using klovsim::Mode;
using klovsim::ProbeConfig;

const char* const kAborted =
    "Operation aborted.\r\nThe device may be in an unusable state, please try the update "
    "process again.";

class UpdateTest : public AppTest {
  protected:
    // Flash from 0x0800 to the end of the row that holds High must equal `expected`.
    void ExpectFlashHolds(const klovsim::Probe& probe, const FirmwareImage& expected) {
        auto flash = probe.flash();
        const std::size_t end = static_cast<std::size_t>((expected.FWHighAddr & ~15) + 16);
        for (std::size_t a = 0x800; a < end; ++a) {
            ASSERT_EQ(flash[a], expected.FWImage[a]) << "at address " << std::hex << a;
        }
        EXPECT_TRUE(probe.writeViolations().empty());
    }

    void ExpectClosed() {
        EXPECT_FALSE(top().lblProgress.Visible);
        EXPECT_FALSE(top().ProgressBar.Visible);
        EXPECT_TRUE(top().cmdUpload.Enabled);
        EXPECT_TRUE(top().cmdConnect.Enabled);
        EXPECT_FALSE(top().UpdateRunning());
        EXPECT_EQ(host().cursorDepth, 0);
    }

    void ExpectIdentityShown(const std::string& serial, const std::string& date) {
        const FirmwareImage shipped = ShippedImage();
        EXPECT_EQ(top().lblProdName.Caption, ImageText(shipped, kProductNameAddr));
        EXPECT_EQ(top().lblManufacturer.Caption, "KORVALIMEX");
        EXPECT_EQ(top().lblSerialNo.Caption, serial);
        EXPECT_EQ(top().lblFWversion.Caption, "2.1.0");
        EXPECT_EQ(top().lblProdDate.Caption, date);
        EXPECT_EQ(top().StatusText, "Connected to kLOV with S/N " + serial);
        EXPECT_EQ(top().cmdConnect.Caption, "&Disconnect");
        EXPECT_NE(top().DeviceHandle, 0U);
    }

    // Names of the library calls made before the first erase.
    std::vector<std::string> CallsBeforeErase() {
        auto it = std::find(host().api.calls.begin(), host().api.calls.end(), "EraseFlashBlock");
        return {host().api.calls.begin(), it};
    }
};

// The three ways into a complete update: already connected, found in application mode, found
// in bootloader mode (serial typed in, date from the table, no reset before erasing). Erasing
// always starts under a flag that selects the bootloader, also for a probe found in its
// bootloader whose flag still selects the application.
TEST_F(UpdateTest, CompleteRunFromEveryStart) {
    struct Case {
        const char* name;
        Mode mode;
        bool connectFirst;
        std::string deviceDate;
        std::string patchedDate;
        std::string shownDate;
        bool flagSaysApplication = false;
    };
    const Case cases[] = {
        {"connected first", Mode::Application, true, "20121228", "20121228", "2012-12-28"},
        {"application mode", Mode::Application, false, "20121228", "20121228", "2012-12-28"},
        {"device date kept", Mode::Application, false, "20140105", "20140105", "2014-01-05"},
        {"no device date", Mode::Application, false, "", "20121228", "2012-12-28"},
        {"bootloader mode", Mode::Bootloader, false, "20140105", "20121228", "2012-12-28"},
        {"bootloader, flag says application", Mode::Bootloader, false, "20140105", "20121228",
         "2012-12-28", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        ProbeConfig config;
        config.mode = c.mode;
        config.productionDate = c.deviceDate;
        klovsim::Probe probe = AddProbe(config);
        if (c.flagSaysApplication) {
            probe.setBootFlag(klovsim::kBootFlagApplication);
        }
        if (c.mode == Mode::Bootloader) {
            host().answers.push_back({DialogAnswer::Ok, "04124008"});
        }
        if (c.connectFirst) {
            top().cmdConnect_Click();
            ASSERT_NE(top().DeviceHandle, 0U);
        }
        std::vector<std::string> statusDuringFlash;
        host().onProcessEvents = [&] {
            if (top().lblProgress.Caption == "Erasing:" && statusDuringFlash.empty()) {
                statusDuringFlash.push_back(top().StatusText);
                EXPECT_EQ(probe.bootFlag(), klovsim::kBootFlagBootloader);
                EXPECT_EQ(top().lblProdName.Caption, "-");
                EXPECT_FALSE(top().cmdUpload.Enabled);
                EXPECT_FALSE(top().cmdConnect.Enabled);
            }
        };

        top().cmdUpload_Click();

        EXPECT_EQ(host().Messages(), std::vector<std::string>{});
        ExpectFlashHolds(probe, PatchedImage(ShippedModule(), 4124008, c.patchedDate));
        EXPECT_EQ(probe.bootFlag(), klovsim::kBootFlagApplication);
        EXPECT_EQ(probe.mode(), Mode::Application);
        EXPECT_FALSE(probe.bricked());
        ExpectIdentityShown("04124008", c.shownDate);
        ExpectClosed();
        EXPECT_EQ(statusDuringFlash,
                  std::vector<std::string>{"Connected to kLOV in bootloader mode"});
        EXPECT_EQ(host().api.Count("EraseFlashBlock"), 480);
        EXPECT_EQ(host().dialogTextsAtShow.size(), c.mode == Mode::Bootloader ? 1U : 0U);

        const auto before = CallsBeforeErase();
        const bool switched = c.mode == Mode::Application;
        EXPECT_EQ(std::count(before.begin(), before.end(), "SetBootloaderFlag"), 1);
        EXPECT_EQ(std::count(before.begin(), before.end(), "ResetController"), switched);
        EXPECT_EQ(host().timerStarts.empty() ? 0 : host().timerStarts.front(),
                  switched ? 2000 : 1000);
    }
}

// High decides where write and verify stop; erasing always covers the whole window.
TEST_F(UpdateTest, WriteAndVerifyStopAtTheRowHoldingHigh) {
    struct Case {
        int high;
        std::uint32_t lastRow;
        int rows;
    };
    for (const Case& c : {Case{32767, 0x7FF0, 1920}, Case{0x1234, 0x1230, 164}}) {
        SCOPED_TRACE(c.high);
        Fresh();
        klovsim::Probe probe = AddProbe();
        FirmwareImage source = ShippedImage();
        source.FWImage[static_cast<std::size_t>(c.high)] = 0x5A;
        const auto module = EncodedModule(source, 0x800, c.high);
        top().FirmwareInit = [module] { FWFile = module; };

        top().cmdUpload_Click();

        EXPECT_EQ(host().Messages(), std::vector<std::string>{});
        const FirmwareImage expected = PatchedImage(module, 4124008, "20121228");
        ASSERT_EQ(expected.FWHighAddr, c.high);
        ExpectFlashHolds(probe, expected);
        EXPECT_EQ(host().api.lastWrite, c.lastRow);
        EXPECT_EQ(host().api.lastVerify, c.lastRow);
        EXPECT_EQ(host().api.Count("WriteFlash"), c.rows);
        EXPECT_EQ(host().api.Count("VerifyFlash"), c.rows);
        EXPECT_EQ(host().api.Count("EraseFlashBlock"), 480);
        ExpectClosed();
    }
}

// A failure in any library step shows its message and leaves the window and the probe as
// stated; the run always ends in the closing steps.
TEST_F(UpdateTest, EachFailingLibraryStep) {
    enum Conn { None, App, Boot };
    struct Case {
        const char* call;
        int index;
        std::string message;
        Conn left;
        std::uint8_t bootFlag;
        std::string status;
    };
    const std::string inBoot = "Connected to kLOV in bootloader mode";
    const Case cases[] = {
        {"SetBootloaderFlag", 0, "Failed to set bootloader mode flag", App,
         klovsim::kBootFlagApplication, "Connected to kLOV with S/N 04124008"},
        {"ResetController", 0, "Failed to reset the microcontroller", App,
         klovsim::kBootFlagBootloader, "Connected to kLOV with S/N 04124008"},
        {"EraseFlashBlock", 0, "Failed to erase flash at address 800", Boot,
         klovsim::kBootFlagBootloader, inBoot},
        {"EraseFlashBlock", 479, "Failed to erase flash at address 7FC0", Boot,
         klovsim::kBootFlagBootloader, inBoot},
        {"WriteFlash", 16, "Failed to write flash at address 900", Boot,
         klovsim::kBootFlagBootloader, inBoot},
        {"VerifyFlash", 0, "Flash verification failed at address 800", Boot,
         klovsim::kBootFlagBootloader, inBoot},
        {"SetBootloaderFlag", 1, "Failed to clear bootloader mode flag", Boot,
         klovsim::kBootFlagBootloader, inBoot},
        {"ResetController", 1, "Failed to reset the microcontroller", Boot,
         klovsim::kBootFlagApplication, inBoot},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Fresh();
        klovsim::Probe probe = AddProbe();
        FailCall(c.call, c.index);

        top().cmdUpload_Click();

        EXPECT_EQ(host().Messages(), std::vector<std::string>{c.message});
        EXPECT_EQ(top().StatusText, c.status);
        EXPECT_EQ(top().DeviceHandle != 0, c.left != None);
        EXPECT_EQ(probe.bootFlag(), c.bootFlag);
        EXPECT_EQ(probe.mode(), c.left == Boot ? Mode::Bootloader : Mode::Application);
        EXPECT_EQ(top().lblProdName.Caption, "-");
        EXPECT_EQ(top().cmdConnect.Caption, "&Disconnect");
        EXPECT_TRUE(probe.writeViolations().empty());
        ExpectClosed();
    }
}

// A connection that died with its probe (unplugged and plugged in again, or left behind by an
// update that ended in the bootloader) answers nothing: Update opens the probe afresh instead of
// failing at its first command for ever.
TEST_F(UpdateTest, ADeadConnectionIsReplacedByAFreshOne) {
    for (const bool bootloader : {false, true}) {
        SCOPED_TRACE(bootloader ? "probe back in its bootloader" : "probe back in its application");
        Fresh();
        klovsim::Probe probe = AddProbe();
        top().cmdConnect_Click();
        const ScaHandle dead = top().DeviceHandle;
        ASSERT_NE(dead, 0U);
        probe.unplug();
        if (bootloader) {
            probe.setBootFlag(klovsim::kBootFlagBootloader);
            host().answers.push_back({DialogAnswer::Ok, "04124008"});
        }
        probe.plug();

        top().cmdUpload_Click();

        EXPECT_EQ(host().Messages(), std::vector<std::string>{});
        EXPECT_NE(top().DeviceHandle, dead);
        EXPECT_EQ(probe.mode(), Mode::Application);
        EXPECT_EQ(top().lblFWversion.Caption, "2.1.0");
        EXPECT_TRUE(host().answers.empty());
    }
}

// The final serial number read may fail: the run still completes and shows the identity.
TEST_F(UpdateTest, SerialReadFailingAfterTheUpdateStillShowsTheIdentity) {
    klovsim::Probe probe = AddProbe();
    FailCall("ReadSerialNo", 1);
    top().cmdUpload_Click();
    ASSERT_EQ(host().boxes.size(), 1U);
    EXPECT_EQ(host().boxes[0].message, "Failed to read serial number.");
    EXPECT_EQ(host().boxes[0].status, "Disconnected");
    EXPECT_EQ(top().StatusText, "Connected to kLOV with unknown S/N");
    EXPECT_EQ(top().lblFWversion.Caption, "2.1.0");
    EXPECT_EQ(top().lblSerialNo.Caption, "04124008");
    EXPECT_EQ(probe.bootFlag(), klovsim::kBootFlagApplication);
    ExpectClosed();
}

// Ends before anything is sent to the probe: the probe keeps its firmware and flag.
TEST_F(UpdateTest, RunsThatEndBeforeTouchingTheProbe) {
    struct Case {
        const char* name;
        bool probe;
        std::string serial;
        Mode mode;
        std::vector<DialogAnswer> answers;
        std::vector<std::string> messages;
        bool connected;
        std::size_t dialogs;
    };
    const Case cases[] = {
        {"no probe",
         false,
         "04124008",
         Mode::Application,
         {},
         {"Failed to connect to kLOV"},
         false,
         0},
        {"unlisted serial",
         true,
         "04124099",
         Mode::Application,
         {},
         {"Invalid serial number, will not try to update this device."},
         true,
         0},
        {"wrong lengths then cancel",
         true,
         "04124008",
         Mode::Bootloader,
         {{DialogAnswer::Ok, "0412400"},
          {DialogAnswer::Ok, "041240080"},
          {DialogAnswer::Ok, "0412 008"},
          {DialogAnswer::Cancel, ""}},
         {"Invalid serial number, try again.", "Invalid serial number, try again.",
          "Invalid serial number, try again.", kAborted},
         true,
         4},
        {"serial reads as zero: asked for",
         true,
         "00000000",
         Mode::Application,
         {{DialogAnswer::Cancel, ""}},
         {kAborted},
         true,
         1},
        {"dialog closed by its frame",
         true,
         "04124008",
         Mode::Bootloader,
         {{DialogAnswer::CloseFrame, ""}},
         {kAborted},
         true,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        ProbeConfig config;
        config.serial = c.serial;
        config.mode = c.mode;
        std::array<std::uint8_t, klovsim::kFlashSize> before{};
        if (c.probe) {
            before = AddProbe(config).flash();
        }
        host().answers.assign(c.answers.begin(), c.answers.end());

        top().cmdUpload_Click();

        EXPECT_EQ(host().Messages(), c.messages);
        EXPECT_EQ(top().DeviceHandle != 0, c.connected);
        EXPECT_EQ(host().dialogTextsAtShow, std::vector<std::string>(c.dialogs, ""));
        EXPECT_EQ(host().api.Count("SetBootloaderFlag") + host().api.Count("EraseFlashBlock"), 0);
        if (c.probe) {
            klovsim::Probe probe = klovsim::Bus::instance().probe(0);
            EXPECT_EQ(probe.flash(), before);
            EXPECT_EQ(probe.mode(), c.mode);
        }
        ExpectClosed();
    }
}

// Firmware that the reader or the patcher refuses ends the run with their message only.
TEST_F(UpdateTest, UnusableFirmwareEndsBeforeTheProbe) {
    FirmwareImage unsigned_ = ShippedImage();
    unsigned_.FWImage[0x1000] = 'X';
    const auto badChecksum =
        EncodedLines({":10080000000000000000000000000000000000000000", ":00000001FF"});
    struct Case {
        std::vector<std::string> module;
        std::string messageStart;
    };
    const Case cases[] = {
        {EncodedModule(unsigned_, 0x800, 0x1FFF),
         "Could not find a valid signature in the firmware image file"},
        {badChecksum, "Invalid record"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.messageStart);
        Fresh();
        klovsim::Probe probe = AddProbe();
        top().cmdConnect_Click();
        const auto flash = probe.flash();
        host().api.calls.clear();
        top().FirmwareInit = [m = c.module] { FWFile = m; };

        top().cmdUpload_Click();

        ASSERT_EQ(host().boxes.size(), 1U);
        EXPECT_EQ(host().boxes[0].message.rfind(c.messageStart, 0), 0U) << host().boxes[0].message;
        EXPECT_NE(top().DeviceHandle, 0U);
        EXPECT_EQ(host().api.Count("SetBootloaderFlag") + host().api.Count("EraseFlashBlock"), 0);
        EXPECT_EQ(probe.flash(), flash);
        ExpectClosed();
    }
}

// The reconnect loops: how many attempts and which waits a probe's restart time costs.
TEST_F(UpdateTest, ReconnectLoopsAttemptsAndWaits) {
    struct Case {
        const char* name;
        int resetMs;      // -1: the probe never comes back after the first reset
        int backResetMs;  // reset delay for the reset back into the application, -1 never
        int bootOpens;    // OpenSCABootloader calls
        int appOpens;     // OpenSCA calls, the first opening included
        std::vector<int> waits;
        std::vector<std::string> messages;
    };
    const std::vector<int> sixty(60, 1000);
    std::vector<int> bootNever{2000};
    bootNever.insert(bootNever.end(), sixty.begin(), sixty.end());
    std::vector<int> appNever{2000};
    appNever.insert(appNever.end(), sixty.begin(), sixty.end());
    const Case cases[] = {
        {"both at once", 1500, 500, 1, 3, {2000, 1000}, {}},
        {"bootloader late", 2500, 1500, 2, 4, {2000, 1000, 1000, 1000}, {}},
        {"bootloader never",
         -1,
         0,
         60,
         1,
         bootNever,
         {"Failed to reconnect to kLOV in bootloader mode"}},
        {"application never", 1500, -1, 1, 61, appNever, {"Failed to connect to kLOV"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        klovsim::Probe probe = AddProbe();
        const auto delay = [](int ms) {
            return std::chrono::milliseconds(ms < 0 ? 24 * 3600 * 1000 : ms);
        };
        probe.setResetDelay(delay(c.resetMs));
        host().api.before = [&](const std::string& call, int index) {
            if (call == "ResetController" && index == 1) {
                probe.setResetDelay(delay(c.backResetMs));
            }
        };
        const auto start = klovsim::Clock::now();

        top().cmdUpload_Click();

        EXPECT_EQ(host().Messages(), c.messages);
        // One more OpenSCABootloader than the loop makes: Update first makes sure that no second
        // probe answers at index 1.
        EXPECT_EQ(host().api.Count("OpenSCABootloader"), c.bootOpens + 1);
        EXPECT_EQ(host().api.Count("OpenSCA"), c.appOpens);
        EXPECT_EQ(host().timerStarts, c.waits);
        int total = 0;
        for (int w : c.waits) {
            total += w;
        }
        EXPECT_GE(klovsim::Clock::now() - start, std::chrono::milliseconds(total));
        if (!c.messages.empty()) {
            EXPECT_EQ(top().DeviceHandle, 0U);
            EXPECT_EQ(top().StatusText, "Disconnected");
            EXPECT_EQ(top().cmdConnect.Caption, "&Connect");
        }
        EXPECT_TRUE(top().Timer1.Enabled);  // left running after a wait
        ExpectClosed();
    }
}

// During a run the window can't start another connection or close; afterwards it can.
TEST_F(UpdateTest, WindowIsGuardedWhileRunning) {
    AddProbe();
    int checks = 0;
    host().onProcessEvents = [&] {
        if (checks++ > 0) {
            return;
        }
        const ScaHandle handle = top().DeviceHandle;
        top().cmdConnect_Click();
        EXPECT_EQ(top().DeviceHandle, handle);
        EXPECT_TRUE(top().Form_QueryUnload());
    };
    top().cmdUpload_Click();
    ASSERT_GT(checks, 0);
    EXPECT_EQ(host().Messages(),
              std::vector<std::string>{"A firmware update is running. Please wait until it has "
                                       "finished."});
    EXPECT_FALSE(top().Form_QueryUnload());
}

// An image whose highest address is the first application address shows a full bar.
TEST_F(UpdateTest, OneRowImageShowsFullProgress) {
    FirmwareImage tiny;
    tiny.FWImage[0x800] = 0;
    const auto module = EncodedModule(tiny, 0x800, 0x800);
    top().FirmwareInit = [module] { FWFile = module; };
    std::vector<float> shown;
    host().onProcessEvents = [&] { shown.push_back(top().ProgressBar.Value); };
    WindowUpdate update(top());
    UpdateSequence& run = update.Sequence();
    ASSERT_TRUE(run.Prepare());
    ASSERT_EQ(run.High(), 2048);
    EXPECT_FALSE(run.Write());  // no connection: the single row is refused
    EXPECT_EQ(shown, std::vector<float>{100.0F});
    EXPECT_EQ(host().Messages(), std::vector<std::string>{"Failed to write flash at address 800"});
}

}  // namespace
}  // namespace apptest
