// The probe as the command line sees it: the library bound by name at run time (the same
// binding the updater uses), connections that close themselves, and the settings table.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "library_binding.h"

namespace klov {

// The library's exports that the updater's interface does not carry (settings, count rate),
// bound through the same loader.
class Library {
  public:
    explicit Library(mirovane::ArdellixLibrary& lib) : lib_(lib) {}

    mirovane::ArdellixLibrary& Core() { return lib_; }

    std::int32_t ReadValue(mirovane::ArdellixExport e, ScaHandle h, std::int32_t* value);
    std::int32_t SetValue(mirovane::ArdellixExport e, ScaHandle h, std::int32_t value);
    std::int32_t SaveSettings(ScaHandle h);
    std::int32_t ReadCPS(ScaHandle h, std::int32_t* rate, std::int32_t* flag);

    // One identity text (selector 0 to 4) up to its first NUL; nothing when the read failed.
    std::optional<std::string> ReadInfo(ScaHandle h, int selector);
    // The serial number as the probe reports it; nothing when the read failed.
    std::optional<std::string> ReadSerial(ScaHandle h);

  private:
    mirovane::ArdellixLibrary& lib_;
};

// A connection that is closed when it goes out of scope.
class Connection {
  public:
    Connection(Library& lib, ScaHandle handle) : lib_(lib), handle_(handle) {}
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    ScaHandle handle() const { return handle_; }
    explicit operator bool() const { return handle_ != 0; }

  private:
    Library& lib_;
    ScaHandle handle_;
};

// The message for a probe that does not answer at `device`, with where to look next.
void ReportNoProbe(std::ostream& err, int device);

// One detector setting: its name on the command line, the largest raw value the wire carries
// and the exports that read and set it.
struct Setting {
    const char* name;
    std::int32_t max;
    bool onOff;  // 0/1, also written on/off
    mirovane::ArdellixExport read;
    mirovane::ArdellixExport set;
};

extern const std::array<Setting, 8> kSettings;

const Setting* FindSetting(std::string_view name);

// The raw value `text` stands for, or the reason it is refused. A value that the wire would
// truncate is refused, never sent.
struct SettingValue {
    std::optional<std::int32_t> value;
    std::string error;
};
SettingValue ParseSettingValue(const Setting& setting, std::string_view text);

}  // namespace klov
