#include "environment.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "faults.h"
#include "platform.h"

namespace klovsim::detail {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr long kMaxProbes = 16;

// A whole decimal number within [lo, hi], or nothing.
std::optional<long> parseNumber(const char* text, long lo, long hi) {
    if (*text == '\0') {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) {
        return std::nullopt;
    }
    return v;
}

std::optional<DirectoryOrder> parseOrder(const std::string& s) {
    if (s == "newest-first") {
        return DirectoryOrder::NewestFirst;
    }
    if (s == "oldest-first") {
        return DirectoryOrder::OldestFirst;
    }
    return std::nullopt;
}

// Further probes get the following serial numbers when the first one is all digits.
std::string serialOf(const std::string& first, long i) {
    if (i == 0 || first.empty() ||
        !std::all_of(first.begin(), first.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return first;
    }
    std::string next = std::to_string(std::stoull(first) + static_cast<unsigned long long>(i));
    if (next.size() < first.size()) {
        next.insert(0, first.size() - next.size(), '0');
    }
    return next.substr(next.size() - std::min(next.size(), std::size_t{8}));
}

}  // namespace

EnvironmentConfig readEnvironment(std::ostream& warnings) {
    using platform::environment;
    auto warn = [&](const char* name, const std::string& value, const std::string& expected) {
        warnings << "klovsim: ignoring " << name << "=\"" << value << "\": expected " << expected
                 << "\n";
    };
    auto number = [&](const char* name, long lo, long hi, long fallback, const char* expected) {
        const std::optional<std::string> v = environment(name);
        if (!v) {
            return fallback;
        }
        if (auto n = parseNumber(v->c_str(), lo, hi)) {
            return *n;
        }
        warn(name, *v, expected);
        return fallback;
    };
    auto text = [&](const char* name, std::size_t maxLength, const std::string& fallback) {
        const std::optional<std::string> v = environment(name);
        if (!v) {
            return fallback;
        }
        if (v->empty() || v->size() > maxLength) {
            warn(name, *v, "a text of 1 to 8 characters (16 for the version)");
            return fallback;
        }
        return *v;
    };

    EnvironmentConfig out;
    ProbeConfig base;
    const long count = number("KLOVSIM_PROBES", 0, kMaxProbes, 1, "a number from 0 to 16");
    if (const auto mode = environment("KLOVSIM_MODE")) {
        if (*mode == "bootloader") {
            base.mode = Mode::Bootloader;
        } else if (*mode != "application") {
            warn("KLOVSIM_MODE", *mode, "\"application\" or \"bootloader\"");
        }
    }
    base.serial = text("KLOVSIM_SERIAL", 8, base.serial);
    base.productionDate = text("KLOVSIM_DATE", 8, base.productionDate);
    base.firmwareVersion = text("KLOVSIM_VERSION", 16, base.firmwareVersion);
    base.resetDelay =
        milliseconds(number("KLOVSIM_RESET_MS", 0, 600000, 1500, "milliseconds from 0 to 600000"));
    out.latency = microseconds(
        number("KLOVSIM_LATENCY_US", 0, 10000000, 0, "microseconds from 0 to 10000000"));

    // One fault, counted by exchange: KLOVSIM_FAULT=<kind>@<exchange>, e.g. write-error@800.
    if (const auto f = environment("KLOVSIM_FAULT"); f && !f->empty()) {
        const std::string& value = *f;
        const std::size_t at = value.find('@');
        const auto kind = FaultTable::byName(value.substr(0, at));
        const auto index = at == std::string::npos
                               ? std::nullopt
                               : parseNumber(value.c_str() + at + 1, 0, 100000000);
        if (!kind || !index) {
            warn("KLOVSIM_FAULT", value,
                 std::string("<kind>@<exchange>, kind one of ") + FaultTable::names());
        } else {
            out.fault = FaultRule{*kind, *index, 1, Counting::ByExchange};
        }
    }

    // The directory order of each bus: one order for all, or a comma-separated list by bus.
    if (const auto o = environment("KLOVSIM_ORDER"); o && !o->empty()) {
        std::vector<DirectoryOrder> orders;
        std::stringstream list(*o);
        bool good = true;
        for (std::string item; std::getline(list, item, ',');) {
            const auto order = parseOrder(item);
            good = good && order.has_value();
            if (order) {
                orders.push_back(*order);
            }
        }
        if (good && !orders.empty()) {
            out.orders = std::move(orders);
        } else {
            warn("KLOVSIM_ORDER", *o,
                 "newest-first or oldest-first, or a comma-separated list of them by bus");
        }
    }

    for (long i = 0; i < count; ++i) {
        ProbeConfig c = base;
        c.serial = serialOf(base.serial, i);
        out.probes.push_back(std::move(c));
    }
    if (auto path = environment("KLOVSIM_STATE")) {
        out.statePath = std::move(*path);
    }
    return out;
}

}  // namespace klovsim::detail
