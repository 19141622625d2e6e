// The probe's transfers: control requests, the configuration and bulk data.
//
// SET_ADDRESS stays inside QEMU; SET_CONFIGURATION, GET_CONFIGURATION and the alternate setting
// come as messages of their own, the other control requests as control packets. Packet ids
// are the peer's and are echoed unchanged.
//
// Bulk: an OUT is handed to the model at once and completes with the length it carried; the
// model's reply waits in `pipe_` (as in the probe's IN endpoint buffer) for the next IN. An IN
// finding the pipe empty is held; when the guest's time-out cancels it, it is answered as
// cancelled and forgotten, so the next reply goes to the next IN and not to a dead one. A
// reply longer than the IN's buffer is babble: the guest sees an overflow and the reply is
// lost.
#include <usbredirparser.h>

#include <algorithm>
#include <cstdio>
#include <span>

#include "redir_device.h"

namespace klovsim::usbredir {
namespace {

// USB standard requests and descriptor types used below.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;

// Device descriptor, then configuration 1 with its interface and endpoints.
const std::vector<std::uint8_t>& Descriptors() {
    static const std::vector<std::uint8_t> d =
        model::usbDescriptors(kProbeVendorId, kProbeProductId);
    return d;
}

}  // namespace

void RedirDevice::onSetConfiguration(std::uint64_t id, usb_redir_set_configuration_header* h) {
    ++counters_.setConfigurations;
    usb_redir_configuration_status_header status = {};
    status.status = usb_redir_success;
    if (h->configuration == 1) {
        sendInterfaceAndEndpoints();
        configuration_ = 1;
    } else if (h->configuration == 0) {
        configuration_ = 0;
    } else {
        status.status = usb_redir_inval;
    }
    status.configuration = configuration_;
    trace("set configuration %u", h->configuration);
    usbredirparser_send_configuration_status(parser_, id, &status);
}

void RedirDevice::onGetConfiguration(std::uint64_t id) {
    usb_redir_configuration_status_header status = {};
    status.status = usb_redir_success;
    status.configuration = configuration_;
    usbredirparser_send_configuration_status(parser_, id, &status);
}

void RedirDevice::onSetAltSetting(std::uint64_t id, usb_redir_set_alt_setting_header* h) {
    usb_redir_alt_setting_status_header status = {};
    status.status = h->interface == 0 && h->alt == 0 ? usb_redir_success : usb_redir_inval;
    status.interface = h->interface;
    status.alt = 0;
    usbredirparser_send_alt_setting_status(parser_, id, &status);
}

void RedirDevice::onGetAltSetting(std::uint64_t id, usb_redir_get_alt_setting_header* h) {
    usb_redir_alt_setting_status_header status = {};
    status.status = h->interface == 0 ? usb_redir_success : usb_redir_inval;
    status.interface = h->interface;
    status.alt = 0;
    usbredirparser_send_alt_setting_status(parser_, id, &status);
}

void RedirDevice::answerControl(std::uint64_t id, const usb_redir_control_packet_header& request,
                                std::uint8_t status, const std::vector<std::uint8_t>& data) {
    usb_redir_control_packet_header reply = request;
    reply.status = status;
    reply.length = static_cast<std::uint16_t>(data.size());
    if (status == usb_redir_stall) {
        ++counters_.stalls;
    }
    usbredirparser_send_control_packet(parser_, id, &reply, const_cast<std::uint8_t*>(data.data()),
                                       static_cast<int>(data.size()));
}

void RedirDevice::onControl(std::uint64_t id, usb_redir_control_packet_header* h,
                            std::uint8_t* data, int) {
    if (data != nullptr) {
        usbredirparser_free_packet_data(parser_, data);
    }
    const bool in = (h->requesttype & 0x80) != 0;
    const std::uint8_t recipient = h->requesttype & 0x1F;
    const bool standard = (h->requesttype & 0x60) == 0;
    // Part [from, to) of the descriptors, cut to the length asked for.
    auto upTo = [&](std::size_t from, std::size_t to) {
        const auto first = Descriptors().begin() + static_cast<std::ptrdiff_t>(from);
        return std::vector<std::uint8_t>(first,
                                         first + std::min<std::size_t>(to - from, h->length));
    };
    if (standard && in && h->request == kGetDescriptor && recipient == 0) {
        const unsigned type = h->value >> 8;
        const unsigned index = h->value & 0xFF;
        if (type == kDescriptorDevice && index == 0) {
            return answerControl(id, *h, usb_redir_success,
                                 upTo(0, model::kDeviceDescriptorLength));
        }
        if (type == kDescriptorConfiguration && index == 0) {
            return answerControl(id, *h, usb_redir_success,
                                 upTo(model::kDeviceDescriptorLength, Descriptors().size()));
        }
        // A full-speed-only device has no device qualifier, and this one has no strings.
        trace("GET_DESCRIPTOR 0x%04x stalled", h->value);
        return answerControl(id, *h, usb_redir_stall, {});
    }
    if (standard && in && h->request == kGetStatus && h->length >= 2) {
        return answerControl(id, *h, usb_redir_success, {0, 0});
    }
    if (standard && !in && h->request == kClearFeature && recipient == 2) {
        return answerControl(id, *h, usb_redir_success, {});  // endpoint halt: none is halted
    }
    trace("control request %02x/%02x value %04x stalled", h->requesttype, h->request, h->value);
    answerControl(id, *h, usb_redir_stall, {});
}

void RedirDevice::answerIn(std::uint64_t id, std::uint8_t status,
                           const std::vector<std::uint8_t>& data) {
    usb_redir_bulk_packet_header reply = {};
    reply.endpoint = kEndpointIn;
    reply.status = status;
    reply.length = static_cast<std::uint16_t>(data.size() & 0xFFFF);
    reply.length_high = static_cast<std::uint16_t>(data.size() >> 16);
    usbredirparser_send_bulk_packet(parser_, id, &reply, const_cast<std::uint8_t*>(data.data()),
                                    static_cast<int>(data.size()));
}

void RedirDevice::deliver() {
    while (!pendingIn_.empty() && !pipe_.empty()) {
        const PendingIn in = pendingIn_.front();
        pendingIn_.pop_front();
        std::vector<std::uint8_t> reply = std::move(pipe_.front());
        pipe_.pop_front();
        if (reply.size() > in.length) {
            ++counters_.babbles;
            trace("reply of %zu bytes for a read of %u: babble", reply.size(), in.length);
            answerIn(in.id, usb_redir_babble, {});
            continue;
        }
        ++counters_.replies;
        answerIn(in.id, usb_redir_success, reply);
    }
}

void RedirDevice::onBulk(std::uint64_t id, usb_redir_bulk_packet_header* h, std::uint8_t* data,
                         int length) {
    const std::vector<std::uint8_t> bytes(data, data + std::max(length, 0));
    if (data != nullptr) {
        usbredirparser_free_packet_data(parser_, data);
    }
    usb_redir_bulk_packet_header reply = {};
    reply.endpoint = h->endpoint;
    if (link_ != Link::Attached) {
        reply.status = usb_redir_ioerror;  // raced a disconnect
        usbredirparser_send_bulk_packet(parser_, id, &reply, nullptr, 0);
        return;
    }
    if (h->endpoint == kEndpointOut) {
        if (!bytes.empty()) {
            ++counters_.requests[bytes.front()];
        }
        model::Reply answer = model_->handle(std::span<const std::uint8_t>(bytes), now_);
        if (answer && model_->onBus()) {
            pipe_.push_back(std::move(*answer));
        }
        reply.status = usb_redir_success;
        reply.length = static_cast<std::uint16_t>(bytes.size() & 0xFFFF);
        reply.length_high = static_cast<std::uint16_t>(bytes.size() >> 16);
        usbredirparser_send_bulk_packet(parser_, id, &reply, nullptr, 0);
        deliver();
        settle();  // a reset request leaves only after its own transfer has completed
        return;
    }
    if (h->endpoint == kEndpointIn) {
        const std::uint32_t room = std::uint32_t{h->length} | std::uint32_t{h->length_high} << 16;
        pendingIn_.push_back({id, room});
        deliver();
        return;
    }
    char what[96];
    std::snprintf(what, sizeof what, "usbredir: bulk transfer on endpoint 0x%02X", h->endpoint);
    model_->addProtocolViolation(what);
    reply.status = usb_redir_stall;
    usbredirparser_send_bulk_packet(parser_, id, &reply, nullptr, 0);
}

void RedirDevice::onCancel(std::uint64_t id) {
    auto it = std::find_if(pendingIn_.begin(), pendingIn_.end(),
                           [id](const PendingIn& p) { return p.id == id; });
    if (it == pendingIn_.end()) {
        return;  // already answered; QEMU takes that answer
    }
    pendingIn_.erase(it);
    ++counters_.cancelled;
    trace("bulk IN %llu cancelled", static_cast<unsigned long long>(id));
    answerIn(id, usb_redir_cancelled, {});
}

}  // namespace klovsim::usbredir
