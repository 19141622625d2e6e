// The core of the virtual bus: devices and their appearances, the directory order, the
// bus's configuration and counters, the state file and the environment applied to it.
#include "core.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <stdexcept>
#include <utility>

#include "clock.h"
#include "environment.h"
#include "state_file.h"

namespace klovsim::detail {
namespace {

using std::chrono::microseconds;

constexpr int kFirstDevnum = 2;  // 1 is the root hub
constexpr int kLastDevnum = 127;

int followingDevnum(int devnum) {
    return devnum >= kLastDevnum ? kFirstDevnum : devnum + 1;
}

void checkBus(int bus) {
    if (bus < 0 || bus >= kLastDevnum) {
        throw std::invalid_argument("klovsim: bus numbers run from 0 to 126");
    }
}

}  // namespace

Core& Core::get() {
    // Never destroyed: the host may still call into libusb from its own static destructors.
    static Core* core = new Core;
    return *core;
}

std::unique_lock<std::mutex> Core::enter() {
    std::unique_lock<std::mutex> lk(m_);
    if (!configuredByProcess_ && !environmentApplied_) {
        configureFromEnvironmentLocked();
    }
    refreshLocked();
    return lk;
}

void Core::refreshLocked() {
    const microseconds now = Clock::now();
    for (auto& p : probes_) {
        p->model->poll(now);
    }
}

// ----- devices -------------------------------------------------------------------------------

std::vector<Node*> Core::presentLocked(std::optional<int> bus) const {
    std::vector<Node*> out;
    for (const auto& p : probes_) {
        if (p->node != nullptr && (!bus || p->bus == *bus)) {
            out.push_back(p->node);
        }
    }
    for (Node* f : foreign_) {
        if (!bus || f->bus == *bus) {
            out.push_back(f);
        }
    }
    return out;
}

void Core::retire(Node& n) {
    n.present = false;
    n.probe = nullptr;
    n.pipe.clear();
    n.claimHolder = 0;
}

Node* Core::newNode(int bus, std::uint16_t vid, std::uint16_t pid, int devnum) {
    // Device numbers of the devices on this bus now: a new one never takes one of them.
    std::set<int> taken;
    for (const Node* n : presentLocked(bus)) {
        taken.insert(n->devnum);
    }
    int& next = nextDevnum_.try_emplace(bus, kFirstDevnum).first->second;
    if (devnum == 0 || taken.count(devnum) != 0) {
        devnum = next;
        for (int i = kFirstDevnum; i < kLastDevnum && taken.count(devnum) != 0; ++i) {
            devnum = followingDevnum(devnum);
        }
    }
    next = followingDevnum(devnum);

    auto n = std::make_unique<Node>();
    n->id = nextNode_++;
    n->bus = bus;
    n->devnum = devnum;
    n->vendorId = vid;
    n->productId = pid;
    nodes_.push_back(std::move(n));
    return nodes_.back().get();
}

void Core::probeReturned(Probe::State& s) {
    Node* n = newNode(s.bus, kProbeVendorId, kProbeProductId, s.returnAs);
    s.returnAs = 0;
    n->probe = &s;
    n->probeId = s.id;
    s.node = n;
    pipeChanged_.notify_all();
}

void Core::probeLeft(Probe::State& s) {
    if (s.node != nullptr) {
        retire(*s.node);
        s.node = nullptr;
    }
    pipeChanged_.notify_all();
}

std::vector<int> Core::busNumbers() {
    auto lk = enter();
    std::set<int> numbers{0};
    for (const auto& p : probes_) {
        numbers.insert(p->bus);  // listed while its probe restarts too
    }
    for (const Node* n : presentLocked()) {
        numbers.insert(n->bus);
    }
    return {numbers.begin(), numbers.end()};
}

std::vector<DeviceInfo> Core::directory(int bus) {
    auto lk = enter();
    std::vector<Node*> present = presentLocked(bus);
    // Node ids grow with every appearance, so they give the order the nodes were created in.
    const bool newestFirst = directoryOrderLocked(bus) == DirectoryOrder::NewestFirst;
    std::sort(present.begin(), present.end(), [newestFirst](const Node* a, const Node* b) {
        return newestFirst ? a->id > b->id : a->id < b->id;
    });
    std::vector<DeviceInfo> out;
    for (const Node* n : present) {
        out.push_back({n->id, n->bus, n->devnum, n->vendorId, n->productId});
    }
    return out;
}

DirectoryOrder Core::directoryOrderLocked(int bus) const {
    auto it = orders_.find(bus);
    if (it != orders_.end()) {
        return it->second;
    }
    return defaultOrder_;
}

void Core::setDirectoryOrder(DirectoryOrder order, int bus) {
    std::lock_guard<std::mutex> lk(m_);
    configuredByProcess_ = true;
    if (bus < 0) {
        orders_.clear();
        defaultOrder_ = order;
    } else {
        checkBus(bus);
        orders_[bus] = order;
    }
}

DirectoryOrder Core::directoryOrder(int bus) {
    std::lock_guard<std::mutex> lk(m_);
    return directoryOrderLocked(bus);
}

// ----- configuration -------------------------------------------------------------------------

void Core::resetLocked() {
    for (auto& n : nodes_) {
        retire(*n);
    }
    probes_.clear();
    foreign_.clear();
    orders_.clear();
    defaultOrder_ = DirectoryOrder::NewestFirst;
    handles_.clear();
    faults_.clear();
    listingAction_ = nullptr;
    listings_ = 0;
    log_.clear();
    logging_ = true;
    calls_.clear();
    exchanges_ = 0;
    readsSinceWrite_ = 0;
    statePath_.clear();
    Clock::setVirtual(false);
    pipeChanged_.notify_all();
}

void Core::beforeListing(std::function<void(std::int64_t)> action) {
    std::lock_guard<std::mutex> lk(m_);
    listingAction_ = std::move(action);
}

void Core::listingStarts() {
    std::function<void(std::int64_t)> action;
    std::int64_t listing = 0;
    {
        std::lock_guard<std::mutex> lk(m_);
        listing = listings_++;
        action = listingAction_;
    }
    if (action) {
        action(listing);
    }
}

void Core::reset(bool byProcess) {
    std::lock_guard<std::mutex> lk(m_);
    configuredByProcess_ = configuredByProcess_ || byProcess;
    resetLocked();
}

Probe::State& Core::addProbeLocked(const ProbeConfig& config, int bus) {
    checkBus(bus);
    const int id = static_cast<int>(probes_.size());
    probes_.push_back(std::make_unique<Probe::State>(*this, id, bus, config));
    return *probes_.back();
}

Probe Core::addProbe(const ProbeConfig& config, int bus, bool byProcess) {
    std::lock_guard<std::mutex> lk(m_);
    configuredByProcess_ = configuredByProcess_ || byProcess;
    return Probe(&addProbeLocked(config, bus));
}

void Core::addForeignDevice(std::uint16_t vendorId, std::uint16_t productId, int bus) {
    std::lock_guard<std::mutex> lk(m_);
    checkBus(bus);
    configuredByProcess_ = true;
    foreign_.push_back(newNode(bus, vendorId, productId));
}

Probe Core::probe(int id) {
    std::lock_guard<std::mutex> lk(m_);
    if (id < 0 || static_cast<std::size_t>(id) >= probes_.size()) {
        throw std::out_of_range("klovsim: no probe " + std::to_string(id));
    }
    return Probe(probes_[static_cast<std::size_t>(id)].get());
}

int Core::probeCount() {
    std::lock_guard<std::mutex> lk(m_);
    return static_cast<int>(probes_.size());
}

void Core::inject(const FaultRule& fault) {
    FaultTable::validate(fault);
    std::lock_guard<std::mutex> lk(m_);
    faults_.add(fault);
}

void Core::clearFaults() {
    std::lock_guard<std::mutex> lk(m_);
    faults_.clear();
}

// ----- the log and the counters --------------------------------------------------------------

int Core::countCall(const char* name) {
    const std::string_view key(name);
    auto it = calls_.find(key);
    if (it == calls_.end()) {
        it = calls_.emplace(std::string(key), 0).first;
    }
    return static_cast<int>(++it->second);
}

void Core::append(LogEntry e) {
    if (logging_) {
        log_.push_back(std::move(e));
    }
}

HandleRec* Core::findHandle(int handle) {
    auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : &it->second;
}

std::vector<LogEntry> Core::log() {
    std::lock_guard<std::mutex> lk(m_);
    return log_;
}

void Core::clearLog() {
    std::lock_guard<std::mutex> lk(m_);
    log_.clear();
}

void Core::setLogging(bool on) {
    std::lock_guard<std::mutex> lk(m_);
    logging_ = on;
}

std::int64_t Core::exchanges() {
    std::lock_guard<std::mutex> lk(m_);
    return exchanges_;
}

int Core::openHandles() {
    std::lock_guard<std::mutex> lk(m_);
    return static_cast<int>(
        std::count_if(handles_.begin(), handles_.end(), [](auto& h) { return !h.second.closed; }));
}

int Core::claimedInterfaces() {
    std::lock_guard<std::mutex> lk(m_);
    return static_cast<int>(std::count_if(
        nodes_.begin(), nodes_.end(), [](auto& n) { return n->present && n->claimHolder != 0; }));
}

std::int64_t Core::calls(const std::string& name) {
    std::lock_guard<std::mutex> lk(m_);
    auto it = calls_.find(name);
    return it == calls_.end() ? 0 : it->second;
}

// ----- the state file ------------------------------------------------------------------------

bool Core::saveStateLocked(const std::string& path) {
    refreshLocked();
    SavedBus saved;
    for (const auto& p : probes_) {
        const model::ProbeModel& m = *p->model;
        SavedProbe s;
        s.bus = p->bus;
        if (m.onBus() && p->node != nullptr) {
            s.mode = m.mode();
            s.devnum = p->node->devnum;
            s.appeared = p->node->id;
        }
        s.flash = m.flash();
        s.config = m.config();
        s.eeprom = m.eeprom();
        saved.probes.push_back(s);
    }
    saved.foreign.emplace();
    for (const Node* f : foreign_) {
        saved.foreign->push_back({f->bus, f->vendorId, f->productId, f->devnum, f->id});
    }
    return writeStateFile(path, saved);
}

// The saved devices come back onto the bus in the order they appeared in, under their device
// numbers, as a fresh process finds them in the kernel. Probes the bus has beyond the file's
// keep their appearances.
void Core::restoreLocked(const SavedBus& saved) {
    // Every device the file replaces leaves the bus first, probes created for the file included,
    // so that the numbers the file gives are free for the devices it gives them to.
    for (std::size_t i = probes_.size(); i < saved.probes.size(); ++i) {
        addProbeLocked(ProbeConfig{}, saved.probes[i].bus);
    }
    for (std::size_t i = 0; i < saved.probes.size(); ++i) {
        probeLeft(*probes_[i]);
    }
    if (saved.foreign) {
        for (Node* f : foreign_) {
            retire(*f);
        }
        foreign_.clear();
    }
    struct Arrival {
        std::uint64_t appeared;
        std::size_t probe;                     // index into saved.probes, or
        const SavedDevice* foreign = nullptr;  // a foreign device
    };
    std::vector<Arrival> arrivals;
    for (std::size_t i = 0; i < saved.probes.size(); ++i) {
        arrivals.push_back({saved.probes[i].appeared, i});
    }
    if (saved.foreign) {
        for (const SavedDevice& d : *saved.foreign) {
            arrivals.push_back({d.appeared, 0, &d});
        }
    }
    // Devices without a recorded appearance (probes that were off the bus, or every probe of
    // a version 1 file) come after the others, in id order.
    auto key = [](const Arrival& a) { return a.appeared == 0 ? UINT64_MAX : a.appeared; };
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [&](const Arrival& a, const Arrival& b) { return key(a) < key(b); });
    for (const Arrival& a : arrivals) {
        if (a.foreign != nullptr) {
            Node* n = newNode(a.foreign->bus, a.foreign->vendorId, a.foreign->productId,
                              a.foreign->devnum);
            foreign_.push_back(n);
            continue;
        }
        const SavedProbe& s = saved.probes[a.probe];
        Probe::State& p = *probes_[a.probe];
        p.returnAs = s.devnum;
        p.model->restore(s.flash, s.config, s.eeprom, s.mode);
        p.returnAs = 0;
    }
}

bool Core::loadStateLocked(const std::string& path) {
    const std::optional<SavedBus> saved = readStateFile(path);
    if (!saved) {
        return false;
    }
    restoreLocked(*saved);
    return true;
}

bool Core::saveState(const std::string& path) {
    std::lock_guard<std::mutex> lk(m_);
    return saveStateLocked(path);
}

bool Core::loadState(const std::string& path) {
    std::lock_guard<std::mutex> lk(m_);
    return loadStateLocked(path);
}

void Core::saveAtExit() {
    std::lock_guard<std::mutex> lk(m_);
    if (!statePath_.empty() && !saveStateLocked(statePath_)) {
        std::cerr << "klovsim: could not write the state file " << statePath_ << "\n";
    }
}

// ----- the environment -----------------------------------------------------------------------

void Core::configureFromEnvironment() {
    std::lock_guard<std::mutex> lk(m_);
    configureFromEnvironmentLocked();
}

void Core::configureFromEnvironmentLocked() {
    resetLocked();
    environmentApplied_ = true;
    const EnvironmentConfig env = readEnvironment(std::cerr);
    for (std::size_t bus = 0; bus < env.orders.size(); ++bus) {
        orders_[static_cast<int>(bus)] = env.orders[bus];
    }
    if (!env.orders.empty()) {
        defaultOrder_ = env.orders.back();
    }
    if (env.fault) {
        faults_.add(*env.fault);
    }
    for (const ProbeConfig& c : env.probes) {
        addProbeLocked(c, 0).latency = env.latency;
    }
    if (env.statePath.empty()) {
        return;
    }
    const std::string& path = env.statePath;
    if (!std::ifstream(path)) {
        statePath_ = path;  // created at the first save
    } else if (loadStateLocked(path)) {
        statePath_ = path;
    } else {
        // Keep the file as it is rather than overwrite what we could not read.
        std::cerr << "klovsim: " << path
                  << " is not a readable state file; it is left untouched and not saved to\n";
    }
    if (!statePath_.empty() && !exitHookInstalled_) {
        exitHookInstalled_ = true;
        std::atexit([] { Core::get().saveAtExit(); });
    }
}

}  // namespace klovsim::detail
