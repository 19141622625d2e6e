// The simulated probe as a USB device for a virtual machine, over the usbredir protocol.
//
// A RedirServer presents probe models (the same model the drop-in libusb and the usbfs adapter
// carry) to QEMU's usb-redir device: each probe listens on a unix socket of its own, which a
// QEMU chardev connects to; the server speaks the usb-host side of the protocol
// (libusbredirparser). The guest's kernel then enumerates a full-speed 04d8:f85d device with
// bulk endpoints 0x01 and 0x81 and drives it through its own host controller driver and usbfs.
//
// What the device answers:
//   - control transfers: the device and configuration descriptors, GET_STATUS and
//     CLEAR_FEATURE; SET_CONFIGURATION, GET_CONFIGURATION and the interface's alternate
//     setting arrive as messages of their own; anything else stalls;
//   - bulk OUT 0x01: the bytes go to the model, and its reply (if any) waits for the next
//     bulk IN 0x81. A bulk IN with no reply waiting is held until one comes, so the guest's own
//     time-out runs out for real; a cancelled IN is answered as cancelled and forgotten.
//   - a probe that restarts leaves (device-disconnect) once its reset request has completed,
//     and connects again after the model's reset delay, so the guest enumerates it anew;
//   - unplug() and plug() take it off the bus and put it back at any moment.
//
// Time is real. One thread serves every socket; all methods may be called from other threads.
// Set KLOVSIM_USBREDIR_LOG=1 to have each message logged on standard error.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "klovsim/probe_types.h"

namespace klovsim::usbredir {

class RedirServer {
  public:
    // `socketDirectory` must exist; probe N listens on "<socketDirectory>/probeN.sock".
    explicit RedirServer(std::string socketDirectory);
    ~RedirServer();
    RedirServer(const RedirServer&) = delete;
    RedirServer& operator=(const RedirServer&) = delete;

    // Adds a probe and starts listening on its socket at once (QEMU refuses to start when the
    // socket is not there). Returns the probe's number, from 0. Throws std::runtime_error when
    // the socket cannot be made.
    int addProbe(const ProbeConfig& config = {});
    std::string socketPath(int probe) const;

    // Pulls the probe's cable, and puts it back (it then starts as after power-on).
    void unplug(int probe);
    void plug(int probe);

    // A probe, looked at from outside: one consistent copy, and single parts of it.
    ProbeState state(int probe) const;
    std::array<std::uint8_t, kFlashSize> flash(int probe) const { return state(probe).flash; }
    std::uint8_t bootFlag(int probe) const { return state(probe).bootFlag; }
    Mode mode(int probe) const { return state(probe).mode; }
    bool onBus(int probe) const { return state(probe).onBus; }
    bool bricked(int probe) const { return state(probe).bricked; }
    std::vector<WriteViolation> writeViolations(int probe) const {
        return state(probe).writeViolations;
    }
    std::vector<ProtocolViolation> protocolViolations(int probe) const {
        return state(probe).protocolViolations;
    }

    // What crossed the socket of one probe since it was added.
    struct Counters {
        std::array<long, 256> requests{};  // bulk OUT transfers by their first byte
        long replies = 0;                  // bulk IN transfers answered with data
        long cancelled = 0;                // bulk IN transfers the guest gave up on
        long babbles = 0;                  // replies longer than the guest's buffer
        long connects = 0;                 // device-connect messages sent
        long disconnects = 0;              // device-disconnect messages sent
        long setConfigurations = 0;
        long stalls = 0;    // control requests refused
        long rejected = 0;  // times QEMU refused to attach the device
    };
    Counters counters(int probe) const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace klovsim::usbredir
