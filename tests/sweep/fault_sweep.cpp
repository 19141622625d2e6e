// Fault sweep over a whole firmware update.
//
// Runs the update behind the Update button (the updater core, the shipping library loaded by
// file name, a simulated probe on a virtual clock among foreign devices, or beside a second
// probe with --other-probe) once without faults to number its USB exchanges, then, for every chosen
// exchange index k and every fault kind, runs a fresh update with that one fault at exchange k,
// followed by one more press of Update with no fault. The cases take turns over the two directory
// orders of the bus and over four sets of the reply bytes the library must not examine (see
// sweep_world.*).
//
// What must hold for every case:
//  - the probe is never bricked (boot flag selecting an application that cannot start),
//    checked after every library call of both runs;
//  - a faulted run that ends without any message really did the whole update (otherwise it
//    is a false success);
//  - the press after it ends without a message, with the probe in application mode, the
//    patched firmware in flash (bootloader area untouched), the probe's own serial number and
//    production date in its identity block, and no write or protocol violation;
//  - a second probe is never changed.
//
// Usage: fault_sweep [--stride N] [--offset N] [--ends N] [--jobs N] [--kinds a,b,...]
//                    [--order newest-first|oldest-first|both] [--other-probe] [--verbose]
// (every stride-th exchange index from offset, plus all among the first and last `ends`)
// Exit status 0 when every case held, 1 when any did not, 2 for bad arguments.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "klovsim/sim.h"
#include "sweep_workers.h"
#include "sweep_world.h"

namespace {

using klovsim::DirectoryOrder;
using klovsim::Fault;
using namespace sweep;

struct Kind {
    Fault fault;
    const char* name;
    bool needsRead;  // hits the reply of an exchange, so only exchanges that read one
};

const Kind kKinds[] = {
    {Fault::ReadTimeout, "no-reply", true},
    {Fault::ReadFails, "read-error", true},
    {Fault::WriteFails, "write-error", false},
    {Fault::WriteTimeout, "write-timeout", false},
    {Fault::WriteShort, "short-write", false},
    {Fault::GarbleEcho, "garbled-echo", true},
    {Fault::GarbleSelector, "garbled-selector", true},
    {Fault::GarbleData, "garbled-data", true},
    {Fault::ReadShort, "short-reply", true},
    {Fault::Unplug, "unplug", false},
    {Fault::UnplugBeforeReply, "unplug-before-reply", true},
};
constexpr std::size_t kKindCount = std::size(kKinds);

// ----- the fault-free run that numbers the exchanges ------------------------------------------

struct Baseline {
    std::int64_t exchanges = 0;
    std::vector<bool> hasRead;        // the exchange reads a reply
    std::vector<const char*> callOf;  // the library call the exchange belongs to
};

bool RunBaseline(ArdellixApi& library, const FirmwareImage& expected, const Setting& setting,
                 Baseline& out) {
    World w(library, setting);
    klovsim::Bus::instance().setLogging(true);
    w.api.recordCalls = true;
    const auto messages = w.Press();
    const std::string state = w.CheckWithWindow(expected);
    const std::string other = w.CheckOther();
    if (!messages.empty() || !state.empty() || !other.empty() || w.api.bricked) {
        std::fprintf(stderr, "fault_sweep: the update without faults did not succeed: %s%s%s\n",
                     messages.empty() ? "" : messages.front().c_str(), state.c_str(),
                     other.c_str());
        return false;
    }
    out.exchanges = klovsim::Bus::instance().exchanges();
    out.hasRead.assign(static_cast<std::size_t>(out.exchanges), false);
    std::int64_t index = -1;
    for (const klovsim::LogEntry& e : klovsim::Bus::instance().log()) {
        if (e.call == "usb_bulk_write") {
            ++index;
        } else if (e.call == "usb_bulk_read" && index >= 0) {
            out.hasRead[static_cast<std::size_t>(index)] = true;
        }
    }
    out.callOf.assign(static_cast<std::size_t>(out.exchanges), "?");
    for (const auto& [start, name] : w.api.callStarts) {
        for (std::int64_t k = start; k < out.exchanges; ++k) {
            out.callOf[static_cast<std::size_t>(k)] = name;
        }
    }
    return true;
}

// ----- one faulted case and its tally ---------------------------------------------------------

struct Tally {
    std::int64_t presses = 0;
    std::array<std::int64_t, kKindCount> faults{};     // faulted runs
    std::array<std::int64_t, kKindCount> failed{};     // ... that ended with a message
    std::array<std::int64_t, kKindCount> absorbed{};   // ... that completed the update anyway
    std::array<std::int64_t, kKindCount> recovered{};  // the next press completed the update
    std::array<std::int64_t, kKindCount> bricked{};
    std::array<std::int64_t, kKindCount> falseSuccesses{};
    std::array<std::int64_t, kKindCount> otherChanged{};  // the other probe was touched
    std::array<std::int64_t, kKindCount> contract{};      // the host broke the probe contract

    void Add(const Tally& o) {
        presses += o.presses;
        for (std::size_t i = 0; i < kKindCount; ++i) {
            faults[i] += o.faults[i];
            failed[i] += o.failed[i];
            absorbed[i] += o.absorbed[i];
            recovered[i] += o.recovered[i];
            bricked[i] += o.bricked[i];
            falseSuccesses[i] += o.falseSuccesses[i];
            otherChanged[i] += o.otherChanged[i];
            contract[i] += o.contract[i];
        }
    }
    static std::int64_t Sum(const std::array<std::int64_t, kKindCount>& a) {
        std::int64_t s = 0;
        for (auto v : a) {
            s += v;
        }
        return s;
    }
};

const char* OrderName(DirectoryOrder o) {
    return o == DirectoryOrder::NewestFirst ? "newest-first" : "oldest-first";
}

void RunCase(ArdellixApi& library, const FirmwareImage& expected, std::size_t kind, std::int64_t k,
             const Setting& setting, const char* call, bool verbose, Tally& t) {
    World w(library, setting);
    klovsim::Bus::instance().inject({kKinds[kind].fault, k, 1, klovsim::Counting::ByExchange, -1});
    const auto first = w.Press();
    klovsim::Bus::instance().clearFaults();
    if (kKinds[kind].fault == Fault::Unplug || kKinds[kind].fault == Fault::UnplugBeforeReply) {
        w.probe->plug();
    }
    const std::string afterFirst = w.Check(expected);
    bool bricked = w.api.bricked || w.probe->bricked();
    bool falseSuccess = first.empty() && !afterFirst.empty();

    // One more press of Update, with no fault and nothing else done in between, must bring
    // the probe back with the new firmware.
    const auto second = w.Press();
    const std::string afterSecond = w.CheckWithWindow(expected);
    bricked = bricked || w.api.bricked || w.probe->bricked();
    falseSuccess = falseSuccess || (second.empty() && !afterSecond.empty());
    const bool recovered = second.empty() && afterSecond.empty();
    const std::string other = w.CheckOther();
    const auto violations = w.probe->protocolViolations();
    t.presses += 2;
    ++t.faults[kind];
    ++(first.empty() ? t.absorbed : t.failed)[kind];
    t.recovered[kind] += recovered ? 1 : 0;
    t.bricked[kind] += bricked ? 1 : 0;
    t.falseSuccesses[kind] += falseSuccess ? 1 : 0;
    t.otherChanged[kind] += other.empty() ? 0 : 1;
    t.contract[kind] += violations.empty() ? 0 : 1;

    const bool held = recovered && !bricked && !falseSuccess && other.empty();
    if (verbose && !violations.empty()) {
        std::fprintf(stderr, "note %-19s at %5lld (%s): the probe recorded \"%s\"\n",
                     kKinds[kind].name, static_cast<long long>(k), call,
                     violations.front().what.c_str());
    }
    if (verbose || !held) {
        std::fprintf(stderr, "%s %-19s at %5lld (%s; %s, reply bytes %zu): %s | then: %s%s%s%s\n",
                     held ? "ok  " : "FAIL", kKinds[kind].name, static_cast<long long>(k), call,
                     OrderName(setting.order), setting.replyBytes,
                     first.empty() ? (afterFirst.empty() ? "completed" : afterFirst.c_str())
                                   : first.front().c_str(),
                     second.empty() ? "" : second.front().c_str(),
                     second.empty() || afterSecond.empty() ? "" : " / ", afterSecond.c_str(),
                     other.empty() ? "" : (" / " + other).c_str());
    }
}

// ----- options and the run over every case ----------------------------------------------------

struct Options {
    std::int64_t stride = 1;
    std::int64_t offset = 0;
    std::int64_t ends = 0;  // also every index among the first and the last this many
    int jobs = 2;
    std::vector<std::size_t> kinds;
    std::vector<DirectoryOrder> orders{DirectoryOrder::NewestFirst, DirectoryOrder::OldestFirst};
    bool otherProbe = false;
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
        if (a == "--stride" && number(1, v)) {
            o.stride = v;
        } else if (a == "--offset" && number(0, v)) {
            o.offset = v;
        } else if (a == "--ends" && number(0, v)) {
            o.ends = v;
        } else if (a == "--jobs" && number(1, v) && v <= 64) {
            o.jobs = static_cast<int>(v);
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (a == "--other-probe") {
            o.otherProbe = true;
        } else if (a == "--order" && i + 1 < argc) {
            const std::string order = argv[++i];
            if (order == "newest-first") {
                o.orders = {DirectoryOrder::NewestFirst};
            } else if (order == "oldest-first") {
                o.orders = {DirectoryOrder::OldestFirst};
            } else if (order != "both") {
                std::fprintf(stderr, "fault_sweep: unknown order \"%s\"\n", order.c_str());
                return false;
            }
        } else if (a == "--kinds" && i + 1 < argc) {
            std::stringstream list(argv[++i]);
            for (std::string name; std::getline(list, name, ',');) {
                auto it = std::find_if(std::begin(kKinds), std::end(kKinds),
                                       [&](const Kind& k) { return name == k.name; });
                if (it == std::end(kKinds)) {
                    std::fprintf(stderr, "fault_sweep: unknown fault kind \"%s\"\n", name.c_str());
                    return false;
                }
                o.kinds.push_back(static_cast<std::size_t>(it - std::begin(kKinds)));
            }
        } else {
            std::fprintf(stderr,
                         "usage: fault_sweep [--stride N] [--offset N] [--ends N] [--jobs N] "
                         "[--kinds a,b,...] [--order newest-first|oldest-first|both] "
                         "[--other-probe] [--verbose]\nfault kinds:");
            for (const Kind& k : kKinds) {
                std::fprintf(stderr, " %s", k.name);
            }
            std::fprintf(stderr, "\n");
            return false;
        }
    }
    if (o.kinds.empty()) {
        for (std::size_t i = 0; i < kKindCount; ++i) {
            o.kinds.push_back(i);
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    ArdellixLibrary library;
    const FirmwareImage expected = ExpectedImage();
    // The exchanges are numbered once; the update makes the same ones under either order.
    Baseline base;
    for (DirectoryOrder order : options.orders) {
        Baseline b;
        if (!RunBaseline(library, expected, Setting{order, 0, options.otherProbe}, b)) {
            return 1;
        }
        if (base.exchanges != 0 && (b.exchanges != base.exchanges || b.hasRead != base.hasRead)) {
            std::fprintf(stderr, "fault_sweep: the update's exchanges depend on the order\n");
            return 1;
        }
        base = b;
    }

    // The cases take turns over the orders and, two by two, over the sets of reply bytes.
    struct Case {
        std::size_t kind;
        std::int64_t k;
        Setting setting;
    };
    std::vector<Case> cases;
    for (std::int64_t k = 0; k < base.exchanges; ++k) {
        const bool chosen = (k >= options.offset && (k - options.offset) % options.stride == 0) ||
                            k < options.ends || k >= base.exchanges - options.ends;
        if (!chosen) {
            continue;
        }
        for (std::size_t kind : options.kinds) {
            if (!kKinds[kind].needsRead || base.hasRead[static_cast<std::size_t>(k)]) {
                const std::size_t n = cases.size();
                cases.push_back({kind, k,
                                 Setting{options.orders[n % options.orders.size()],
                                         (n / options.orders.size()) % kReplyBytes.size(),
                                         options.otherProbe}});
            }
        }
    }

    // Each worker process takes every jobs-th case; the simulator's bus is process-wide.
    Tally total;
    total.presses = 1;
    const bool complete = RunWorkers("fault_sweep", options.jobs, total, [&](int w, Tally& t) {
        for (std::size_t i = static_cast<std::size_t>(w); i < cases.size();
             i += static_cast<std::size_t>(options.jobs)) {
            const Case& c = cases[i];
            RunCase(library, expected, c.kind, c.k, c.setting,
                    base.callOf[static_cast<std::size_t>(c.k)], options.verbose, t);
        }
    });

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf(
        "exchanges in one update: %lld; indices swept: every %lld from %lld, and the "
        "first and last %lld; directory orders: %s; %zu sets of reply bytes\n",
        static_cast<long long>(base.exchanges), static_cast<long long>(options.stride),
        static_cast<long long>(options.offset), static_cast<long long>(options.ends),
        options.orders.size() == 2 ? "both, by turns" : OrderName(options.orders.front()),
        kReplyBytes.size());
    std::printf("%-20s %7s %7s %8s %9s %7s %14s %6s %9s\n", "fault", "faults", "failed", "absorbed",
                "recovered", "bricked", "false success", "other", "contract");
    for (std::size_t i : options.kinds) {
        const auto n = [&](const std::array<std::int64_t, kKindCount>& a) {
            return static_cast<long long>(a[i]);
        };
        std::printf("%-20s %7lld %7lld %8lld %9lld %7lld %14lld %6lld %9lld\n", kKinds[i].name,
                    n(total.faults), n(total.failed), n(total.absorbed), n(total.recovered),
                    n(total.bricked), n(total.falseSuccesses), n(total.otherChanged),
                    n(total.contract));
    }
    const std::int64_t faults = Tally::Sum(total.faults);
    const std::int64_t recovered = Tally::Sum(total.recovered);
    const std::int64_t bricked = Tally::Sum(total.bricked);
    const std::int64_t falseSuccesses = Tally::Sum(total.falseSuccesses);
    const std::int64_t otherChanged = Tally::Sum(total.otherChanged);
    std::printf(
        "runs %lld, faults %lld, recovered %lld, bricked %lld, false successes %lld, "
        "other probe changed %lld (%.1f s, %d processes)\n",
        static_cast<long long>(total.presses), static_cast<long long>(faults),
        static_cast<long long>(recovered), static_cast<long long>(bricked),
        static_cast<long long>(falseSuccesses), static_cast<long long>(otherChanged), seconds,
        options.jobs);
    const bool held = complete && faults > 0 && recovered == faults && bricked == 0 &&
                      falseSuccesses == 0 && otherChanged == 0;
    return held ? 0 : 1;
}
