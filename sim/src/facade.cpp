// The public API of sim.h: probes, the bus and the environment configuration, each a thin
// call into the core under its lock.
#include <utility>

#include "clock.h"
#include "core.h"

namespace klovsim {

Probe::State::State(detail::Core& c, int i, int b, const ProbeConfig& config)
    : core(c), id(i), bus(b) {
    model = std::make_unique<model::ProbeModel>(config, this);
}

namespace {

// Locks the bus and lets the probes' time pass before a probe is looked at.
std::unique_lock<std::mutex> guard() {
    auto lk = detail::Core::get().lock();
    detail::Core::get().refreshLocked();
    return lk;
}

}  // namespace

int Probe::id() const {
    return s_->id;
}

Mode Probe::mode() const {
    auto lk = guard();
    return s_->model->mode();
}

bool Probe::onBus() const {
    auto lk = guard();
    return s_->model->onBus();
}

bool Probe::bricked() const {
    auto lk = guard();
    return s_->model->bricked();
}

bool Probe::applicationValid() const {
    auto lk = guard();
    return s_->model->applicationValid();
}

std::array<std::uint8_t, kFlashSize> Probe::flash() const {
    auto lk = guard();
    return s_->model->flash();
}

void Probe::setFlash(const std::array<std::uint8_t, kFlashSize>& image) {
    auto lk = guard();
    s_->model->setFlash(image);
}

std::array<std::uint8_t, kConfigSize> Probe::config() const {
    auto lk = guard();
    return s_->model->config();
}

std::array<std::uint8_t, kEepromSize> Probe::eeprom() const {
    auto lk = guard();
    return s_->model->eeprom();
}

std::uint8_t Probe::bootFlag() const {
    auto lk = guard();
    return s_->model->bootFlag();
}

void Probe::setBootFlag(std::uint8_t value) {
    auto lk = guard();
    s_->model->setBootFlag(value);
}

std::vector<WriteViolation> Probe::writeViolations() const {
    auto lk = guard();
    return s_->model->writeViolations();
}

std::vector<ProtocolViolation> Probe::protocolViolations() const {
    auto lk = guard();
    return s_->model->protocolViolations();
}

Settings Probe::settings() const {
    auto lk = guard();
    return s_->model->settings();
}

Settings Probe::savedSettings() const {
    auto lk = guard();
    return s_->model->savedSettings();
}

void Probe::setCountRate(std::uint16_t rate, bool flag) {
    auto lk = guard();
    s_->model->setCountRate(rate, flag);
}

void Probe::reset() {
    auto lk = guard();
    s_->model->restart(Clock::now());
}

void Probe::setResetDelay(std::chrono::milliseconds d) {
    auto lk = guard();
    s_->model->setResetDelay(d);
}

void Probe::setLatency(std::chrono::microseconds l) {
    auto lk = guard();
    s_->latency = l;
}

void Probe::unplug() {
    auto lk = guard();
    s_->model->unplug();
}

void Probe::plug() {
    auto lk = guard();
    s_->model->plug();
}

// Never destroyed, as the core behind it: a program's own static destructors may still look
// at the bus after main has returned.
Bus& Bus::instance() {
    static Bus* const bus = new Bus;
    return *bus;
}

void Bus::reset() {
    detail::Core::get().reset(true);
}
Probe Bus::addProbe(const ProbeConfig& config, int bus) {
    return detail::Core::get().addProbe(config, bus, true);
}
void Bus::addForeignDevice(std::uint16_t vendorId, std::uint16_t productId, int bus) {
    detail::Core::get().addForeignDevice(vendorId, productId, bus);
}
Probe Bus::probe(int id) {
    return detail::Core::get().probe(id);
}
int Bus::probeCount() const {
    return detail::Core::get().probeCount();
}
void Bus::setDirectoryOrder(DirectoryOrder order, int bus) {
    detail::Core::get().setDirectoryOrder(order, bus);
}
DirectoryOrder Bus::directoryOrder(int bus) const {
    return detail::Core::get().directoryOrder(bus);
}
void Bus::inject(const FaultRule& fault) {
    detail::Core::get().inject(fault);
}
void Bus::clearFaults() {
    detail::Core::get().clearFaults();
}
void Bus::beforeListing(std::function<void(std::int64_t)> action) {
    detail::Core::get().beforeListing(std::move(action));
}
std::vector<LogEntry> Bus::log() const {
    return detail::Core::get().log();
}
void Bus::clearLog() {
    detail::Core::get().clearLog();
}
void Bus::setLogging(bool on) {
    detail::Core::get().setLogging(on);
}
std::int64_t Bus::exchanges() const {
    return detail::Core::get().exchanges();
}
int Bus::openHandles() const {
    return detail::Core::get().openHandles();
}
int Bus::claimedInterfaces() const {
    return detail::Core::get().claimedInterfaces();
}
std::int64_t Bus::calls(const std::string& name) const {
    return detail::Core::get().calls(name);
}
bool Bus::saveState(const std::string& path) const {
    return detail::Core::get().saveState(path);
}
bool Bus::loadState(const std::string& path) {
    return detail::Core::get().loadState(path);
}

void configureFromEnvironment() {
    detail::Core::get().configureFromEnvironment();
}

}  // namespace klovsim
