// One probe's connection to QEMU's usb-redir, and the link between the guest and the model.
//
// What QEMU's usb-redir needs, in order: after its hello, interface_info, then ep_info for all
// 32 endpoint slots, then device_connect; without interface_info first it rejects the device.
// A probe that leaves the bus (restart, unplug) is disconnected once its last transfer has
// completed; QEMU acknowledges the disconnect, and only then may the probe connect again.
#include "redir_device.h"

#include <sys/socket.h>
#include <unistd.h>
#include <usbredirfilter.h>
#include <usbredirparser.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "redir_parser.h"

namespace klovsim::usbredir {

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
    parser_ = CreateParser(*this);
    if (parser_ == nullptr) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
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

void RedirDevice::onDisconnectAck() {
    if (link_ == Link::AwaitingAck) {
        link_ = Link::Detached;
    }
    settle();
}

void RedirDevice::onFilter(usbredirfilter_rule* rules, int) {
    usbredirfilter_free(rules);
}

void RedirDevice::onFilterReject() {
    // QEMU could not attach the device (a speed its port does not take, for one): the guest
    // will never see it.
    ++counters_.rejected;
    log(usbredirparser_error, "QEMU rejected the device");
    if (link_ == Link::Attached) {
        link_ = Link::Detached;
    }
}

}  // namespace klovsim::usbredir
