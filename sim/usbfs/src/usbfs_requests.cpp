// The answers to the usbfs requests of libusb 0.1, one function per request, from the probe
// model behind each node.
#include <sys/ioctl.h>

#include <linux/usb/ch9.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "usbfs_impl.h"

namespace klovsim::usbfs {

gboolean Request::fail(int error) const {
    umockdev_ioctl_client_complete(client, -1, error);
    return TRUE;
}

gboolean Request::done(glong result) const {
    umockdev_ioctl_client_complete(client, result, 0);
    return TRUE;
}

UMockdevIoctlData* Request::resolve(UMockdevIoctlData* data, std::size_t offset,
                                    std::size_t size) const {
    GError* error = nullptr;
    UMockdevIoctlData* r = umockdev_ioctl_data_resolve(data, offset, size, &error);
    g_clear_error(&error);
    return r;
}

void ReleaseUrb(Urb& u) {
    g_object_unref(u.urb);
    if (u.buffer != nullptr) {
        g_object_unref(u.buffer);
    }
    u.urb = nullptr;
    u.buffer = nullptr;
}

void UsbfsBus::Impl::Finish(Urb u, int status, int actual) {
    u.fields()->status = status;
    u.fields()->actual_length = actual;
    completed[u.client].push_back(u);
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
        transfers.push_back({n.probeNumber, false, std::move(reply)});
    }
}

gboolean UsbfsBus::Impl::Read(Node& n, UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lk(m);
    const Request r{n, client, umockdev_ioctl_client_get_arg(client)};
    if (!n.present) {
        return r.fail(ENODEV);
    }
    // Reading the node gives the descriptors, from where the last read ended.
    const std::vector<std::uint8_t> d = model::usbDescriptors(n.vendorId, n.productId);
    std::size_t& pos = readPosition[client];
    const std::size_t from = std::min(pos, d.size());
    const std::size_t count = std::min(d.size() - from, static_cast<std::size_t>(r.arg->data_len));
    std::memcpy(r.arg->data, d.data() + from, count);
    pos = from + count;
    return r.done(static_cast<glong>(count));
}

gboolean UsbfsBus::Impl::Ioctl(Node& n, UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lk(m);
    PollModels();
    const gulong request = umockdev_ioctl_client_get_request(client);
    const Request r{n, client, umockdev_ioctl_client_get_arg(client)};
    // Completed URBs can be reaped even after the device has left, as with the kernel.
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        return Reap(r, request == USBDEVFS_REAPURB);
    }
    if (!n.present) {
        return r.fail(ENODEV);
    }
    switch (request) {
        case USBDEVFS_CONNECTINFO:
            return ConnectInfo(r);
        case USBDEVFS_SETCONFIGURATION:
            return SetConfiguration(r);
        case USBDEVFS_CLAIMINTERFACE:
            return ClaimInterface(r);
        case USBDEVFS_RELEASEINTERFACE:
            return ReleaseInterface(r);
        case USBDEVFS_CONTROL:
            return Control(r);
        case USBDEVFS_SUBMITURB:
            return SubmitUrb(r);
        case USBDEVFS_DISCARDURB:
            return DiscardUrb(r);
        default:
            return r.fail(ENOTTY);  // e.g. the hub port query libusb makes of every device
    }
}

gboolean UsbfsBus::Impl::Reap(const Request& r, bool blocking) {
    auto it = completed.find(r.client);
    if (it == completed.end() || it->second.empty()) {
        // Nothing to reap. A blocking reap with nothing pending would never return.
        return r.fail(!r.n.present && blocking ? ENODEV : EAGAIN);
    }
    // The URB leaves the queue only once the host has it: if its pointer cannot be handed
    // over, it stays to be reaped by the next try (or released when the file closes).
    Urb u = it->second.front();
    UMockdevIoctlData* slot = r.resolve(r.arg, 0, sizeof(void*));
    if (slot == nullptr || !umockdev_ioctl_data_set_ptr(slot, 0, u.urb)) {
        return r.fail(EFAULT);
    }
    it->second.pop_front();
    ReleaseUrb(u);
    return r.done(0);
}

gboolean UsbfsBus::Impl::ConnectInfo(const Request& r) {
    UMockdevIoctlData* d = r.resolve(r.arg, 0, sizeof(usbdevfs_connectinfo));
    if (d == nullptr) {
        return r.fail(EFAULT);
    }
    auto* info = reinterpret_cast<usbdevfs_connectinfo*>(d->data);
    info->devnum = static_cast<unsigned>(r.n.devnum);
    info->slow = 0;
    return r.done(0);
}

namespace {

// The unsigned int argument of SETCONFIGURATION, CLAIMINTERFACE and RELEASEINTERFACE.
bool Value(const Request& r, unsigned& value) {
    UMockdevIoctlData* d = r.resolve(r.arg, 0, sizeof(unsigned));
    if (d == nullptr) {
        return false;
    }
    value = *reinterpret_cast<unsigned*>(d->data);
    return true;
}

}  // namespace

gboolean UsbfsBus::Impl::SetConfiguration(const Request& r) {
    unsigned value = 0;
    if (!Value(r, value)) {
        return r.fail(EFAULT);
    }
    if (value != 1) {
        return r.fail(EINVAL);
    }
    // Linux refuses to change the configuration while an interface is claimed.
    return r.n.claimHolder != nullptr ? r.fail(EBUSY) : r.done(0);
}

gboolean UsbfsBus::Impl::ClaimInterface(const Request& r) {
    unsigned value = 0;
    if (!Value(r, value)) {
        return r.fail(EFAULT);
    }
    if (value != 0) {
        return r.fail(EINVAL);
    }
    if (r.n.claimHolder != nullptr && r.n.claimHolder != r.client) {
        return r.fail(EBUSY);
    }
    r.n.claimHolder = r.client;
    return r.done(0);
}

gboolean UsbfsBus::Impl::ReleaseInterface(const Request& r) {
    unsigned value = 0;
    if (!Value(r, value)) {
        return r.fail(EFAULT);
    }
    if (value != 0 || r.n.claimHolder != r.client) {
        return r.fail(EINVAL);
    }
    r.n.claimHolder = nullptr;
    return r.done(0);
}

gboolean UsbfsBus::Impl::Control(const Request& r) {
    UMockdevIoctlData* d = r.resolve(r.arg, 0, sizeof(usbdevfs_ctrltransfer));
    if (d == nullptr) {
        return r.fail(EFAULT);
    }
    auto* c = reinterpret_cast<usbdevfs_ctrltransfer*>(d->data);
    const unsigned type = c->wValue >> 8;
    if (c->bRequestType != USB_DIR_IN || c->bRequest != USB_REQ_GET_DESCRIPTOR ||
        (type != USB_DT_DEVICE && type != USB_DT_CONFIG) || (c->wValue & 0xFF) != 0) {
        return r.fail(EPIPE);
    }
    const std::vector<std::uint8_t> all = model::usbDescriptors(r.n.vendorId, r.n.productId);
    const auto split = all.begin() + model::kDeviceDescriptorLength;
    const std::vector<std::uint8_t> desc(type == USB_DT_DEVICE ? all.begin() : split,
                                         type == USB_DT_DEVICE ? split : all.end());
    const std::size_t count = std::min<std::size_t>(desc.size(), c->wLength);
    if (count > 0) {
        UMockdevIoctlData* buf = r.resolve(d, offsetof(usbdevfs_ctrltransfer, data), c->wLength);
        if (buf == nullptr) {
            return r.fail(EFAULT);
        }
        std::memcpy(buf->data, desc.data(), count);
    }
    return r.done(static_cast<glong>(count));
}

gboolean UsbfsBus::Impl::SubmitUrb(const Request& r) {
    Node& n = r.n;
    UMockdevIoctlData* d = r.resolve(r.arg, 0, sizeof(usbdevfs_urb));
    if (d == nullptr) {
        return r.fail(EFAULT);
    }
    auto* f = reinterpret_cast<usbdevfs_urb*>(d->data);
    if (f->type != USBDEVFS_URB_TYPE_BULK || f->buffer_length < 0 ||
        (f->endpoint != kEndpointOut && f->endpoint != kEndpointIn)) {
        if (n.probe != nullptr) {
            n.probe->model->addProtocolViolation("usbfs: URB of an unexpected kind");
        }
        return r.fail(EINVAL);
    }
    if (n.claimHolder != nullptr && n.claimHolder != r.client) {
        return r.fail(EBUSY);  // another file holds the interface
    }
    if (n.claimHolder == nullptr) {
        // Linux claims the interface for a file that uses it unclaimed, and warns about it.
        n.claimHolder = r.client;
        if (n.probe != nullptr) {
            n.probe->model->addProtocolViolation(
                "usbfs: transfer without the interface claimed (claimed implicitly)");
        }
    }
    Urb u;
    u.urb = d;
    u.client = r.client;
    if (f->buffer_length > 0) {
        u.buffer = r.resolve(d, offsetof(usbdevfs_urb, buffer),
                             static_cast<std::size_t>(f->buffer_length));
        if (u.buffer == nullptr) {
            return r.fail(EFAULT);
        }
        g_object_ref(u.buffer);
    }
    g_object_ref(u.urb);
    ++counters.submitted;
    if (f->endpoint == kEndpointOut) {
        const auto* bytes =
            u.buffer != nullptr ? static_cast<const std::uint8_t*>(u.buffer->data) : nullptr;
        const std::vector<std::uint8_t> request(bytes, bytes + f->buffer_length);
        if (n.probe != nullptr) {
            transfers.push_back({n.probeNumber, true, request});
            model::Reply reply = n.probe->model->handle(request, model::now());
            if (reply && n.present) {
                n.pipe.push_back(std::move(*reply));
            }
        }
        Finish(u, 0, f->buffer_length);
    } else {
        n.pendingIn.push_back(u);
    }
    Deliver(n);
    return r.done(0);
}

gboolean UsbfsBus::Impl::DiscardUrb(const Request& r) {
    Node& n = r.n;
    gulong address = 0;
    std::memcpy(&address, r.arg->data,
                std::min<std::size_t>(sizeof address, static_cast<std::size_t>(r.arg->data_len)));
    for (auto it = n.pendingIn.begin(); it != n.pendingIn.end(); ++it) {
        if (it->client == r.client && it->urb->client_addr == address) {
            Urb u = *it;
            n.pendingIn.erase(it);
            ++counters.discarded;
            Finish(u, -ENOENT, 0);
            return r.done(0);
        }
    }
    return r.fail(EINVAL);
}

}  // namespace klovsim::usbfs
