// What the suites of the shipping library's exports share: the simulated bus, readers of its
// call log, the fixtures that open and close connections, and the check of one request's bytes
// on the wire. The library is driven through its exports only, against the simulated probe.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ardellix.h"
#include "klovsim/sim.h"

namespace librarytest {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using klovsim::Bus;
using klovsim::Clock;
using klovsim::Fault;
using klovsim::FaultRule;
using klovsim::LogEntry;
using klovsim::Mode;
using klovsim::ProbeConfig;

inline Bus& bus() {
    return Bus::instance();
}

inline std::vector<LogEntry> Calls(const std::string& name) {
    std::vector<LogEntry> out;
    for (const LogEntry& e : bus().log()) {
        if (e.call == name) {
            out.push_back(e);
        }
    }
    return out;
}

inline std::vector<Bytes> Written() {
    std::vector<Bytes> out;
    for (const LogEntry& e : Calls("usb_bulk_write")) {
        out.push_back(e.data);
    }
    return out;
}

inline std::vector<int> ReadSizes() {
    std::vector<int> out;
    for (const LogEntry& e : Calls("usb_bulk_read")) {
        out.push_back(e.size);
    }
    return out;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

inline Bytes Fill(std::size_t n, std::uint8_t value) {
    return Bytes(n, value);
}

// The text a zero-filled caller buffer holds after a call: up to its first zero byte.
inline std::string Text(const char* buffer, std::size_t size) {
    return std::string(buffer, strnlen(buffer, size));
}

class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override { Fresh(); }
    void TearDown() override {
        for (ScaHandle h : open_) {
            CloseSCA(h);
        }
        bus().reset();
    }
    void Fresh() {
        for (ScaHandle h : open_) {
            CloseSCA(h);
        }
        open_.clear();
        bus().reset();
        Clock::setVirtual(true);
    }
    ScaHandle Keep(ScaHandle h) {
        if (h != 0) {
            open_.push_back(h);
        }
        return h;
    }
    ScaHandle Open(std::int32_t index = 0) { return Keep(OpenSCA(index)); }
    ScaHandle OpenBoot(std::int32_t index = 0) { return Keep(OpenSCABootloader(index)); }
    std::int32_t Close(ScaHandle h) {
        open_.erase(std::remove(open_.begin(), open_.end(), h), open_.end());
        return CloseSCA(h);
    }
    static ProbeConfig InBootloader() {
        ProbeConfig config;
        config.mode = Mode::Bootloader;
        return config;
    }

    std::vector<ScaHandle> open_;
};

// Tests with several probes run under both directory orders of the simulated bus.
class LibraryOrderTest : public LibraryTest,
                         public ::testing::WithParamInterface<klovsim::DirectoryOrder> {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        bus().setDirectoryOrder(GetParam());
    }
    bool NewestFirst() const { return GetParam() == klovsim::DirectoryOrder::NewestFirst; }
};

// Every bulk transfer runs inside its own claim of interface 0 on the same handle.
inline void ExpectClaimPerTransfer(const std::vector<LogEntry>& log) {
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i].call != "usb_bulk_write" && log[i].call != "usb_bulk_read") {
            continue;
        }
        ASSERT_TRUE(i > 0 && i + 1 < log.size()) << log[i].call;
        EXPECT_EQ(log[i - 1].call, "usb_claim_interface");
        EXPECT_EQ(log[i - 1].handle, log[i].handle);
        EXPECT_EQ(log[i - 1].value, 0);
        EXPECT_EQ(log[i + 1].call, "usb_release_interface");
        EXPECT_EQ(log[i + 1].handle, log[i].handle);
        EXPECT_EQ(log[i + 1].value, 0);
        EXPECT_EQ(log[i].timeout, 100);
    }
}

// One call and the transfers it must make: the bytes of every write and the size of every read.
struct WireCase {
    const char* name;
    std::function<std::int32_t(ScaHandle)> call;
    std::int32_t result;
    std::vector<Bytes> writes;
    std::vector<int> reads;
};

inline void CheckWire(const WireCase& c, ScaHandle h) {
    SCOPED_TRACE(c.name);
    bus().clearLog();
    EXPECT_EQ(c.call(h), c.result);
    EXPECT_EQ(Written(), c.writes);
    EXPECT_EQ(ReadSizes(), c.reads);
    for (const LogEntry& e : Calls("usb_bulk_read")) {
        EXPECT_EQ(e.endpoint, 0x81);
    }
    ExpectClaimPerTransfer(bus().log());
}

// A row of flash with sixteen different bytes.
inline const Bytes kRow = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                           0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F};

}  // namespace librarytest
