// The virtual bus: devices in the order they appeared, handles, claims, reply pipes, faults,
// the log and the state file. It speaks in device and handle numbers and errno values, so any
// adapter (the libusb 0.1 one here) can put it behind its own structures.
//
// The pieces it calls: the fault table (faults.*), the state file (state_file.*) and the
// environment configuration (environment.*). The transfers are in transfers.cpp, the rest of
// the core in core.cpp, and the public API of sim.h (the facade) in facade.cpp.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "faults.h"
#include "klovsim/probe_model.h"
#include "klovsim/sim.h"

namespace klovsim::detail {

struct SavedBus;

// One appearance of a device on the bus. A probe that resets or is unplugged and comes back
// is a new node (new device number); the old node stays, marked absent, so that handles to
// it fail cleanly. Nodes are never freed.
struct Node {
    std::uint64_t id = 0;  // creation order: a node with a larger id appeared later
    int bus = 0;
    int devnum = 0;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    Probe::State* probe = nullptr;  // null for a foreign device, and once the node is gone
    int probeId = -1;
    bool present = true;
    int claimHolder = 0;                         // handle number holding interface 0, 0 for none
    std::deque<std::vector<std::uint8_t>> pipe;  // replies waiting on the IN endpoint
};

struct HandleRec {
    Node* node = nullptr;
    bool closed = false;
};

// What an adapter learns about a device on the bus.
struct DeviceInfo {
    std::uint64_t node;
    int bus;
    int devnum;
    std::uint16_t vendorId;
    std::uint16_t productId;
};

class Core {
  public:
    static Core& get();

    // Adapter operations. Results follow libusb 0.1: >= 0 success, negative errno on failure.
    // Each applies the environment configuration first when the process has not configured
    // the bus itself, and lets the probes' time pass.
    void logSimple(const char* call, int result = 0);
    std::vector<int> busNumbers();
    // The devices present on `bus` in the order its directory yields their nodes.
    std::vector<DeviceInfo> directory(int bus);
    int open(std::uint64_t node);  // handle number, or 0 when usb_open must return null
    int close(int handle);
    int setConfiguration(int handle, int configuration);
    int claim(int handle, int interface);
    int release(int handle, int interface);
    int bulkWrite(int handle, int endpoint, const std::uint8_t* data, int size, int timeoutMs);
    int bulkRead(int handle, int endpoint, std::uint8_t* data, int size, int timeoutMs);
    std::optional<std::uint64_t> nodeOf(int handle);

    // The public API (sim.h) is implemented on these.
    void reset(bool byProcess);
    Probe addProbe(const ProbeConfig& config, int bus, bool byProcess);
    void addForeignDevice(std::uint16_t vendorId, std::uint16_t productId, int bus);
    Probe probe(int id);
    int probeCount();
    void setDirectoryOrder(DirectoryOrder order, int bus);
    DirectoryOrder directoryOrder(int bus);
    void inject(const FaultRule& fault);
    void clearFaults();
    void beforeListing(std::function<void(std::int64_t)> action);
    // Called by the adapter at the start of each listing, with no lock held.
    void listingStarts();
    std::vector<LogEntry> log();
    void clearLog();
    void setLogging(bool on);
    std::int64_t exchanges();
    int openHandles();
    int claimedInterfaces();
    std::int64_t calls(const std::string& name);
    bool saveState(const std::string& path);
    bool loadState(const std::string& path);
    void configureFromEnvironment();
    void saveAtExit();

    // Probe accessors lock through this.
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(m_); }
    void refreshLocked();

    // Called by the probe's listener with the lock held.
    void probeLeft(Probe::State& s);
    void probeReturned(Probe::State& s);

  private:
    Core() = default;
    std::unique_lock<std::mutex> enter();
    void resetLocked();
    DirectoryOrder directoryOrderLocked(int bus) const;
    Probe::State& addProbeLocked(const ProbeConfig& config, int bus);
    void configureFromEnvironmentLocked();
    // The devices on `bus` now (on every bus when none is given): the probes' nodes, then the
    // foreign devices.
    std::vector<Node*> presentLocked(std::optional<int> bus = std::nullopt) const;
    // Takes a node off the bus: handles to it fail from now on, its replies and claim are gone.
    static void retire(Node& n);
    // A new node on `bus`: under `devnum` when given, else under the bus's next free number.
    Node* newNode(int bus, std::uint16_t vid, std::uint16_t pid, int devnum = 0);
    HandleRec* findHandle(int handle);
    void wait(std::unique_lock<std::mutex>& lk, std::chrono::microseconds d);
    // An open handle whose device is on the bus: 0 (with `h` set and the log entry given its
    // probe), -EBADF or -ENODEV.
    int liveHandle(int handle, LogEntry& e, HandleRec*& h);
    // What every bulk transfer needs: an open handle, its device on the bus, a sane buffer,
    // the right endpoint for the direction and the interface claimed by this handle. Returns 0
    // (with `node` set), or the error to return; a host that broke a rule is recorded.
    int checkTransfer(int handle, int endpoint, bool out, bool haveData, int size, LogEntry& e,
                      Node*& node);
    int countCall(const char* name);
    void append(LogEntry e);
    // Counts an operation for the fault table and returns the kinds that hit it.
    std::vector<Fault> faultsFor(Op op, int probeId);
    bool saveStateLocked(const std::string& path);
    bool loadStateLocked(const std::string& path);
    void restoreLocked(const SavedBus& saved);
    void holdLatency(std::unique_lock<std::mutex>& lk, std::chrono::microseconds latency,
                     std::chrono::microseconds realStart);
    // Waits up to `timeoutMs` for a reply on `node`; false when none came.
    bool waitForReply(std::unique_lock<std::mutex>& lk, Node* node, int timeoutMs);

    std::mutex m_;
    std::condition_variable pipeChanged_;
    std::vector<std::unique_ptr<Probe::State>> probes_;
    std::vector<std::unique_ptr<Node>> nodes_;  // every node ever, in creation order
    std::vector<Node*> foreign_;                // foreign devices on the bus now
    std::map<int, DirectoryOrder> orders_;      // by bus; busses not listed take defaultOrder_
    DirectoryOrder defaultOrder_ = DirectoryOrder::NewestFirst;
    std::map<int, int> nextDevnum_;
    std::unordered_map<int, HandleRec> handles_;
    int nextHandle_ = 1;
    std::uint64_t nextNode_ = 1;
    FaultTable faults_;
    std::function<void(std::int64_t)> listingAction_;
    std::int64_t listings_ = 0;
    std::vector<LogEntry> log_;
    bool logging_ = true;
    std::map<std::string, std::int64_t, std::less<>> calls_;  // looked up by string_view
    std::int64_t exchanges_ = 0;
    int readsSinceWrite_ = 0;
    bool configuredByProcess_ = false;
    bool environmentApplied_ = false;
    std::string statePath_;
    bool exitHookInstalled_ = false;

    friend struct klovsim::Probe::State;
};

}  // namespace klovsim::detail

// A probe on the bus: its model, where it sits, and how its transfers are timed.
struct klovsim::Probe::State final : klovsim::model::ProbeModel::Listener {
    State(detail::Core& core, int id, int bus, const ProbeConfig& config);
    void probeLeft() override { core.probeLeft(*this); }
    void probeReturned() override { core.probeReturned(*this); }

    detail::Core& core;
    int id;
    int bus;
    detail::Node* node = nullptr;  // current appearance, null while off the bus
    int returnAs = 0;              // device number of its next appearance (state file), or 0
    std::chrono::microseconds latency{0};
    std::unique_ptr<model::ProbeModel> model;  // created last: it reports its power-on
};
