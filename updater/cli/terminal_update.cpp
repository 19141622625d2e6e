#include "terminal_update.h"

#include <algorithm>
#include <istream>
#include <ostream>

#include "bus_directory.h"
#include "exit_codes.h"
#include "proven_link.h"
#include "selection.h"
#include "text.h"
#include "update_all.h"
#include "update_sequence.h"

namespace klov {

namespace {

class TerminalEvents final : public mirovane::UpdateEvents {
  public:
    TerminalEvents(const UpdateOptions& options, UpdateStreams io, const UpdateTarget& target,
                   mirovane::ProbeLink& link, mirovane::ArdellixApi& lib)
        : options_(options), io_(io), target_(target), link_(link), lib_(lib) {}

    // A message of the command line itself, after whatever the run still had to say.
    std::ostream& Say() {
        EndBar();
        return io_.err << "klov: ";
    }

    void ErrorBox(const std::string& message) override {
        EndBar();
        io_.err << AsLines(message, "klov: ") << std::flush;
    }

    void Phase(mirovane::UpdatePhase) override {
        EndBar();
        lastShown_ = -1;
    }

    void Progress(mirovane::UpdatePhase phase, std::int32_t, double value) override {
        const int percent = PercentOf(value);
        const char* name = mirovane::PhaseName(phase);
        if (io_.outIsTerminal) {
            if (percent != lastShown_) {
                lastShown_ = percent;
                io_.out << '\r' << ProgressBar(name, percent) << std::flush;
                barOpen_ = true;
            }
            return;
        }
        // Plain lines, one per tenth of the phase.
        const int step = percent / 10 * 10;
        if (step > lastShown_) {
            lastShown_ = step;
            io_.out << name << ' ' << step << '%' << std::endl;
        }
    }

    void Status(const std::string& text) override {
        if (text != status_) {
            status_ = text;
            Say() << Printable(text) << std::endl;
        }
    }

    std::optional<std::string> AskSerialNumber() override {
        EndBar();
        if (target_.serial) {
            // Offered once; a second question means it was turned down, and answering the
            // same again could never end.
            if (offered_) {
                return std::nullopt;
            }
            offered_ = true;
            if (target_.named) {
                Say() << "the probe cannot report its serial number; using "
                      << Printable(*target_.serial) << std::endl;
            } else {
                Say() << "the probe in bootloader mode carries the identity of S/N "
                      << Printable(*target_.serial) << " in its flash" << std::endl;
            }
            return target_.serial;
        }
        io_.err << "klov: the probe cannot report its serial number.\n"
                << "Serial number (8 characters, as on the probe's label; empty line or end "
                   "of input to cancel): "
                << std::flush;
        std::string line;
        if (!std::getline(io_.in, line) || Trim(line).empty()) {
            if (io_.inIsTerminal) {
                io_.err << '\n';
            }
            return std::nullopt;
        }
        const std::string typed = Trim(line);
        const std::vector<std::string>& others = target_.othersCarry;
        if (std::find(others.begin(), others.end(), typed) != others.end()) {
            io_.err << "klov: S/N " << Printable(typed)
                    << " is carried by another attached probe; nothing was written.\n";
            return std::nullopt;
        }
        return typed;
    }

    void Wait(int milliseconds) override { WaitMs(options_, milliseconds); }

    bool Proceed(const mirovane::UpdatePlan& plan) override {
        if (options_.yes) {
            return true;
        }
        Say() << "about to rewrite the firmware of the probe at device index "
              << target_.device.index << " (S/N " << Printable(plan.serial) << ", production date "
              << Printable(plan.productionDate) << ", now in "
              << (plan.startedInBootloader ? "bootloader mode" : "its application") << ").\n"
              << "klov: do not unplug it until klov has finished.\n";
        return ReadYes(io_.in, io_.err);
    }

    void Restarting(bool intoBootloader) override {
        Say() << (intoBootloader ? "restarting the probe in bootloader mode"
                                 : "restarting the probe in its application")
              << std::endl;
    }

    void ShowIdentity() override { identity_ = ReadIdentity(lib_, link_.Handle()).summary; }

    void Finish() { EndBar(); }
    const std::string& Identity() const { return identity_; }

  private:
    void EndBar() {
        if (barOpen_) {
            io_.out << std::endl;
            barOpen_ = false;
        }
    }

    const UpdateOptions& options_;
    UpdateStreams io_;
    const UpdateTarget& target_;
    mirovane::ProbeLink& link_;
    mirovane::ArdellixApi& lib_;
    int lastShown_ = -1;
    bool barOpen_ = false;
    bool offered_ = false;
    std::string status_;
    std::string identity_;
};

int RunOne(mirovane::ArdellixApi& lib, const UpdateOptions& options, UpdateStreams io) {
    mirovane::FirmwareImage decoded;
    if (!DecodeFirmware(decoded, io.err)) {
        return kExitInternal;
    }
    mirovane::BusDirectory bus(lib);
    std::vector<mirovane::DeviceFacts> scan = bus.Scan(mirovane::UpdatableProbes(), false);
    UpdateTarget target;
    const int chosen = SelectForUpdate(scan, {options.device, options.serial}, io.err, target);
    bus.Release(scan);
    if (chosen != kExitOk) {
        return chosen;
    }

    mirovane::ProvenLink link(bus, target.device);
    TerminalEvents events(options, io, target, link, bus.Owned());
    events.Status(link.Status().Text());
    mirovane::FirmwareImage image;
    mirovane::UpdateSequence seq(mirovane::UpdateSetup{
        bus.Owned(), link, image, CopyOf(decoded), mirovane::UpdatableProbes(), target.device.index,
        events, mirovane::WaitPolicy::Polling(), true});
    const mirovane::UpdateResult result = seq.Run();
    events.Finish();

    const int code = ExitCodeOf(result, link.Handle() != 0);
    if (result.completed) {
        events.Say() << "update finished: " << events.Identity() << std::endl;
    } else if (result.declined) {
        events.Say() << "not confirmed; the probe was not changed.\n";
    } else if (result.failedIn == mirovane::UpdatePhase::Connection) {
        events.Say() << "is the probe plugged in, and may your user open it? See the udev rule "
                        "in the README.\n";
    } else if (result.touched) {
        events.Say() << "the update did not finish; the probe may be left in bootloader mode. "
                        "Bring it back with:\n"
                     << "klov:   klov update --serial " << Printable(seq.PatchedSerial())
                     << " --yes\n";
    }
    return code;
}

}  // namespace

int RunUpdate(mirovane::ArdellixApi& lib, const UpdateOptions& options, UpdateStreams io) {
    if (!options.yes && !io.inIsTerminal) {
        io.err << "klov: an update needs a confirmation and standard input is not a terminal;\n"
                  "klov: pass --yes to update without asking.\n";
        return kExitUsage;
    }
    if (options.serial && !mirovane::FindSerial(mirovane::UpdatableProbes(), *options.serial)) {
        io.err << "klov: serial number \"" << Printable(*options.serial)
               << "\" is not one this firmware may be installed on; nothing was done.\n";
        return kExitRefused;
    }
    return options.all ? RunUpdateAll(lib, options, io) : RunOne(lib, options, io);
}

}  // namespace klov
