// The probe's USB side over usbredir, in the usb-host role of the protocol.
//
// What QEMU's usb-redir needs, in order: after its hello, interface_info, then ep_info for all
// 32 endpoint slots, then device_connect; without interface_info first it rejects the device.
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
#include "redir_device.h"

#include <sys/socket.h>
#include <unistd.h>
#include <usbredirfilter.h>
#include <usbredirparser.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <span>

namespace klovsim::usbredir {
namespace {

constexpr std::uint8_t kEndpointOut = 0x01;
constexpr std::uint8_t kEndpointIn = 0x81;
constexpr std::uint8_t kMaxPacket = 64;
constexpr std::uint8_t kVendorClass = 0xFF;
constexpr std::uint16_t kDeviceBcd = 0x0100;

// USB standard requests and descriptor types used below.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;

// Device descriptor (USB 2.00, vendor class), then configuration 1: interface 0, vendor
// class, bulk endpoints 0x01 and 0x81 of 64 bytes.
const std::vector<std::uint8_t>& DeviceDescriptor() {
    static const std::vector<std::uint8_t> d = {18,
                                                1,
                                                0x00,
                                                0x02,
                                                kVendorClass,
                                                0x00,
                                                0x00,
                                                kMaxPacket,
                                                static_cast<std::uint8_t>(kProbeVendorId & 0xFF),
                                                static_cast<std::uint8_t>(kProbeVendorId >> 8),
                                                static_cast<std::uint8_t>(kProbeProductId & 0xFF),
                                                static_cast<std::uint8_t>(kProbeProductId >> 8),
                                                static_cast<std::uint8_t>(kDeviceBcd & 0xFF),
                                                static_cast<std::uint8_t>(kDeviceBcd >> 8),
                                                0,
                                                0,
                                                0,
                                                1};
    return d;
}

const std::vector<std::uint8_t>& ConfigurationDescriptor() {
    static const std::vector<std::uint8_t> d = {9,
                                                2,
                                                32,
                                                0,
                                                1,
                                                1,
                                                0,
                                                0x80,
                                                50,  // configuration 1
                                                9,
                                                4,
                                                0,
                                                0,
                                                2,
                                                kVendorClass,
                                                0x00,
                                                0x00,
                                                0,  // interface 0
                                                7,
                                                5,
                                                kEndpointOut,
                                                usb_redir_type_bulk,
                                                kMaxPacket,
                                                0,
                                                0,  // bulk OUT
                                                7,
                                                5,
                                                kEndpointIn,
                                                usb_redir_type_bulk,
                                                kMaxPacket,
                                                0,
                                                0};  // bulk IN
    return d;
}

int Slot(std::uint8_t endpoint) {
    return ((endpoint & 0x80) >> 3) | (endpoint & 0x0F);
}

RedirDevice* Self(void* priv) {
    return static_cast<RedirDevice*>(priv);
}

// Trampolines from the parser's C callbacks to the device.
void CbLog(void* p, int level, const char* msg) {
    Self(p)->log(level, msg);
}
int CbRead(void* p, std::uint8_t* data, int count) {
    return Self(p)->readSocket(data, count);
}
int CbWrite(void* p, std::uint8_t* data, int count) {
    return Self(p)->writeSocket(data, count);
}
void CbHello(void* p, usb_redir_hello_header* h) {
    Self(p)->onHello(h);
}
void CbReset(void* p) {
    Self(p)->onReset();
}
void CbSetConfiguration(void* p, std::uint64_t id, usb_redir_set_configuration_header* h) {
    Self(p)->onSetConfiguration(id, h);
}
void CbGetConfiguration(void* p, std::uint64_t id) {
    Self(p)->onGetConfiguration(id);
}
void CbSetAltSetting(void* p, std::uint64_t id, usb_redir_set_alt_setting_header* h) {
    Self(p)->onSetAltSetting(id, h);
}
void CbGetAltSetting(void* p, std::uint64_t id, usb_redir_get_alt_setting_header* h) {
    Self(p)->onGetAltSetting(id, h);
}
void CbCancel(void* p, std::uint64_t id) {
    Self(p)->onCancel(id);
}
void CbFilter(void* p, usbredirfilter_rule* rules, int count) {
    Self(p)->onFilter(rules, count);
}
void CbDisconnectAck(void* p) {
    Self(p)->onDisconnectAck();
}
void CbControl(void* p, std::uint64_t id, usb_redir_control_packet_header* h, std::uint8_t* data,
               int length) {
    Self(p)->onControl(id, h, data, length);
}
void CbBulk(void* p, std::uint64_t id, usb_redir_bulk_packet_header* h, std::uint8_t* data,
            int length) {
    Self(p)->onBulk(id, h, data, length);
}

}  // namespace

RedirDevice::RedirDevice(const ProbeConfig& config, std::string name, bool log)
    : name_(std::move(name)), log_(log) {
    model_ = std::make_unique<model::ProbeModel>(config, static_cast<Listener*>(this));
}

RedirDevice::~RedirDevice() {
    close();
}

void RedirDevice::open(int fd) {
    close();
    fd_ = fd;
    eof_ = false;
    parser_ = usbredirparser_create();
    if (parser_ == nullptr) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    parser_->priv = this;
    parser_->log_func = CbLog;
    parser_->read_func = CbRead;
    parser_->write_func = CbWrite;
    parser_->hello_func = CbHello;
    parser_->reset_func = CbReset;
    parser_->set_configuration_func = CbSetConfiguration;
    parser_->get_configuration_func = CbGetConfiguration;
    parser_->set_alt_setting_func = CbSetAltSetting;
    parser_->get_alt_setting_func = CbGetAltSetting;
    parser_->cancel_data_packet_func = CbCancel;
    parser_->filter_filter_func = CbFilter;
    parser_->device_disconnect_ack_func = CbDisconnectAck;
    parser_->control_packet_func = CbControl;
    parser_->bulk_packet_func = CbBulk;
    std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_filter,
                    usb_redir_cap_device_disconnect_ack, usb_redir_cap_ep_info_max_packet_size,
                    usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length}) {
        usbredirparser_caps_set_cap(caps, cap);
    }
    usbredirparser_init(parser_, "klovsim-usbredir", caps, USB_REDIR_CAPS_SIZE,
                        usbredirparser_fl_usb_host);
    trace("guest connected");
}

void RedirDevice::close() {
    if (parser_ != nullptr) {
        usbredirparser_destroy(parser_);
        parser_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        trace("guest gone");
    }
    peerHello_ = false;
    link_ = Link::Detached;
    pendingIn_.clear();
    pipe_.clear();
}

bool RedirDevice::wantsWrite() const {
    return parser_ != nullptr && usbredirparser_has_data_to_write(parser_) > 0;
}

void RedirDevice::readable(std::chrono::microseconds now) {
    if (parser_ == nullptr) {
        return;
    }
    now_ = now;
    const int rc = usbredirparser_do_read(parser_);
    if (eof_ || rc == usbredirparser_read_io_error) {
        close();
        return;
    }
    settle();
}

void RedirDevice::writable() {
    if (wantsWrite() && usbredirparser_do_write(parser_) != 0) {
        close();
    }
}

int RedirDevice::readSocket(std::uint8_t* data, int count) {
    const ssize_t n = ::recv(fd_, data, static_cast<std::size_t>(count), 0);
    if (n > 0) {
        return static_cast<int>(n);
    }
    if (n == 0) {
        eof_ = true;
        return -1;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

int RedirDevice::writeSocket(std::uint8_t* data, int count) {
    const ssize_t n = ::send(fd_, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
    if (n >= 0) {
        return static_cast<int>(n);
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

void RedirDevice::log(int level, const char* message) const {
    if (log_ || level <= usbredirparser_error) {
        std::fprintf(stderr, "usbredir %s: %s\n", name_.c_str(), message);
    }
}

void RedirDevice::trace(const char* format, ...) const {
    if (!log_) {
        return;
    }
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "usbredir %s: %s\n", name_.c_str(), text);
}

void RedirDevice::poll(std::chrono::microseconds now) {
    now_ = now;
    model_->poll(now);
    settle();
}

void RedirDevice::unplug() {
    trace("unplugged");
    model_->unplug();
    settle();
}

void RedirDevice::plug() {
    trace("plugged back");
    model_->plug();
    settle();
}

void RedirDevice::probeLeft() {
    leftSinceAttach_ = true;
    pipe_.clear();  // a restarted controller has forgotten its reply
}

void RedirDevice::probeReturned() {}

void RedirDevice::settle() {
    if (parser_ == nullptr || !peerHello_) {
        return;
    }
    if (link_ == Link::Attached && (leftSinceAttach_ || !model_->onBus())) {
        detach();
    }
    if (link_ == Link::Detached && model_->onBus()) {
        attach();
    }
}

void RedirDevice::sendInterfaceAndEndpoints() {
    usb_redir_interface_info_header info = {};
    info.interface_count = 1;
    info.interface[0] = 0;
    info.interface_class[0] = kVendorClass;
    usbredirparser_send_interface_info(parser_, &info);

    usb_redir_ep_info_header ep = {};
    std::fill(std::begin(ep.type), std::end(ep.type), std::uint8_t{usb_redir_type_invalid});
    for (std::uint8_t control : {std::uint8_t{0x00}, std::uint8_t{0x80}}) {
        ep.type[Slot(control)] = usb_redir_type_control;
        ep.max_packet_size[Slot(control)] = kMaxPacket;
    }
    for (std::uint8_t bulk : {kEndpointOut, kEndpointIn}) {
        ep.type[Slot(bulk)] = usb_redir_type_bulk;
        ep.interface[Slot(bulk)] = 0;
        ep.max_packet_size[Slot(bulk)] = kMaxPacket;
    }
    usbredirparser_send_ep_info(parser_, &ep);
}

void RedirDevice::attach() {
    sendInterfaceAndEndpoints();
    usb_redir_device_connect_header connect = {};
    connect.speed = usb_redir_speed_full;
    connect.device_class = kVendorClass;
    connect.vendor_id = kProbeVendorId;
    connect.product_id = kProbeProductId;
    connect.device_version_bcd = kDeviceBcd;
    usbredirparser_send_device_connect(parser_, &connect);
    link_ = Link::Attached;
    leftSinceAttach_ = false;
    configuration_ = 0;
    ++counters_.connects;
    trace("device-connect (%s)", model_->mode() == Mode::Bootloader ? "bootloader" : "application");
}

void RedirDevice::detach() {
    // QEMU drops the transfers still in flight itself; their ids are not answered.
    pendingIn_.clear();
    pipe_.clear();
    usbredirparser_send_device_disconnect(parser_);
    link_ = usbredirparser_peer_has_cap(parser_, usb_redir_cap_device_disconnect_ack)
                ? Link::AwaitingAck
                : Link::Detached;
    ++counters_.disconnects;
    trace("device-disconnect");
}

void RedirDevice::onHello(usb_redir_hello_header* hello) {
    trace("hello from %.64s", hello->version);
    peerHello_ = true;
    settle();
}

void RedirDevice::onReset() {
    trace("bus reset");
}

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

void RedirDevice::onFilter(usbredirfilter_rule* rules, int) {
    usbredirfilter_free(rules);
}

void RedirDevice::onDisconnectAck() {
    if (link_ == Link::AwaitingAck) {
        link_ = Link::Detached;
    }
    settle();
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
    auto upTo = [&](const std::vector<std::uint8_t>& d) {
        return std::vector<std::uint8_t>(d.begin(),
                                         d.begin() + std::min<std::size_t>(d.size(), h->length));
    };
    if (standard && in && h->request == kGetDescriptor && recipient == 0) {
        const unsigned type = h->value >> 8;
        const unsigned index = h->value & 0xFF;
        if (type == kDescriptorDevice && index == 0) {
            return answerControl(id, *h, usb_redir_success, upTo(DeviceDescriptor()));
        }
        if (type == kDescriptorConfiguration && index == 0) {
            return answerControl(id, *h, usb_redir_success, upTo(ConfigurationDescriptor()));
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

}  // namespace klovsim::usbredir
