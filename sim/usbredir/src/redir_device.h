// One probe as a usbredir device: the model, the connection to QEMU's usb-redir on its socket
// and the USB behaviour between them. Not thread-safe: the server calls it under its lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "klovsim/bus_adapter.h"
#include "klovsim/probe_model.h"
#include "klovsim/usbredir.h"

struct usbredirparser;
struct usb_redir_control_packet_header;
struct usb_redir_bulk_packet_header;
struct usb_redir_set_configuration_header;
struct usb_redir_set_alt_setting_header;
struct usb_redir_get_alt_setting_header;
struct usb_redir_hello_header;
struct usbredirfilter_rule;

namespace klovsim::usbredir {

using model::kDeviceBcd;
using model::kEndpointIn;
using model::kEndpointOut;
using model::kMaxPacket;
using model::kVendorClass;

// The ep_info slot of an endpoint address.
inline int Slot(std::uint8_t endpoint) {
    return ((endpoint & 0x80) >> 3) | (endpoint & 0x0F);
}

class RedirDevice final : model::ProbeModel::Listener {
  public:
    RedirDevice(const ProbeConfig& config, std::string name, bool log);
    ~RedirDevice();
    RedirDevice(const RedirDevice&) = delete;
    RedirDevice& operator=(const RedirDevice&) = delete;

    // The connection. open() takes a connected, non-blocking socket and queues our hello.
    void open(int fd);
    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool wantsWrite() const;
    void readable(std::chrono::microseconds now);  // closes the connection on EOF or error
    void writable();                               // sends what is queued, as far as it goes
    void close();

    // Time passes (a restart ends), and the cable.
    void poll(std::chrono::microseconds now);
    void unplug();
    void plug();

    model::ProbeModel& model() { return *model_; }
    const model::ProbeModel& model() const { return *model_; }
    const RedirServer::Counters& counters() const { return counters_; }
    usbredirparser* parser() const { return parser_; }

    // Parser callbacks, reached through the parser's private pointer.
    void onHello(usb_redir_hello_header* hello);
    void onReset();
    void onSetConfiguration(std::uint64_t id, usb_redir_set_configuration_header* h);
    void onGetConfiguration(std::uint64_t id);
    void onSetAltSetting(std::uint64_t id, usb_redir_set_alt_setting_header* h);
    void onGetAltSetting(std::uint64_t id, usb_redir_get_alt_setting_header* h);
    void onCancel(std::uint64_t id);
    void onFilter(usbredirfilter_rule* rules, int count);
    void onFilterReject();
    void onDisconnectAck();
    void onControl(std::uint64_t id, usb_redir_control_packet_header* h, std::uint8_t* data,
                   int length);
    void onBulk(std::uint64_t id, usb_redir_bulk_packet_header* h, std::uint8_t* data, int length);
    int readSocket(std::uint8_t* data, int count);
    int writeSocket(std::uint8_t* data, int count);
    void log(int level, const char* message) const;

  private:
    // How the guest's side of the link sees the device.
    enum class Link { Detached, Attached, AwaitingAck };

    void probeLeft() override;
    void probeReturned() override;

    // Brings the link in line with the model: disconnect a probe that left, connect one that
    // is on the bus. Called after everything that may change either.
    void settle();
    void attach();
    void detach();
    void sendInterfaceAndEndpoints();
    void deliver();
    void answerIn(std::uint64_t id, std::uint8_t status, const std::vector<std::uint8_t>& data);
    void answerControl(std::uint64_t id, const usb_redir_control_packet_header& request,
                       std::uint8_t status, const std::vector<std::uint8_t>& data);
    void trace(const char* format, ...) const __attribute__((format(printf, 2, 3)));

    struct PendingIn {
        std::uint64_t id;
        std::uint32_t length;
    };

    std::string name_;
    bool log_;
    std::unique_ptr<model::ProbeModel> model_;
    usbredirparser* parser_ = nullptr;
    int fd_ = -1;
    bool eof_ = false;
    bool peerHello_ = false;
    bool leftSinceAttach_ = false;
    Link link_ = Link::Detached;
    std::uint8_t configuration_ = 0;
    std::chrono::microseconds now_{0};
    std::deque<std::vector<std::uint8_t>> pipe_;  // replies waiting for a bulk IN
    std::deque<PendingIn> pendingIn_;             // bulk IN transfers waiting for a reply
    RedirServer::Counters counters_;
};

}  // namespace klovsim::usbredir
