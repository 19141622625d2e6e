#include "state_file.h"

#include <cstdio>
#include <fstream>

#include "platform.h"

namespace klovsim::detail {
namespace {

constexpr std::size_t kMaxProbes = 256;
constexpr std::size_t kMaxDevices = 1024;
constexpr int kMaxDevnum = 127;
constexpr int kMaxBus = 126;

std::string toHex(const std::uint8_t* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

int nibble(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

template <std::size_t N>
bool fromHex(const std::string& s, std::array<std::uint8_t, N>& out) {
    if (s.size() != N * 2) {
        return false;
    }
    for (std::size_t i = 0; i < N; ++i) {
        const int hi = nibble(s[2 * i]);
        const int lo = nibble(s[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return true;
}

bool fromHex16(const std::string& s, std::uint16_t& out) {
    std::array<std::uint8_t, 2> b{};
    if (!fromHex(s, b)) {
        return false;
    }
    out = static_cast<std::uint16_t>(b[0] << 8 | b[1]);
    return true;
}

std::string hex16(std::uint16_t v) {
    const std::uint8_t b[2] = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    return toHex(b, 2);
}

bool devnumOk(int devnum, bool present) {
    return present ? devnum >= 1 && devnum <= kMaxDevnum : devnum >= 0 && devnum <= kMaxDevnum;
}

}  // namespace

bool writeStateFile(const std::string& path, const SavedBus& bus) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out) {
            return false;
        }
        out << "klovsim-state 2\nprobes " << bus.probes.size() << "\n";
        for (std::size_t i = 0; i < bus.probes.size(); ++i) {
            const SavedProbe& p = bus.probes[i];
            const char* mode = !p.mode                       ? "off"
                               : *p.mode == Mode::Bootloader ? "bootloader"
                                                             : "application";
            out << "probe " << i << ' ' << p.bus << ' ' << mode << ' ' << p.devnum << ' '
                << p.appeared << "\n";
            out << "flash " << toHex(p.flash.data(), p.flash.size()) << "\n";
            out << "config " << toHex(p.config.data(), p.config.size()) << "\n";
            out << "eeprom " << toHex(p.eeprom.data(), p.eeprom.size()) << "\n";
        }
        const std::vector<SavedDevice> none;
        const std::vector<SavedDevice>& foreign = bus.foreign ? *bus.foreign : none;
        out << "devices " << foreign.size() << "\n";
        for (const SavedDevice& d : foreign) {
            out << "device " << d.bus << ' ' << hex16(d.vendorId) << ' ' << hex16(d.productId)
                << ' ' << d.devnum << ' ' << d.appeared << "\n";
        }
        out.flush();
        if (!out) {
            std::remove(tmp.c_str());
            return false;
        }
    }
    if (!platform::replaceFile(tmp, path)) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

std::optional<SavedBus> readStateFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    std::string word;
    int version = 0;
    std::size_t count = 0;
    if (!(in >> word >> version) || word != "klovsim-state" || (version != 1 && version != 2) ||
        !(in >> word >> count) || word != "probes" || count > kMaxProbes) {
        return std::nullopt;
    }
    SavedBus bus;
    bus.probes.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t id = 0;
        std::string mode, flash, config, eeprom, k1, k2, k3;
        SavedProbe& p = bus.probes[i];
        if (!(in >> word >> id >> p.bus >> mode) || word != "probe" || id != i || p.bus < 0 ||
            p.bus > kMaxBus) {
            return std::nullopt;
        }
        if (version >= 2 && !(in >> p.devnum >> p.appeared)) {
            return std::nullopt;
        }
        if (!(in >> k1 >> flash >> k2 >> config >> k3 >> eeprom) || k1 != "flash" ||
            k2 != "config" || k3 != "eeprom" || !fromHex(flash, p.flash) ||
            !fromHex(config, p.config) || !fromHex(eeprom, p.eeprom)) {
            return std::nullopt;
        }
        if (mode == "application") {
            p.mode = Mode::Application;
        } else if (mode == "bootloader") {
            p.mode = Mode::Bootloader;
        } else if (mode != "off") {
            return std::nullopt;
        }
        if (!devnumOk(p.devnum, p.mode.has_value() && version >= 2)) {
            return std::nullopt;
        }
    }
    if (version >= 2) {
        std::size_t devices = 0;
        if (!(in >> word >> devices) || word != "devices" || devices > kMaxDevices) {
            return std::nullopt;
        }
        bus.foreign.emplace(devices);
        for (SavedDevice& d : *bus.foreign) {
            std::string vid, pid;
            if (!(in >> word >> d.bus >> vid >> pid >> d.devnum >> d.appeared) ||
                word != "device" || d.bus < 0 || d.bus > kMaxBus || !fromHex16(vid, d.vendorId) ||
                !fromHex16(pid, d.productId) || !devnumOk(d.devnum, true)) {
                return std::nullopt;
            }
        }
    }
    if (in >> word) {
        return std::nullopt;  // trailing garbage
    }
    return bus;
}

}  // namespace klovsim::detail
