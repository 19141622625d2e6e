#include "probe.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ostream>

#include "text.h"
#include "text_utils.h"

namespace klov {

namespace {

template <typename Fn>
Fn Bind(mirovane::ArdellixLibrary& lib, mirovane::ArdellixExport e) {
    void* address = lib.Resolve(e);
    Fn fn;
    static_assert(sizeof fn == sizeof address);
    std::memcpy(&fn, &address, sizeof fn);
    return fn;
}

using ReadFn = decltype(&::ReadHV);
using SetFn = decltype(&::SetHV);

}  // namespace

std::int32_t Library::ReadValue(mirovane::ArdellixExport e, ScaHandle h, std::int32_t* value) {
    return Bind<ReadFn>(lib_, e)(h, value);
}

std::int32_t Library::SetValue(mirovane::ArdellixExport e, ScaHandle h, std::int32_t value) {
    return Bind<SetFn>(lib_, e)(h, value);
}

std::int32_t Library::SaveSettings(ScaHandle h) {
    return Bind<decltype(&::SaveSettings)>(lib_, mirovane::ArdellixExport::SaveSettings)(h);
}

std::int32_t Library::ReadCPS(ScaHandle h, std::int32_t* rate, std::int32_t* flag) {
    return Bind<decltype(&::ReadCPS)>(lib_, mirovane::ArdellixExport::ReadCPS)(h, rate, flag);
}

std::optional<std::string> Library::ReadInfo(ScaHandle h, int selector) {
    char buffer[32] = {};
    if (lib_.ReadDeviceInfo(h, selector, buffer) == 0) {
        return std::nullopt;
    }
    return mirovane::StripNulls(std::string(buffer, sizeof buffer));
}

std::optional<std::string> Library::ReadSerial(ScaHandle h) {
    char buffer[10] = {};
    if (lib_.ReadSerialNo(h, buffer) == 0) {
        return std::nullopt;
    }
    return mirovane::StripNulls(std::string(buffer, sizeof buffer));
}

Connection::~Connection() {
    if (handle_ != 0) {
        lib_.Core().CloseSCA(handle_);
    }
}

void ReportNoProbe(std::ostream& err, int device) {
    err << "klov: no kLOV probe answers";
    if (device != 0) {
        err << " at device index " << device;
    }
    err << ".\n"
           "klov: check that it is plugged in and that your user may open it (the udev rule\n"
           "klov: 70-klov-probe.rules, see the README); after installing the rule, unplug and\n"
           "klov: replug the probe.\n";
}

const std::array<Setting, 8> kSettings = {{
    {"hv", 65535, false, mirovane::ArdellixExport::ReadHV, mirovane::ArdellixExport::SetHV},
    {"gain", 65535, false, mirovane::ArdellixExport::ReadGain, mirovane::ArdellixExport::SetGain},
    {"lld", 65535, false, mirovane::ArdellixExport::ReadLLD, mirovane::ArdellixExport::SetLLD},
    {"uld", 65535, false, mirovane::ArdellixExport::ReadULD, mirovane::ArdellixExport::SetULD},
    {"integral-mode", 1, true, mirovane::ArdellixExport::ReadIntegralMode,
     mirovane::ArdellixExport::SetIntegralMode},
    {"analog-output-mode", 1, true, mirovane::ArdellixExport::ReadAnalogOutputMode,
     mirovane::ArdellixExport::SetAnalogOutputMode},
    {"cps-gain", 255, false, mirovane::ArdellixExport::ReadCPSGain,
     mirovane::ArdellixExport::SetCPSGain},
    {"response-time", 255, false, mirovane::ArdellixExport::ReadResponseTime,
     mirovane::ArdellixExport::SetResponseTime},
}};

const Setting* FindSetting(std::string_view name) {
    for (const Setting& s : kSettings) {
        if (name == s.name) {
            return &s;
        }
    }
    return nullptr;
}

SettingValue ParseSettingValue(const Setting& setting, std::string_view text) {
    const std::string shown = Printable(text);
    if (setting.onOff) {
        std::string lower(text);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower == "on" || lower == "1") {
            return {1, {}};
        }
        if (lower == "off" || lower == "0") {
            return {0, {}};
        }
        return {std::nullopt,
                std::string(setting.name) + " takes on, off, 1 or 0, not \"" + shown + "\""};
    }
    const std::string range = std::string(setting.name) + " takes a whole number from 0 to " +
                              std::to_string(setting.max);
    const bool negative = !text.empty() && text.front() == '-';
    const std::string_view digits = negative ? text.substr(1) : text;
    // Parse without the range first, to tell "not a number" from "too large".
    const auto magnitude = ParseDigits(digits, INT64_C(1) << 40);
    if (!magnitude) {
        const bool allDigits =
            !digits.empty() &&
            std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (allDigits) {
            return {std::nullopt, range + "; \"" + shown + "\" is far outside it"};
        }
        return {std::nullopt, range + ", not \"" + shown + "\""};
    }
    if (*magnitude == 0 || (!negative && *magnitude <= setting.max)) {
        return {static_cast<std::int32_t>(*magnitude), {}};
    }
    // What the probe would receive: the low 16 or 8 bits of the value.
    const std::int64_t value = negative ? -*magnitude : *magnitude;
    const std::int64_t modulus = std::int64_t{setting.max} + 1;
    const std::int64_t sent = ((value % modulus) + modulus) % modulus;
    return {std::nullopt,
            range + "; " + shown + " would reach the probe as " + std::to_string(sent)};
}

}  // namespace klov
