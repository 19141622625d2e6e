// Control interface of the simulated kLOV probe.
//
// The simulator is a drop-in libusb 0.1 (SONAME libusb-0.1.so.4) that puts any number of
// simulated probes and foreign devices on a virtual bus. Test programs link it directly and
// steer it through this header; the shipping library links "libusb" as usual and, at run time,
// its libusb dependency resolves to the simulator.
//
// Everything here is process-wide and guarded by one mutex, so tests may drive probes from
// several threads. References returned by the bus stay valid until Bus::reset().
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "klovsim/probe_types.h"

namespace klovsim {

// ----- time ---------------------------------------------------------------------------------

// The simulator's clock. Real by default (steady_clock). A virtual clock only moves when
// something waits on it: a transfer that times out advances it by the time-out, a latency
// advances it by the latency, and tests (or the updater's test front end) call advance().
class Clock {
  public:
    static void setVirtual(bool on);  // switching resets virtual time to 0
    static bool isVirtual();
    static std::chrono::microseconds now();             // since an arbitrary fixed origin
    static void advance(std::chrono::microseconds d);   // virtual: moves time; real: sleeps
    static void sleepFor(std::chrono::microseconds d);  // same as advance()
};

// ----- probe --------------------------------------------------------------------------------

class Probe {
  public:
    // Identity on the bus.
    int id() const;     // stable number of this probe on the bus, in creation order
    Mode mode() const;  // mode of the running firmware (meaningless while off the bus)
    bool onBus() const;
    // The boot flag selects the application but the application area holds no valid identity
    // block: after a reset this probe never comes back. Tests use it to catch a bricked probe.
    bool bricked() const;
    // Valid identity block: signature "KORVALIMEX" at 0x1000 and a product name starting "kLOV".
    bool applicationValid() const;

    // Memories (copies; setters write straight through, bypassing flash physics).
    std::array<std::uint8_t, kFlashSize> flash() const;
    void setFlash(const std::array<std::uint8_t, kFlashSize>& image);
    std::array<std::uint8_t, kConfigSize> config() const;
    std::array<std::uint8_t, kEepromSize> eeprom() const;
    std::uint8_t bootFlag() const;
    void setBootFlag(std::uint8_t value);

    std::vector<WriteViolation> writeViolations() const;
    std::vector<ProtocolViolation> protocolViolations() const;

    // Settings registers as the running application holds them, and as saved in EEPROM.
    Settings settings() const;
    Settings savedSettings() const;

    // Count rate source: what the next 0x56 request reports.
    void setCountRate(std::uint16_t rate, bool flag);

    // Restart the controller now (as the reset command does, with the configured delay).
    void reset();
    void setResetDelay(std::chrono::milliseconds d);

    // Per-transfer latency (each bulk transfer takes this long; held against a monotonic
    // clock in real time, advanced in virtual time).
    void setLatency(std::chrono::microseconds l);

    // Unplug takes the probe off the bus at once (handles to it fail with -ENODEV);
    // plug puts it back, in the mode its boot flag selects.
    void unplug();
    void plug();

    struct State;
    explicit Probe(State* s) : s_(s) {}

  private:
    State* s_;
};

// ----- faults -------------------------------------------------------------------------------

enum class Fault {
    OpenFails,          // usb_open returns null
    ConfigFails,        // usb_set_configuration returns a negative value
    ClaimFails,         // usb_claim_interface returns a negative value
    WriteFails,         // usb_bulk_write returns -EIO; the probe sees nothing
    WriteTimeout,       // usb_bulk_write returns -ETIMEDOUT after the time-out; probe sees nothing
    WriteShort,         // usb_bulk_write reports one byte fewer than sent; the probe sees nothing
    ReadFails,          // usb_bulk_read returns -EIO; a pending reply is lost
    ReadTimeout,        // the probe acts on the request but its reply never arrives: time-out
    ReadShort,          // the reply arrives one byte short
    GarbleEcho,         // the reply's first byte is inverted
    GarbleSelector,     // the reply's second byte is inverted (selector or parameter index echo)
    GarbleData,         // the reply's last byte is inverted (flash data, acknowledgement contents)
    CloseFails,         // usb_close returns a negative value (the handle is released anyway;
                        // closing it again gives -EBADF and a ProtocolViolation)
    Unplug,             // the probe leaves the bus just before the operation
    UnplugBeforeReply,  // the probe acts on the request but leaves the bus before its reply:
                        // the read returns 0 bytes, as libusb 0.1 on Linux does
};

// Which operations a fault is counted over.
//  - ByCall: occurrences of the libusb call the fault belongs to (usb_open for OpenFails,
//    usb_bulk_write for Write* and Unplug, usb_bulk_read for Read*, Garble*, ReadShort and
//    UnplugBeforeReply, ...),
//    counted from 0 from the moment the fault is injected. Only calls on a valid handle to a
//    device still on the bus, with the right endpoint and the interface claimed, are counted;
//    a fault restricted to one probe counts that probe's calls only.
//  - ByExchange: the exchange number on the bus, counted from 0 since Bus::reset() (see
//    Bus::exchanges()). An exchange starts with each usb_bulk_write; read faults hit the read
//    that follows the write of that exchange (the first read after it). Open/Config/Claim/Close
//    faults cannot be counted by exchange: inject() throws std::invalid_argument for them.
enum class Counting { ByCall, ByExchange };

struct FaultRule {
    Fault kind;
    std::int64_t at = 0;     // first occurrence that fails
    std::int64_t times = 1;  // how many consecutive occurrences fail; -1 for all from `at`
    Counting counting = Counting::ByCall;
    int probe = -1;  // restrict to the probe with this id; -1 for any
};

// ----- the log ------------------------------------------------------------------------------

// One libusb call as the simulator saw it.
struct LogEntry {
    std::string call;  // "usb_init", "usb_find_busses", "usb_open", "usb_bulk_write", ...
    int probe = -1;    // probe id the call concerned, -1 for none or a foreign device
    int handle = -1;   // handle serial number (every usb_open gets a new one), -1 for none
    int endpoint = 0;  // bulk transfers
    int value = 0;     // configuration / interface number
    int size = 0;      // bytes asked for (reads) or sent (writes)
    int timeout = 0;   // bulk transfers, milliseconds
    int result = 0;    // what the call returned (null/non-null as 0/1 for usb_open)
    std::vector<std::uint8_t> data;     // bytes written, or bytes delivered by a read
    std::chrono::microseconds time{0};  // clock when the call was made
};

// ----- the bus ------------------------------------------------------------------------------

// How a bus's directory yields its device nodes, which is the order a process's first listing
// of that bus shows them in: newest first (what a devtmpfs gives, and the tmpfs of the kernels
// measured here) or oldest first (what the tmpfs of other kernels may give).
//
// After its first listing a process keeps the list, as libusb 0.1 does: each usb_find_devices
// drops the devices that have gone and puts the ones new to it at the front (in directory
// order among themselves), ahead of those it knew. A probe that restarts comes back as a new
// device, so it moves to the front: the index of a probe can change under a running program.
enum class DirectoryOrder { NewestFirst, OldestFirst };

class Bus {
  public:
    static Bus& instance();

    // Forget every device, fault, log entry and counter; the clock becomes real again.
    void reset();

    // Devices appear on the bus in the order they are added. Probes and foreign devices may be
    // mixed; `bus` selects the virtual bus (0 to 126) the device sits on, busses being walked
    // in number order. Each appearance gets the bus's next device number.
    Probe addProbe(const ProbeConfig& config = {}, int bus = 0);
    void addForeignDevice(std::uint16_t vendorId, std::uint16_t productId, int bus = 0);
    Probe probe(int id);
    int probeCount() const;

    // The directory order of bus `bus`, or of every bus for -1 (newest first after reset()).
    void setDirectoryOrder(DirectoryOrder order, int bus = -1);
    DirectoryOrder directoryOrder(int bus) const;

    void inject(const FaultRule& fault);
    void clearFaults();

    // Runs `action` at the start of every usb_find_devices, with the number of that listing
    // since reset() (from 0), outside every lock of the simulator, so that it may change the
    // bus (unplug, plug or restart a probe). Tests use it to put a device on the bus between
    // two listings made by one call of the host. reset() removes it.
    void beforeListing(std::function<void(std::int64_t listing)> action);

    std::vector<LogEntry> log() const;
    void clearLog();
    void setLogging(bool on);        // on by default; benchmarks turn it off
    std::int64_t exchanges() const;  // usb_bulk_write calls since reset()
    int openHandles() const;         // handles from usb_open not yet closed

    // Handles that still hold a claimed interface (a claim must never outlive a transfer).
    int claimedInterfaces() const;

    // Counts of libusb calls by name since reset(), e.g. calls("usb_find_devices").
    std::int64_t calls(const std::string& name) const;

    // Persist the bus to a file and load it back, as a kernel keeps its devices between
    // processes: every probe's flash, configuration bytes, EEPROM and mode, and every device's
    // number and the order the devices appeared in (foreign devices included). Loading puts the
    // probes' memories into probes 0, 1, ... (creating those missing), replaces the foreign
    // devices, and brings the devices back in their order under their numbers. The demo keeps
    // its probe between runs this way, and a second process finds the bus as the first left
    // it. Returns false on I/O or format errors.
    bool saveState(const std::string& path) const;
    bool loadState(const std::string& path);
};

// Configure the bus from the environment once, at the first libusb call of a process that
// has not configured it itself. Used when the simulator stands in for libusb under an
// unmodified program (the demo). Variables:
//   KLOVSIM_PROBES      number of probes (default 1)
//   KLOVSIM_MODE        "application" (default) or "bootloader"
//   KLOVSIM_SERIAL      serial number of the first probe (default 04124008)
//   KLOVSIM_DATE        production date (default 20121228)
//   KLOVSIM_VERSION     firmware version text (default 2.0.3)
//   KLOVSIM_RESET_MS    reset delay in milliseconds (default 1500)
//   KLOVSIM_LATENCY_US  per-transfer latency in microseconds (default 0)
//   KLOVSIM_FAULT       one fault counted by exchange, <kind>@<exchange> (e.g. write-error@800;
//                       kinds: write-error, write-timeout, short-write, read-error, no-reply,
//                       short-reply, garbled-echo, garbled-selector, garbled-data, unplug,
//                       unplug-before-reply)
//   KLOVSIM_ORDER       directory order: newest-first (default) or oldest-first, or a
//                       comma-separated list of them by bus number (the last one for the
//                       busses after it)
//   KLOVSIM_STATE       state file: loaded when present, written at every usb_close and at
//                       exit (a file that cannot be read is left untouched and never written).
//                       A process started with it is a fresh libusb on the bus the previous
//                       process left: the same devices under the same numbers, its first
//                       listing in directory order.
// A value that cannot be used is reported on stderr and its default taken.
// A process that calls Bus::instance().reset() or addProbe() before its first libusb call
// turns this off.
void configureFromEnvironment();

}  // namespace klovsim
