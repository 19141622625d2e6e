// The main window's own operations and the serial-number dialog.
#include <cstring>

#include "fake_host.h"

namespace apptest {
namespace {

using klovsim::Mode;
using klovsim::ProbeConfig;

class WindowTest : public AppTest {
  protected:
    std::vector<std::string> Values() {
        return {top().lblProdName.Caption, top().lblManufacturer.Caption, top().lblSerialNo.Caption,
                top().lblFWversion.Caption, top().lblProdDate.Caption};
    }
};

TEST_F(WindowTest, StateAtLoad) {
    EXPECT_EQ(top().Caption, "kLOV-VR Firmware Updater - 1.2.4");
    EXPECT_EQ(top().StatusText, "Disconnected");
    EXPECT_EQ(Values(), std::vector<std::string>(5, "-"));
    EXPECT_EQ(top().cmdConnect.Caption, "&Connect");
    EXPECT_TRUE(top().cmdConnect.Enabled);
    EXPECT_EQ(top().cmdUpload.Caption, "&Update");
    EXPECT_TRUE(top().cmdUpload.Enabled);
    EXPECT_FALSE(top().lblProgress.Visible);
    EXPECT_FALSE(top().ProgressBar.Visible);
    EXPECT_FALSE(top().Timer1.Enabled);
    EXPECT_EQ(top().Timer1.Interval, 1000);
    EXPECT_EQ(top().DeviceHandle, 0U);
    EXPECT_EQ(top().Image.FWHighAddr, 2048);
    EXPECT_EQ(top().SerialTable[0].Serial, "04124008");
    EXPECT_EQ(top().SerialTable[4].ProdDate, "20130813");
}

// Connect: every outcome, with the messages in the order the operator sees them.
TEST_F(WindowTest, Connect) {
    const std::vector<std::string> identity{"kLOV-VR", "KORVALIMEX", "04124008", "2.0.3",
                                            "2012-12-28"};
    struct Case {
        const char* name;
        int probe;  // 0 none, 1 application, 2 bootloader
        const char* failCall;
        int failIndex;
        std::vector<Box> boxes;
        std::string status;
        std::vector<std::string> values;
    };
    const auto with = [&](int i, const char* v) {
        auto values = identity;
        values[static_cast<std::size_t>(i)] = v;
        return values;
    };
    const std::string connected = "Connected to kLOV with S/N 04124008";
    const Case cases[] = {
        {"no probe",
         0,
         "",
         0,
         {{"Failed to connect to kLOV", "Disconnected"}},
         "Disconnected",
         std::vector<std::string>(5, "-")},
        {"bootloader probe",
         2,
         "",
         0,
         {{"Failed to connect to kLOV", "Disconnected"}},
         "Disconnected",
         std::vector<std::string>(5, "-")},
        {"application probe", 1, "", 0, {}, connected, identity},
        {"serial read fails",
         1,
         "ReadSerialNo",
         0,
         {{"Failed to read serial number.", "Disconnected"}},
         "Connected to kLOV with unknown S/N",
         identity},
        {"product name fails",
         1,
         "ReadDeviceInfo",
         0,
         {{"Failed to read product name.", connected}},
         connected,
         with(0, "Unknown")},
        {"manufacturer fails",
         1,
         "ReadDeviceInfo",
         1,
         {{"Failed to read manufacturer name.", connected}},
         connected,
         with(1, "Unknown")},
        {"serial item fails",
         1,
         "ReadDeviceInfo",
         2,
         {{"Failed to read serial number.", connected}},
         connected,
         with(2, "Unknown")},
        {"version fails",
         1,
         "ReadDeviceInfo",
         3,
         {{"Failed to read firmware version.", connected}},
         connected,
         with(3, "Unknown")},
        {"date fails",
         1,
         "ReadDeviceInfo",
         4,
         {{"Failed to read production date.", connected}},
         connected,
         with(4, "Unknown")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        if (c.probe != 0) {
            ProbeConfig config;
            config.mode = c.probe == 2 ? Mode::Bootloader : Mode::Application;
            AddProbe(config);
        }
        if (*c.failCall != '\0') {
            FailCall(c.failCall, c.failIndex);
        }
        top().cmdConnect_Click();

        ASSERT_EQ(host().boxes.size(), c.boxes.size());
        for (std::size_t i = 0; i < c.boxes.size(); ++i) {
            EXPECT_EQ(host().boxes[i].message, c.boxes[i].message);
            EXPECT_EQ(host().boxes[i].status, c.boxes[i].status);
        }
        EXPECT_EQ(top().StatusText, c.status);
        EXPECT_EQ(Values(), c.values);
        EXPECT_EQ(top().DeviceHandle != 0, c.probe == 1);
        EXPECT_EQ(top().cmdConnect.Caption, c.probe == 1 ? "&Disconnect" : "&Connect");
    }
}

TEST_F(WindowTest, DisconnectClearsTheIdentityAndKeepsUpdate) {
    AddProbe();
    top().cmdConnect_Click();
    ASSERT_NE(top().DeviceHandle, 0U);
    top().cmdUpload.Enabled = false;
    top().cmdConnect_Click();
    EXPECT_EQ(top().DeviceHandle, 0U);
    EXPECT_EQ(top().StatusText, "Disconnected");
    EXPECT_EQ(top().cmdConnect.Caption, "&Connect");
    EXPECT_EQ(Values(), std::vector<std::string>(5, "-"));
    EXPECT_FALSE(top().cmdUpload.Enabled);
    EXPECT_EQ(klovsim::Bus::instance().openHandles(), 0);
    EXPECT_TRUE(host().boxes.empty());
}

// Production-date texts become calendar dates, carrying over months and days; a text that
// gives no date in the years 1 to 9999 shows "Unknown".
TEST_F(WindowTest, ProductionDateShown) {
    struct Case {
        std::string text;
        std::string shown;
    };
    const Case cases[] = {
        {"20121228", "2012-12-28"},
        {"20121301", "2013-01-01"},
        {"20120300", "2012-02-29"},
        {"20120000", "2011-11-30"},
        {"2012", "2011-11-30"},
        {"2012AB05", "2011-12-05"},
        {"", "Unknown"},
        {"00000000", "Unknown"},
        {"99991231", "9999-12-31"},
        {"99991232", "Unknown"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Fresh();
        ProbeConfig config;
        config.productionDate = c.text;
        AddProbe(config);
        top().cmdConnect_Click();
        EXPECT_EQ(top().lblProdDate.Caption, c.shown);
        EXPECT_TRUE(host().boxes.empty());
    }
}

// A library that answers with texts the way a careless probe could: without terminator.
class UnterminatedTexts final : public ArdellixApi {
  public:
    ScaHandle OpenSCA(std::int32_t) override { return 1; }
    ScaHandle OpenSCABootloader(std::int32_t) override { return 0; }
    std::int32_t CloseSCA(ScaHandle) override { return 1; }
    std::int32_t ReadSerialNo(ScaHandle, char* s) override {
        std::memcpy(s, "04124008", 8);
        return 1;
    }
    std::int32_t ReadDeviceInfo(ScaHandle, std::int32_t selector, char* t) override {
        const char* texts[] = {"kLOV-VR long product", "ACME", "04124008", "2.0", "20121228"};
        std::memcpy(t, texts[selector], std::strlen(texts[selector]));
        return 1;
    }
    std::int32_t SetBootloaderFlag(ScaHandle, std::int32_t) override { return 0; }
    std::int32_t ResetController(ScaHandle) override { return 0; }
    std::int32_t EraseFlashBlock(ScaHandle, std::uint32_t) override { return 0; }
    std::int32_t WriteFlash(ScaHandle, std::uint32_t, const std::uint8_t*, std::int32_t) override {
        return 0;
    }
    std::int32_t VerifyFlash(ScaHandle, std::uint32_t, const std::uint8_t*, std::int32_t) override {
        return 0;
    }
};

TEST_F(WindowTest, ShorterTextNeverShowsTheTailOfTheLongerOne) {
    UnterminatedTexts library;
    host().library = &library;
    top().cmdConnect_Click();
    EXPECT_EQ(Values(), (std::vector<std::string>{"kLOV-VR long product", "ACME", "04124008", "2.0",
                                                  "2012-12-28"}));
}

TEST_F(WindowTest, TimerWaitEndsAtTheTickAndLeavesTheTimerRunning) {
    const auto start = klovsim::Clock::now();
    top().TimerWait(1500);
    EXPECT_TRUE(top().TimerElapsed);
    EXPECT_TRUE(top().Timer1.Enabled);
    EXPECT_EQ(top().Timer1.Interval, 1500);
    EXPECT_EQ(host().timerStarts, std::vector<int>{1500});
    EXPECT_EQ(klovsim::Clock::now() - start, std::chrono::milliseconds(1500));
}

TEST(SerialDlgTest, ButtonsSetTheMembers) {
    struct Case {
        const char* text;  // nullptr: Cancel instead of OK
        bool valid;
        bool cancel;
        std::string serialNo;
    };
    const Case cases[] = {
        {"04124008", true, false, "04124008"},    {"0412400", false, false, "0412400"},
        {"041240080", false, false, "041240080"}, {"0412 00A", true, false, "0412 00A"},
        {" 4124008", true, false, " 4124008"},    {nullptr, false, true, "earlier"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "cancel");
        mirovane::SerialDlg dlg;
        dlg.SerialNo = "earlier";
        dlg.Form_Load();
        EXPECT_TRUE(dlg.Cancel);
        EXPECT_FALSE(dlg.Valid);
        EXPECT_EQ(dlg.txtSerialNo.Text, "");
        EXPECT_FALSE(dlg.Unloaded());
        if (c.text != nullptr) {
            dlg.txtSerialNo.Text = c.text;
            dlg.cmdOK_Click();
        } else {
            dlg.cmdCancel_Click();
        }
        EXPECT_TRUE(dlg.Unloaded());
        EXPECT_EQ(dlg.Valid, c.valid);
        EXPECT_EQ(dlg.Cancel, c.cancel);
        EXPECT_EQ(dlg.SerialNo, c.serialNo);
    }
}

TEST(NumericValueTest, LeadingDigitsAfterBlanks) {
    struct Case {
        std::string_view text;
        std::int32_t value;
    };
    const Case cases[] = {
        {std::string_view("04124008\0\0", 10), 4124008},
        {"041240081", 41240081},
        {"  12x3", 12},
        {"-5", 0},
        {"ABCDEFGH", 0},
        {"", 0},
        {"99999999999", 2147483647},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mirovane::NumericValue(c.text), c.value) << c.text;
    }
}

}  // namespace
}  // namespace apptest
