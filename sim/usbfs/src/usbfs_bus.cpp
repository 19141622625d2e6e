// usbfs requests answered from the probe model, through umockdev's ioctl handler.
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
#include "klovsim/usbfs.h"

#include <sys/ioctl.h>

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "klovsim/probe_model.h"

namespace klovsim::usbfs {
namespace {

using std::chrono::microseconds;

constexpr unsigned kEndpointOut = 0x01;
constexpr unsigned kEndpointIn = 0x81;
constexpr int kFirstDevnum = 2;  // 1 is the root hub
constexpr int kLastDevnum = 127;
constexpr auto kHotplugPeriod = std::chrono::milliseconds(5);

// Like the kernel, device numbers are not reused soon: libusb 0.1 keeps a device it already
// knows by its file name, descriptors and all, so a reused name would keep a stale device.
// Process-wide, since libusb's list outlives a bus.
int NextDevnum() {
    static std::mutex m;
    static int next = kFirstDevnum;
    std::lock_guard<std::mutex> lk(m);
    const int n = next;
    next = next >= kLastDevnum ? kFirstDevnum : next + 1;
    return n;
}

microseconds Now() {
    static const auto origin = std::chrono::steady_clock::now();
    return std::chrono::duration_cast<microseconds>(std::chrono::steady_clock::now() - origin);
}

// Device descriptor, then the one configuration: interface 0 with bulk endpoints 0x01, 0x81.
std::vector<std::uint8_t> Descriptors(std::uint16_t vid, std::uint16_t pid) {
    return {// device
            18, 1, 0x00, 0x02, 0xFF, 0x00, 0x00, 64, static_cast<std::uint8_t>(vid & 0xFF),
            static_cast<std::uint8_t>(vid >> 8), static_cast<std::uint8_t>(pid & 0xFF),
            static_cast<std::uint8_t>(pid >> 8), 0x00, 0x01, 0, 0, 0, 1,
            // configuration 1, 32 bytes in all
            9, 2, 32, 0, 1, 1, 0, 0x80, 50,
            // interface 0
            9, 4, 0, 0, 2, 0xFF, 0x00, 0x00, 0,
            // endpoints
            7, 5, 0x01, 0x02, 64, 0, 0, 7, 5, 0x81, 0x02, 64, 0, 0};
}

struct Urb {
    UMockdevIoctlData* urb = nullptr;     // the host's struct usbdevfs_urb, resolved
    UMockdevIoctlData* buffer = nullptr;  // its data buffer, resolved (null when empty)
    UMockdevIoctlClient* client = nullptr;

    usbdevfs_urb* fields() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
};

}  // namespace

struct ProbeRec;

struct Node {
    UsbfsBus::Impl* bus = nullptr;
    int devnum = 0;
    std::string devnode;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    ProbeRec* probe = nullptr;  // null for a foreign device
    bool present = true;
    UMockdevIoctlClient* claimHolder = nullptr;
    std::deque<std::vector<std::uint8_t>> pipe;  // replies waiting on the IN endpoint
    std::vector<Urb> pendingIn;
    UMockdevIoctlBase* handler = nullptr;
};

struct ProbeRec final : model::ProbeModel::Listener {
    UsbfsBus::Impl* bus = nullptr;
    Node* node = nullptr;
    bool wantsNode = false;
    std::unique_ptr<model::ProbeModel> model;

    void probeLeft() override;
    void probeReturned() override { wantsNode = true; }
};

struct UsbfsBus::Impl {
    UMockdevTestbed* testbed = nullptr;
    mutable std::mutex m;
    std::vector<std::unique_ptr<ProbeRec>> probes;
    std::vector<std::unique_ptr<Node>> nodes;  // every node ever; departed ones stay
    std::map<UMockdevIoctlClient*, std::deque<Urb>> completed;
    std::map<UMockdevIoctlClient*, std::size_t> readPosition;
    UsbfsBus::Counters counters;
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
    gboolean Ioctl(Node& n, UMockdevIoctlClient* client);
    gboolean Read(Node& n, UMockdevIoctlClient* client);
};

void ProbeRec::probeLeft() {
    if (node != nullptr) {
        bus->Depart(*node);
        node = nullptr;
    }
}

namespace {

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    Node* n = static_cast<Node*>(data);
    return n->bus->Ioctl(*n, client);
}

gboolean OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    Node* n = static_cast<Node*>(data);
    return n->bus->Read(*n, client);
}

gboolean OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
    umockdev_ioctl_client_complete(client, -1, EINVAL);  // usbfs takes no write()
    return TRUE;
}

void OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    Node* n = static_cast<Node*>(data);
    std::lock_guard<std::mutex> lk(n->bus->m);
    n->bus->readPosition[client] = 0;
}

void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    Node* n = static_cast<Node*>(data);
    UsbfsBus::Impl& bus = *n->bus;
    std::lock_guard<std::mutex> lk(bus.m);
    bus.readPosition.erase(client);
    // Closing the file releases its claim and cancels its URBs, as the kernel does.
    if (n->claimHolder == client) {
        n->claimHolder = nullptr;
    }
    for (auto it = n->pendingIn.begin(); it != n->pendingIn.end();) {
        if (it->client == client) {
            g_object_unref(it->urb);
            if (it->buffer != nullptr) {
                g_object_unref(it->buffer);
            }
            it = n->pendingIn.erase(it);
        } else {
            ++it;
        }
    }
    auto done = bus.completed.find(client);
    if (done != bus.completed.end()) {
        for (Urb& u : done->second) {
            g_object_unref(u.urb);
            if (u.buffer != nullptr) {
                g_object_unref(u.buffer);
            }
        }
        bus.completed.erase(done);
    }
}

}  // namespace

std::unique_ptr<Node> UsbfsBus::Impl::MakeNode(int devnum, std::uint16_t vid, std::uint16_t pid,
                                               ProbeRec* probe) {
    auto n = std::make_unique<Node>();
    n->bus = this;
    n->devnum = devnum;
    n->vendorId = vid;
    n->productId = pid;
    n->probe = probe;
    char devnode[64];
    std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/001/%03d", n->devnum);
    n->devnode = devnode;
    // A usb_device in sysfs and its node in /dev, whose content is what reading it gives
    // (the descriptors), in umockdev's own description format.
    std::string hexDescriptors;
    for (std::uint8_t b : Descriptors(vid, pid)) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", b);
        hexDescriptors += two;
    }
    char text[512];
    std::snprintf(text, sizeof text,
                  "P: /devices/usb1/1-%d\nN: bus/usb/001/%03d=%s\nE: DEVNAME=%s\n"
                  "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nA: idVendor=%04x\n"
                  "A: idProduct=%04x\nA: busnum=1\nA: devnum=%d\n\n",
                  n->devnum, n->devnum, hexDescriptors.c_str(), devnode, vid, pid, n->devnum);
    // The handler is attached before the node appears: a listing that finds the node while it
    // has no handler yet makes umockdev's preload library fail the whole process.
    GError* error = nullptr;
    n->handler = umockdev_ioctl_base_new();
    g_signal_connect(n->handler, "handle-ioctl", G_CALLBACK(OnIoctl), n.get());
    g_signal_connect(n->handler, "handle-read", G_CALLBACK(OnRead), n.get());
    g_signal_connect(n->handler, "handle-write", G_CALLBACK(OnWrite), n.get());
    g_signal_connect(n->handler, "client-connected", G_CALLBACK(OnConnected), n.get());
    g_signal_connect(n->handler, "client-vanished", G_CALLBACK(OnVanished), n.get());
    if (!umockdev_testbed_attach_ioctl(testbed, devnode, n->handler, &error)) {
        const std::string what = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("usbfs: cannot attach to " + n->devnode + ": " + what);
    }
    if (!umockdev_testbed_add_from_string(testbed, text, &error)) {
        const std::string what = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("usbfs: cannot add " + n->devnode + ": " + what);
    }
    return n;
}

Node* UsbfsBus::Impl::Register(std::unique_ptr<Node> n) {
    nodes.push_back(std::move(n));
    Node* node = nodes.back().get();
    if (node->probe != nullptr) {
        node->probe->node = node;
    }
    return node;
}

void UsbfsBus::Impl::Finish(Urb u, int status, int actual) {
    u.fields()->status = status;
    u.fields()->actual_length = actual;
    completed[u.client].push_back(u);
}

void UsbfsBus::Impl::Depart(Node& n) {
    n.present = false;
    n.pipe.clear();
    n.claimHolder = nullptr;
    for (Urb& u : n.pendingIn) {
        Finish(u, -ENODEV, 0);
    }
    n.pendingIn.clear();
}

void UsbfsBus::Impl::Deliver(Node& n) {
    while (!n.pendingIn.empty() && !n.pipe.empty()) {
        Urb u = n.pendingIn.front();
        n.pendingIn.erase(n.pendingIn.begin());
        std::vector<std::uint8_t> reply = std::move(n.pipe.front());
        n.pipe.pop_front();
        const int room = u.fields()->buffer_length;
        if (reply.size() > static_cast<std::size_t>(room)) {
            Finish(u, -EOVERFLOW, 0);
            continue;
        }
        if (!reply.empty()) {
            std::memcpy(u.buffer->data, reply.data(), reply.size());
        }
        Finish(u, 0, static_cast<int>(reply.size()));
    }
}

void UsbfsBus::Impl::PollModels() {
    const microseconds now = Now();
    for (auto& p : probes) {
        p->model->poll(now);
    }
}

void UsbfsBus::Impl::Hotplug() {
    std::vector<std::pair<ProbeRec*, int>> back;
    {
        std::lock_guard<std::mutex> lk(m);
        PollModels();
        for (auto& p : probes) {
            if (p->wantsNode) {
                p->wantsNode = false;
                back.emplace_back(p.get(), NextDevnum());
            }
        }
    }
    for (auto [probe, devnum] : back) {
        std::unique_ptr<Node> n = MakeNode(devnum, kProbeVendorId, kProbeProductId, probe);
        std::lock_guard<std::mutex> lk(m);
        if (probe->model->onBus()) {
            Register(std::move(n));
        } else {
            n->present = false;  // left again before its node was ready
            nodes.push_back(std::move(n));
        }
    }
}

gboolean UsbfsBus::Impl::Read(Node& n, UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lk(m);
    if (!n.present) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    // Reading the node gives the descriptors, from where the last read ended.
    const std::vector<std::uint8_t> d = Descriptors(n.vendorId, n.productId);
    std::size_t& pos = readPosition[client];
    const std::size_t from = std::min(pos, d.size());
    const std::size_t count = std::min(d.size() - from, static_cast<std::size_t>(arg->data_len));
    std::memcpy(arg->data, d.data() + from, count);
    pos = from + count;
    umockdev_ioctl_client_complete(client, static_cast<glong>(count), 0);
    return TRUE;
}

gboolean UsbfsBus::Impl::Ioctl(Node& n, UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lk(m);
    const microseconds now = Now();
    PollModels();
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    auto fail = [&](int error) {
        umockdev_ioctl_client_complete(client, -1, error);
        return TRUE;
    };
    auto done = [&](glong result) {
        umockdev_ioctl_client_complete(client, result, 0);
        return TRUE;
    };
    auto resolve = [&](UMockdevIoctlData* data, std::size_t offset, std::size_t size) {
        GError* error = nullptr;
        UMockdevIoctlData* r = umockdev_ioctl_data_resolve(data, offset, size, &error);
        g_clear_error(&error);
        return r;
    };
    // Completed URBs can be reaped even after the device has left, as with the kernel.
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        auto it = completed.find(client);
        if (it == completed.end() || it->second.empty()) {
            // Nothing to reap. A blocking reap with nothing pending would never return.
            return fail(!n.present && request == USBDEVFS_REAPURB ? ENODEV : EAGAIN);
        }
        Urb u = it->second.front();
        it->second.pop_front();
        UMockdevIoctlData* slot = resolve(arg, 0, sizeof(void*));
        if (slot == nullptr || !umockdev_ioctl_data_set_ptr(slot, 0, u.urb)) {
            return fail(EFAULT);
        }
        g_object_unref(u.urb);
        if (u.buffer != nullptr) {
            g_object_unref(u.buffer);
        }
        return done(0);
    }
    if (!n.present) {
        return fail(ENODEV);
    }
    ProbeRec* probe = n.probe;
    switch (request) {
        case USBDEVFS_CONNECTINFO: {
            UMockdevIoctlData* d = resolve(arg, 0, sizeof(usbdevfs_connectinfo));
            if (d == nullptr) {
                return fail(EFAULT);
            }
            auto* info = reinterpret_cast<usbdevfs_connectinfo*>(d->data);
            info->devnum = static_cast<unsigned>(n.devnum);
            info->slow = 0;
            return done(0);
        }
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            UMockdevIoctlData* d = resolve(arg, 0, sizeof(unsigned));
            if (d == nullptr) {
                return fail(EFAULT);
            }
            const unsigned value = *reinterpret_cast<unsigned*>(d->data);
            if (request == USBDEVFS_SETCONFIGURATION) {
                if (value != 1) {
                    return fail(EINVAL);
                }
                // Linux refuses to change the configuration while an interface is claimed.
                return n.claimHolder != nullptr ? fail(EBUSY) : done(0);
            }
            if (value != 0) {
                return fail(EINVAL);
            }
            if (request == USBDEVFS_CLAIMINTERFACE) {
                if (n.claimHolder != nullptr && n.claimHolder != client) {
                    return fail(EBUSY);
                }
                n.claimHolder = client;
                return done(0);
            }
            if (n.claimHolder != client) {
                return fail(EINVAL);
            }
            n.claimHolder = nullptr;
            return done(0);
        }
        case USBDEVFS_CONTROL: {
            UMockdevIoctlData* d = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
            if (d == nullptr) {
                return fail(EFAULT);
            }
            auto* c = reinterpret_cast<usbdevfs_ctrltransfer*>(d->data);
            const unsigned type = c->wValue >> 8;
            if (c->bRequestType != USB_DIR_IN || c->bRequest != USB_REQ_GET_DESCRIPTOR ||
                (type != USB_DT_DEVICE && type != USB_DT_CONFIG) || (c->wValue & 0xFF) != 0) {
                return fail(EPIPE);
            }
            std::vector<std::uint8_t> all = Descriptors(n.vendorId, n.productId);
            std::vector<std::uint8_t> desc(type == USB_DT_DEVICE ? all.begin() : all.begin() + 18,
                                           type == USB_DT_DEVICE ? all.begin() + 18 : all.end());
            const std::size_t count = std::min<std::size_t>(desc.size(), c->wLength);
            if (count > 0) {
                UMockdevIoctlData* buf =
                    resolve(d, offsetof(usbdevfs_ctrltransfer, data), c->wLength);
                if (buf == nullptr) {
                    return fail(EFAULT);
                }
                std::memcpy(buf->data, desc.data(), count);
            }
            return done(static_cast<glong>(count));
        }
        case USBDEVFS_SUBMITURB: {
            UMockdevIoctlData* d = resolve(arg, 0, sizeof(usbdevfs_urb));
            if (d == nullptr) {
                return fail(EFAULT);
            }
            auto* f = reinterpret_cast<usbdevfs_urb*>(d->data);
            if (f->type != USBDEVFS_URB_TYPE_BULK || f->buffer_length < 0 ||
                (f->endpoint != kEndpointOut && f->endpoint != kEndpointIn)) {
                if (probe != nullptr) {
                    probe->model->addProtocolViolation("usbfs: URB of an unexpected kind");
                }
                return fail(EINVAL);
            }
            if (n.claimHolder != nullptr && n.claimHolder != client) {
                return fail(EBUSY);  // another file holds the interface
            }
            Urb u;
            u.urb = d;
            u.client = client;
            if (f->buffer_length > 0) {
                u.buffer = resolve(d, offsetof(usbdevfs_urb, buffer),
                                   static_cast<std::size_t>(f->buffer_length));
                if (u.buffer == nullptr) {
                    return fail(EFAULT);
                }
                g_object_ref(u.buffer);
            }
            g_object_ref(u.urb);
            ++counters.submitted;
            if (f->endpoint == kEndpointOut) {
                const std::uint8_t* bytes = u.buffer != nullptr
                                                ? static_cast<const std::uint8_t*>(u.buffer->data)
                                                : nullptr;
                const std::size_t size = static_cast<std::size_t>(f->buffer_length);
                const int sent = f->buffer_length;
                if (probe != nullptr) {
                    model::Reply reply =
                        probe->model->handle(std::span<const std::uint8_t>(bytes, size), now);
                    if (reply && n.present) {
                        n.pipe.push_back(std::move(*reply));
                    }
                }
                Finish(u, 0, sent);
            } else {
                n.pendingIn.push_back(u);
            }
            Deliver(n);
            return done(0);
        }
        case USBDEVFS_DISCARDURB: {
            gulong address = 0;
            std::memcpy(
                &address, arg->data,
                std::min<std::size_t>(sizeof address, static_cast<std::size_t>(arg->data_len)));
            for (auto it = n.pendingIn.begin(); it != n.pendingIn.end(); ++it) {
                if (it->client == client && it->urb->client_addr == address) {
                    Urb u = *it;
                    n.pendingIn.erase(it);
                    ++counters.discarded;
                    Finish(u, -ENOENT, 0);
                    return done(0);
                }
            }
            return fail(EINVAL);
        }
        default:
            return fail(ENOTTY);
    }
}

UsbfsBus::UsbfsBus() : impl_(std::make_unique<Impl>()) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
        throw std::runtime_error("usbfs: not running under umockdev-wrapper");
    }
    impl_->testbed = umockdev_testbed_new();
    Impl* impl = impl_.get();
    impl_->hotplug = std::thread([impl] {
        while (!impl->stop.load()) {
            impl->Hotplug();
            std::this_thread::sleep_for(kHotplugPeriod);
        }
    });
}

UsbfsBus::~UsbfsBus() {
    impl_->stop.store(true);
    impl_->hotplug.join();
    g_object_unref(impl_->testbed);
}

int UsbfsBus::addProbe(const ProbeConfig& config) {
    ProbeRec* rec = nullptr;
    int index = 0;
    int devnum = 0;
    {
        std::lock_guard<std::mutex> lk(impl_->m);
        auto p = std::make_unique<ProbeRec>();
        p->bus = impl_.get();
        rec = p.get();
        impl_->probes.push_back(std::move(p));
        rec->model = std::make_unique<model::ProbeModel>(config, rec);
        index = static_cast<int>(impl_->probes.size()) - 1;
        if (!rec->wantsNode) {
            return index;  // an application that cannot start: never on the bus
        }
        rec->wantsNode = false;
        devnum = NextDevnum();
    }
    std::unique_ptr<Node> n = impl_->MakeNode(devnum, kProbeVendorId, kProbeProductId, rec);
    std::lock_guard<std::mutex> lk(impl_->m);
    impl_->Register(std::move(n));
    return index;
}

void UsbfsBus::addForeignDevice(std::uint16_t vendorId, std::uint16_t productId) {
    int devnum = 0;
    {
        std::lock_guard<std::mutex> lk(impl_->m);
        devnum = NextDevnum();
    }
    std::unique_ptr<Node> n = impl_->MakeNode(devnum, vendorId, productId, nullptr);
    std::lock_guard<std::mutex> lk(impl_->m);
    impl_->Register(std::move(n));
}

namespace {

template <typename F>
auto WithProbe(UsbfsBus::Impl& impl, int probe, F f) {
    std::lock_guard<std::mutex> lk(impl.m);
    impl.PollModels();
    if (probe < 0 || static_cast<std::size_t>(probe) >= impl.probes.size()) {
        throw std::out_of_range("usbfs: no probe " + std::to_string(probe));
    }
    return f(*impl.probes[static_cast<std::size_t>(probe)]);
}

}  // namespace

void UsbfsBus::restart(int probe) {
    WithProbe(*impl_, probe, [](ProbeRec& p) { p.model->restart(Now()); });
}

std::array<std::uint8_t, kFlashSize> UsbfsBus::flash(int probe) const {
    return WithProbe(*impl_, probe, [](ProbeRec& p) { return p.model->flash(); });
}
std::uint8_t UsbfsBus::bootFlag(int probe) const {
    return WithProbe(*impl_, probe, [](ProbeRec& p) { return p.model->bootFlag(); });
}
Mode UsbfsBus::mode(int probe) const {
    return WithProbe(*impl_, probe, [](ProbeRec& p) { return p.model->mode(); });
}
bool UsbfsBus::onBus(int probe) const {
    return WithProbe(*impl_, probe, [](ProbeRec& p) { return p.model->onBus(); });
}
bool UsbfsBus::bricked(int probe) const {
    return WithProbe(*impl_, probe, [](ProbeRec& p) { return p.model->bricked(); });
}
std::vector<WriteViolation> UsbfsBus::writeViolations(int probe) const {
    return WithProbe(*impl_, probe, [](ProbeRec& p) { return p.model->writeViolations(); });
}
std::vector<ProtocolViolation> UsbfsBus::protocolViolations(int probe) const {
    return WithProbe(*impl_, probe, [](ProbeRec& p) { return p.model->protocolViolations(); });
}
std::string UsbfsBus::devnode(int probe) const {
    return WithProbe(*impl_, probe, [](ProbeRec& p) {
        return p.node != nullptr ? p.node->devnode : std::string();
    });
}

UsbfsBus::Counters UsbfsBus::counters() const {
    std::lock_guard<std::mutex> lk(impl_->m);
    Counters c = impl_->counters;
    c.claimsHeld = 0;
    for (const auto& n : impl_->nodes) {
        c.claimsHeld += n->present && n->claimHolder != nullptr ? 1 : 0;
    }
    return c;
}

}  // namespace klovsim::usbfs
