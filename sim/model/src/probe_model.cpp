// How the simulated probe behaves.
//
// Memories
//   Flash 0x0000-0x7FFF. Below 0x0800 is the bootloader: it never changes (writes and erases
//   there are refused and recorded as write violations). A new probe's application image is a
//   deterministic program pattern from 0x0800 to 0x1FFF with the identity block at
//   0x1000-0x104F (signature, product name, "SERIAL\0" + serial + 0, firmware version,
//   "PRDATE\0" + date + 0, texts zero-padded); the bootloader area holds a fixed pattern without
//   0xFF bytes; the rest is erased (0xFF). Configuration bytes at 0x300000-0x30000F. EEPROM of
//   256 bytes, erased to 0xFF, byte 0xFF being the boot flag; saved settings live at 0x00 (a
//   marker 0xA5) and 0x01-0x0C.
//
// Application mode (requests must have exactly the length shown, else no reply and a
// protocol violation)
//   40            -> 40, four bytes (ProbeConfig::unexamined.identify; by default the numbers
//                    of the version text at 0x1030 and a 0), then the 16-byte product name field
//                    from 0x1010 (starts with "kLOV")
//   E0            -> E0, the 8 bytes at 0x1027, 00
//   E1 sel        -> E1, sel, 30 bytes of text, zero-padded: 0 product name, 1 signature
//                    (manufacturer), 2 serial, 3 firmware version, 4 production date; any other
//                    selector gives an empty text
//   51 i          -> 51, i, value lo, hi        (i = 0 HV, 1 gain, 2 LLD, 3 ULD)
//   52 i lo hi    -> no reply; sets the register
//   53            -> no reply; stores the registers in EEPROM
//   54 / 57 / 59 / 5B -> command, integral mode / analog output mode / CPS gain / response time
//   55 / 58 / 5A / 5C v -> no reply; sets that register to v as sent
//   56            -> 56, rate lo, rate hi, flag (0 or 1), from setCountRate (default 250, 0)
//   01 02 03 07   -> bootloader commands: no reply, and a protocol violation (the host has
//                    sent them to a probe it did not open in its bootloader)
//
// Bootloader mode (acknowledgements and the read-flash header come from
// ProbeConfig::unexamined; by default none equals the command byte)
//   01 n a0 a1 a2 -> a 5-byte header, then n bytes from the address; n up to 64, flash
//                    below 0x8000 or configuration bytes 0x300000-0x30000F
//   02 10 a0 a1 a2 d0..d15 -> row write at a 16-aligned flash address; each byte becomes
//                    old AND new (0xFF leaves a byte as it is); a byte other than 0xFF that
//                    needs a bit the old one lacks is a write violation; ack
//   03 01 a0 a1 a2 -> erases the 64-byte block holding the address to 0xFF, as the flash
//                    does; an address that is not a multiple of 64 is a protocol violation; ack
//   07 01 a0 a1 a2 v -> configuration byte; ack
//   40, E0, E1    -> no reply (how a host tells the modes apart), not a violation
//   settings and count-rate commands: no reply, and a protocol violation
//
// Both modes
//   05 01 a0 00 00 v -> writes EEPROM byte a0 (the boot flag is 0xFF); ack
//   FF            -> no reply; the probe leaves the bus at once and comes back after its reset
//                    delay, in the bootloader when the flag is 0x3A, else in the application.
//                    An application without a valid identity block (signature "KORVALIMEX" at
//                    0x1000, product name starting "kLOV" at 0x1010) cannot start: the probe
//                    never comes back (bricked).
//   Power-on (and every restart) loads the settings registers from EEPROM when they were
//   saved there, else the defaults of struct Settings.
#include "klovsim/probe_model.h"

#include <algorithm>
#include <cstring>

namespace klovsim::model {
namespace {

constexpr char kSignature[] = "KORVALIMEX";
constexpr char kProductTag[] = "kLOV";
constexpr std::uint32_t kAppPatternEnd = 0x2000;
constexpr std::uint32_t kIdentityEnd = 0x1050;
constexpr std::size_t kInfoText = 30;
constexpr std::size_t kMaxReadFlash = 64;

std::uint32_t address24(std::span<const std::uint8_t> r) {
    return std::uint32_t{r[2]} | std::uint32_t{r[3]} << 8 | std::uint32_t{r[4]} << 16;
}

void putText(Flash& f, std::uint32_t at, const std::string& s, std::size_t field) {
    const std::size_t n = std::min(s.size(), field);
    std::memcpy(f.data() + at, s.data(), n);
}

std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

}  // namespace

Flash defaultFlash(const ProbeConfig& c) {
    Flash f;
    f.fill(0xFF);
    for (std::uint32_t a = 0; a < kBootloaderEnd; ++a) {
        f[a] = static_cast<std::uint8_t>((a * 37 + 11) % 255);  // never 0xFF
    }
    if (c.blankApplication) {
        return f;
    }
    std::uint32_t x = 0x2F6B;  // a fixed "program" from a small linear congruential sequence
    for (std::uint32_t a = kBootloaderEnd; a < kAppPatternEnd; ++a) {
        x = x * 1103515245u + 12345u;
        f[a] = static_cast<std::uint8_t>(x >> 16);
    }
    std::fill(f.begin() + kIdentitySignature, f.begin() + kIdentityEnd, std::uint8_t{0});
    putText(f, kIdentitySignature, c.signature, 16);
    putText(f, kIdentityProduct, c.productName, 16);
    putText(f, kIdentitySerialName, "SERIAL", 6);
    putText(f, kIdentitySerial, c.serial, 8);
    putText(f, kIdentityVersion, c.firmwareVersion, 16);
    putText(f, kIdentityDateName, "PRDATE", 6);
    putText(f, kIdentityDate, c.productionDate, 8);
    return f;
}

ConfigBytes defaultConfigBytes() {
    return {0x24, 0x0E, 0x3F, 0x1E, 0x00, 0x81, 0x81, 0x00,
            0x0F, 0xC0, 0x0F, 0xE0, 0x0F, 0x40, 0xFF, 0xFF};
}

ProbeModel::ProbeModel(const ProbeConfig& c, Listener* listener)
    : listener_(listener), resetDelay_(c.resetDelay), unexamined_(c.unexamined) {
    flash_ = c.flash ? *c.flash : defaultFlash(c);
    config_ = defaultConfigBytes();
    eeprom_.fill(0xFF);
    eeprom_[kBootFlagAddress] =
        c.mode == Mode::Bootloader ? kBootFlagBootloader : kBootFlagApplication;
    powerOn();
}

bool ProbeModel::applicationValid() const {
    return std::memcmp(flash_.data() + kIdentitySignature, kSignature, sizeof kSignature - 1) ==
               0 &&
           std::memcmp(flash_.data() + kIdentityProduct, kProductTag, sizeof kProductTag - 1) == 0;
}

bool ProbeModel::bricked() const {
    return bootFlag() != kBootFlagBootloader && !applicationValid();
}

void ProbeModel::powerOn() {
    backAt_.reset();
    if (unplugged_ || bricked()) {
        onBus_ = false;
        return;
    }
    mode_ = bootFlag() == kBootFlagBootloader ? Mode::Bootloader : Mode::Application;
    settings_ = savedSettings();
    onBus_ = true;
    if (listener_ != nullptr) {
        listener_->probeReturned();
    }
}

void ProbeModel::leave() {
    backAt_.reset();
    if (onBus_) {
        onBus_ = false;
        if (listener_ != nullptr) {
            listener_->probeLeft();
        }
    }
}

void ProbeModel::poll(std::chrono::microseconds now) {
    if (backAt_ && now >= *backAt_) {
        powerOn();
    }
}

void ProbeModel::restart(std::chrono::microseconds now) {
    if (unplugged_) {
        return;
    }
    leave();
    backAt_ = now + resetDelay_;
}

void ProbeModel::unplug() {
    leave();
    unplugged_ = true;
}

void ProbeModel::plug() {
    if (!unplugged_) {
        return;
    }
    unplugged_ = false;
    powerOn();
}

void ProbeModel::restore(const Flash& flash, const ConfigBytes& config, const Eeprom& eeprom,
                         std::optional<Mode> running) {
    leave();
    flash_ = flash;
    config_ = config;
    eeprom_ = eeprom;
    if (running && !unplugged_ && !(*running == Mode::Application && !applicationValid())) {
        mode_ = *running;
        settings_ = savedSettings();
        onBus_ = true;
        if (listener_ != nullptr) {
            listener_->probeReturned();
        }
    } else {
        powerOn();
    }
}

Settings ProbeModel::savedSettings() const {
    if (eeprom_[kSettingsMarkerAddress] != kSettingsMarker) {
        return Settings{};
    }
    const std::uint8_t* e = eeprom_.data() + kSettingsAddress;
    auto u16 = [&](int i) { return static_cast<std::uint16_t>(e[i] | e[i + 1] << 8); };
    Settings s;
    s.hv = u16(0);
    s.gain = u16(2);
    s.lld = u16(4);
    s.uld = u16(6);
    s.integralMode = e[8];
    s.analogOutputMode = e[9];
    s.cpsGain = e[10];
    s.responseTime = e[11];
    return s;
}

void ProbeModel::addProtocolViolation(std::string what) {
    protocolViolations_.push_back({std::move(what)});
}

ProbeState ProbeModel::state() const {
    return {flash_, bootFlag(), mode_, onBus_, bricked(), writeViolations_, protocolViolations_};
}

Reply ProbeModel::violation(std::string what) {
    addProtocolViolation(std::move(what));
    return std::nullopt;
}

std::string ProbeModel::text(std::uint32_t address, std::size_t max) const {
    std::string s;
    for (std::size_t i = 0; i < max && flash_[address + i] != 0; ++i) {
        s.push_back(static_cast<char>(flash_[address + i]));
    }
    return s;
}

Reply ProbeModel::handle(std::span<const std::uint8_t> request, std::chrono::microseconds now) {
    if (!onBus_) {
        return std::nullopt;
    }
    if (request.empty()) {
        return violation("empty request");
    }
    return mode_ == Mode::Application ? application(request, now) : bootloader(request, now);
}

Reply ProbeModel::application(std::span<const std::uint8_t> r, std::chrono::microseconds now) {
    const std::uint8_t cmd = r[0];
    auto expect = [&](std::size_t n) { return r.size() == n; };
    auto bad = [&]() {
        return violation("application: malformed request " + hex(cmd) + " of " +
                         std::to_string(r.size()) + " bytes");
    };
    auto byteReply = [&](std::uint8_t v) { return Reply{std::vector<std::uint8_t>{cmd, v}}; };
    switch (cmd) {
        case 0x40:
            return expect(1) ? identify() : bad();
        case 0xE0: {
            if (!expect(1)) {
                return bad();
            }
            std::vector<std::uint8_t> out{0xE0};
            out.insert(out.end(), flash_.begin() + kIdentitySerial,
                       flash_.begin() + kIdentitySerial + 8);
            out.push_back(0);
            return out;
        }
        case 0xE1:
            return expect(2) ? deviceInfo(r[1]) : bad();
        case 0x51: {
            if (!expect(2) || r[1] > 3) {
                return bad();
            }
            const std::uint16_t regs[] = {settings_.hv, settings_.gain, settings_.lld,
                                          settings_.uld};
            const std::uint16_t v = regs[r[1]];
            return std::vector<std::uint8_t>{0x51, r[1], static_cast<std::uint8_t>(v & 0xFF),
                                             static_cast<std::uint8_t>(v >> 8)};
        }
        case 0x52: {
            if (!expect(4) || r[1] > 3) {
                return bad();
            }
            std::uint16_t* regs[] = {&settings_.hv, &settings_.gain, &settings_.lld,
                                     &settings_.uld};
            *regs[r[1]] = static_cast<std::uint16_t>(r[2] | r[3] << 8);
            return std::nullopt;
        }
        case 0x53: {
            if (!expect(1)) {
                return bad();
            }
            std::uint8_t* e = eeprom_.data() + kSettingsAddress;
            auto put16 = [&](int i, std::uint16_t v) {
                e[i] = static_cast<std::uint8_t>(v & 0xFF);
                e[i + 1] = static_cast<std::uint8_t>(v >> 8);
            };
            put16(0, settings_.hv);
            put16(2, settings_.gain);
            put16(4, settings_.lld);
            put16(6, settings_.uld);
            e[8] = settings_.integralMode;
            e[9] = settings_.analogOutputMode;
            e[10] = settings_.cpsGain;
            e[11] = settings_.responseTime;
            eeprom_[kSettingsMarkerAddress] = kSettingsMarker;
            return std::nullopt;
        }
        case 0x54:
            return expect(1) ? byteReply(settings_.integralMode) : bad();
        case 0x57:
            return expect(1) ? byteReply(settings_.analogOutputMode) : bad();
        case 0x59:
            return expect(1) ? byteReply(settings_.cpsGain) : bad();
        case 0x5B:
            return expect(1) ? byteReply(settings_.responseTime) : bad();
        case 0x55:
        case 0x58:
        case 0x5A:
        case 0x5C: {
            if (!expect(2)) {
                return bad();
            }
            std::uint8_t* reg = cmd == 0x55   ? &settings_.integralMode
                                : cmd == 0x58 ? &settings_.analogOutputMode
                                : cmd == 0x5A ? &settings_.cpsGain
                                              : &settings_.responseTime;
            *reg = r[1];
            return std::nullopt;
        }
        case 0x56:
            if (!expect(1)) {
                return bad();
            }
            return std::vector<std::uint8_t>{0x56, static_cast<std::uint8_t>(countRate_ & 0xFF),
                                             static_cast<std::uint8_t>(countRate_ >> 8),
                                             static_cast<std::uint8_t>(countFlag_ ? 1 : 0)};
        case 0x05:
            return writeEeprom(r);
        case 0xFF:
            if (!expect(1)) {
                return bad();
            }
            restart(now);
            return std::nullopt;
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x07:
            return violation("application: bootloader command " + hex(cmd));
        default:
            return violation("application: unknown command " + hex(cmd));
    }
}

Reply ProbeModel::bootloader(std::span<const std::uint8_t> r, std::chrono::microseconds now) {
    switch (r[0]) {
        case 0x01:
            return readFlash(r);
        case 0x02:
            return writeRow(r);
        case 0x03:
            return eraseBlock(r);
        case 0x07:
            return writeConfig(r);
        case 0x05:
            return writeEeprom(r);
        case 0xFF:
            if (r.size() != 1) {
                return violation("bootloader: malformed reset request");
            }
            restart(now);
            return std::nullopt;
        case 0x40:
        case 0xE0:
        case 0xE1:
            // The bootloader does not identify itself. A host that opened a probe without
            // knowing its mode asks it this way (the updater reads the serial number of a
            // probe it found in its bootloader): no reply, and no fault of the host's.
            return std::nullopt;
        default:
            return violation("bootloader: unknown command " + hex(r[0]));
    }
}

Reply ProbeModel::writeEeprom(std::span<const std::uint8_t> r) {
    if (r.size() != 6 || r[1] != 1 || r[3] != 0 || r[4] != 0) {
        return violation("malformed EEPROM write");
    }
    eeprom_[r[2]] = r[5];
    return std::vector<std::uint8_t>{unexamined_.bootFlagAck};
}

Reply ProbeModel::readFlash(std::span<const std::uint8_t> r) {
    if (r.size() != 5 || r[1] > kMaxReadFlash) {
        return violation("bootloader: malformed flash read");
    }
    const std::uint32_t a = address24(r);
    const std::uint32_t n = r[1];
    std::vector<std::uint8_t> out(unexamined_.readFlashHeader.begin(),
                                  unexamined_.readFlashHeader.end());
    if (a + n <= kFlashSize) {
        out.insert(out.end(), flash_.begin() + a, flash_.begin() + a + n);
    } else if (a >= kConfigBase && a + n <= kConfigBase + kConfigSize) {
        out.insert(out.end(), config_.begin() + (a - kConfigBase),
                   config_.begin() + (a - kConfigBase + n));
    } else {
        return violation("bootloader: flash read outside memory at " + hex(a));
    }
    return out;
}

Reply ProbeModel::writeRow(std::span<const std::uint8_t> r) {
    if (r.size() != 5 + kRowSize || r[1] != kRowSize) {
        return violation("bootloader: malformed row write");
    }
    const std::uint32_t a = address24(r);
    if (a % kRowSize != 0 || a + kRowSize > kFlashSize) {
        return violation("bootloader: row write at bad address " + hex(a));
    }
    for (std::uint32_t i = 0; i < kRowSize; ++i) {
        const std::uint8_t old = flash_[a + i];
        const std::uint8_t nu = r[5 + i];
        if (a < kBootloaderEnd) {
            writeViolations_.push_back({a + i, old, nu});
            continue;
        }
        if (nu != 0xFF && (nu & ~old) != 0) {
            writeViolations_.push_back({a + i, old, nu});
        }
        flash_[a + i] = old & nu;
    }
    return std::vector<std::uint8_t>{unexamined_.writeAck};
}

Reply ProbeModel::eraseBlock(std::span<const std::uint8_t> r) {
    if (r.size() != 5 || r[1] != 1) {
        return violation("bootloader: malformed erase");
    }
    const std::uint32_t a = address24(r);
    if (a >= kFlashSize) {
        return violation("bootloader: erase outside flash at " + hex(a));
    }
    const std::uint32_t block = a & ~(kEraseBlock - 1);
    if (block != a) {
        addProtocolViolation("bootloader: erase at " + hex(a) + ", not a multiple of 64");
    }
    if (block < kBootloaderEnd) {
        writeViolations_.push_back({block, flash_[block], 0xFF});
    } else {
        std::fill(flash_.begin() + block, flash_.begin() + block + kEraseBlock, 0xFF);
    }
    return std::vector<std::uint8_t>{unexamined_.eraseAck};
}

Reply ProbeModel::writeConfig(std::span<const std::uint8_t> r) {
    if (r.size() != 6 || r[1] != 1) {
        return violation("bootloader: malformed configuration write");
    }
    const std::uint32_t a = address24(r);
    if (a < kConfigBase || a >= kConfigBase + kConfigSize) {
        return violation("bootloader: configuration write outside 0x300000-0x30000F at " + hex(a));
    }
    config_[a - kConfigBase] = r[5];
    return std::vector<std::uint8_t>{unexamined_.configAck};
}

Reply ProbeModel::identify() const {
    std::vector<std::uint8_t> out{0x40};
    if (unexamined_.identify) {
        out.insert(out.end(), unexamined_.identify->begin(), unexamined_.identify->end());
        out.insert(out.end(), flash_.begin() + kIdentityProduct,
                   flash_.begin() + kIdentityProduct + 16);
        return out;
    }
    const std::string v = text(kIdentityVersion, 16);
    std::size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        unsigned n = 0;
        while (pos < v.size() && v[pos] >= '0' && v[pos] <= '9') {
            n = std::min(255u, n * 10 + static_cast<unsigned>(v[pos] - '0'));
            ++pos;
        }
        out.push_back(static_cast<std::uint8_t>(n));
        if (pos < v.size()) {
            ++pos;  // the separator
        }
    }
    out.push_back(0);
    out.insert(out.end(), flash_.begin() + kIdentityProduct,
               flash_.begin() + kIdentityProduct + 16);
    return out;
}

Reply ProbeModel::deviceInfo(std::uint8_t selector) const {
    std::string t;
    switch (selector) {
        case 0:
            t = text(kIdentityProduct, 16);
            break;
        case 1:
            t = text(kIdentitySignature, 16);
            break;
        case 2:
            t = text(kIdentitySerial, 8);
            break;
        case 3:
            t = text(kIdentityVersion, 16);
            break;
        case 4:
            t = text(kIdentityDate, 8);
            break;
        default:
            break;
    }
    std::vector<std::uint8_t> out(2 + kInfoText, 0);
    out[0] = 0xE1;
    out[1] = selector;
    std::copy_n(t.begin(), std::min(t.size(), kInfoText), out.begin() + 2);
    return out;
}

}  // namespace klovsim::model
