// What the window shows while an update runs: the progress label's caption in each phase and
// the progress bar's value at every flash block.
#include <map>

#include "fake_host.h"
#include "test_firmware.h"

namespace apptest {
namespace {

class ProgressTest : public AppTest {};

// At every library call of a run: the caption, the bar's value, whether both are shown, and
// the address of a flash call.
struct Shown {
    std::string caption;
    float value;
    bool visible;
    std::uint32_t address;
};

TEST_F(ProgressTest, CaptionsAndValuesOfEveryPhase) {
    // An image whose highest address is 0x1234: write and verify run 164 rows, the last at
    // 0x1230, and divide by High - 2048 = 2612.
    constexpr int kHigh = 0x1234;
    FirmwareImage source = ShippedImage();
    source.FWImage[kHigh] = 0x5A;
    const auto module = EncodedModule(source, 0x800, kHigh);
    top().FirmwareInit = [module] { FWFile = module; };
    AddProbe();

    std::map<std::string, std::vector<Shown>> atCall;
    host().api.before = [&](const std::string& name, int) {
        const RecordingApi& api = host().api;
        const std::uint32_t address = name == "EraseFlashBlock" ? api.lastErase
                                      : name == "WriteFlash"    ? api.lastWrite
                                      : name == "VerifyFlash"   ? api.lastVerify
                                                                : 0;
        atCall[name].push_back({top().lblProgress.Caption, top().ProgressBar.Value,
                                top().lblProgress.Visible && top().ProgressBar.Visible, address});
    };
    std::vector<std::pair<std::string, float>> atEvents;
    host().onProcessEvents = [&] {
        atEvents.emplace_back(top().lblProgress.Caption, top().ProgressBar.Value);
    };

    top().cmdUpload_Click();
    ASSERT_EQ(host().Messages(), std::vector<std::string>{});

    // Until the flash phase: "Uploading..." over an empty bar.
    for (const char* call : {"OpenSCA", "ReadSerialNo", "ReadDeviceInfo", "OpenSCABootloader"}) {
        SCOPED_TRACE(call);
        ASSERT_FALSE(atCall[call].empty());
        const Shown& first = atCall[call].front();
        EXPECT_EQ(first.caption, "Uploading...");
        EXPECT_EQ(first.value, 0.0F);
        EXPECT_TRUE(first.visible);
    }
    ASSERT_EQ(atCall["SetBootloaderFlag"].size(), 2U);
    EXPECT_EQ(atCall["SetBootloaderFlag"][0].caption, "Uploading...");
    ASSERT_EQ(atCall["ResetController"].size(), 2U);
    EXPECT_EQ(atCall["ResetController"][0].caption, "Uploading...");
    // Back to the application: the flag is cleared under the last flash caption, the reset
    // is sent under "Resetting...".
    EXPECT_EQ(atCall["SetBootloaderFlag"][1].caption, "Verifying:");
    EXPECT_EQ(atCall["ResetController"][1].caption, "Resetting...");
    EXPECT_TRUE(atCall["ResetController"][1].visible);

    // Each flash block shows (address - 2048) x 100 / divisor, computed in double precision
    // and stored as a single-precision value; after its last block a phase shows 100.
    struct Phase {
        const char* call;
        const char* caption;
        double divisor;
        std::size_t blocks;
        std::uint32_t last;
        float lastValue;
    };
    const Phase phases[] = {
        {"EraseFlashBlock", "Erasing:", 30719, 480, 0x7FC0,
         static_cast<float>((0x7FC0 - 2048) * 100.0 / 30719)},
        {"WriteFlash", "Writing:", kHigh - 2048, 164, 0x1230,
         static_cast<float>((0x1230 - 2048) * 100.0 / (kHigh - 2048))},
        {"VerifyFlash", "Verifying:", kHigh - 2048, 164, 0x1230,
         static_cast<float>((0x1230 - 2048) * 100.0 / (kHigh - 2048))},
    };
    for (const Phase& p : phases) {
        SCOPED_TRACE(p.caption);
        const std::vector<Shown>& blocks = atCall[p.call];
        ASSERT_EQ(blocks.size(), p.blocks);
        EXPECT_EQ(blocks.front().address, 0x800U);
        EXPECT_EQ(blocks.front().value, 0.0F);
        EXPECT_EQ(blocks.back().address, p.last);
        EXPECT_EQ(blocks.back().value, p.lastValue);
        for (const Shown& b : blocks) {
            ASSERT_EQ(b.caption, p.caption) << std::hex << b.address;
            ASSERT_TRUE(b.visible);
            ASSERT_EQ(b.value, static_cast<float>((b.address - 2048) * 100.0 / p.divisor))
                << std::hex << b.address;
        }
        // The last events processed under this caption show a full bar.
        auto last = std::find_if(atEvents.rbegin(), atEvents.rend(),
                                 [&](const auto& e) { return e.first == p.caption; });
        ASSERT_NE(last, atEvents.rend());
        EXPECT_EQ(last->second, 100.0F);
    }

    // The run over, label and bar are hidden.
    EXPECT_FALSE(top().lblProgress.Visible);
    EXPECT_FALSE(top().ProgressBar.Visible);
}

}  // namespace
}  // namespace apptest
