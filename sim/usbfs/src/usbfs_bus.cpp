// The simulated probe on an emulated usbfs: the testbed, its device nodes and the probes
// behind them (see usbfs_impl.h for how URBs flow, usbfs_requests.cpp for the requests).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "usbfs_impl.h"

namespace klovsim::usbfs {
namespace {

using std::chrono::microseconds;

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

}  // namespace

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
    // Closing the file releases its claim and cancels its URBs, as the kernel does. (umockdev
    // 0.17 does not report a file that the host closes while it runs; see RELIABILITY.md.)
    if (n->claimHolder == client) {
        n->claimHolder = nullptr;
    }
    for (auto it = n->pendingIn.begin(); it != n->pendingIn.end();) {
        if (it->client == client) {
            ReleaseUrb(*it);
            it = n->pendingIn.erase(it);
        } else {
            ++it;
        }
    }
    auto done = bus.completed.find(client);
    if (done != bus.completed.end()) {
        for (Urb& u : done->second) {
            ReleaseUrb(u);
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
    n->probeNumber = probe != nullptr ? probe->number : -1;
    char devnode[64];
    std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/001/%03d", n->devnum);
    n->devnode = devnode;
    // A usb_device in sysfs and its node in /dev, whose content is what reading it gives
    // (the descriptors), in umockdev's own description format.
    std::string hexDescriptors;
    for (std::uint8_t b : model::usbDescriptors(vid, pid)) {
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

void UsbfsBus::Impl::Depart(Node& n) {
    n.present = false;
    n.pipe.clear();
    n.claimHolder = nullptr;
    for (Urb& u : n.pendingIn) {
        Finish(u, -ENODEV, 0);
    }
    n.pendingIn.clear();
}

void UsbfsBus::Impl::PollModels() {
    const microseconds now = model::now();
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
        rec->number = static_cast<int>(impl_->probes.size());
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
    WithProbe(*impl_, probe, [](ProbeRec& p) { p.model->restart(model::now()); });
}

ProbeState UsbfsBus::state(int probe) const {
    return WithProbe(*impl_, probe, [](ProbeRec& p) { return p.model->state(); });
}
std::string UsbfsBus::devnode(int probe) const {
    return WithProbe(*impl_, probe, [](ProbeRec& p) {
        return p.node != nullptr ? p.node->devnode : std::string();
    });
}

void UsbfsBus::unplug(int probe) {
    WithProbe(*impl_, probe, [](ProbeRec& p) { p.model->unplug(); });
}
void UsbfsBus::plug(int probe) {
    WithProbe(*impl_, probe, [](ProbeRec& p) { p.model->plug(); });
}

std::vector<UsbfsBus::Transfer> UsbfsBus::transfers() const {
    std::lock_guard<std::mutex> lk(impl_->m);
    return impl_->transfers;
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
