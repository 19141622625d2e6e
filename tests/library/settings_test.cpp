// The detector settings and the count rate: requests on the wire, values, bad replies.
#include "library_fixture.h"

namespace librarytest {
namespace {

TEST_F(LibraryTest, SettingsRequests) {
    static std::int32_t v;
    const WireCase cases[] = {
        {"SetHV 1000", [](ScaHandle h) { return SetHV(h, 1000); }, 1, {{0x52, 0, 0xE8, 0x03}}, {}},
        {"SetHV 70000",
         [](ScaHandle h) { return SetHV(h, 70000); },
         1,
         {{0x52, 0, 0x70, 0x11}},
         {}},
        {"SetGain", [](ScaHandle h) { return SetGain(h, 0x0201); }, 1, {{0x52, 1, 0x01, 0x02}}, {}},
        {"SetLLD -1", [](ScaHandle h) { return SetLLD(h, -1); }, 1, {{0x52, 2, 0xFF, 0xFF}}, {}},
        {"SetULD", [](ScaHandle h) { return SetULD(h, 0x1234); }, 1, {{0x52, 3, 0x34, 0x12}}, {}},
        {"SetIntegralMode 5",
         [](ScaHandle h) { return SetIntegralMode(h, 5); },
         1,
         {{0x55, 1}},
         {}},
        {"SetIntegralMode 0",
         [](ScaHandle h) { return SetIntegralMode(h, 0); },
         1,
         {{0x55, 0}},
         {}},
        {"SetAnalogOutputMode -2",
         [](ScaHandle h) { return SetAnalogOutputMode(h, -2); },
         1,
         {{0x58, 1}},
         {}},
        {"SetCPSGain 300", [](ScaHandle h) { return SetCPSGain(h, 300); }, 1, {{0x5A, 0x2C}}, {}},
        {"SetResponseTime 10",
         [](ScaHandle h) { return SetResponseTime(h, 10); },
         1,
         {{0x5C, 0x0A}},
         {}},
        {"SaveSettings", [](ScaHandle h) { return SaveSettings(h); }, 1, {{0x53}}, {}},
        {"ReadHV", [](ScaHandle h) { return ReadHV(h, &v); }, 1, {{0x51, 0}}, {4}},
        {"ReadGain", [](ScaHandle h) { return ReadGain(h, &v); }, 1, {{0x51, 1}}, {4}},
        {"ReadLLD", [](ScaHandle h) { return ReadLLD(h, &v); }, 1, {{0x51, 2}}, {4}},
        {"ReadULD null", [](ScaHandle h) { return ReadULD(h, nullptr); }, 1, {{0x51, 3}}, {4}},
        {"ReadIntegralMode", [](ScaHandle h) { return ReadIntegralMode(h, &v); }, 1, {{0x54}}, {2}},
        {"ReadAnalogOutputMode",
         [](ScaHandle h) { return ReadAnalogOutputMode(h, &v); },
         1,
         {{0x57}},
         {2}},
        {"ReadCPSGain null", [](ScaHandle h) { return ReadCPSGain(h, nullptr); }, 1, {{0x59}}, {2}},
        {"ReadResponseTime", [](ScaHandle h) { return ReadResponseTime(h, &v); }, 1, {{0x5B}}, {2}},
        {"ReadCPS", [](ScaHandle h) { return ReadCPS(h, &v, &v); }, 1, {{0x56}}, {4}},
        {"ReadCPS null",
         [](ScaHandle h) { return ReadCPS(h, nullptr, nullptr); },
         1,
         {{0x56}},
         {4}},
    };
    bus().addProbe();
    const ScaHandle h = Open();
    ASSERT_NE(h, 0u);
    for (const WireCase& c : cases) {
        CheckWire(c, h);
    }
}

TEST_F(LibraryTest, SettingsReachTheProbeAndReadBack) {
    using Set = std::int32_t (*)(ScaHandle, std::int32_t);
    using Read = std::int32_t (*)(ScaHandle, std::int32_t*);
    struct Case {
        const char* name;
        Set set;
        Read read;
        std::int32_t sent, readBack;
    };
    const Case cases[] = {
        {"HV", SetHV, ReadHV, 70000, 0x1170},
        {"gain", SetGain, ReadGain, 513, 513},
        {"LLD", SetLLD, ReadLLD, -1, 65535},
        {"ULD", SetULD, ReadULD, 0x1234, 4660},
        {"integral mode", SetIntegralMode, ReadIntegralMode, 5, 1},
        {"analog output mode", SetAnalogOutputMode, ReadAnalogOutputMode, 1, 1},
        {"CPS gain", SetCPSGain, ReadCPSGain, 300, 44},
        {"response time", SetResponseTime, ReadResponseTime, 255, 255},
    };
    auto probe = bus().addProbe();
    const ScaHandle h = Open();
    ASSERT_NE(h, 0u);
    for (const Case& c : cases) {
        std::int32_t value = -7;
        EXPECT_EQ(c.set(h, c.sent), 1) << c.name;
        EXPECT_EQ(c.read(h, &value), 1) << c.name;
        EXPECT_EQ(value, c.readBack) << c.name;
    }
    klovsim::Settings expected{0x1170, 513, 65535, 0x1234, 1, 1, 44, 255};
    EXPECT_EQ(probe.settings(), expected);
    EXPECT_NE(probe.savedSettings(), expected);
    EXPECT_EQ(SaveSettings(h), 1);
    EXPECT_EQ(probe.savedSettings(), expected);

    struct Rate {
        std::uint16_t rate;
        bool flag;
    };
    for (const Rate r : {Rate{10000, false}, Rate{65535, true}, Rate{0, true}}) {
        probe.setCountRate(r.rate, r.flag);
        std::int32_t rate = -7, flag = -7;
        EXPECT_EQ(ReadCPS(h, &rate, &flag), 1);
        EXPECT_EQ(rate, r.rate);
        EXPECT_EQ(flag, r.flag ? 1 : 0);
    }
}

TEST_F(LibraryTest, BadValueRepliesLeaveOutputsAlone) {
    struct Case {
        const char* name;
        FaultRule fault;
        std::function<std::int32_t(ScaHandle, std::int32_t*)> call;
    };
    const Case cases[] = {
        {"index garbled", {Fault::GarbleSelector, 0}, ReadGain},
        {"echo garbled", {Fault::GarbleEcho, 0}, ReadHV},
        {"parameter short", {Fault::ReadShort, 0}, ReadULD},
        {"byte short", {Fault::ReadShort, 0}, ReadCPSGain},
        {"mode echo garbled", {Fault::GarbleEcho, 0}, ReadIntegralMode},
        {"read times out", {Fault::ReadTimeout, 0}, ReadResponseTime},
        {"write fails", {Fault::WriteFails, 0}, ReadAnalogOutputMode},
        {"rate short",
         {Fault::ReadShort, 0},
         [](ScaHandle h, std::int32_t* v) { return ReadCPS(h, v, v); }},
        {"rate echo garbled",
         {Fault::GarbleEcho, 0},
         [](ScaHandle h, std::int32_t* v) { return ReadCPS(h, v, v); }},
    };
    bus().addProbe();
    const ScaHandle h = Open();
    ASSERT_NE(h, 0u);
    for (const Case& c : cases) {
        std::int32_t value = -7;
        bus().inject(c.fault);
        EXPECT_EQ(c.call(h, &value), 0) << c.name;
        EXPECT_EQ(value, -7) << c.name;
        bus().clearFaults();
        EXPECT_EQ(c.call(h, &value), 1) << c.name;
    }
    bus().inject({Fault::WriteTimeout, 0});
    EXPECT_EQ(SetHV(h, 5), 0);
}

}  // namespace
}  // namespace librarytest
