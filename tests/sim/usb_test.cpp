// USB strictness, fault injection, the log, latency and threads.
#include <thread>

#include "sim_fixture.h"

namespace {

using namespace simtest;
using klovsim::Counting;
using klovsim::Fault;
using klovsim::FaultRule;
using std::chrono::microseconds;
using std::chrono::milliseconds;

class SimUsb : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        probe_ = bus().addProbe();
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

TEST_F(SimUsb, OnlyConfigurationOneAndInterfaceZero) {
    EXPECT_EQ(usb_set_configuration(h_, 2), -EINVAL);
    EXPECT_EQ(usb_set_configuration(h_, 0), -EINVAL);
    EXPECT_EQ(usb_claim_interface(h_, 1), -EINVAL);
    EXPECT_EQ(usb_release_interface(h_, 0), -EINVAL);  // not claimed
    ASSERT_EQ(usb_claim_interface(h_, 0), 0);
    EXPECT_EQ(usb_set_configuration(h_, 1), -EBUSY);  // not while an interface is claimed
    EXPECT_EQ(bus().claimedInterfaces(), 1);
    EXPECT_EQ(usb_release_interface(h_, 0), 0);
    EXPECT_EQ(bus().claimedInterfaces(), 0);
}

TEST_F(SimUsb, OneHandleHoldsTheClaimAtATime) {
    usb_dev_handle* other = openProbe();
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(usb_claim_interface(h_, 0), 0);
    EXPECT_EQ(usb_claim_interface(h_, 0), 0);  // again by the holder: fine
    EXPECT_EQ(usb_claim_interface(other, 0), -EBUSY);
    EXPECT_EQ(usb_release_interface(other, 0), -EINVAL);
    // A transfer on the handle without the claim fails and is recorded.
    EXPECT_EQ(usb_bulk_write(other, 0x01, "\xE0", 1, 100), -EPERM);
    ASSERT_EQ(usb_release_interface(h_, 0), 0);
    EXPECT_EQ(usb_claim_interface(other, 0), 0);
    usb_close(other);  // closing drops the claim
    EXPECT_EQ(bus().claimedInterfaces(), 0);
    EXPECT_EQ(probe_->protocolViolations().size(), 1u);
}

TEST_F(SimUsb, TransfersNeedTheClaimAndTheRightEndpoint) {
    char buf[64];
    EXPECT_EQ(usb_bulk_write(h_, 0x01, "\xE0", 1, 100), -EPERM);
    EXPECT_EQ(usb_bulk_read(h_, 0x81, buf, 64, 100), -EPERM);
    ASSERT_EQ(usb_claim_interface(h_, 0), 0);
    EXPECT_EQ(usb_bulk_write(h_, 0x81, "\xE0", 1, 100), -EINVAL);
    EXPECT_EQ(usb_bulk_write(h_, 0x02, "\xE0", 1, 100), -EINVAL);
    EXPECT_EQ(usb_bulk_read(h_, 0x01, buf, 64, 100), -EINVAL);
    usb_release_interface(h_, 0);
    EXPECT_EQ(probe_->protocolViolations().size(), 5u);
    EXPECT_EQ(exchange(h_, {0xE0}).value().size(), 10u);  // nothing reached the probe before
}

TEST_F(SimUsb, RepliesQueueLikeARealPipe) {
    // Too small a read overflows and loses the reply.
    ASSERT_EQ(write(h_, {0x40}), 1);
    int rc = 0;
    EXPECT_FALSE(read(h_, 8, &rc));
    EXPECT_EQ(rc, -EOVERFLOW);
    EXPECT_FALSE(read(h_, 64, &rc));
    EXPECT_EQ(rc, -ETIMEDOUT);

    // A reply left unread is what the next read gets.
    ASSERT_EQ(write(h_, {0xE0}), 1);
    ASSERT_EQ(write(h_, {0xE1, 0}), 2);
    EXPECT_EQ(read(h_).value().at(0), 0xE0);
    EXPECT_EQ(read(h_).value().at(0), 0xE1);

    // With nothing pending a read waits the whole time-out on the virtual clock.
    const microseconds before = klovsim::Clock::now();
    EXPECT_FALSE(read(h_, 64, &rc, 250));
    EXPECT_EQ(rc, -ETIMEDOUT);
    EXPECT_EQ(klovsim::Clock::now() - before, milliseconds(250));
}

TEST_F(SimUsb, ClosedAndStaleHandles) {
    usb_dev_handle* other = openProbe();
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(bus().openHandles(), 2);
    EXPECT_EQ(usb_close(other), 0);
    EXPECT_EQ(bus().openHandles(), 1);
    EXPECT_EQ(usb_claim_interface(other, 0), -EBADF);
    EXPECT_EQ(usb_close(other), -EBADF);  // a double close is caught, not a crash
    EXPECT_EQ(probe_->protocolViolations().size(), 1u);
    EXPECT_EQ(usb_device(h_), findProbe());
}

// Outcome of one serial-number exchange: write result, read result, first reply bytes.
struct Outcome {
    int write;
    int read;
    Bytes head;  // up to two bytes
    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    os << "{write " << o.write << ", read " << o.read << ", head";
    for (auto b : o.head) {
        os << ' ' << int(b);
    }
    return os << '}';
}

Outcome serialExchange(usb_dev_handle* h, std::uint8_t cmd = 0xE1) {
    Outcome o{};
    const Bytes req = cmd == 0xE1 ? Bytes{0xE1, 2} : Bytes{cmd};
    o.write = write(h, req);
    const auto r = read(h, 64, &o.read);
    if (r) {
        o.head.assign(r->begin(), r->begin() + std::min<std::size_t>(2, r->size()));
    }
    return o;
}

TEST_F(SimUsb, TransferFaultsByCallAndByExchange) {
    const Outcome ok{2, 32, {0xE1, 2}};
    const Outcome nothing{-1000, -1000, {}};  // the claim failed: probe gone
    struct Case {
        Fault kind;
        Outcome hit;
    };
    const std::vector<Case> cases{
        {Fault::WriteFails, {-EIO, -ETIMEDOUT, {}}},
        {Fault::WriteTimeout, {-ETIMEDOUT, -ETIMEDOUT, {}}},
        {Fault::WriteShort, {1, -ETIMEDOUT, {}}},
        {Fault::ReadFails, {2, -EIO, {}}},
        {Fault::ReadTimeout, {2, -ETIMEDOUT, {}}},
        {Fault::ReadShort, {2, 31, {0xE1, 2}}},
        {Fault::GarbleEcho, {2, 32, {0x1E, 2}}},
        {Fault::GarbleSelector, {2, 32, {0xE1, 0xFD}}},
        {Fault::Unplug, {-ENODEV, -1000, {}}},
        {Fault::UnplugBeforeReply, {2, 0, {}}},  // the probe had the request, then left
    };
    for (const Counting counting : {Counting::ByCall, Counting::ByExchange}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message()
                         << "fault " << int(c.kind) << " counting " << int(counting));
            TearDown();
            SetUp();
            bus().inject(FaultRule{c.kind, 1, 1, counting, -1});
            EXPECT_EQ(serialExchange(h_), ok);
            EXPECT_EQ(serialExchange(h_), c.hit);
            const bool gone = c.kind == Fault::Unplug || c.kind == Fault::UnplugBeforeReply;
            EXPECT_EQ(serialExchange(h_), gone ? nothing : ok);
            EXPECT_TRUE(probe_->protocolViolations().empty());
        }
    }
}

TEST_F(SimUsb, GarbleDataInvertsTheLastByte) {
    bus().inject({Fault::GarbleData});
    const auto r = exchange(h_, {0xE0});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->back(), 0xFF);  // the serial's terminating 0
}

TEST_F(SimUsb, ReadFaultsByExchangeFollowTheWriteNotTheReadCount) {
    // Exchange 1 is a set without a reply: the exchange-counted fault hits the read of
    // exchange 2 (the second read call), the call-counted one the third read call.
    bus().inject({Fault::ReadFails, 2, 1, Counting::ByExchange});
    bus().inject({Fault::GarbleEcho, 2, 1, Counting::ByCall});
    EXPECT_EQ(serialExchange(h_).read, 32);
    ASSERT_EQ(write(h_, {0x5A, 7}), 2);
    EXPECT_EQ(serialExchange(h_).read, -EIO);
    EXPECT_EQ(serialExchange(h_).head, (Bytes{0x1E, 2}));  // third read call
    EXPECT_EQ(serialExchange(h_), (Outcome{2, 32, {0xE1, 2}}));
    EXPECT_EQ(bus().exchanges(), 5);
}

using SimUsbOrdered = Ordered<SimUsb>;
INSTANTIATE_TEST_SUITE_P(, SimUsbOrdered, kBothOrders, orderName);

TEST_P(SimUsbOrdered, FaultTimesAndProbeRestriction) {
    klovsim::Probe second = bus().addProbe();
    usb_dev_handle* h2 = openProbe(0);  // new to the lists: at their front in either order
    ASSERT_NE(h2, nullptr);
    bus().inject({Fault::ReadFails, 1, -1, Counting::ByCall, second.id()});
    bus().inject({Fault::WriteFails, 0, 2, Counting::ByCall, probe_->id()});
    EXPECT_EQ(serialExchange(h2).read, 32);  // first read on probe 1
    EXPECT_EQ(serialExchange(h_).write, -EIO);
    EXPECT_EQ(serialExchange(h_).write, -EIO);
    EXPECT_EQ(serialExchange(h_).read, 32);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(serialExchange(h2).read, -EIO);
    }
    usb_close(h2);
}

TEST_F(SimUsb, ConnectionFaultsByCall) {
    bus().inject({Fault::OpenFails, 1});
    bus().inject({Fault::ConfigFails, 0});
    bus().inject({Fault::ClaimFails, 1});
    bus().inject({Fault::CloseFails, 0});
    struct usb_device* d = findProbe();
    usb_dev_handle* a = usb_open(d);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(usb_open(d), nullptr);
    EXPECT_LT(usb_set_configuration(a, 1), 0);
    EXPECT_EQ(usb_set_configuration(a, 1), 0);
    EXPECT_EQ(usb_claim_interface(a, 0), 0);
    EXPECT_EQ(usb_release_interface(a, 0), 0);
    EXPECT_LT(usb_claim_interface(a, 0), 0);
    EXPECT_EQ(bus().claimedInterfaces(), 0);
    EXPECT_LT(usb_close(a), 0);
    EXPECT_EQ(bus().openHandles(), 1);  // released anyway; only h_ is left
    EXPECT_EQ(usb_close(h_), 0);
    h_ = openProbe();

    EXPECT_THROW(bus().inject({Fault::OpenFails, 0, 1, Counting::ByExchange}),
                 std::invalid_argument);
}

TEST_F(SimUsb, TheLogRecordsEveryCallWithItsBytes) {
    bus().clearLog();
    ASSERT_EQ(exchange(h_, {0xE1, 4}, 32).value().size(), 32u);
    const auto log = bus().log();
    std::vector<std::string> calls;
    for (const auto& e : log) {
        calls.push_back(e.call);
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"usb_claim_interface", "usb_bulk_write",
                                               "usb_release_interface", "usb_claim_interface",
                                               "usb_bulk_read", "usb_release_interface"}));
    const klovsim::LogEntry& w = log[1];
    EXPECT_EQ(w.probe, 0);
    EXPECT_EQ(w.endpoint, 0x01);
    EXPECT_EQ(w.timeout, 100);
    EXPECT_EQ(w.result, 2);
    EXPECT_EQ(w.data, (Bytes{0xE1, 4}));
    const klovsim::LogEntry& r = log[4];
    EXPECT_EQ(r.handle, w.handle);
    EXPECT_EQ(r.size, 32);
    EXPECT_EQ(r.result, 32);
    EXPECT_EQ(Bytes(r.data.begin() + 2, r.data.begin() + 10),
              Bytes({'2', '0', '1', '2', '1', '2', '2', '8'}));
    EXPECT_EQ(log[0].value, 0);

    bus().setLogging(false);
    const std::int64_t writes = bus().calls("usb_bulk_write");
    exchange(h_, {0xE0});
    EXPECT_EQ(bus().log().size(), log.size());
    EXPECT_EQ(bus().calls("usb_bulk_write"), writes + 1);
    EXPECT_EQ(bus().calls("usb_open"), 1);
    EXPECT_EQ(bus().calls("usb_find_devices"), 1);
}

TEST_F(SimUsb, LatencyAdvancesTheVirtualClock) {
    probe_->setLatency(microseconds(750));
    const microseconds t0 = klovsim::Clock::now();
    ASSERT_EQ(usb_claim_interface(h_, 0), 0);
    ASSERT_EQ(usb_bulk_write(h_, 0x01, "\xE0", 1, 100), 1);
    EXPECT_EQ(klovsim::Clock::now() - t0, microseconds(750));
    char buf[16];
    ASSERT_EQ(usb_bulk_read(h_, 0x81, buf, 16, 100), 10);
    EXPECT_EQ(klovsim::Clock::now() - t0, microseconds(1500));
    usb_release_interface(h_, 0);
}

TEST_F(SimUsb, OnTheRealClockWaitsAreReallyWaited) {
    klovsim::Clock::setVirtual(false);
    probe_->setLatency(microseconds(3000));
    probe_->setResetDelay(milliseconds(40));
    const microseconds t0 = klovsim::Clock::now();
    ASSERT_EQ(write(h_, {0xE0}), 1);
    EXPECT_GE(klovsim::Clock::now() - t0, microseconds(3000));  // the latency is held

    int rc = 0;
    ASSERT_EQ(read(h_, 64, &rc).value().size(), 10u);
    const microseconds t1 = klovsim::Clock::now();
    EXPECT_FALSE(read(h_, 64, &rc, 30));
    EXPECT_EQ(rc, -ETIMEDOUT);
    EXPECT_GE(klovsim::Clock::now() - t1, milliseconds(30));

    ASSERT_EQ(write(h_, {0xFF}), 1);
    klovsim::Clock::sleepFor(milliseconds(50));
    EXPECT_TRUE(probe_->onBus());
    EXPECT_NE(findProbe(), nullptr);
}

TEST_F(SimUsb, AWaitingReadDoesNotBlockTheBus) {
    klovsim::Clock::setVirtual(false);
    ASSERT_EQ(usb_claim_interface(h_, 0), 0);
    int got = 0;
    std::thread reader([&] {
        char buf[64];
        got = usb_bulk_read(h_, 0x81, buf, 64, 20000);
    });
    // Keep the bus busy until the reader waits, then answer it from here.
    while (bus().calls("usb_bulk_read") == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(bus().probeCount(), 1);
    ASSERT_EQ(usb_bulk_write(h_, 0x01, "\xE0", 1, 100), 1);
    reader.join();
    EXPECT_EQ(got, 10);
    usb_release_interface(h_, 0);
}

}  // namespace
