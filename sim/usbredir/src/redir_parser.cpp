// The usbredir parser of one connection, in the usb-host role: its callbacks lead to the
// device, and what the device does not offer (isochronous and interrupt endpoints, streams,
// buffered bulk) is refused with a status, so that a peer asking for it gets an answer.
#include "redir_parser.h"

#include <usbredirfilter.h>
#include <usbredirparser.h>

#include "redir_device.h"

namespace klovsim::usbredir {
namespace {

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

void CbFilterReject(void* p) {
    Self(p)->onFilterReject();
}

usbredirparser* Parser(void* p) {
    return Self(p)->parser();
}
void CbIsoStart(void* p, std::uint64_t id, usb_redir_start_iso_stream_header* h) {
    usb_redir_iso_stream_status_header s = {usb_redir_inval, h->endpoint};
    usbredirparser_send_iso_stream_status(Parser(p), id, &s);
}
void CbIsoStop(void* p, std::uint64_t id, usb_redir_stop_iso_stream_header* h) {
    usb_redir_iso_stream_status_header s = {usb_redir_inval, h->endpoint};
    usbredirparser_send_iso_stream_status(Parser(p), id, &s);
}
void CbInterruptStart(void* p, std::uint64_t id, usb_redir_start_interrupt_receiving_header* h) {
    usb_redir_interrupt_receiving_status_header s = {usb_redir_inval, h->endpoint};
    usbredirparser_send_interrupt_receiving_status(Parser(p), id, &s);
}
void CbInterruptStop(void* p, std::uint64_t id, usb_redir_stop_interrupt_receiving_header* h) {
    usb_redir_interrupt_receiving_status_header s = {usb_redir_inval, h->endpoint};
    usbredirparser_send_interrupt_receiving_status(Parser(p), id, &s);
}
void CbStreamsAlloc(void* p, std::uint64_t id, usb_redir_alloc_bulk_streams_header* h) {
    usb_redir_bulk_streams_status_header s = {h->endpoints, 0, usb_redir_inval};
    usbredirparser_send_bulk_streams_status(Parser(p), id, &s);
}
void CbStreamsFree(void* p, std::uint64_t id, usb_redir_free_bulk_streams_header* h) {
    usb_redir_bulk_streams_status_header s = {h->endpoints, 0, usb_redir_inval};
    usbredirparser_send_bulk_streams_status(Parser(p), id, &s);
}
void CbBulkReceivingStart(void* p, std::uint64_t id, usb_redir_start_bulk_receiving_header* h) {
    usb_redir_bulk_receiving_status_header s = {h->stream_id, h->endpoint, usb_redir_inval};
    usbredirparser_send_bulk_receiving_status(Parser(p), id, &s);
}
void CbBulkReceivingStop(void* p, std::uint64_t id, usb_redir_stop_bulk_receiving_header* h) {
    usb_redir_bulk_receiving_status_header s = {h->stream_id, h->endpoint, usb_redir_inval};
    usbredirparser_send_bulk_receiving_status(Parser(p), id, &s);
}
void CbIsoPacket(void* p, std::uint64_t id, usb_redir_iso_packet_header* h, std::uint8_t* data,
                 int) {
    if (data != nullptr) {
        usbredirparser_free_packet_data(Parser(p), data);
    }
    usb_redir_iso_packet_header reply = {h->endpoint, usb_redir_inval, 0};
    usbredirparser_send_iso_packet(Parser(p), id, &reply, nullptr, 0);
}
void CbInterruptPacket(void* p, std::uint64_t id, usb_redir_interrupt_packet_header* h,
                       std::uint8_t* data, int) {
    if (data != nullptr) {
        usbredirparser_free_packet_data(Parser(p), data);
    }
    usb_redir_interrupt_packet_header reply = {h->endpoint, usb_redir_inval, 0};
    usbredirparser_send_interrupt_packet(Parser(p), id, &reply, nullptr, 0);
}

}  // namespace

usbredirparser* CreateParser(RedirDevice& device) {
    usbredirparser* parser = usbredirparser_create();
    if (parser == nullptr) {
        return nullptr;
    }
    parser->priv = &device;
    parser->log_func = CbLog;
    parser->read_func = CbRead;
    parser->write_func = CbWrite;
    parser->hello_func = CbHello;
    parser->reset_func = CbReset;
    parser->set_configuration_func = CbSetConfiguration;
    parser->get_configuration_func = CbGetConfiguration;
    parser->set_alt_setting_func = CbSetAltSetting;
    parser->get_alt_setting_func = CbGetAltSetting;
    parser->cancel_data_packet_func = CbCancel;
    parser->filter_filter_func = CbFilter;
    parser->filter_reject_func = CbFilterReject;
    parser->device_disconnect_ack_func = CbDisconnectAck;
    parser->control_packet_func = CbControl;
    parser->bulk_packet_func = CbBulk;
    parser->start_iso_stream_func = CbIsoStart;
    parser->stop_iso_stream_func = CbIsoStop;
    parser->start_interrupt_receiving_func = CbInterruptStart;
    parser->stop_interrupt_receiving_func = CbInterruptStop;
    parser->alloc_bulk_streams_func = CbStreamsAlloc;
    parser->free_bulk_streams_func = CbStreamsFree;
    parser->start_bulk_receiving_func = CbBulkReceivingStart;
    parser->stop_bulk_receiving_func = CbBulkReceivingStop;
    parser->iso_packet_func = CbIsoPacket;
    parser->interrupt_packet_func = CbInterruptPacket;
    std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_filter,
                    usb_redir_cap_device_disconnect_ack, usb_redir_cap_ep_info_max_packet_size,
                    usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length}) {
        usbredirparser_caps_set_cap(caps, cap);
    }
    usbredirparser_init(parser, "klovsim-usbredir", caps, USB_REDIR_CAPS_SIZE,
                        usbredirparser_fl_usb_host);
    return parser;
}

}  // namespace klovsim::usbredir
