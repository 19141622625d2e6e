// The simulated kLOV probe itself: request bytes in, reply bytes out. It keeps its flash,
// configuration bytes, EEPROM, settings registers and running mode, and tells its bus when it
// drops off and comes back. It knows nothing of USB; bus adapters carry its bytes.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "klovsim/probe_types.h"

namespace klovsim::model {

using Flash = std::array<std::uint8_t, kFlashSize>;
using ConfigBytes = std::array<std::uint8_t, kConfigSize>;
using Eeprom = std::array<std::uint8_t, kEepromSize>;
using Reply = std::optional<std::vector<std::uint8_t>>;

// Where saved settings live in EEPROM: a marker byte, then the registers (16-bit values low
// byte first) in the order of struct Settings.
constexpr std::uint8_t kSettingsMarkerAddress = 0x00;
constexpr std::uint8_t kSettingsMarker = 0xA5;
constexpr std::uint8_t kSettingsAddress = 0x01;
constexpr std::size_t kSettingsBytes = 12;

// The application image a new probe gets from its configuration (see the model's comment).
Flash defaultFlash(const ProbeConfig& config);
ConfigBytes defaultConfigBytes();

class ProbeModel {
  public:
    // The bus side: told when the probe leaves the bus and when it enumerates again.
    class Listener {
      public:
        virtual void probeLeft() = 0;
        virtual void probeReturned() = 0;

      protected:
        ~Listener() = default;
    };

    // Builds the memories from `config` and powers the probe on (it comes up at once in the
    // mode its boot flag selects, unless that is an application it cannot run).
    ProbeModel(const ProbeConfig& config, Listener* listener);

    // One request from the host. Returns the reply, or nothing when the probe sends none.
    Reply handle(std::span<const std::uint8_t> request, std::chrono::microseconds now);

    // Lets time pass: a probe restarting comes back once its reset delay is over.
    void poll(std::chrono::microseconds now);

    void restart(std::chrono::microseconds now);  // as the reset command does
    void unplug();
    void plug();

    bool onBus() const { return onBus_; }
    Mode mode() const { return mode_; }
    bool applicationValid() const;
    bool bricked() const;

    const Flash& flash() const { return flash_; }
    void setFlash(const Flash& image) { flash_ = image; }
    const ConfigBytes& config() const { return config_; }
    const Eeprom& eeprom() const { return eeprom_; }
    std::uint8_t bootFlag() const { return eeprom_[kBootFlagAddress]; }
    void setBootFlag(std::uint8_t value) { eeprom_[kBootFlagAddress] = value; }

    // Replace the memories (state file). The probe then runs in `running` if given, else it
    // powers on as after a power cycle.
    void restore(const Flash& flash, const ConfigBytes& config, const Eeprom& eeprom,
                 std::optional<Mode> running);

    Settings settings() const { return settings_; }
    Settings savedSettings() const;
    void setCountRate(std::uint16_t rate, bool flag) {
        countRate_ = rate;
        countFlag_ = flag;
    }
    void setResetDelay(std::chrono::microseconds d) { resetDelay_ = d; }

    const std::vector<WriteViolation>& writeViolations() const { return writeViolations_; }
    const std::vector<ProtocolViolation>& protocolViolations() const { return protocolViolations_; }
    // Violations noticed on the USB side (claims, endpoints) are recorded here too.
    void addProtocolViolation(std::string what);

    // All of the above that a bus adapter shows of its probes, in one copy.
    ProbeState state() const;

  private:
    Reply application(std::span<const std::uint8_t> request, std::chrono::microseconds now);
    Reply bootloader(std::span<const std::uint8_t> request, std::chrono::microseconds now);
    Reply writeEeprom(std::span<const std::uint8_t> request);
    Reply readFlash(std::span<const std::uint8_t> request);
    Reply writeRow(std::span<const std::uint8_t> request);
    Reply eraseBlock(std::span<const std::uint8_t> request);
    Reply writeConfig(std::span<const std::uint8_t> request);
    Reply identify() const;
    Reply deviceInfo(std::uint8_t selector) const;
    Reply violation(std::string what);

    void powerOn();  // boot per the flag; stays off the bus when the application can't run
    void leave();
    std::string text(std::uint32_t address, std::size_t max) const;

    Listener* listener_;
    Flash flash_{};
    ConfigBytes config_{};
    Eeprom eeprom_{};
    Mode mode_ = Mode::Application;
    bool onBus_ = false;
    bool unplugged_ = false;
    std::optional<std::chrono::microseconds> backAt_;
    std::chrono::microseconds resetDelay_;
    UnexaminedBytes unexamined_;
    Settings settings_{};
    std::uint16_t countRate_ = 250;
    bool countFlag_ = false;
    std::vector<WriteViolation> writeViolations_;
    std::vector<ProtocolViolation> protocolViolations_;
};

}  // namespace klovsim::model
