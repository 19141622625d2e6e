// Inside the usbfs adapter: device nodes, probes, URBs and the bus that holds them, shared by
// the bus (usbfs_bus.cpp) and the answers to the usbfs requests (usbfs_requests.cpp).
//
// Each device node gets its own handler object. umockdev calls the handlers on a worker
// thread; a background thread of ours lets the probes' time pass and puts a probe that came
// back from a reset on the bus under a new node. One mutex guards everything here.
//
// URBs: a bulk OUT URB hands its bytes to the model at once and completes; the model's reply
// waits in the node's IN pipe. A bulk IN URB completes as soon as a reply is in the pipe (a
// reply longer than the URB's buffer completes it with -EOVERFLOW and is lost), else it stays
// pending until a reply comes, the host discards it (-ENOENT), or the device leaves the bus.
// Completed URBs are handed back by REAPURB/REAPURBNDELAY in completion order, per open file.
#pragma once

#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "klovsim/bus_adapter.h"
#include "klovsim/probe_model.h"
#include "klovsim/usbfs.h"

namespace klovsim::usbfs {

using model::kEndpointIn;
using model::kEndpointOut;

struct Urb {
    UMockdevIoctlData* urb = nullptr;     // the host's struct usbdevfs_urb, resolved
    UMockdevIoctlData* buffer = nullptr;  // its data buffer, resolved (null when empty)
    UMockdevIoctlClient* client = nullptr;

    usbdevfs_urb* fields() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
};

// Drops the two references a submitted URB holds (its struct and its buffer).
void ReleaseUrb(Urb& u);

struct ProbeRec;

struct Node {
    UsbfsBus::Impl* bus = nullptr;
    int devnum = 0;
    std::string devnode;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    ProbeRec* probe = nullptr;  // null for a foreign device
    int probeNumber = -1;
    bool present = true;
    UMockdevIoctlClient* claimHolder = nullptr;
    std::deque<std::vector<std::uint8_t>> pipe;  // replies waiting on the IN endpoint
    std::vector<Urb> pendingIn;
    UMockdevIoctlBase* handler = nullptr;
};

struct ProbeRec final : model::ProbeModel::Listener {
    UsbfsBus::Impl* bus = nullptr;
    int number = 0;
    Node* node = nullptr;
    bool wantsNode = false;
    std::unique_ptr<model::ProbeModel> model;

    void probeLeft() override;
    void probeReturned() override { wantsNode = true; }
};

// One usbfs request being answered: the node and the open file it came from, and its argument.
struct Request {
    Node& n;
    UMockdevIoctlClient* client;
    UMockdevIoctlData* arg;

    gboolean fail(int error) const;
    gboolean done(glong result) const;
    // Part of the host's memory behind `data`, or null when it cannot be reached.
    UMockdevIoctlData* resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t size) const;
};

struct UsbfsBus::Impl {
    UMockdevTestbed* testbed = nullptr;
    mutable std::mutex m;
    std::vector<std::unique_ptr<ProbeRec>> probes;
    std::vector<std::unique_ptr<Node>> nodes;  // every node ever; departed ones stay
    std::map<UMockdevIoctlClient*, std::deque<Urb>> completed;
    std::map<UMockdevIoctlClient*, std::size_t> readPosition;
    UsbfsBus::Counters counters;
    std::vector<UsbfsBus::Transfer> transfers;
    std::atomic<bool> stop{false};
    std::thread hotplug;

    // Makes a node and attaches its handler; runs without the lock (umockdev's worker may be
    // waiting for it inside a handler). Register() then adds it under the lock.
    std::unique_ptr<Node> MakeNode(int devnum, std::uint16_t vid, std::uint16_t pid,
                                   ProbeRec* probe);
    Node* Register(std::unique_ptr<Node> n);
    void PollModels();
    void Hotplug();
    void Depart(Node& n);
    void Deliver(Node& n);
    void Finish(Urb u, int status, int actual);

    // The answers to usbfs requests (usbfs_requests.cpp), one per request, under the lock.
    gboolean Ioctl(Node& n, UMockdevIoctlClient* client);
    gboolean Read(Node& n, UMockdevIoctlClient* client);
    gboolean Reap(const Request& r, bool blocking);
    gboolean ConnectInfo(const Request& r);
    gboolean SetConfiguration(const Request& r);
    gboolean ClaimInterface(const Request& r);
    gboolean ReleaseInterface(const Request& r);
    gboolean Control(const Request& r);
    gboolean SubmitUrb(const Request& r);
    gboolean DiscardUrb(const Request& r);
};

}  // namespace klovsim::usbfs
