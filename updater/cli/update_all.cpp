#include "update_all.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <thread>

#include "bus_directory.h"
#include "exit_codes.h"
#include "probe.h"
#include "progress_board.h"
#include "proven_link.h"
#include "selection.h"
#include "text.h"
#include "update_sequence.h"

namespace klov {

namespace {

using mirovane::DeviceFacts;
using mirovane::FlashIdentity;

// One line of the final table.
struct Row {
    DeviceFacts device;
    std::string serial;    // as shown
    std::string firmware;  // before -> after
    std::string result;    // updated, failed: ..., not updated: ...
    int code = kExitOk;
    bool target = false;
    double seconds = -1;
};

// The events of one probe's update, shown on its line of the board.
class ProbeEvents final : public mirovane::UpdateEvents {
  public:
    ProbeEvents(ProgressBoard& board, std::size_t slot, const UpdateOptions& options,
                const std::string& serial, mirovane::ProbeLink& link, mirovane::ArdellixApi& lib)
        : board_(board), slot_(slot), options_(options), serial_(serial), link_(link), lib_(lib) {}

    void ErrorBox(const std::string& message) override {
        if (firstError_.empty()) {
            firstError_ = message.substr(0, message.find('\r'));
        }
        board_.Message(slot_, message);
    }
    void Phase(mirovane::UpdatePhase phase) override {
        if (phase == mirovane::UpdatePhase::SwitchToBootloader) {
            board_.State(slot_, "switching to bootloader mode");
        }
    }
    void Progress(mirovane::UpdatePhase phase, std::int32_t, double value) override {
        board_.Progress(slot_, mirovane::PhaseName(phase), PercentOf(value));
    }
    void Status(const std::string& text) override { board_.State(slot_, text); }
    std::optional<std::string> AskSerialNumber() override {
        // Only a probe in bootloader mode whose flash proved its serial number is updated here.
        if (asked_) {
            return std::nullopt;
        }
        asked_ = true;
        return serial_;
    }
    void Wait(int milliseconds) override { WaitMs(options_, milliseconds); }
    void Restarting(bool intoBootloader) override {
        board_.State(slot_, intoBootloader ? "restarting in bootloader mode"
                                           : "restarting in its application");
    }
    void ShowIdentity() override {
        const IdentityRead read = ReadIdentity(lib_, link_.Handle());
        version_ = read.version;
        board_.State(slot_, "updated: " + read.summary);
    }

    const std::string& FirstError() const { return firstError_; }
    const std::optional<std::string>& Version() const { return version_; }

  private:
    ProgressBoard& board_;
    std::size_t slot_;
    const UpdateOptions& options_;
    std::string serial_;
    mirovane::ProbeLink& link_;
    mirovane::ArdellixApi& lib_;
    bool asked_ = false;
    std::string firstError_;
    std::optional<std::string> version_;
};

// Which devices of the scan are updated, and why the others are not.
std::vector<Row> Plan(std::vector<DeviceFacts>& scan) {
    std::vector<Row> rows;
    for (DeviceFacts& d : scan) {
        Row row;
        const std::optional<std::string> serial = KnownSerial(d);
        row.serial = serial ? Printable(*serial) : "?";
        row.firmware = d.bootloader ? "(bootloader)" : Printable(d.version.value_or("?"));
        const auto carriers = std::count_if(scan.begin(), scan.end(), [&](const DeviceFacts& o) {
            return serial && KnownSerial(o) == serial;
        });
        if (!serial) {
            if (d.bootloader && d.flash == FlashIdentity::Unlisted) {
                row.result = "skipped: its flash carries a serial number that is not listed";
            } else {
                row.result = d.bootloader
                                 ? "not updated: no identity in its flash; update it alone "
                                   "with klov update --serial <serial on its label>"
                                 : "not updated: it does not report its serial number";
                row.code = d.bootloader ? kExitNoProbe : kExitRefused;
            }
        } else if (!mirovane::FindSerial(mirovane::UpdatableProbes(), *serial)) {
            row.result = "skipped: serial number not listed";
        } else if (carriers > 1) {
            row.result =
                "not updated: " + std::to_string(carriers) + " probes carry this serial number";
            row.code = kExitRefused;
        } else {
            row.target = true;
            row.result = "not started";
        }
        row.device = d;
        if (row.target) {
            d.handle = 0;  // the row's connection now
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

bool ConfirmAll(const std::vector<Row>& rows, UpdateStreams io) {
    io.err << "klov: about to rewrite the firmware of these probes:\n";
    for (const Row& r : rows) {
        if (r.target) {
            io.err << "klov:   S/N " << r.serial << " (device index " << r.device.index << ", "
                   << (r.device.bootloader ? "bootloader mode" : "application") << ")\n";
        }
    }
    io.err << "klov: do not unplug any of them until klov has finished.\n";
    return ReadYes(io.in, io.err);
}

void PrintTable(std::ostream& out, const std::vector<Row>& rows) {
    std::size_t firmwareWidth = 8;
    for (const Row& r : rows) {
        firmwareWidth = std::max(firmwareWidth, r.firmware.size());
    }
    char line[512];
    std::snprintf(line, sizeof line, "%-10s %-*s %6s  %s\n", "SERIAL",
                  static_cast<int>(firmwareWidth), "FIRMWARE", "TIME", "RESULT");
    out << line;
    for (const Row& r : rows) {
        char time[16] = "-";
        if (r.seconds >= 0) {
            std::snprintf(time, sizeof time, "%.1f s", r.seconds);
        }
        std::snprintf(line, sizeof line, "%-10s %-*s %6s  %s\n", r.serial.c_str(),
                      static_cast<int>(firmwareWidth), r.firmware.c_str(), time, r.result.c_str());
        out << line;
    }
    out.flush();
}

}  // namespace

int RunUpdateAll(mirovane::ArdellixApi& lib, const UpdateOptions& options, UpdateStreams io) {
    mirovane::FirmwareImage decoded;
    if (!DecodeFirmware(decoded, io.err)) {
        return kExitInternal;
    }
    mirovane::BusDirectory bus(lib);
    std::vector<DeviceFacts> scan = bus.Scan(mirovane::UpdatableProbes(), true);
    std::vector<Row> rows = Plan(scan);
    bus.Release(scan);
    const auto targets =
        std::count_if(rows.begin(), rows.end(), [](const Row& r) { return r.target; });
    const auto releaseTargets = [&] {
        for (Row& r : rows) {
            if (r.target && r.device.handle != 0) {
                bus.Owned().CloseSCA(r.device.handle);
                r.device.handle = 0;
            }
        }
    };
    if (rows.empty()) {
        io.err << "klov: Failed to connect to kLOV\n";
        ReportNoProbe(io.err, 0);
        return kExitNoProbe;
    }
    if (targets > 0 && !options.yes && !ConfirmAll(rows, io)) {
        releaseTargets();
        io.err << "klov: not confirmed; no probe was changed.\n";
        return kExitRefused;
    }

    std::vector<std::string> names;
    std::vector<std::size_t> slotOf(rows.size(), 0);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].target) {
            slotOf[i] = names.size();
            names.push_back(rows[i].serial);
        }
    }
    ProgressBoard board(io.out, io.err, io.outIsTerminal, io.errIsTerminal, names);
    board.Start();
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i].target) {
            continue;
        }
        threads.emplace_back([&, i] {
            Row& row = rows[i];
            const auto start = std::chrono::steady_clock::now();
            mirovane::ProvenLink link(bus, row.device);
            const std::string serial = *KnownSerial(row.device);
            ProbeEvents events(board, slotOf[i], options, serial, link, bus.Owned());
            mirovane::FirmwareImage image;
            mirovane::UpdateSequence seq(mirovane::UpdateSetup{
                bus.Owned(), link, image, CopyOf(decoded), mirovane::UpdatableProbes(),
                row.device.index, events, mirovane::WaitPolicy::Polling(), true});
            const mirovane::UpdateResult result = seq.Run();
            row.code = ExitCodeOf(result, link.Handle() != 0);
            row.firmware += " -> " + Printable(events.Version().value_or("?"));
            if (result.completed) {
                row.result = "updated";
            } else {
                row.result = "failed: " + events.FirstError();
                if (!events.FirstError().empty() && result.touched) {
                    board.Message(slotOf[i],
                                  "bring it back with: klov update --serial " + serial + " --yes");
                }
                board.State(slotOf[i], "failed");
            }
            row.seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    board.Finish();

    int code = kExitOk;
    for (const Row& r : rows) {
        code = Worst(code, r.code);
    }
    if (targets == 0) {
        io.err << "klov: no attached probe carries a serial number this firmware may be "
                  "installed on; nothing was done.\n";
        code = Worst(code, kExitRefused);
    }
    PrintTable(io.out, rows);
    return code;
}

}  // namespace klov
