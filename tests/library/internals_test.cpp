// White-box tests of the library's internals: the outcome record, the libusb transport
// against the simulated bus, and the command logic against a scripted transport that
// returns exactly the replies a case needs.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "exchange.h"
#include "klovsim/sim.h"
#include "libusb_transport.h"
#include "result.h"

namespace ardellix {
namespace {

using Bytes = std::vector<std::uint8_t>;
using klovsim::Bus;
using klovsim::Counting;
using klovsim::Fault;
using klovsim::FaultRule;

const std::string kAnd = "\n- AND -\n";

// ----- Result -------------------------------------------------------------------------------

TEST(ResultTest, CombineMergesCodesAndMessages) {
    const Result ok;
    const Result a = Result::Error("first");
    const Result b = Result::Error("second");
    struct Case {
        Result left, right;
        std::int32_t code;
        std::string message;
    };
    const Case cases[] = {
        {ok, ok, ResultOk, ""},
        {ok, a, ResultError, "first"},
        {a, ok, ResultError, "first"},
        {a, b, ResultError, "first" + kAnd + "second"},
    };
    for (const Case& c : cases) {
        Result r = c.left;
        r.Combine(c.right);
        EXPECT_EQ(r.Code(), c.code) << c.message;
        EXPECT_EQ(r.Message(), c.message);
        EXPECT_EQ(r.Failed(), c.code != ResultOk);
    }
}

// ----- LibusbTransport on the simulated bus ---------------------------------------------------

class TransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bus().reset();
        klovsim::Clock::setVirtual(true);
    }
    void TearDown() override { bus().reset(); }
    static Bus& bus() { return Bus::instance(); }
    static LibusbTransport Make(std::int32_t index = 0) {
        return LibusbTransport(0x04D8, 0xF85D, index, 1);
    }
    static Result Send(Transport& t, Bytes request) {
        ByteQueue q(request.begin(), request.end());
        return t.Write(q, TransferTimeoutMs);
    }
};

TEST_F(TransportTest, InitialisesLibusbOncePerProcess) {
    bus().addProbe();
    const bool before = LibusbTransport::UsbInitialised();
    LibusbTransport first = Make();
    EXPECT_TRUE(LibusbTransport::UsbInitialised());
    EXPECT_EQ(bus().calls("usb_init"), before ? 0 : 1);
    LibusbTransport second = Make();
    EXPECT_EQ(bus().calls("usb_init"), before ? 0 : 1);
}

// Several probes: under both directory orders of the simulated bus.
class TransportOrderTest : public TransportTest,
                           public ::testing::WithParamInterface<klovsim::DirectoryOrder> {
  protected:
    void SetUp() override {
        TransportTest::SetUp();
        bus().setDirectoryOrder(GetParam());
    }
};

INSTANTIATE_TEST_SUITE_P(, TransportOrderTest,
                         ::testing::Values(klovsim::DirectoryOrder::NewestFirst,
                                           klovsim::DirectoryOrder::OldestFirst),
                         [](const auto& param) {
                             return param.param == klovsim::DirectoryOrder::NewestFirst
                                        ? "NewestFirst"
                                        : "OldestFirst";
                         });

TEST_P(TransportOrderTest, IndexCountsMatchingDevicesOverAllBusses) {
    bus().addForeignDevice(0x1234, 0x5678, 0);
    bus().addForeignDevice(0x04D8, 0x0001, 0);  // same vendor, other product
    bus().addProbe({}, 0);
    bus().addForeignDevice(0x1234, 0xF85D, 1);  // other vendor, same product
    bus().addProbe({}, 1);
    EXPECT_EQ(Make().CountDevices(0x04D8, 0xF85D), 2);
    for (std::int32_t index : {0, 1}) {
        LibusbTransport t = Make(index);
        ASSERT_FALSE(t.Open(1).Failed()) << index;
        const auto log = bus().log();
        for (const auto& e : log) {
            if (e.call == "usb_open") {
                EXPECT_EQ(e.probe, index);
            }
        }
        bus().clearLog();
    }
    const Result r = Make(2).Open(1);
    EXPECT_EQ(r.Code(), ResultError);
    EXPECT_EQ(r.Message(), "Unable to find libusb device VID or PID");
    EXPECT_EQ(bus().calls("usb_open"), 4);
}

TEST_F(TransportTest, OpenAttempts) {
    bus().addProbe();
    LibusbTransport none = Make();
    EXPECT_FALSE(none.Open(0).Failed());
    EXPECT_FALSE(none.Open(-3).Failed());
    EXPECT_EQ(bus().calls("usb_open"), 0);
    EXPECT_FALSE(none.OutChannelOpen() || none.InChannelOpen());

    LibusbTransport t = Make();
    ASSERT_FALSE(t.Open(1).Failed());
    EXPECT_TRUE(t.OutChannelOpen() && t.InChannelOpen());
    EXPECT_EQ(bus().openHandles(), 2);
    const auto calls = bus().log().size();
    EXPECT_FALSE(t.Open(1).Failed());  // both open already: nothing to do
    EXPECT_EQ(bus().log().size(), calls);

    // A channel that opens on a later attempt counts as opened.
    LibusbTransport retried = Make();
    bus().inject({Fault::OpenFails, 1});  // the in channel's first try
    EXPECT_FALSE(retried.Open(2).Failed());
    EXPECT_TRUE(retried.OutChannelOpen() && retried.InChannelOpen());
}

enum class Step { Open, Write, Read };

TEST_F(TransportTest, FailureRows) {
    struct Case {
        const char* name;
        Step step;
        std::optional<FaultRule> fault;
        std::string message;
    };
    const Case cases[] = {
        {"no device at index", Step::Open, std::nullopt, "Unable to find libusb device VID or PID"},
        {"out open refused", Step::Open, FaultRule{Fault::OpenFails, 0},
         "Unable to open libusb device handle"},
        {"in open refused", Step::Open, FaultRule{Fault::OpenFails, 1},
         "Unable to open libusb device handle"},
        {"out config refused", Step::Open, FaultRule{Fault::ConfigFails, 0},
         "Unable to set libusb device configuration"},
        {"in config refused", Step::Open, FaultRule{Fault::ConfigFails, 1},
         "Unable to set libusb device configuration"},
        {"write claim", Step::Write, FaultRule{Fault::ClaimFails, 0},
         "Unable to claim libusb device interface"},
        {"write error", Step::Write, FaultRule{Fault::WriteFails, 0},
         "Write to libusb device failed!"},
        {"write time-out", Step::Write, FaultRule{Fault::WriteTimeout, 0},
         "Write to libusb device failed!"},
        {"short write", Step::Write, FaultRule{Fault::WriteShort, 0},
         "Incomplete write of libusb device!"},
        {"read claim", Step::Read, FaultRule{Fault::ClaimFails, 0},
         "Unable to claim libusb device interface"},
        {"read error", Step::Read, FaultRule{Fault::ReadFails, 0}, "Read of libusb device failed!"},
        {"read time-out", Step::Read, FaultRule{Fault::ReadTimeout, 0},
         "Read of libusb device failed!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bus().reset();
        klovsim::Clock::setVirtual(true);
        bus().addProbe();
        LibusbTransport t = Make(c.fault ? 0 : 1);
        if (c.step == Step::Open) {
            if (c.fault) {
                bus().inject(*c.fault);
            }
            const Result r = t.Open(1);
            EXPECT_EQ(r.Code(), ResultError);
            EXPECT_EQ(r.Message(), c.message);  // an opened out channel adds no text
            EXPECT_FALSE(t.OutChannelOpen() || t.InChannelOpen());
            EXPECT_EQ(bus().openHandles(), 0);
            continue;
        }
        ASSERT_FALSE(t.Open(1).Failed());
        ByteQueue q{0x40};
        if (c.step == Step::Read) {
            ASSERT_FALSE(t.Write(q, TransferTimeoutMs).Failed());
            q.assign({0xAA, 0xBB});
        }
        bus().inject(*c.fault);
        const Result r = c.step == Step::Write ? t.Write(q, TransferTimeoutMs)
                                               : t.Read(32, q, TransferTimeoutMs);
        EXPECT_EQ(r.Code(), ResultError);
        EXPECT_EQ(r.Message(), c.message);
        EXPECT_EQ(q, c.step == Step::Write ? ByteQueue{} : (ByteQueue{0xAA, 0xBB}));
        EXPECT_EQ(bus().claimedInterfaces(), 0);
        EXPECT_TRUE(t.OutChannelOpen() && t.InChannelOpen());  // failures keep the connection
    }
}

TEST_F(TransportTest, TransfersAppendWhatArrived) {
    bus().addProbe();
    LibusbTransport t = Make();
    ASSERT_FALSE(t.Open(1).Failed());
    ASSERT_FALSE(Send(t, {0xE0}).Failed());
    bus().inject({Fault::ReadShort, 0});
    ByteQueue q{0x01};
    ASSERT_FALSE(t.Read(10, q, TransferTimeoutMs).Failed());
    ASSERT_EQ(q.size(), 1u + 9u);  // the short reply alone, behind what was there
    EXPECT_EQ(q[1], 0xE0);

    const auto log = bus().log();
    const auto& read = log[log.size() - 2];
    ASSERT_EQ(read.call, "usb_bulk_read");
    EXPECT_EQ(read.endpoint, 0x81);
    EXPECT_EQ(read.size, 10);
    EXPECT_EQ(read.timeout, TransferTimeoutMs);
}

TEST_F(TransportTest, FailedClosesAreReportedAndNeverRepeated) {
    bus().addProbe();
    {
        LibusbTransport t = Make();
        ASSERT_FALSE(t.Open(1).Failed());
        bus().inject({Fault::CloseFails, 0, 2});
        const Result r = t.Close();
        EXPECT_EQ(r.Code(), ResultError);
        EXPECT_EQ(r.Message(),
                  "Failed to close libusb device" + kAnd + "Failed to close libusb device");
        EXPECT_TRUE(t.OutChannelOpen() && t.InChannelOpen());
        // libusb released the handles whatever it reported: they are not closed again, by a
        // second Close or by the destructor, and no transfer uses them.
        EXPECT_TRUE(t.Close().Failed());
        ByteQueue q{0x40};
        EXPECT_TRUE(t.Write(q, TransferTimeoutMs).Failed());
        EXPECT_TRUE(t.Read(4, q, TransferTimeoutMs).Failed());
    }
    EXPECT_EQ(bus().calls("usb_close"), 2);
    EXPECT_EQ(bus().calls("usb_bulk_write") + bus().calls("usb_claim_interface"), 0);
    EXPECT_EQ(bus().openHandles(), 0);
}

TEST_F(TransportTest, FailedOpenWithFailedCloseClosesEachHandleOnce) {
    bus().addProbe();
    {
        LibusbTransport t = Make();
        bus().inject({Fault::ConfigFails, 1});  // the in channel: its handle is closed at once
        bus().inject({Fault::CloseFails, 1});   // then the out channel's close fails
        EXPECT_TRUE(t.Open(1).Failed());
    }
    EXPECT_EQ(bus().calls("usb_close"), 2);
    EXPECT_EQ(bus().openHandles(), 0);
}

TEST_F(TransportTest, TransfersOnAClosedTransportTouchNoDevice) {
    bus().addProbe();
    LibusbTransport t = Make();
    bus().clearLog();  // usb_init, when this is the first transport of the process
    ByteQueue q{0x40};
    EXPECT_TRUE(t.Write(q, TransferTimeoutMs).Failed());
    EXPECT_TRUE(q.empty());
    q.assign({0x01});
    EXPECT_TRUE(t.Read(4, q, TransferTimeoutMs).Failed());
    EXPECT_EQ(q, ByteQueue{0x01});
    EXPECT_FALSE(t.Close().Failed());
    EXPECT_EQ(bus().log().size(), 0u);
}

// ----- command logic against scripted replies -------------------------------------------------

// Replies with exactly the scripted bytes (cut to the size asked for), or fails a read for a
// script entry without bytes. Records every request.
class ScriptedTransport final : public Transport {
  public:
    explicit ScriptedTransport(std::vector<std::optional<Bytes>> replies)
        : replies_(replies.begin(), replies.end()) {}
    Result Open(std::int32_t) override { return Result(); }
    Result Close() override { return Result(); }
    Result Write(ByteQueue& q, std::int32_t) override {
        requests.emplace_back(q.begin(), q.end());
        q.clear();
        return Result();
    }
    Result Read(std::int32_t count, ByteQueue& q, std::int32_t) override {
        readSizes.push_back(count);
        if (replies_.empty() || !replies_.front()) {
            return Result::Error("Read of libusb device failed!");
        }
        Bytes reply = *replies_.front();
        replies_.pop_front();
        reply.resize(std::min(reply.size(), static_cast<std::size_t>(count)));
        q.insert(q.end(), reply.begin(), reply.end());
        return Result();
    }
    std::vector<Bytes> requests;
    std::vector<std::int32_t> readSizes;

  private:
    std::deque<std::optional<Bytes>> replies_;
};

Bytes Concat(Bytes a, const std::string& text, std::size_t padTo = 0) {
    a.insert(a.end(), text.begin(), text.end());
    if (a.size() < padTo) {
        a.resize(padTo, 0);
    }
    return a;
}

TEST(CommandLogicTest, IdentifyNeedsTheEchoAndTheTagInPlace) {
    struct Case {
        const char* name;
        std::optional<Bytes> reply;
        bool ok;
    };
    const Case cases[] = {
        {"well formed", Concat({0x40, 1, 2, 3, 4}, "kLOV", 32), true},
        {"nine bytes suffice", Concat({0x40, 1, 2, 3, 4}, "kLOV"), true},
        {"wrong echo", Concat({0x41, 1, 2, 3, 4}, "kLOV", 32), false},
        {"lower case tag", Concat({0x40, 1, 2, 3, 4}, "klov", 32), false},
        {"tag shifted by one", Concat({0x40, 1, 2, 3, 4, 5}, "kLOV", 32), false},
        {"tag cut short", Concat({0x40, 1, 2, 3, 4}, "kLO"), false},
        {"empty reply", Bytes{}, false},
        {"no reply", std::nullopt, false},
    };
    for (const Case& c : cases) {
        ScriptedTransport t({c.reply});
        EXPECT_EQ(Identify(t), c.ok) << c.name;
        EXPECT_EQ(t.requests, std::vector<Bytes>{{0x40}}) << c.name;
        EXPECT_EQ(t.readSizes, std::vector<std::int32_t>{32}) << c.name;
    }
}

TEST(CommandLogicTest, TextReadsCopyOnlyWhatArrived) {
    const Bytes serial = Concat({0xE0}, "04124008", 10);
    struct Case {
        const char* name;
        std::function<bool(Transport&, char*)> call;
        std::optional<Bytes> reply;
        bool ok;
        std::string buffer;  // the 32-byte buffer afterwards, filled with '#' before
        Bytes request;
    };
    const std::string hashes(32, '#');
    auto info = [](std::int32_t selector) {
        return [selector](Transport& t, char* b) { return ReadInfo(t, selector, b); };
    };
    const Case cases[] = {
        {"serial",
         ReadSerial,
         serial,
         true,
         std::string("04124008\0", 9) + hashes.substr(9),
         {0xE0}},
        {"serial wrong echo", ReadSerial, Concat({0xE1}, "04124008", 10), false, hashes, {0xE0}},
        {"serial short", ReadSerial, Concat({0xE0}, "04124008"), false, hashes, {0xE0}},
        {"info text",
         info(3),
         Concat({0xE1, 3}, "2.0.3", 6),
         true,
         "2.0.3" + hashes.substr(5),
         {0xE1, 3}},
        {"info header only", info(4), Bytes{0xE1, 4}, true, hashes, {0xE1, 4}},
        {"info full reply",
         info(0),
         Concat({0xE1, 0}, std::string(30, 'x')),
         true,
         std::string(30, 'x') + "##",
         {0xE1, 0}},
        {"info selector low byte",
         info(260),
         Concat({0xE1, 4}, "2012"),
         true,
         "2012" + hashes.substr(4),
         {0xE1, 4}},
        {"info wrong selector", info(4), Concat({0xE1, 5}, "2012"), false, hashes, {0xE1, 4}},
        {"info wrong echo", info(4), Concat({0xE0, 4}, "2012"), false, hashes, {0xE1, 4}},
        {"info one byte", info(4), Bytes{0xE1}, false, hashes, {0xE1, 4}},
        {"info no reply", info(4), std::nullopt, false, hashes, {0xE1, 4}},
    };
    for (const Case& c : cases) {
        ScriptedTransport t({c.reply});
        std::string buffer = hashes;
        EXPECT_EQ(c.call(t, buffer.data()), c.ok) << c.name;
        EXPECT_EQ(buffer, c.buffer) << c.name;
        EXPECT_EQ(t.requests, std::vector<Bytes>{c.request}) << c.name;
    }
    ScriptedTransport t({serial});
    EXPECT_FALSE(ReadSerial(t, nullptr));
    EXPECT_FALSE(ReadInfo(t, 0, nullptr));
    EXPECT_TRUE(t.requests.empty());
}

TEST(CommandLogicTest, ValueReadsCheckEchoesAndLength) {
    auto param = [](Parameter p) {
        return [p](Transport& t, std::int32_t* v) { return ReadParameter(t, p, v); };
    };
    auto byte = [](std::uint8_t command, bool asFlag) {
        return [=](Transport& t, std::int32_t* v) { return ReadByte(t, command, asFlag, v); };
    };
    struct Case {
        const char* name;
        std::function<bool(Transport&, std::int32_t*)> call;
        std::optional<Bytes> reply;
        bool ok;
        std::int32_t value;  // -7 when untouched
        Bytes request;
        std::int32_t readSize;
    };
    const Case cases[] = {
        {"ULD", param(Parameter::ULD), Bytes{0x51, 3, 0x34, 0x12}, true, 4660, {0x51, 3}, 4},
        {"HV top", param(Parameter::HV), Bytes{0x51, 0, 0xFF, 0xFF}, true, 65535, {0x51, 0}, 4},
        {"gain wrong index",
         param(Parameter::Gain),
         Bytes{0x51, 2, 0x34, 0x12},
         false,
         -7,
         {0x51, 1},
         4},
        {"LLD wrong echo",
         param(Parameter::LLD),
         Bytes{0x52, 2, 0x34, 0x12},
         false,
         -7,
         {0x51, 2},
         4},
        {"HV short", param(Parameter::HV), Bytes{0x51, 0, 0x34}, false, -7, {0x51, 0}, 4},
        {"HV no reply", param(Parameter::HV), std::nullopt, false, -7, {0x51, 0}, 4},
        {"analog mode any nonzero", byte(0x57, true), Bytes{0x57, 0x80}, true, 1, {0x57}, 2},
        {"integral mode off", byte(0x54, true), Bytes{0x54, 0}, true, 0, {0x54}, 2},
        {"CPS gain", byte(0x59, false), Bytes{0x59, 0xFF}, true, 255, {0x59}, 2},
        {"response time wrong echo", byte(0x5B, false), Bytes{0x5C, 9}, false, -7, {0x5B}, 2},
        {"response time short", byte(0x5B, false), Bytes{0x5B}, false, -7, {0x5B}, 2},
    };
    for (const Case& c : cases) {
        ScriptedTransport t({c.reply, c.reply});
        std::int32_t value = -7;
        EXPECT_EQ(c.call(t, &value), c.ok) << c.name;
        EXPECT_EQ(value, c.value) << c.name;
        EXPECT_EQ(c.call(t, nullptr), c.ok) << c.name << " (null output)";
        EXPECT_EQ(t.requests, (std::vector<Bytes>{c.request, c.request})) << c.name;
        EXPECT_EQ(t.readSizes, (std::vector<std::int32_t>{c.readSize, c.readSize})) << c.name;
    }
}

TEST(CommandLogicTest, CountRate) {
    struct Case {
        std::optional<Bytes> reply;
        bool ok;
        std::int32_t rate, flag;  // -7 when untouched
    };
    const Case cases[] = {
        {Bytes{0x56, 0x10, 0x27, 0x00}, true, 10000, 0},
        {Bytes{0x56, 0xFF, 0xFF, 0x01}, true, 65535, 1},
        {Bytes{0x56, 0x00, 0x00, 0x80}, true, 0, 1},
        {Bytes{0x55, 0x10, 0x27, 0x00}, false, -7, -7},
        {Bytes{0x56, 0x10, 0x27}, false, -7, -7},
        {std::nullopt, false, -7, -7},
    };
    for (const Case& c : cases) {
        ScriptedTransport t({c.reply, c.reply});
        std::int32_t rate = -7, flag = -7;
        EXPECT_EQ(ReadCountRate(t, &rate, &flag), c.ok);
        EXPECT_EQ(rate, c.rate);
        EXPECT_EQ(flag, c.flag);
        flag = -7;
        EXPECT_EQ(ReadCountRate(t, nullptr, &flag), c.ok);  // a null rate still gives the flag
        EXPECT_EQ(flag, c.flag);
        EXPECT_EQ(t.requests, (std::vector<Bytes>{{0x56}, {0x56}}));
        EXPECT_EQ(t.readSizes, (std::vector<std::int32_t>{4, 4}));
    }
}

TEST(CommandLogicTest, FlashSeriesStopAtTheFirstFailure) {
    const Bytes data(40, 0x5A);
    {  // rows 0x0800, 0x0810, 0x0820: the second acknowledgement never comes
        ScriptedTransport t({Bytes{0}, std::nullopt, Bytes{0}});
        EXPECT_FALSE(ProgramFlash(t, 0x0800, data.data(), 40));
        EXPECT_EQ(t.requests.size(), 2u);
    }
    {  // an empty acknowledgement is an acknowledgement
        ScriptedTransport t({Bytes{}, Bytes{0x99}, Bytes{}});
        EXPECT_TRUE(ProgramFlash(t, 0x0800, data.data(), 40));
        EXPECT_EQ(t.requests.size(), 3u);
    }
    auto chunk = [&](std::size_t n, std::uint8_t last) {
        Bytes reply{0x01, 0, 0, 0, 0};
        reply.insert(reply.end(), n - 1, 0x5A);
        reply.push_back(last);
        return reply;
    };
    struct Case {
        const char* name;
        std::vector<std::optional<Bytes>> replies;
        bool ok;
        std::size_t requests;
    };
    const Case cases[] = {
        {"all match", {chunk(16, 0x5A), chunk(16, 0x5A), chunk(8, 0x5A)}, true, 3},
        {"mismatch stops", {chunk(16, 0x5A), chunk(16, 0x00), chunk(8, 0x5A)}, false, 2},
        {"short chunk", {chunk(16, 0x5A), Bytes(20, 0x5A), chunk(8, 0x5A)}, false, 2},
        {"no reply", {std::nullopt}, false, 1},
    };
    for (const Case& c : cases) {
        ScriptedTransport t(c.replies);
        EXPECT_EQ(CompareFlash(t, 0x0800, data.data(), 40), c.ok) << c.name;
        EXPECT_EQ(t.requests.size(), c.requests) << c.name;
        EXPECT_EQ(t.readSizes.back(), t.requests.size() < 3 ? 21 : 13) << c.name;
    }
}

}  // namespace
}  // namespace ardellix
