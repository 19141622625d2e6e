// The transfer core: opening and closing handles, configuration, claims and the bulk
// transfers, with their checks, faults, timing and log entries.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>

#include "clock.h"
#include "core.h"

namespace klovsim::detail {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr int kEndpointOut = 0x01;
constexpr int kEndpointIn = 0x81;
// libusb waits for ever on a time-out of 0; the simulator gives up after this long instead.
constexpr milliseconds kEndlessWait{10000};

std::string hexByte(int v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(v) & 0xFFu);
    return buf;
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

std::vector<Fault> Core::faultsFor(Op op, int probeId) {
    std::optional<std::int64_t> exchange;
    if (op == Op::Write || (op == Op::Read && readsSinceWrite_ == 1)) {
        exchange = exchanges_ - 1;  // this write's exchange, or the one whose reply this reads
    }
    return faults_.hit(op, probeId, exchange);
}

int Core::open(std::uint64_t nodeId) {
    auto lk = enter();
    countCall("usb_open");
    LogEntry e = entry("usb_open", -1, logging_);
    Node* n = nodeId >= 1 && nodeId <= nodes_.size()
                  ? nodes_[static_cast<std::size_t>(nodeId - 1)].get()
                  : nullptr;
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
    if (has(faults, Fault::UnplugBeforeReply) && s != nullptr) {
        s->model->unplug();  // the reply, if any, is lost with the device
    }
    const microseconds latency = s != nullptr ? s->latency : microseconds::zero();
    if (!waitForReply(lk, node, timeoutMs)) {
        // A device that leaves while the read waits: Linux cancels the URB, and libusb 0.1
        // reaps it and returns the 0 bytes it carries, as if an empty reply had come.
        return finish(node->present ? -ETIMEDOUT : 0);
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

}  // namespace klovsim::detail
