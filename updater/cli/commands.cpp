#include "commands.h"

#include <chrono>
#include <cstdio>
#include <ostream>
#include <vector>

#include "bus_directory.h"
#include "exit_codes.h"
#include "stop_signals.h"
#include "text.h"

namespace klov {

namespace {

constexpr const char* kInfoLabels[] = {"Product name", "Manufacturer", "Serial number",
                                       "Firmware version", "Production date"};
constexpr const char* kInfoKeys[] = {"product_name", "manufacturer", "serial_number",
                                     "firmware_version", "production_date"};

// The probe a command talks to, opened in its application for the command and closed at its
// end. When there is none, `code` is the exit code and the reason has been said on `err`.
struct ChosenApplication {
    ChosenApplication(Library& lib, const ProbeChoice& choice, std::ostream& err)
        : code(SelectApplication(lib.Core(), choice, err, handle, device)),
          connection(lib, handle) {}

    ScaHandle handle = 0;
    int device = 0;
    int code;
    Connection connection;
};

}  // namespace

int ListProbes(Library& lib, Output o) {
    mirovane::BusDirectory bus(lib.Core());
    std::vector<mirovane::DeviceFacts> probes = bus.Scan(mirovane::UpdatableProbes(), true);
    bus.Release(probes);
    const auto flashSerial = [](const mirovane::DeviceFacts& p) {
        return p.bootloader ? KnownSerial(p) : std::nullopt;
    };
    if (o.json) {
        o.out << '[';
        for (std::size_t i = 0; i < probes.size(); ++i) {
            const mirovane::DeviceFacts& p = probes[i];
            o.out << (i == 0 ? "" : ",") << "\n  {\"device\": " << p.index
                  << ", \"mode\": " << (p.bootloader ? "\"bootloader\"" : "\"application\"")
                  << ", \"serial_number\": "
                  << JsonStringOrNull(p.bootloader ? std::nullopt : p.serial)
                  << ", \"firmware_version\": " << JsonStringOrNull(p.version)
                  << ", \"flash_serial_number\": " << JsonStringOrNull(flashSerial(p)) << '}';
        }
        o.out << (probes.empty() ? "]\n" : "\n]\n");
    } else if (!probes.empty()) {
        bool marked = false;
        o.out << "DEVICE  MODE         SERIAL      FIRMWARE\n";
        for (const mirovane::DeviceFacts& p : probes) {
            std::string serial = "-";
            if (!p.bootloader) {
                serial = Printable(p.serial.value_or("?"));
            } else if (const auto fromFlash = flashSerial(p)) {
                serial = Printable(*fromFlash) + "*";
                marked = true;
            }
            char line[128];
            std::snprintf(line, sizeof line, "%-7d %-12s %-11s %s\n", p.index,
                          p.bootloader ? "bootloader" : "application", serial.c_str(),
                          p.bootloader ? "-" : Printable(p.version.value_or("?")).c_str());
            o.out << line;
        }
        if (marked) {
            o.out << "* read back from the identity block in the flash of a probe in bootloader "
                     "mode\n";
        }
    }
    o.out.flush();
    if (probes.empty()) {
        ReportNoProbe(o.err, 0);
        return kExitNoProbe;
    }
    return kExitOk;
}

int ShowInfo(Library& lib, const ProbeChoice& choice, Output o) {
    const ChosenApplication probe(lib, choice, o.err);
    if (probe.code != kExitOk) {
        return probe.code;
    }
    std::optional<std::string> items[5];
    int code = kExitOk;
    for (int selector = 0; selector < 5; ++selector) {
        items[selector] = lib.ReadInfo(probe.handle, selector);
        if (!items[selector]) {
            o.err << "klov: the probe did not report its " << kInfoKeys[selector] << '\n';
            code = kExitExchange;
        }
    }
    const std::optional<std::string>& rawDate = items[4];
    const std::optional<std::string> date = rawDate ? IsoDate(*rawDate) : std::nullopt;
    if (rawDate && !date) {
        o.err << "klov: the production date \"" << Printable(*rawDate)
              << "\" is not a calendar date\n";
    }
    if (o.json) {
        o.out << "{\"device\": " << probe.device;
        for (int selector = 0; selector < 4; ++selector) {
            o.out << ", \"" << kInfoKeys[selector] << "\": " << JsonStringOrNull(items[selector]);
        }
        o.out << ", \"production_date\": " << JsonStringOrNull(date)
              << ", \"production_date_raw\": " << JsonStringOrNull(rawDate) << "}\n";
    } else {
        for (int selector = 0; selector < 5; ++selector) {
            char label[24];
            std::snprintf(label, sizeof label, "%-18s",
                          (std::string(kInfoLabels[selector]) + ":").c_str());
            std::string value;
            if (!items[selector]) {
                value = "(not reported)";
            } else if (selector == 4) {
                value = date ? *date : Printable(*rawDate) + " (not a date)";
            } else {
                value = Printable(*items[selector]);
            }
            o.out << label << value << '\n';
        }
    }
    o.out.flush();
    return code;
}

int GetSettings(Library& lib, const ProbeChoice& choice, const std::string& name, Output o) {
    std::vector<const Setting*> wanted;
    if (name == "all") {
        for (const Setting& s : kSettings) {
            wanted.push_back(&s);
        }
    } else if (const Setting* s = FindSetting(name)) {
        wanted.push_back(s);
    } else {
        o.err << "klov: there is no setting \"" << Printable(name) << "\"\n";
        return kExitUsage;
    }
    const ChosenApplication probe(lib, choice, o.err);
    if (probe.code != kExitOk) {
        return probe.code;
    }
    std::vector<std::optional<std::int32_t>> values;
    int code = kExitOk;
    for (const Setting* s : wanted) {
        std::int32_t value = 0;
        if (lib.ReadValue(s->read, probe.handle, &value) != 0) {
            values.emplace_back(value);
        } else {
            values.emplace_back();
            o.err << "klov: the probe did not report " << s->name << '\n';
            code = kExitExchange;
        }
    }
    if (o.json) {
        o.out << '{';
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            o.out << (i == 0 ? "" : ", ") << JsonString(wanted[i]->name) << ": "
                  << (values[i] ? std::to_string(*values[i]) : "null");
        }
        o.out << "}\n";
    } else if (wanted.size() == 1) {
        if (values[0]) {
            o.out << *values[0] << '\n';
        }
    } else {
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            char line[64];
            std::snprintf(line, sizeof line, "%-19s %s\n", wanted[i]->name,
                          values[i] ? std::to_string(*values[i]).c_str() : "?");
            o.out << line;
        }
    }
    o.out.flush();
    return code;
}

int SetSetting(Library& lib, const ProbeChoice& choice, const std::string& name,
               const std::string& text, bool save, Output o) {
    const Setting* s = FindSetting(name);
    if (s == nullptr) {
        o.err << "klov: there is no setting \"" << Printable(name) << "\"\n";
        return kExitUsage;
    }
    const SettingValue parsed = ParseSettingValue(*s, text);
    if (!parsed.value) {
        o.err << "klov: " << parsed.error << "; nothing was sent.\n";
        return kExitRefused;
    }
    const ChosenApplication probe(lib, choice, o.err);
    if (probe.code != kExitOk) {
        return probe.code;
    }
    if (lib.SetValue(s->set, probe.handle, *parsed.value) == 0) {
        o.err << "klov: the probe did not take " << s->name << '\n';
        return kExitExchange;
    }
    // The probe does not acknowledge a setting; reading it back is the confirmation.
    std::int32_t now = 0;
    if (lib.ReadValue(s->read, probe.handle, &now) == 0) {
        o.err << "klov: " << s->name << " was sent but could not be read back\n";
        return kExitExchange;
    }
    if (now != *parsed.value) {
        o.err << "klov: " << s->name << " was sent as " << *parsed.value
              << " but the probe reports " << now << '\n';
        return kExitExchange;
    }
    if (save && lib.SaveSettings(probe.handle) == 0) {
        o.err << "klov: " << s->name
              << " is set but the probe did not take the request to save "
                 "its settings\n";
        return kExitExchange;
    }
    o.out << s->name << ' ' << now << (save ? " (saved)" : "") << std::endl;
    return kExitOk;
}

int SaveSettings(Library& lib, const ProbeChoice& choice, Output o) {
    const ChosenApplication probe(lib, choice, o.err);
    if (probe.code != kExitOk) {
        return probe.code;
    }
    if (lib.SaveSettings(probe.handle) == 0) {
        o.err << "klov: the probe did not take the request to save its settings\n";
        return kExitExchange;
    }
    o.out << "settings saved" << std::endl;
    return kExitOk;
}

int ReadRate(Library& lib, const ProbeChoice& choice, const RateOptions& options, Output o) {
    const ChosenApplication probe(lib, choice, o.err);
    if (probe.code != kExitOk) {
        return probe.code;
    }
    const long long readings = options.count > 0 ? options.count : (options.watch ? -1 : 1);
    // Ctrl-C or a termination request ends a watch between two readings; the connection is
    // closed on the way out.
    const StopSignals stop;
    const StopSignals::Clock::time_point start = StopSignals::Clock::now();
    for (long long i = 0; (readings < 0 || i < readings) && !stop.Requested(); ++i) {
        // Readings keep to the interval from the first one, whatever each one took.
        if (i > 0 && !stop.SleepUntil(start + std::chrono::milliseconds(i * options.intervalMs))) {
            break;
        }
        std::int32_t rate = 0;
        std::int32_t flag = 0;
        if (lib.ReadCPS(probe.handle, &rate, &flag) == 0) {
            o.err << "klov: the probe did not report its count rate\n";
            return kExitExchange;
        }
        const long long elapsedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(StopSignals::Clock::now() - start)
                .count();
        if (o.json) {
            o.out << "{\"rate\": " << rate << ", \"flag\": " << flag
                  << ", \"elapsed_ms\": " << elapsedMs << "}" << std::endl;
        } else {
            o.out << rate << " cps  flag " << flag << std::endl;
        }
    }
    return kExitOk;
}

}  // namespace klov
