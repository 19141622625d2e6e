#include "selection.h"

#include <algorithm>
#include <ostream>

#include "exit_codes.h"
#include "probe.h"
#include "text.h"

namespace klov {

namespace {

using mirovane::DeviceFacts;
using mirovane::FlashIdentity;

std::string At(const DeviceFacts& d) {
    return "the probe at device index " + std::to_string(d.index);
}

std::string BringBack(const std::optional<std::string>& serial) {
    return "klov: bring it back with: klov update --serial " +
           (serial ? Printable(*serial) : std::string("<serial number on its label>")) + "\n";
}

int BootloaderOnly(std::ostream& err, const DeviceFacts& d) {
    err << "klov: " << At(d) << " answers only in bootloader mode (an interrupted update?).\n"
        << BringBack(KnownSerial(d));
    return kExitNoProbe;
}

void ListFound(std::ostream& err, const std::vector<DeviceFacts>& scan) {
    for (const DeviceFacts& d : scan) {
        err << "klov:   " << Describe(d) << '\n';
    }
}

int CountBootloader(const std::vector<DeviceFacts>& scan) {
    return static_cast<int>(
        std::count_if(scan.begin(), scan.end(), [](const DeviceFacts& d) { return d.bootloader; }));
}

std::vector<std::size_t> Carrying(const std::vector<DeviceFacts>& scan, const std::string& serial) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < scan.size(); ++i) {
        if (KnownSerial(scan[i]) == serial) {
            out.push_back(i);
        }
    }
    return out;
}

// A probe that cannot say who it is. Its serial number may come from the user; in bootloader
// mode only while no other probe is in bootloader mode: with two of them, the one left without
// an identity could be either label (an earlier updater may have written one probe's identity
// into the other), and nothing on the bus tells which.
bool Unknown(const DeviceFacts& d) {
    return !KnownSerial(d) && !(d.bootloader && d.flash == FlashIdentity::Unlisted);
}

bool MayBeNamed(const std::vector<DeviceFacts>& scan, const DeviceFacts& d) {
    return Unknown(d) && (!d.bootloader || CountBootloader(scan) == 1);
}

int Duplicates(std::ostream& err, const std::vector<DeviceFacts>& scan, const std::string& serial) {
    err << "klov: S/N " << Printable(serial)
        << " is carried by more than one probe; after a restart they could not be told apart, "
           "so nothing was done. Disconnect all but the one to update:\n";
    ListFound(err, scan);
    return kExitRefused;
}

}  // namespace

std::optional<std::string> KnownSerial(const DeviceFacts& d) {
    if (d.bootloader && d.flash != FlashIdentity::Listed) {
        return std::nullopt;
    }
    return d.serial;
}

std::string Describe(const DeviceFacts& d) {
    if (!d.bootloader) {
        return d.serial ? At(d) + " reports S/N " + Printable(*d.serial)
                        : At(d) + " does not report its serial number";
    }
    switch (d.flash) {
        case FlashIdentity::Listed:
            return At(d) + " is in bootloader mode, its flash carrying the identity of S/N " +
                   *d.serial;
        case FlashIdentity::Unlisted:
            return At(d) +
                   " is in bootloader mode, its flash carrying a serial number that is "
                   "not listed";
        case FlashIdentity::Missing:
            break;
    }
    return At(d) + " is in bootloader mode with no identity in its flash";
}

int SelectApplication(mirovane::ArdellixApi& lib, const ProbeChoice& choice, std::ostream& err,
                      ScaHandle& handle, int& index) {
    handle = 0;
    index = choice.device.value_or(0);
    const mirovane::SerialList named =
        choice.serial ? mirovane::SerialList{{*choice.serial, ""}} : mirovane::SerialList{};
    if (!choice.serial) {
        handle = lib.OpenSCA(index);
        if (handle != 0) {
            return kExitOk;
        }
        DeviceFacts d;
        d.index = index;
        d.handle = lib.OpenSCABootloader(index);
        if (d.handle == 0) {
            ReportNoProbe(err, index);
            return kExitNoProbe;
        }
        d.bootloader = true;
        // Named in the advice when its flash proves one of the serial numbers klov updates.
        d.flash = mirovane::ReadFlashIdentity(lib, d.handle, mirovane::UpdatableProbes(), d.serial);
        lib.CloseSCA(d.handle);
        return BootloaderOnly(err, d);
    }

    mirovane::BusDirectory bus(lib);
    std::vector<DeviceFacts> scan = bus.Scan(named, false);
    std::vector<std::size_t> matches = Carrying(scan, *choice.serial);
    if (choice.device) {
        std::erase_if(matches, [&](std::size_t i) { return scan[i].index != *choice.device; });
    }
    int code = kExitOk;
    if (matches.size() == 1 && !scan[matches[0]].bootloader) {
        index = scan[matches[0]].index;
        handle = scan[matches[0]].handle;
        scan[matches[0]].handle = 0;
    } else if (matches.size() > 1) {
        err << "klov: " << matches.size() << " probes carry S/N " << Printable(*choice.serial)
            << "; choose one with -d:\n";
        ListFound(err, scan);
        code = kExitRefused;
    } else if (matches.size() == 1) {
        code = BootloaderOnly(err, scan[matches[0]]);
    } else if (choice.device && static_cast<std::size_t>(*choice.device) < scan.size()) {
        err << "klov: " << Describe(scan[static_cast<std::size_t>(*choice.device)]) << ", not S/N "
            << Printable(*choice.serial) << ".\n";
        code = kExitRefused;
    } else {
        err << "klov: no kLOV probe with S/N " << Printable(*choice.serial) << " answers"
            << (scan.empty() ? "." : "; found:") << '\n';
        ListFound(err, scan);
        if (scan.empty()) {
            ReportNoProbe(err, 0);
        }
        code = kExitNoProbe;
    }
    bus.Release(scan);
    return code;
}

int SelectForUpdate(std::vector<DeviceFacts>& scan, const ProbeChoice& choice, std::ostream& err,
                    UpdateTarget& target) {
    if (scan.empty()) {
        err << "klov: Failed to connect to kLOV\n";
        ReportNoProbe(err, choice.device.value_or(0));
        return kExitNoProbe;
    }
    DeviceFacts* chosen = nullptr;
    bool named = false;
    if (choice.device) {
        const auto it = std::find_if(scan.begin(), scan.end(), [&](const DeviceFacts& d) {
            return d.index == *choice.device;
        });
        if (it == scan.end()) {
            err << "klov: Failed to connect to kLOV\n";
            ReportNoProbe(err, *choice.device);
            return kExitNoProbe;
        }
        chosen = &*it;
        if (choice.serial && KnownSerial(*chosen) != *choice.serial) {
            if (!Unknown(*chosen)) {
                err << "klov: " << Describe(*chosen) << ", not S/N " << Printable(*choice.serial)
                    << "; nothing was done.\n";
                return kExitRefused;
            }
            named = true;
        }
    } else if (choice.serial) {
        const std::vector<std::size_t> matches = Carrying(scan, *choice.serial);
        std::vector<DeviceFacts*> unknown;
        for (DeviceFacts& d : scan) {
            if (Unknown(d)) {
                unknown.push_back(&d);
            }
        }
        if (matches.size() > 1) {
            return Duplicates(err, scan, *choice.serial);
        }
        if (matches.size() == 1) {
            chosen = &scan[matches[0]];
        } else if (unknown.size() == 1 && MayBeNamed(scan, *unknown[0])) {
            chosen = unknown[0];
            named = true;
        } else {
            err << "klov: no kLOV probe carries S/N " << Printable(*choice.serial)
                << "; nothing was done. Found:\n";
            ListFound(err, scan);
            if (!unknown.empty()) {
                err << "klov: a probe that cannot prove its serial number takes it from --serial "
                       "only when it is the only such probe, and in bootloader mode only when no "
                       "other probe is in bootloader mode.\n";
            }
            return kExitRefused;
        }
    } else if (scan.size() > 1) {
        err << "klov: " << scan.size()
            << " probes are attached; choose one with --serial S (or -d N), or update them all "
               "with --all:\n";
        ListFound(err, scan);
        return kExitUsage;
    } else {
        chosen = &scan.front();
    }

    if (chosen->bootloader && chosen->flash == FlashIdentity::Unlisted) {
        err << "klov: " << Describe(*chosen) << "; nothing was done.\n";
        return kExitRefused;
    }
    if (chosen->bootloader && !KnownSerial(*chosen) && !MayBeNamed(scan, *chosen)) {
        err << "klov: " << Describe(*chosen) << ", and " << CountBootloader(scan) - 1
            << " other probe(s) are in bootloader mode too: after its first restart it could "
               "not be told from them. Disconnect the others and run the update again; nothing "
               "was done.\n";
        return kExitRefused;
    }
    const std::optional<std::string> serial = named ? choice.serial : KnownSerial(*chosen);
    target.othersCarry.clear();
    for (const DeviceFacts& d : scan) {
        if (&d == chosen) {
            continue;
        }
        if (const std::optional<std::string> other = KnownSerial(d)) {
            if (other == serial) {
                return Duplicates(err, scan, *serial);
            }
            target.othersCarry.push_back(*other);
        }
    }
    target.device = *chosen;
    target.serial = serial;
    target.named = named;
    chosen->handle = 0;
    return kExitOk;
}

}  // namespace klov
