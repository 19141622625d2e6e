// Enumeration and the application-mode protocol of the simulated probe.
#include <algorithm>
#include <cstring>
#include <string>

#include "sim_fixture.h"

namespace {

using namespace simtest;
using klovsim::Mode;
using klovsim::ProbeConfig;

Bytes text(const std::string& s, std::size_t width) {
    Bytes b(s.begin(), s.end());
    b.resize(width, 0);
    return b;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

ProbeConfig withSerial(const std::string& serial) {
    ProbeConfig c;
    c.serial = serial;
    c.resetDelay = std::chrono::milliseconds(100);
    return c;
}

using SimEnumeration = Ordered<>;
INSTANTIATE_TEST_SUITE_P(, SimEnumeration, kBothOrders, orderName);

TEST_P(SimEnumeration, AFirstListingFollowsTheDirectoryOfEachBus) {
    bus().addForeignDevice(0x1D6B, 0x0002, 1);
    bus().addProbe(withSerial("11111111"), 1);
    bus().addForeignDevice(0x046D, 0xC077, 0);
    bus().addProbe(withSerial("22222222"), 0);

    usb_init();
    usb_find_busses();
    usb_find_devices();
    std::vector<std::pair<std::string, int>> seen;  // bus dirname, idProduct
    for (usb_bus* u = usb_get_busses(); u != nullptr; u = u->next) {
        for (struct usb_device* d = u->devices; d != nullptr; d = d->next) {
            EXPECT_EQ(d->bus, u);
            seen.emplace_back(u->dirname, int{d->descriptor.idProduct});
        }
    }
    const std::vector<std::pair<std::string, int>> expected =
        newestFirst() ? std::vector<std::pair<std::string, int>>{{"001", 0xF85D},
                                                                 {"001", 0xC077},
                                                                 {"002", 0xF85D},
                                                                 {"002", 0x0002}}
                      : std::vector<std::pair<std::string, int>>{
                            {"001", 0xC077}, {"001", 0xF85D}, {"002", 0x0002}, {"002", 0xF85D}};
    EXPECT_EQ(seen, expected);

    // Matching devices are counted over all busses: index 0 is the probe on the first bus.
    for (const auto& [index, serial] : {std::pair{0, "22222222"}, std::pair{1, "11111111"}}) {
        usb_dev_handle* h = openProbe(index);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(exchange(h, {0xE0}), cat(cat({0xE0}, text(serial, 8)), {0}));
        EXPECT_EQ(usb_close(h), 0);
    }
    EXPECT_EQ(openProbe(2), nullptr);
}

TEST_P(SimEnumeration, ListsChangeOnlyWhenRefreshedAndNewDevicesGoToTheFront) {
    bus().addProbe(withSerial("11111111"));
    ASSERT_NE(findProbe(0), nullptr);
    bus().addProbe(withSerial("22222222"));
    usb_bus* b = usb_get_busses();
    int listed = 0;
    for (struct usb_device* d = b->devices; d != nullptr; d = d->next) {
        ++listed;
    }
    EXPECT_EQ(listed, 1);
    EXPECT_EQ(usb_find_devices(), 1);  // one change: the new probe
    EXPECT_EQ(serialsByIndex(), (std::vector<std::string>{"22222222", "11111111"}));
}

// A probe that restarts is a new device to a running program: it comes first, the others
// keep their places, whichever order the directory has. A fresh listing follows the directory.
TEST_P(SimEnumeration, ARestartedProbeMovesToTheFront) {
    bus().addProbe(withSerial("11111111"));
    bus().addProbe(withSerial("22222222"));
    klovsim::Probe c = bus().addProbe(withSerial("33333333"));
    using List = std::vector<std::string>;
    const List first = newestFirst() ? List{"33333333", "22222222", "11111111"}
                                     : List{"11111111", "22222222", "33333333"};
    EXPECT_EQ(serialsByIndex(), first);

    usb_dev_handle* h = openProbe(2);  // the probe added first or last
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(write(h, {0xFF}), 1);
    usb_close(h);
    EXPECT_EQ(usb_find_devices(), 1);  // gone
    EXPECT_EQ(serialsByIndex(), (List{first[0], first[1]}));
    klovsim::Clock::advance(std::chrono::milliseconds(100));
    EXPECT_EQ(usb_find_devices(), 1);  // back, as a new device
    EXPECT_EQ(serialsByIndex(), (List{first[2], first[0], first[1]}));

    c.unplug();
    EXPECT_EQ(usb_find_devices(), 1);
    List left = {first[2], first[0], first[1]};
    left.erase(std::find(left.begin(), left.end(), "33333333"));
    EXPECT_EQ(serialsByIndex(), left);
}

class SimApplication : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        ProbeConfig c;
        c.serial = "04124011";
        c.productionDate = "20130115";
        c.firmwareVersion = "2.1.17";
        probe_ = bus().addProbe(c);
        h_ = openProbe();
        ASSERT_NE(h_, nullptr);
    }
    void TearDown() override {
        usb_close(h_);
        SimTest::TearDown();
    }
    std::optional<klovsim::Probe> probe_;
    usb_dev_handle* h_ = nullptr;
};

TEST_F(SimApplication, IdentityRepliesComeFromTheFlashIdentityBlock) {
    const std::optional<Bytes> id = exchange(h_, {0x40}, 32);
    ASSERT_TRUE(id);
    EXPECT_EQ(*id, cat({0x40, 2, 1, 17, 0}, text("kLOV-VR", 16)));

    EXPECT_EQ(exchange(h_, {0xE0}, 10), cat(cat({0xE0}, text("04124011", 8)), {0}));

    const std::vector<std::pair<int, std::string>> infos{
        {0, "kLOV-VR"},  {1, "KORVALIMEX"}, {2, "04124011"}, {3, "2.1.17"},
        {4, "20130115"}, {5, ""},           {0xFF, ""}};
    for (const auto& [sel, want] : infos) {
        const auto s = static_cast<std::uint8_t>(sel);
        EXPECT_EQ(exchange(h_, {0xE1, s}, 32), cat({0xE1, s}, text(want, 30))) << sel;
    }

    // An update that rewrites the identity block changes the answers.
    auto flash = probe_->flash();
    std::memcpy(flash.data() + klovsim::kIdentitySerial, "99999999", 8);
    probe_->setFlash(flash);
    EXPECT_EQ(exchange(h_, {0xE1, 2}, 32), cat({0xE1, 2}, text("99999999", 30)));
    EXPECT_TRUE(probe_->protocolViolations().empty());
}

TEST_F(SimApplication, SettingsRegistersAndCountRate) {
    const klovsim::Settings d;
    // Reads of the power-on values.
    const std::vector<std::pair<Bytes, Bytes>> reads{
        {{0x51, 0},
         {0x51, 0, static_cast<std::uint8_t>(d.hv & 0xFF), static_cast<std::uint8_t>(d.hv >> 8)}},
        {{0x51, 3},
         {0x51, 3, static_cast<std::uint8_t>(d.uld & 0xFF), static_cast<std::uint8_t>(d.uld >> 8)}},
        {{0x54}, {0x54, d.integralMode}},
        {{0x57}, {0x57, d.analogOutputMode}},
        {{0x59}, {0x59, d.cpsGain}},
        {{0x5B}, {0x5B, d.responseTime}},
    };
    for (const auto& [req, reply] : reads) {
        EXPECT_EQ(exchange(h_, req), reply) << int(req[0]);
    }

    // Sets take effect without a reply; each is read back.
    const std::vector<std::pair<Bytes, Bytes>> sets{
        {{0x52, 0, 0xE8, 0x03}, {0x51, 0}},
        {{0x52, 1, 0x34, 0x12}, {0x51, 1}},
        {{0x52, 2, 0xFF, 0xFF}, {0x51, 2}},
        {{0x52, 3, 0x70, 0x11}, {0x51, 3}},
        {{0x55, 0x01}, {0x54}},
        {{0x58, 0x80}, {0x57}},
        {{0x5A, 0x2C}, {0x59}},
        {{0x5C, 0x0A}, {0x5B}},
    };
    for (const auto& [set, get] : sets) {
        ASSERT_EQ(write(h_, set), static_cast<int>(set.size()));
        Bytes want = get;
        want.insert(want.end(), set.begin() + static_cast<long>(get.size()), set.end());
        EXPECT_EQ(exchange(h_, get), want) << int(set[0]);
    }
    EXPECT_EQ(probe_->settings().hv, 1000);
    EXPECT_EQ(probe_->savedSettings(), d);

    probe_->setCountRate(10000, true);
    EXPECT_EQ(exchange(h_, {0x56}, 4), (Bytes{0x56, 0x10, 0x27, 0x01}));
    EXPECT_TRUE(probe_->protocolViolations().empty());
}

TEST_F(SimApplication, SavedSettingsSurviveAResetUnsavedOnesDoNot) {
    ASSERT_EQ(write(h_, {0x52, 0, 0x10, 0x02}), 4);  // HV 528
    ASSERT_EQ(write(h_, {0x53}), 1);                 // save
    ASSERT_EQ(write(h_, {0x5A, 7}), 2);              // CPS gain 7, not saved
    const klovsim::Settings saved = probe_->savedSettings();
    EXPECT_EQ(saved.hv, 528);
    EXPECT_EQ(saved.cpsGain, klovsim::Settings{}.cpsGain);

    ASSERT_EQ(write(h_, {0xFF}), 1);
    klovsim::Clock::advance(std::chrono::seconds(2));
    usb_dev_handle* again = openProbe();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(exchange(again, {0x51, 0}), (Bytes{0x51, 0, 0x10, 0x02}));
    EXPECT_EQ(exchange(again, {0x59}), (Bytes{0x59, klovsim::Settings{}.cpsGain}));
    usb_close(again);
}

TEST_F(SimApplication, MalformedRequestsGetNoReplyAndAreRecorded) {
    const std::vector<Bytes> bad{
        {0x40, 0x00},        // identify with a parameter
        {0xE1},              // selector missing
        {0x51, 4},           // no such parameter
        {0x52, 0, 1},        // value cut short
        {0x53, 0},           //
        {0x05, 1, 0xFF, 0},  // boot flag write cut short
        {0x99},              // unknown command
    };
    for (const Bytes& req : bad) {
        ASSERT_EQ(write(h_, req), static_cast<int>(req.size()));
        int rc = 0;
        EXPECT_FALSE(read(h_, 64, &rc)) << int(req[0]);
        EXPECT_EQ(rc, -ETIMEDOUT);
    }
    EXPECT_EQ(probe_->protocolViolations().size(), bad.size());

    // The bootloader's commands reach an application only from a host that lost track of the
    // mode: no reply, nothing changed, and recorded.
    const auto before = probe_->flash();
    const auto config = probe_->config();
    const std::vector<Bytes> bootloaderCommands{{0x01, 0x10, 0x00, 0x08, 0x00},
                                                {0x03, 0x01, 0x00, 0x08, 0x00},
                                                cat({0x02, 0x10, 0x00, 0x08, 0x00}, Bytes(16, 0)),
                                                {0x07, 0x01, 0x00, 0x00, 0x30, 0x00}};
    for (const Bytes& req : bootloaderCommands) {
        ASSERT_EQ(write(h_, req), static_cast<int>(req.size()));
        EXPECT_FALSE(read(h_)) << int(req[0]);
    }
    EXPECT_EQ(probe_->protocolViolations().size(), bad.size() + bootloaderCommands.size());
    EXPECT_EQ(probe_->flash(), before);
    EXPECT_EQ(probe_->config(), config);
}

TEST_F(SimApplication, BootFlagWriteIsAcknowledgedAndStored) {
    EXPECT_EQ(exchange(h_, {0x05, 0x01, 0xFF, 0x00, 0x00, 0x3A}, 1),
              (Bytes{ProbeConfig{}.unexamined.bootFlagAck}));
    EXPECT_EQ(probe_->bootFlag(), 0x3A);
    EXPECT_EQ(probe_->mode(), Mode::Application);  // until the next reset
}

}  // namespace
