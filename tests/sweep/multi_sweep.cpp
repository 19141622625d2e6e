// Multi-probe sweep: klov's update (its own code, in this process) on random benches of
// several simulated probes, on a virtual clock.
//
// Every run draws a bench: 1 to 5 probes carrying listed serial numbers, each running its
// application, in bootloader mode with its identity intact, or in bootloader mode with its
// application erased; each on one of two busses, each bus with its own directory order
// (newest or oldest first: libusb 0.1's device lists, where a restarted probe comes back at
// the front); restart delays; a target (every probe with --all, or one probe chosen by
// serial number, by device index or both); and, in most runs, one fault of a random kind at a
// random exchange. After the run:
//  - no probe other than a target was sent a single request that changes it: a bulk write to
//    it, delivered or not, whose command byte asks for a flash row write (0x02), a block erase
//    (0x03), an EEPROM byte such as the boot flag (0x05), a configuration byte (0x07) or a
//    restart (0xFF); and its flash and EEPROM are as they were (memories that differ count as
//    one more such request);
//  - no probe recorded a protocol violation (a request outside what it promises to handle);
//  - no probe carries another probe's serial number in its identity block;
//  - no probe is bricked;
//  - each target is updated, or untouched (refused before anything was written), or is
//    brought back by one more run of the command klov advises (no fault);
//  - a run that ended with exit code 0 updated every target.
//
// Usage: multi_sweep [--runs N] [--seed S] [--jobs J] [--first K] [--verbose]
// Exit status 0 when every run held, 1 when any did not, 2 for bad arguments.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "exit_codes.h"
#include "klovsim/sim.h"
#include "library_binding.h"
#include "list_order.h"
#include "serial_entry.h"
#include "sweep_workers.h"
#include "terminal_update.h"
#include "test_firmware.h"
#include "text_utils.h"

namespace {

using klovsim::Fault;
using klovsim::Mode;

enum class Kind { Application, Bootloader, Erased };
const char* const kKindNames[] = {"app", "boot", "erased"};

enum class Choose { All, BySerial, ByIndex, Both };
const char* const kChooseNames[] = {"--all", "--serial", "-d", "-d --serial"};

struct FaultKind {
    Fault fault;
    const char* name;
};
const FaultKind kFaults[] = {
    {Fault::ReadTimeout, "no-reply"},
    {Fault::ReadFails, "read-error"},
    {Fault::WriteFails, "write-error"},
    {Fault::WriteTimeout, "write-timeout"},
    {Fault::WriteShort, "short-write"},
    {Fault::GarbleEcho, "garbled-echo"},
    {Fault::GarbleSelector, "garbled-selector"},
    {Fault::GarbleData, "garbled-data"},
    {Fault::ReadShort, "short-reply"},
    {Fault::Unplug, "unplug"},
};

struct Bench {
    std::vector<std::string> serials;
    std::vector<Kind> kinds;
    std::vector<int> resetMs;
    std::vector<int> busOf;
    klovsim::DirectoryOrder orders[2] = {};
    Choose choose = Choose::All;
    int target = -1;  // probe id, for one probe
    bool fault = false;
    std::size_t faultKind = 0;
    std::int64_t faultAt = 0;

    std::string Describe() const {
        std::ostringstream s;
        for (std::size_t i = 0; i < serials.size(); ++i) {
            s << (i == 0 ? "" : " ") << kKindNames[static_cast<int>(kinds[i])] << ':' << serials[i];
        }
        s << " | " << apptest::Name(orders[0]) << ", " << apptest::Name(orders[1]) << " | "
          << kChooseNames[static_cast<int>(choose)];
        if (choose != Choose::All) {
            s << " probe " << target;
        }
        if (fault) {
            s << " | " << kFaults[faultKind].name << '@' << faultAt;
        }
        return s.str();
    }
};

Bench Draw(std::mt19937& rng) {
    Bench b;
    std::vector<std::string> pool;
    for (const mirovane::SerialEntry& e : mirovane::UpdatableProbes()) {
        pool.push_back(e.Serial);
    }
    std::shuffle(pool.begin(), pool.end(), rng);
    const int n = std::uniform_int_distribution<int>(1, 5)(rng);
    std::discrete_distribution<int> kind({5, 3, 2});
    for (int i = 0; i < n; ++i) {
        b.serials.push_back(pool[static_cast<std::size_t>(i)]);
        b.kinds.push_back(static_cast<Kind>(kind(rng)));
        b.resetMs.push_back(std::uniform_int_distribution<int>(0, 2000)(rng));
        b.busOf.push_back(std::uniform_int_distribution<int>(0, 1)(rng));
    }
    for (klovsim::DirectoryOrder& o : b.orders) {
        o = std::uniform_int_distribution<int>(0, 1)(rng) == 0
                ? klovsim::DirectoryOrder::NewestFirst
                : klovsim::DirectoryOrder::OldestFirst;
    }
    b.choose = static_cast<Choose>(std::uniform_int_distribution<int>(0, 3)(rng));
    b.target = std::uniform_int_distribution<int>(0, n - 1)(rng);
    b.fault = std::uniform_int_distribution<int>(0, 3)(rng) != 0;
    b.faultKind = std::uniform_int_distribution<std::size_t>(0, std::size(kFaults) - 1)(rng);
    // About 2100 exchanges per probe updated, and a few for each look at the bus.
    const int updated = b.choose == Choose::All ? n : 1;
    b.faultAt = std::uniform_int_distribution<std::int64_t>(0, updated * 2100 + 40 * n)(rng);
    return b;
}

struct Tally {
    std::int64_t runs = 0;
    std::int64_t faulted = 0;
    std::int64_t targets = 0;
    std::int64_t updated = 0;    // by the run itself
    std::int64_t untouched = 0;  // refused before anything was written
    std::int64_t recovered = 0;  // by one more run
    std::int64_t unrecovered = 0;
    std::int64_t wrongProbeRuns = 0;  // runs where a non-target received a changing request
    std::int64_t wrongProbeRequests = 0;
    std::int64_t foreignSerials = 0;
    std::int64_t protocolViolations = 0;  // probes that recorded one
    std::int64_t bricked = 0;
    std::int64_t falseSuccesses = 0;
    std::int64_t failedRuns = 0;            // runs where any check did not hold
    std::int64_t halfDoneWithoutFault = 0;  // targets left half done by a run with no fault

    void Add(const Tally& o) {
        runs += o.runs;
        faulted += o.faulted;
        targets += o.targets;
        updated += o.updated;
        untouched += o.untouched;
        recovered += o.recovered;
        unrecovered += o.unrecovered;
        wrongProbeRuns += o.wrongProbeRuns;
        wrongProbeRequests += o.wrongProbeRequests;
        foreignSerials += o.foreignSerials;
        protocolViolations += o.protocolViolations;
        bricked += o.bricked;
        falseSuccesses += o.falseSuccesses;
        failedRuns += o.failedRuns;
        halfDoneWithoutFault += o.halfDoneWithoutFault;
    }
};

// What each probe of the bench must hold once updated, by serial number: the shipped firmware
// with its serial number and listed production date (the date every probe is created with).
std::map<std::string, mirovane::FirmwareImage> ExpectedImages() {
    const std::vector<std::string> module = apptest::ShippedModule();
    std::map<std::string, mirovane::FirmwareImage> out;
    for (const mirovane::SerialEntry& e : mirovane::UpdatableProbes()) {
        std::string failure;
        out[e.Serial] =
            apptest::PatchedImage(module, mirovane::NumericValue(e.Serial), e.ProdDate, &failure);
        if (!failure.empty()) {
            std::fprintf(stderr, "multi_sweep: the firmware for S/N %s: %s\n", e.Serial.c_str(),
                         failure.c_str());
            std::exit(1);
        }
    }
    return out;
}

struct Memories {
    std::array<std::uint8_t, klovsim::kFlashSize> flash;
    std::array<std::uint8_t, klovsim::kEepromSize> eeprom;
    bool operator==(const Memories&) const = default;
};

Memories Read(const klovsim::Probe& p) {
    return {p.flash(), p.eeprom()};
}

bool Holds(const klovsim::Probe& p, const mirovane::FirmwareImage& expected) {
    if (p.bricked() || !p.onBus() || p.mode() != Mode::Application ||
        p.bootFlag() != klovsim::kBootFlagApplication || !p.writeViolations().empty()) {
        return false;
    }
    const auto flash = p.flash();
    const auto end = static_cast<std::size_t>(expected.FWHighAddr | 15) + 1;
    return std::equal(flash.begin() + 0x800, flash.begin() + static_cast<long>(end),
                      expected.FWImage.begin() + 0x800);
}

// The command bytes of the requests that change a probe.
constexpr std::uint8_t kWriteFlashCommand = 0x02;
constexpr std::uint8_t kEraseFlashCommand = 0x03;
constexpr std::uint8_t kWriteEepromCommand = 0x05;  // the boot flag is an EEPROM byte
constexpr std::uint8_t kWriteConfigCommand = 0x07;
constexpr std::uint8_t kResetCommand = 0xFF;
constexpr std::array<std::uint8_t, 5> kChangingCommands = {kWriteFlashCommand, kEraseFlashCommand,
                                                           kWriteEepromCommand, kWriteConfigCommand,
                                                           kResetCommand};

// By probe id: the bulk writes in the log, delivered or not, that carry one of those commands.
std::map<int, int> ChangingRequests() {
    std::map<int, int> n;
    for (const klovsim::LogEntry& e : klovsim::Bus::instance().log()) {
        if (e.call == "usb_bulk_write" && e.probe >= 0 && !e.data.empty() &&
            std::find(kChangingCommands.begin(), kChangingCommands.end(), e.data[0]) !=
                kChangingCommands.end()) {
            ++n[e.probe];
        }
    }
    return n;
}

// Lets every restart finish, then puts back a probe that a fault unplugged.
void Settle() {
    klovsim::Clock::advance(std::chrono::seconds(5));
    klovsim::Bus& bus = klovsim::Bus::instance();
    for (int id = 0; id < bus.probeCount(); ++id) {
        if (!bus.probe(id).onBus() && !bus.probe(id).bricked()) {
            bus.probe(id).plug();
        }
    }
}

int RunKlov(mirovane::ArdellixApi& api, klov::UpdateOptions options, std::string& text) {
    std::ostringstream out;
    std::ostringstream err;
    std::istringstream in;
    options.yes = true;
    options.sleep = [](int ms) { klovsim::Clock::advance(std::chrono::milliseconds(ms)); };
    const int code = klov::RunUpdate(api, options, {out, err, in, false, false, false});
    text = err.str();
    return code;
}

void RunOne(mirovane::ArdellixLibrary& library,
            const std::map<std::string, mirovane::FirmwareImage>& expected, const Bench& b,
            bool verbose, Tally& t) {
    klovsim::Bus& bus = klovsim::Bus::instance();
    bus.reset();
    klovsim::Clock::setVirtual(true);
    bus.setDirectoryOrder(b.orders[0], 0);
    bus.setDirectoryOrder(b.orders[1], 1);
    std::vector<klovsim::Probe> probes;
    for (std::size_t i = 0; i < b.serials.size(); ++i) {
        klovsim::ProbeConfig c;
        c.serial = b.serials[i];
        c.productionDate = mirovane::FindSerial(mirovane::UpdatableProbes(), c.serial)->ProdDate;
        c.mode = b.kinds[i] == Kind::Application ? Mode::Application : Mode::Bootloader;
        c.blankApplication = b.kinds[i] == Kind::Erased;
        c.resetDelay = std::chrono::milliseconds(b.resetMs[i]);
        probes.push_back(bus.addProbe(c, b.busOf[i]));
    }
    mirovane::ArdellixApi& api = library;

    // The targets: with --all every probe whose serial number can be told; else the one.
    std::set<int> targets;
    for (int id = 0; id < static_cast<int>(probes.size()); ++id) {
        if (b.choose == Choose::All ? b.kinds[static_cast<std::size_t>(id)] != Kind::Erased
                                    : id == b.target) {
            targets.insert(id);
        }
    }
    klov::UpdateOptions options;
    options.all = b.choose == Choose::All;
    if (b.choose == Choose::BySerial || b.choose == Choose::Both) {
        options.serial = b.serials[static_cast<std::size_t>(b.target)];
    }
    if (b.choose == Choose::ByIndex || b.choose == Choose::Both) {
        for (int i = 0; i < static_cast<int>(probes.size()); ++i) {
            if (apptest::ProbeAt(api, i) == b.target) {
                options.device = i;
            }
        }
    }
    std::vector<Memories> before;
    for (const klovsim::Probe& p : probes) {
        before.push_back(Read(p));
    }
    bus.clearLog();
    if (b.fault) {
        bus.inject({kFaults[b.faultKind].fault, b.faultAt, 1, klovsim::Counting::ByExchange, -1});
    }

    std::string said;
    const int code = RunKlov(api, options, said);
    bus.clearFaults();
    Settle();

    std::vector<std::string> problems;
    const std::map<int, int> changed = ChangingRequests();
    int wrong = 0;
    for (const auto& [id, n] : changed) {
        if (!targets.count(id)) {
            wrong += n;
        }
    }
    for (int id = 0; id < static_cast<int>(probes.size()); ++id) {
        if (!targets.count(id) &&
            !(Read(probes[static_cast<std::size_t>(id)]) == before[static_cast<std::size_t>(id)])) {
            problems.push_back("probe " + std::to_string(id) + " changed, not a target");
            ++wrong;
        }
    }
    if (wrong > 0) {
        ++t.wrongProbeRuns;
        t.wrongProbeRequests += wrong;
        problems.push_back(std::to_string(wrong) + " changing requests to other probes");
    }

    enum class State { Updated, Untouched, Changed };
    std::map<int, State> state;
    for (int id : targets) {
        const klovsim::Probe& p = probes[static_cast<std::size_t>(id)];
        state[id] = Holds(p, expected.at(b.serials[static_cast<std::size_t>(id)]))
                        ? State::Updated
                        : (Read(p) == before[static_cast<std::size_t>(id)] ? State::Untouched
                                                                           : State::Changed);
    }
    t.targets += static_cast<std::int64_t>(targets.size());
    bool allUpdated = true;
    for (const auto& [id, s] : state) {
        allUpdated = allUpdated && s == State::Updated;
        t.updated += s == State::Updated ? 1 : 0;
        t.untouched += s == State::Untouched ? 1 : 0;
        t.halfDoneWithoutFault += !b.fault && s == State::Changed ? 1 : 0;
    }
    if (code == klov::kExitOk && !allUpdated) {
        ++t.falseSuccesses;
        problems.push_back("exit 0 with a target not updated");
    }

    // One more run, of what klov advises, for every target left half done.
    for (auto& [id, s] : state) {
        if (s != State::Changed) {
            continue;
        }
        klov::UpdateOptions again;
        again.serial = b.serials[static_cast<std::size_t>(id)];
        std::string secondSaid;
        const int second = RunKlov(api, again, secondSaid);
        Settle();
        if (Holds(probes[static_cast<std::size_t>(id)],
                  expected.at(b.serials[static_cast<std::size_t>(id)]))) {
            ++t.recovered;
        } else {
            ++t.unrecovered;
            problems.push_back("probe " + std::to_string(id) + " not recovered (exit " +
                               std::to_string(second) +
                               "): " + secondSaid.substr(0, secondSaid.find('\n', 200)));
        }
    }

    for (std::size_t i = 0; i < probes.size(); ++i) {
        const klovsim::Probe& p = probes[i];
        if (p.bricked()) {
            ++t.bricked;
            problems.push_back("probe " + std::to_string(i) + " bricked");
        }
        const auto flash = p.flash();
        const std::string carried(
            reinterpret_cast<const char*>(flash.data() + klovsim::kIdentitySerial), 8);
        for (std::size_t j = 0; j < probes.size(); ++j) {
            if (j != i && carried == b.serials[j]) {
                ++t.foreignSerials;
                problems.push_back("probe " + std::to_string(i) + " carries S/N " + carried);
            }
        }
        if (const auto violations = p.protocolViolations(); !violations.empty()) {
            ++t.protocolViolations;
            problems.push_back("probe " + std::to_string(i) + " recorded " +
                               std::to_string(violations.size()) +
                               " protocol violation(s), the first: " + violations.front().what);
        }
    }
    ++t.runs;
    t.faulted += b.fault ? 1 : 0;
    if (!problems.empty()) {
        ++t.failedRuns;
    }
    if (verbose || !problems.empty()) {
        std::fprintf(stderr, "%s %s -> exit %d%s\n", problems.empty() ? "ok  " : "FAIL",
                     b.Describe().c_str(), code, problems.empty() ? "" : ":");
        for (const std::string& p : problems) {
            std::fprintf(stderr, "     %s\n", p.c_str());
        }
        if (!problems.empty()) {
            std::fprintf(stderr, "     klov said:\n%s", said.c_str());
        }
    }
}

struct Options {
    std::int64_t runs = 100;
    std::int64_t first = 0;
    unsigned seed = 1;
    int jobs = 2;
    bool verbose = false;
};

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](std::int64_t lo, std::int64_t& v) {
            if (i + 1 >= argc) {
                return false;
            }
            char* end = nullptr;
            v = std::strtoll(argv[++i], &end, 10);
            return *end == '\0' && v >= lo;
        };
        std::int64_t v = 0;
        if (a == "--runs" && number(1, v)) {
            o.runs = v;
        } else if (a == "--first" && number(0, v)) {
            o.first = v;
        } else if (a == "--seed" && number(0, v)) {
            o.seed = static_cast<unsigned>(v);
        } else if (a == "--jobs" && number(1, v) && v <= 64) {
            o.jobs = static_cast<int>(v);
        } else if (a == "--verbose") {
            o.verbose = true;
        } else {
            std::fprintf(stderr,
                         "usage: multi_sweep [--runs N] [--first K] [--seed S] [--jobs J] "
                         "[--verbose]\n");
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    mirovane::ArdellixLibrary library;
    const auto expected = ExpectedImages();

    // Run k draws its bench from (seed, k): any run can be repeated alone with --first k. klov
    // identifies several probes, and with --all updates them, in threads of one per probe, so
    // the request that a fault at exchange k hits can differ between repetitions of a run, and
    // with it the split between targets updated and recovered.
    Tally total;
    const bool complete = sweep::RunWorkers("multi_sweep", o.jobs, total, [&](int w, Tally& t) {
        for (std::int64_t k = o.first + w; k < o.first + o.runs; k += o.jobs) {
            std::seed_seq seq{o.seed, static_cast<unsigned>(k), static_cast<unsigned>(k >> 32)};
            std::mt19937 rng(seq);
            RunOne(library, expected, Draw(rng), o.verbose, t);
        }
    });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf(
        "runs %lld (%lld with a fault), seed %u\n"
        "targets %lld: updated %lld, untouched %lld, recovered by one more run %lld, not "
        "recovered %lld\n"
        "wrong-probe writes %lld (in %lld runs), foreign serial numbers %lld, bricked %lld, "
        "false successes %lld\n"
        "targets left half done by a run without a fault: %lld\n"
        "probes that recorded a protocol violation: %lld\n"
        "runs that failed a check: %lld (%.1f s, %d processes)\n",
        static_cast<long long>(total.runs), static_cast<long long>(total.faulted), o.seed,
        static_cast<long long>(total.targets), static_cast<long long>(total.updated),
        static_cast<long long>(total.untouched), static_cast<long long>(total.recovered),
        static_cast<long long>(total.unrecovered), static_cast<long long>(total.wrongProbeRequests),
        static_cast<long long>(total.wrongProbeRuns), static_cast<long long>(total.foreignSerials),
        static_cast<long long>(total.bricked), static_cast<long long>(total.falseSuccesses),
        static_cast<long long>(total.halfDoneWithoutFault),
        static_cast<long long>(total.protocolViolations), static_cast<long long>(total.failedRuns),
        seconds, o.jobs);
    return complete && total.runs == o.runs && total.failedRuns == 0 ? 0 : 1;
}
