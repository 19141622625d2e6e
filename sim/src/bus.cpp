#include "bus.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "clock.h"

namespace klovsim {
namespace detail {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr int kEndpointOut = 0x01;
constexpr int kEndpointIn = 0x81;
constexpr int kFirstDevnum = 2;  // 1 is the root hub
constexpr int kLastDevnum = 127;
// libusb waits for ever on a time-out of 0; the simulator gives up after this long instead.
constexpr milliseconds kEndlessWait{10000};
constexpr int kMaxEnvProbes = 16;

bool isReadFault(Fault f) {
    switch (f) {
        case Fault::ReadFails:
        case Fault::ReadTimeout:
        case Fault::ReadShort:
        case Fault::GarbleEcho:
        case Fault::GarbleSelector:
        case Fault::GarbleData:
            return true;
        default:
            return false;
    }
}

bool isWriteFault(Fault f) {
    return f == Fault::WriteFails || f == Fault::WriteTimeout || f == Fault::WriteShort;
}

bool has(const std::vector<Fault>& v, Fault f) {
    return std::find(v.begin(), v.end(), f) != v.end();
}

std::string hexByte(int v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(v) & 0xFFu);
    return buf;
}

std::string toHex(const std::uint8_t* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

template <std::size_t N>
bool fromHex(const std::string& s, std::array<std::uint8_t, N>& out) {
    if (s.size() != N * 2) {
        return false;
    }
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    for (std::size_t i = 0; i < N; ++i) {
        const int hi = nibble(s[2 * i]);
        const int lo = nibble(s[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return true;
}

// A whole decimal number within [lo, hi], or nothing.
std::optional<long> parseNumber(const char* text, long lo, long hi) {
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) {
        return std::nullopt;
    }
    return v;
}

// A log entry for a call. Its name is only spelt out when the log keeps it: the benchmarks
// run with the log off, and the name's text would be built on every transfer.
LogEntry entry(const char* call, int handle, bool logging) {
    LogEntry e;
    if (logging) {
        e.call = call;
    }
    e.handle = handle > 0 ? handle : -1;
    e.time = Clock::now();
    return e;
}

}  // namespace

Core& Core::get() {
    // Never destroyed: the host may still call into libusb from its own static destructors.
    static Core* core = new Core;
    return *core;
}

std::unique_lock<std::mutex> Core::enter() {
    std::unique_lock<std::mutex> lk(m_);
    if (!configuredByProcess_ && !environmentApplied_) {
        configureFromEnvironmentLocked();
    }
    refreshLocked();
    return lk;
}

void Core::refreshLocked() {
    const microseconds now = Clock::now();
    for (auto& p : probes_) {
        p->model->poll(now);
    }
}

Node* Core::newNode(int bus, std::uint16_t vid, std::uint16_t pid) {
    auto n = std::make_unique<Node>();
    n->id = nextNode_++;
    n->bus = bus;
    int& next = nextDevnum_.try_emplace(bus, kFirstDevnum).first->second;
    n->devnum = next;
    next = next >= kLastDevnum ? kFirstDevnum : next + 1;
    n->vendorId = vid;
    n->productId = pid;
    nodes_.push_back(std::move(n));
    return nodes_.back().get();
}

void Core::probeReturned(Probe::State& s) {
    Node* n = newNode(s.bus, kProbeVendorId, kProbeProductId);
    n->probe = &s;
    n->probeId = s.id;
    s.node = n;
    pipeChanged_.notify_all();
}

void Core::probeLeft(Probe::State& s) {
    if (s.node != nullptr) {
        s.node->present = false;
        s.node->probe = nullptr;
        s.node->pipe.clear();
        s.node->claimHolder = 0;
        s.node = nullptr;
    }
    pipeChanged_.notify_all();
}

int Core::countCall(const char* name) {
    const std::string_view key(name);
    auto it = calls_.find(key);
    if (it == calls_.end()) {
        it = calls_.emplace(std::string(key), 0).first;
    }
    return static_cast<int>(++it->second);
}

void Core::append(LogEntry e) {
    if (logging_) {
        log_.push_back(std::move(e));
    }
}

HandleRec* Core::findHandle(int handle) {
    auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : &it->second;
}

std::optional<std::uint64_t> Core::nodeOf(int handle) {
    auto lk = enter();
    countCall("usb_device");
    HandleRec* h = findHandle(handle);
    LogEntry e = entry("usb_device", handle, logging_);
    e.result = h != nullptr ? 1 : 0;
    if (h != nullptr) {
        e.probe = h->node->probeId;
    }
    append(std::move(e));
    if (h == nullptr) {
        return std::nullopt;
    }
    return h->node->id;
}

void Core::logSimple(const char* call, int result) {
    auto lk = enter();
    countCall(call);
    LogEntry e = entry(call, -1, logging_);
    e.result = result;
    append(std::move(e));
}

std::vector<int> Core::busNumbers() {
    auto lk = enter();
    std::set<int> numbers{0};
    for (const Slot& s : slots_) {
        numbers.insert(s.bus);
    }
    return {numbers.begin(), numbers.end()};
}

std::vector<DeviceInfo> Core::presentDevices() {
    auto lk = enter();
    std::set<int> numbers;
    for (const Slot& s : slots_) {
        numbers.insert(s.bus);
    }
    std::vector<DeviceInfo> out;
    for (int bus : numbers) {
        for (const Slot& s : slots_) {
            Node* n = s.probe != nullptr ? s.probe->node : s.foreign;
            if (s.bus == bus && n != nullptr && n->present) {
                out.push_back({n->id, n->bus, n->devnum, n->vendorId, n->productId});
            }
        }
    }
    return out;
}

std::vector<Fault> Core::faultsFor(Op op, int probeId) {
    std::vector<Fault> hit;
    for (ActiveFault& f : faults_) {
        const Fault k = f.rule.kind;
        bool counts = false;
        switch (op) {
            case Op::Open:
                counts = k == Fault::OpenFails;
                break;
            case Op::Config:
                counts = k == Fault::ConfigFails;
                break;
            case Op::Claim:
                counts = k == Fault::ClaimFails;
                break;
            case Op::Close:
                counts = k == Fault::CloseFails;
                break;
            case Op::Write:
                counts = isWriteFault(k) || k == Fault::Unplug;
                break;
            case Op::Read:
                counts = isReadFault(k);
                break;
        }
        if (!counts || (f.rule.probe >= 0 && f.rule.probe != probeId)) {
            continue;
        }
        std::int64_t n = 0;
        if (f.rule.counting == Counting::ByCall) {
            n = f.seen++;
        } else if (op == Op::Write) {
            n = exchanges_ - 1;  // this write's exchange
        } else if (op == Op::Read && readsSinceWrite_ == 1) {
            n = exchanges_ - 1;  // the first read after the write of the exchange
        } else {
            continue;
        }
        if (n >= f.rule.at && (f.rule.times < 0 || n < f.rule.at + f.rule.times)) {
            hit.push_back(k);
        }
    }
    return hit;
}

int Core::open(std::uint64_t nodeId) {
    auto lk = enter();
    countCall("usb_open");
    LogEntry e = entry("usb_open", -1, logging_);
    Node* n = nodeId >= 1 && nodeId <= nodes_.size() ? nodes_[nodeId - 1].get() : nullptr;
    int h = 0;
    if (n != nullptr) {
        e.probe = n->probeId;
        if (n->present && !has(faultsFor(Op::Open, n->probeId), Fault::OpenFails)) {
            h = nextHandle_++;
            handles_[h] = HandleRec{n, false};
        }
    }
    e.handle = h > 0 ? h : -1;
    e.result = h > 0 ? 1 : 0;
    append(std::move(e));
    return h;
}

int Core::close(int handle) {
    auto lk = enter();
    countCall("usb_close");
    LogEntry e = entry("usb_close", handle, logging_);
    HandleRec* h = findHandle(handle);
    int rc = 0;
    if (h == nullptr) {
        rc = -EBADF;
    } else if (h->closed) {
        rc = -EBADF;
        e.probe = h->node->probeId;
        if (h->node->probe != nullptr) {
            h->node->probe->model->addProtocolViolation("usb_close on a handle already closed");
        }
    } else {
        e.probe = h->node->probeId;
        h->closed = true;
        if (h->node->claimHolder == handle) {
            h->node->claimHolder = 0;
        }
        if (has(faultsFor(Op::Close, h->node->probeId), Fault::CloseFails)) {
            rc = -EIO;
        }
    }
    e.result = rc;
    append(std::move(e));
    if (!statePath_.empty() && !saveStateLocked(statePath_)) {
        std::cerr << "klovsim: could not write the state file " << statePath_ << "\n";
    }
    return rc;
}

int Core::liveHandle(int handle, LogEntry& e, HandleRec*& h) {
    h = findHandle(handle);
    if (h == nullptr || h->closed) {
        return -EBADF;
    }
    e.probe = h->node->probeId;
    return h->node->present ? 0 : -ENODEV;
}

int Core::setConfiguration(int handle, int configuration) {
    auto lk = enter();
    countCall("usb_set_configuration");
    LogEntry e = entry("usb_set_configuration", handle, logging_);
    e.value = configuration;
    HandleRec* h = nullptr;
    int rc = liveHandle(handle, e, h);
    if (rc == 0) {
        if (configuration != 1) {
            rc = -EINVAL;
        } else if (h->node->claimHolder != 0) {
            rc = -EBUSY;  // Linux refuses to change the configuration while an interface is claimed
        } else if (has(faultsFor(Op::Config, h->node->probeId), Fault::ConfigFails)) {
            rc = -EPIPE;
        }
    }
    e.result = rc;
    append(std::move(e));
    return rc;
}

int Core::claim(int handle, int interface) {
    auto lk = enter();
    countCall("usb_claim_interface");
    LogEntry e = entry("usb_claim_interface", handle, logging_);
    e.value = interface;
    HandleRec* h = nullptr;
    int rc = liveHandle(handle, e, h);
    if (rc == 0) {
        if (interface != 0) {
            rc = -EINVAL;
        } else if (h->node->claimHolder != 0 && h->node->claimHolder != handle) {
            rc = -EBUSY;
        } else if (has(faultsFor(Op::Claim, h->node->probeId), Fault::ClaimFails)) {
            rc = -EBUSY;
        } else {
            h->node->claimHolder = handle;
        }
    }
    e.result = rc;
    append(std::move(e));
    return rc;
}

int Core::release(int handle, int interface) {
    auto lk = enter();
    countCall("usb_release_interface");
    LogEntry e = entry("usb_release_interface", handle, logging_);
    e.value = interface;
    HandleRec* h = nullptr;
    int rc = liveHandle(handle, e, h);
    if (rc == 0) {
        if (interface != 0 || h->node->claimHolder != handle) {
            rc = -EINVAL;
        } else {
            h->node->claimHolder = 0;
        }
    }
    e.result = rc;
    append(std::move(e));
    return rc;
}

void Core::wait(std::unique_lock<std::mutex>& lk, microseconds d) {
    if (Clock::isVirtual()) {
        Clock::advance(d);
    } else {
        lk.unlock();
        holdUntil(realNow() + d);
        lk.lock();
    }
    refreshLocked();
}

void Core::holdLatency(std::unique_lock<std::mutex>& lk, microseconds latency,
                       microseconds realStart) {
    if (latency <= microseconds::zero()) {
        return;
    }
    if (Clock::isVirtual()) {
        Clock::advance(latency);
        refreshLocked();
    } else {
        lk.unlock();
        holdUntil(realStart + latency);
        lk.lock();
    }
}

bool Core::waitForReply(std::unique_lock<std::mutex>& lk, Node* node, int timeoutMs) {
    auto ready = [&] { return !node->pipe.empty() || !node->present; };
    if (ready()) {
        return !node->pipe.empty();
    }
    if (Clock::isVirtual()) {
        Clock::advance(milliseconds(std::max(timeoutMs, 0)));
        refreshLocked();
    } else {
        const milliseconds limit = timeoutMs > 0 ? milliseconds(timeoutMs) : kEndlessWait;
        pipeChanged_.wait_for(lk, limit, ready);
    }
    return !node->pipe.empty();
}

int Core::checkTransfer(int handle, int endpoint, bool out, bool haveData, int size, LogEntry& e,
                        Node*& node) {
    HandleRec* h = nullptr;
    if (const int rc = liveHandle(handle, e, h); rc != 0) {
        return rc;
    }
    node = h->node;
    if (size < 0 || (size > 0 && !haveData)) {
        return -EINVAL;
    }
    Probe::State* s = node->probe;
    const char* kind = out ? "write" : "read";
    if (endpoint != (out ? kEndpointOut : kEndpointIn)) {
        if (s != nullptr) {
            s->model->addProtocolViolation(std::string("bulk ") + kind + " on endpoint " +
                                           hexByte(endpoint));
        }
        return -EINVAL;
    }
    if (node->claimHolder != handle) {
        if (s != nullptr) {
            s->model->addProtocolViolation(std::string("bulk ") + kind +
                                           " without the interface claimed");
        }
        return -EPERM;
    }
    return 0;
}

int Core::bulkWrite(int handle, int endpoint, const std::uint8_t* data, int size, int timeoutMs) {
    const microseconds realStart = realNow();
    auto lk = enter();
    countCall("usb_bulk_write");
    ++exchanges_;
    readsSinceWrite_ = 0;
    LogEntry e = entry("usb_bulk_write", handle, logging_);
    e.endpoint = endpoint;
    e.size = size;
    e.timeout = timeoutMs;
    if (data != nullptr && size > 0) {
        e.data.assign(data, data + size);
    }
    auto finish = [&](int rc) {
        e.result = rc;
        append(std::move(e));
        return rc;
    };
    Node* node = nullptr;
    if (const int rc = checkTransfer(handle, endpoint, true, data != nullptr, size, e, node);
        rc != 0) {
        return finish(rc);
    }
    Probe::State* s = node->probe;
    const std::vector<Fault> faults = faultsFor(Op::Write, node->probeId);
    if (has(faults, Fault::Unplug)) {
        if (s != nullptr) {
            s->model->unplug();
        }
        return finish(-ENODEV);
    }
    if (has(faults, Fault::WriteFails)) {
        return finish(-EIO);
    }
    if (has(faults, Fault::WriteTimeout)) {
        e.result = -ETIMEDOUT;
        append(std::move(e));
        wait(lk, milliseconds(std::max(timeoutMs, 0)));
        return -ETIMEDOUT;
    }
    if (has(faults, Fault::WriteShort)) {
        return finish(std::max(size - 1, 0));
    }
    const microseconds latency = s != nullptr ? s->latency : microseconds::zero();
    if (s != nullptr) {
        model::Reply reply = s->model->handle(e.data, Clock::now());
        if (reply && node->present) {
            node->pipe.push_back(std::move(*reply));
            pipeChanged_.notify_all();
        }
    }
    finish(size);
    holdLatency(lk, latency, realStart);
    return size;
}

int Core::bulkRead(int handle, int endpoint, std::uint8_t* data, int size, int timeoutMs) {
    const microseconds realStart = realNow();
    auto lk = enter();
    countCall("usb_bulk_read");
    LogEntry e = entry("usb_bulk_read", handle, logging_);
    e.endpoint = endpoint;
    e.size = size;
    e.timeout = timeoutMs;
    auto finish = [&](int rc) {
        e.result = rc;
        append(std::move(e));
        return rc;
    };
    Node* node = nullptr;
    if (const int rc = checkTransfer(handle, endpoint, false, data != nullptr, size, e, node);
        rc != 0) {
        return finish(rc);
    }
    Probe::State* s = node->probe;
    ++readsSinceWrite_;
    const std::vector<Fault> faults = faultsFor(Op::Read, node->probeId);
    if (has(faults, Fault::ReadFails)) {
        if (!node->pipe.empty()) {
            node->pipe.pop_front();
        }
        return finish(-EIO);
    }
    if (has(faults, Fault::ReadTimeout)) {
        if (!node->pipe.empty()) {
            node->pipe.pop_front();
        }
        e.result = -ETIMEDOUT;
        append(std::move(e));
        wait(lk, milliseconds(std::max(timeoutMs, 0)));
        return -ETIMEDOUT;
    }
    const microseconds latency = s != nullptr ? s->latency : microseconds::zero();
    if (!waitForReply(lk, node, timeoutMs)) {
        return finish(node->present ? -ETIMEDOUT : -ENODEV);
    }
    std::vector<std::uint8_t> reply = std::move(node->pipe.front());
    node->pipe.pop_front();
    if (has(faults, Fault::GarbleEcho) && !reply.empty()) {
        reply[0] = static_cast<std::uint8_t>(~reply[0]);
    }
    if (has(faults, Fault::GarbleSelector) && reply.size() >= 2) {
        reply[1] = static_cast<std::uint8_t>(~reply[1]);
    }
    if (has(faults, Fault::GarbleData) && !reply.empty()) {
        reply.back() = static_cast<std::uint8_t>(~reply.back());
    }
    if (has(faults, Fault::ReadShort) && !reply.empty()) {
        reply.pop_back();
    }
    if (reply.size() > static_cast<std::size_t>(size)) {
        return finish(-EOVERFLOW);  // the reply is lost, as on a real pipe
    }
    std::copy(reply.begin(), reply.end(), data);
    const int n = static_cast<int>(reply.size());
    e.data = std::move(reply);
    finish(n);
    holdLatency(lk, latency, realStart);
    return n;
}

// ----- configuration -----------------------------------------------------------------------

void Core::resetLocked() {
    for (auto& n : nodes_) {
        n->present = false;
        n->probe = nullptr;
        n->pipe.clear();
        n->claimHolder = 0;
    }
    probes_.clear();
    slots_.clear();
    handles_.clear();
    faults_.clear();
    log_.clear();
    logging_ = true;
    calls_.clear();
    exchanges_ = 0;
    readsSinceWrite_ = 0;
    statePath_.clear();
    Clock::setVirtual(false);
    pipeChanged_.notify_all();
}

void Core::reset(bool byProcess) {
    std::lock_guard<std::mutex> lk(m_);
    configuredByProcess_ = configuredByProcess_ || byProcess;
    resetLocked();
}

Probe::State& Core::addProbeLocked(const ProbeConfig& config, int bus) {
    if (bus < 0) {
        throw std::invalid_argument("klovsim: bus numbers start at 0");
    }
    const int id = static_cast<int>(probes_.size());
    slots_.push_back({bus, nullptr, nullptr});
    const std::size_t slot = slots_.size() - 1;
    probes_.push_back(std::make_unique<Probe::State>(*this, id, bus, config));
    probes_.back()->slot = slot;
    slots_[slot].probe = probes_.back().get();
    return *probes_.back();
}

Probe Core::addProbe(const ProbeConfig& config, int bus, bool byProcess) {
    std::lock_guard<std::mutex> lk(m_);
    configuredByProcess_ = configuredByProcess_ || byProcess;
    return Probe(&addProbeLocked(config, bus));
}

void Core::addForeignDevice(std::uint16_t vendorId, std::uint16_t productId, int bus) {
    std::lock_guard<std::mutex> lk(m_);
    if (bus < 0) {
        throw std::invalid_argument("klovsim: bus numbers start at 0");
    }
    configuredByProcess_ = true;
    slots_.push_back({bus, nullptr, newNode(bus, vendorId, productId)});
}

Probe Core::probe(int id) {
    std::lock_guard<std::mutex> lk(m_);
    if (id < 0 || static_cast<std::size_t>(id) >= probes_.size()) {
        throw std::out_of_range("klovsim: no probe " + std::to_string(id));
    }
    return Probe(probes_[static_cast<std::size_t>(id)].get());
}

int Core::probeCount() {
    std::lock_guard<std::mutex> lk(m_);
    return static_cast<int>(probes_.size());
}

void Core::inject(const FaultRule& fault) {
    const bool usbOnly = fault.kind == Fault::OpenFails || fault.kind == Fault::ConfigFails ||
                         fault.kind == Fault::ClaimFails || fault.kind == Fault::CloseFails;
    if (usbOnly && fault.counting == Counting::ByExchange) {
        throw std::invalid_argument(
            "klovsim: open, configuration, claim and close faults are "
            "counted by call, not by exchange");
    }
    if (fault.at < 0 || fault.times < -1) {
        throw std::invalid_argument("klovsim: fault position and count must not be negative");
    }
    std::lock_guard<std::mutex> lk(m_);
    faults_.push_back({fault, 0});
}

void Core::clearFaults() {
    std::lock_guard<std::mutex> lk(m_);
    faults_.clear();
}

std::vector<LogEntry> Core::log() {
    std::lock_guard<std::mutex> lk(m_);
    return log_;
}

void Core::clearLog() {
    std::lock_guard<std::mutex> lk(m_);
    log_.clear();
}

void Core::setLogging(bool on) {
    std::lock_guard<std::mutex> lk(m_);
    logging_ = on;
}

std::int64_t Core::exchanges() {
    std::lock_guard<std::mutex> lk(m_);
    return exchanges_;
}

int Core::openHandles() {
    std::lock_guard<std::mutex> lk(m_);
    return static_cast<int>(
        std::count_if(handles_.begin(), handles_.end(), [](auto& h) { return !h.second.closed; }));
}

int Core::claimedInterfaces() {
    std::lock_guard<std::mutex> lk(m_);
    return static_cast<int>(std::count_if(
        nodes_.begin(), nodes_.end(), [](auto& n) { return n->present && n->claimHolder != 0; }));
}

std::int64_t Core::calls(const std::string& name) {
    std::lock_guard<std::mutex> lk(m_);
    auto it = calls_.find(name);
    return it == calls_.end() ? 0 : it->second;
}

// ----- state file --------------------------------------------------------------------------
//
// Text, one item per line:
//   klovsim-state 1
//   probes <count>
//   then per probe, in id order:
//   probe <id> <bus> <application|bootloader|off>
//   flash <65536 hex digits>
//   config <32 hex digits>
//   eeprom <512 hex digits>
// A file is written next to the target and renamed over it, so a crash never leaves half.

bool Core::saveStateLocked(const std::string& path) {
    refreshLocked();
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out) {
            return false;
        }
        out << "klovsim-state 1\nprobes " << probes_.size() << "\n";
        for (const auto& p : probes_) {
            const model::ProbeModel& m = *p->model;
            const char* mode = !m.onBus()                     ? "off"
                               : m.mode() == Mode::Bootloader ? "bootloader"
                                                              : "application";
            out << "probe " << p->id << ' ' << p->bus << ' ' << mode << "\n";
            out << "flash " << toHex(m.flash().data(), m.flash().size()) << "\n";
            out << "config " << toHex(m.config().data(), m.config().size()) << "\n";
            out << "eeprom " << toHex(m.eeprom().data(), m.eeprom().size()) << "\n";
        }
        out.flush();
        if (!out) {
            std::remove(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

bool Core::loadStateLocked(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    struct Saved {
        int bus;
        std::optional<Mode> mode;
        model::Flash flash;
        model::ConfigBytes config;
        model::Eeprom eeprom;
    };
    std::string word;
    int version = 0;
    std::size_t count = 0;
    if (!(in >> word >> version) || word != "klovsim-state" || version != 1 ||
        !(in >> word >> count) || word != "probes" || count > 256) {
        return false;
    }
    std::vector<Saved> saved(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t id = 0;
        std::string mode, flash, config, eeprom, k1, k2, k3;
        Saved& s = saved[i];
        if (!(in >> word >> id >> s.bus >> mode) || word != "probe" || id != i || s.bus < 0 ||
            !(in >> k1 >> flash >> k2 >> config >> k3 >> eeprom) || k1 != "flash" ||
            k2 != "config" || k3 != "eeprom" || !fromHex(flash, s.flash) ||
            !fromHex(config, s.config) || !fromHex(eeprom, s.eeprom)) {
            return false;
        }
        if (mode == "application") {
            s.mode = Mode::Application;
        } else if (mode == "bootloader") {
            s.mode = Mode::Bootloader;
        } else if (mode != "off") {
            return false;
        }
    }
    if (in >> word) {
        return false;  // trailing garbage
    }
    for (std::size_t i = 0; i < count; ++i) {
        Probe::State& p =
            i < probes_.size() ? *probes_[i] : addProbeLocked(ProbeConfig{}, saved[i].bus);
        p.model->restore(saved[i].flash, saved[i].config, saved[i].eeprom, saved[i].mode);
    }
    return true;
}

bool Core::saveState(const std::string& path) {
    std::lock_guard<std::mutex> lk(m_);
    return saveStateLocked(path);
}

bool Core::loadState(const std::string& path) {
    std::lock_guard<std::mutex> lk(m_);
    return loadStateLocked(path);
}

void Core::saveAtExit() {
    std::lock_guard<std::mutex> lk(m_);
    if (!statePath_.empty() && !saveStateLocked(statePath_)) {
        std::cerr << "klovsim: could not write the state file " << statePath_ << "\n";
    }
}

void Core::configureFromEnvironment() {
    std::lock_guard<std::mutex> lk(m_);
    configureFromEnvironmentLocked();
}

void Core::configureFromEnvironmentLocked() {
    resetLocked();
    environmentApplied_ = true;
    auto warn = [](const char* name, const char* value, const char* expected) {
        std::cerr << "klovsim: ignoring " << name << "=\"" << value << "\": expected " << expected
                  << "\n";
    };
    auto number = [&](const char* name, long lo, long hi, long fallback, const char* expected) {
        const char* v = std::getenv(name);
        if (v == nullptr) {
            return fallback;
        }
        if (auto n = parseNumber(v, lo, hi)) {
            return *n;
        }
        warn(name, v, expected);
        return fallback;
    };
    auto text = [&](const char* name, std::size_t maxLength, const std::string& fallback) {
        const char* v = std::getenv(name);
        if (v == nullptr) {
            return fallback;
        }
        const std::string s = v;
        if (s.empty() || s.size() > maxLength) {
            warn(name, v, "a text of 1 to 8 characters (16 for the version)");
            return fallback;
        }
        return s;
    };

    ProbeConfig base;
    const long count = number("KLOVSIM_PROBES", 0, kMaxEnvProbes, 1, "a number from 0 to 16");
    if (const char* m = std::getenv("KLOVSIM_MODE")) {
        const std::string mode = m;
        if (mode == "bootloader") {
            base.mode = Mode::Bootloader;
        } else if (mode != "application") {
            warn("KLOVSIM_MODE", m, "\"application\" or \"bootloader\"");
        }
    }
    base.serial = text("KLOVSIM_SERIAL", 8, base.serial);
    base.productionDate = text("KLOVSIM_DATE", 8, base.productionDate);
    base.firmwareVersion = text("KLOVSIM_VERSION", 16, base.firmwareVersion);
    base.resetDelay =
        milliseconds(number("KLOVSIM_RESET_MS", 0, 600000, 1500, "milliseconds from 0 to 600000"));
    const microseconds latency(
        number("KLOVSIM_LATENCY_US", 0, 10000000, 0, "microseconds from 0 to 10000000"));

    // One fault, counted by exchange: KLOVSIM_FAULT=<kind>@<exchange>, e.g. write-error@800.
    if (const char* f = std::getenv("KLOVSIM_FAULT"); f != nullptr && *f != '\0') {
        static const std::pair<const char*, Fault> kKinds[] = {
            {"write-error", Fault::WriteFails},  {"write-timeout", Fault::WriteTimeout},
            {"short-write", Fault::WriteShort},  {"read-error", Fault::ReadFails},
            {"no-reply", Fault::ReadTimeout},    {"short-reply", Fault::ReadShort},
            {"garbled-echo", Fault::GarbleEcho}, {"garbled-selector", Fault::GarbleSelector},
            {"garbled-data", Fault::GarbleData}, {"unplug", Fault::Unplug},
        };
        const std::string value = f;
        const std::size_t at = value.find('@');
        const std::string kind = value.substr(0, at);
        const auto* match = std::find_if(std::begin(kKinds), std::end(kKinds),
                                         [&](const auto& k) { return kind == k.first; });
        const auto index = at == std::string::npos
                               ? std::nullopt
                               : parseNumber(value.c_str() + at + 1, 0, 100000000);
        if (match == std::end(kKinds) || !index) {
            warn("KLOVSIM_FAULT", f,
                 "<kind>@<exchange>, kind one of write-error, write-timeout, short-write, "
                 "read-error, no-reply, short-reply, garbled-echo, garbled-selector, "
                 "garbled-data, unplug");
        } else {
            faults_.push_back({FaultRule{match->second, *index, 1, Counting::ByExchange}, 0});
        }
    }

    for (long i = 0; i < count; ++i) {
        ProbeConfig c = base;
        // Further probes get the following serial numbers when the first one is all digits.
        if (i > 0 && !c.serial.empty() &&
            std::all_of(c.serial.begin(), c.serial.end(),
                        [](char ch) { return ch >= '0' && ch <= '9'; })) {
            std::string next = std::to_string(std::stoull(c.serial) + static_cast<unsigned>(i));
            if (next.size() < c.serial.size()) {
                next.insert(0, c.serial.size() - next.size(), '0');
            }
            c.serial = next.substr(next.size() - std::min(next.size(), std::size_t{8}));
        }
        addProbeLocked(c, 0).latency = latency;
    }

    if (const char* path = std::getenv("KLOVSIM_STATE"); path != nullptr && *path != '\0') {
        std::ifstream probe(path);
        if (!probe) {
            statePath_ = path;  // created at the first save
        } else if (probe.close(); loadStateLocked(path)) {
            statePath_ = path;
        } else {
            // Keep the file as it is rather than overwrite what we could not read.
            std::cerr << "klovsim: " << path
                      << " is not a readable state file; it is left untouched and not saved to\n";
        }
        if (!statePath_.empty() && !exitHookInstalled_) {
            exitHookInstalled_ = true;
            std::atexit([] { Core::get().saveAtExit(); });
        }
    }
}

}  // namespace detail

// ----- public API --------------------------------------------------------------------------

Probe::State::State(detail::Core& c, int i, int b, const ProbeConfig& config)
    : core(c), id(i), bus(b) {
    model = std::make_unique<model::ProbeModel>(config, this);
}

namespace {

// Locks the bus and lets the probes' time pass before a probe is looked at.
std::unique_lock<std::mutex> guard() {
    auto lk = detail::Core::get().lock();
    detail::Core::get().refreshLocked();
    return lk;
}

}  // namespace

int Probe::id() const {
    return s_->id;
}

Mode Probe::mode() const {
    auto lk = guard();
    return s_->model->mode();
}

bool Probe::onBus() const {
    auto lk = guard();
    return s_->model->onBus();
}

bool Probe::bricked() const {
    auto lk = guard();
    return s_->model->bricked();
}

bool Probe::applicationValid() const {
    auto lk = guard();
    return s_->model->applicationValid();
}

std::array<std::uint8_t, kFlashSize> Probe::flash() const {
    auto lk = guard();
    return s_->model->flash();
}

void Probe::setFlash(const std::array<std::uint8_t, kFlashSize>& image) {
    auto lk = guard();
    s_->model->setFlash(image);
}

std::array<std::uint8_t, kConfigSize> Probe::config() const {
    auto lk = guard();
    return s_->model->config();
}

std::array<std::uint8_t, kEepromSize> Probe::eeprom() const {
    auto lk = guard();
    return s_->model->eeprom();
}

std::uint8_t Probe::bootFlag() const {
    auto lk = guard();
    return s_->model->bootFlag();
}

void Probe::setBootFlag(std::uint8_t value) {
    auto lk = guard();
    s_->model->setBootFlag(value);
}

std::vector<WriteViolation> Probe::writeViolations() const {
    auto lk = guard();
    return s_->model->writeViolations();
}

std::vector<ProtocolViolation> Probe::protocolViolations() const {
    auto lk = guard();
    return s_->model->protocolViolations();
}

Settings Probe::settings() const {
    auto lk = guard();
    return s_->model->settings();
}

Settings Probe::savedSettings() const {
    auto lk = guard();
    return s_->model->savedSettings();
}

void Probe::setCountRate(std::uint16_t rate, bool flag) {
    auto lk = guard();
    s_->model->setCountRate(rate, flag);
}

void Probe::reset() {
    auto lk = guard();
    s_->model->restart(Clock::now());
}

void Probe::setResetDelay(std::chrono::milliseconds d) {
    auto lk = guard();
    s_->model->setResetDelay(d);
}

void Probe::setLatency(std::chrono::microseconds l) {
    auto lk = guard();
    s_->latency = l;
}

void Probe::unplug() {
    auto lk = guard();
    s_->model->unplug();
}

void Probe::plug() {
    auto lk = guard();
    s_->model->plug();
}

Bus& Bus::instance() {
    static Bus bus;
    return bus;
}

void Bus::reset() {
    detail::Core::get().reset(true);
}
Probe Bus::addProbe(const ProbeConfig& config, int bus) {
    return detail::Core::get().addProbe(config, bus, true);
}
void Bus::addForeignDevice(std::uint16_t vendorId, std::uint16_t productId, int bus) {
    detail::Core::get().addForeignDevice(vendorId, productId, bus);
}
Probe Bus::probe(int id) {
    return detail::Core::get().probe(id);
}
int Bus::probeCount() const {
    return detail::Core::get().probeCount();
}
void Bus::inject(const FaultRule& fault) {
    detail::Core::get().inject(fault);
}
void Bus::clearFaults() {
    detail::Core::get().clearFaults();
}
std::vector<LogEntry> Bus::log() const {
    return detail::Core::get().log();
}
void Bus::clearLog() {
    detail::Core::get().clearLog();
}
void Bus::setLogging(bool on) {
    detail::Core::get().setLogging(on);
}
std::int64_t Bus::exchanges() const {
    return detail::Core::get().exchanges();
}
int Bus::openHandles() const {
    return detail::Core::get().openHandles();
}
int Bus::claimedInterfaces() const {
    return detail::Core::get().claimedInterfaces();
}
std::int64_t Bus::calls(const std::string& name) const {
    return detail::Core::get().calls(name);
}
bool Bus::saveState(const std::string& path) const {
    return detail::Core::get().saveState(path);
}
bool Bus::loadState(const std::string& path) {
    return detail::Core::get().loadState(path);
}

void configureFromEnvironment() {
    detail::Core::get().configureFromEnvironment();
}

}  // namespace klovsim
