#include "sweep_world.h"

#include <cstdio>
#include <cstdlib>

#include "firmware_module.h"
#include "hex_reader.h"
#include "identity_patch.h"

namespace sweep {

namespace {

klovsim::UnexaminedBytes Bytes(std::array<std::uint8_t, 4> identify,
                               std::array<std::uint8_t, 4> acks,
                               std::array<std::uint8_t, 5> header) {
    klovsim::UnexaminedBytes b;
    b.identify = identify;
    b.bootFlagAck = acks[0];
    b.eraseAck = acks[1];
    b.writeAck = acks[2];
    b.configAck = acks[3];
    b.readFlashHeader = header;
    return b;
}

struct NoBoxes : MessageBoxes {
    void ErrorBox(const std::string& message) override {
        std::fprintf(stderr, "fault_sweep: firmware: %s\n", message.c_str());
    }
};

}  // namespace

// The probe's defaults, then the command bytes themselves, then all 0xFF, then all 0.
const std::array<klovsim::UnexaminedBytes, 4> kReplyBytes = {
    klovsim::UnexaminedBytes{},
    Bytes({0x40, 0x40, 0x40, 0x40}, {0x05, 0x03, 0x02, 0x07}, {0x01, 0x10, 0x00, 0x08, 0x00}),
    Bytes({0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
    Bytes({0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0, 0}),
};

World::World(ArdellixApi& library, const Setting& setting) : api(library), host(api), top(host) {
    klovsim::Bus& bus = klovsim::Bus::instance();
    bus.reset();
    bus.setDirectoryOrder(setting.order);
    klovsim::Clock::setVirtual(true);
    klovsim::ProbeConfig config;
    config.serial = kSerial;
    config.productionDate = kDate;
    config.unexamined = kReplyBytes[setting.replyBytes % kReplyBytes.size()];
    // Devices before and after the probe, so that the two orders list the bus differently:
    // foreign ones, or a second probe. The window opens device index 0, so the probe to
    // update is the one a first listing shows first among the probes: the newest under a
    // newest-first directory, else the oldest.
    klovsim::ProbeConfig otherConfig;
    otherConfig.serial = kOtherSerial;
    const bool newestFirst = setting.order == klovsim::DirectoryOrder::NewestFirst;
    bus.addForeignDevice(0x1D6B, 0x0002);
    if (setting.otherProbe && newestFirst) {
        other = std::make_unique<klovsim::Probe>(bus.addProbe(otherConfig));
    }
    probe = std::make_unique<klovsim::Probe>(bus.addProbe(config));
    if (setting.otherProbe && !newestFirst) {
        other = std::make_unique<klovsim::Probe>(bus.addProbe(otherConfig));
    }
    bus.addForeignDevice(0x04D8, 0x000A);  // the probe's vendor, another product
    initialFlash = probe->flash();
    if (other) {
        otherFlash = other->flash();
        otherEeprom = other->eeprom();
    }
    bus.setLogging(false);
    host.top = &top;
    top.Form_Load();
}

World::~World() {
    // The window never closes its connection; do it so no handle outlives this bus.
    if (top.DeviceHandle != 0) {
        api.CloseSCA(top.DeviceHandle);
    }
}

std::vector<std::string> World::Press() {
    host.messages.clear();
    host.dialogs = 0;
    top.cmdUpload_Click();
    return host.messages;
}

std::string World::Check(const FirmwareImage& expected) const {
    const klovsim::Probe& p = *probe;
    if (p.bricked()) {
        return "bricked";
    }
    if (!p.onBus() || p.mode() != klovsim::Mode::Application) {
        return "not running its application";
    }
    if (p.bootFlag() != klovsim::kBootFlagApplication) {
        return "boot flag not set to the application";
    }
    const auto flash = p.flash();
    for (std::uint32_t a = 0; a < klovsim::kFlashSize; ++a) {
        const std::uint8_t want =
            a < klovsim::kBootloaderEnd ? initialFlash[a] : expected.FWImage[a];
        if (flash[a] != want) {
            char text[64];
            std::snprintf(text, sizeof text, "flash differs at 0x%04X", a);
            return text;
        }
    }
    auto field = [&](std::uint32_t at) {
        return std::string(reinterpret_cast<const char*>(flash.data() + at), 8);
    };
    if (field(klovsim::kIdentitySerial) != kSerial || field(klovsim::kIdentityDate) != kDate) {
        return "identity block holds another serial number or date";
    }
    if (!p.writeViolations().empty()) {
        return "write violation";
    }
    return {};
}

std::string World::CheckWithWindow(const FirmwareImage& expected) const {
    if (std::string probeState = Check(expected); !probeState.empty()) {
        return probeState;
    }
    if (top.DeviceHandle == 0 ||
        top.StatusText != std::string("Connected to kLOV with S/N ") + kSerial) {
        return "window not connected to the updated probe";
    }
    return {};
}

std::string World::CheckOther() const {
    if (!other) {
        return {};
    }
    const klovsim::Probe& p = *other;
    if (!p.onBus() || p.mode() != klovsim::Mode::Application) {
        return "the other probe does not run its application";
    }
    if (p.flash() != otherFlash || p.eeprom() != otherEeprom) {
        return "the other probe was changed";
    }
    if (!p.writeViolations().empty() || !p.protocolViolations().empty()) {
        return "the other probe recorded a violation";
    }
    return {};
}

FirmwareImage ExpectedImage() {
    FirmwareImage image;
    NoBoxes boxes;
    FWFileInit();
    if (!ReadFWFile(image, FWFile, boxes) || !PatchInfo(image, 4124008, kDate, boxes)) {
        std::exit(1);
    }
    return image;
}

}  // namespace sweep
