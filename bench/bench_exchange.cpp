// Host cost of one export call: the shipping library against the simulated probe, at zero
// latency with the simulator's log off, one benchmark per export family.
//
//   bench_exchange [benchmark options]       ns per call (Google Benchmark)
//   bench_exchange --profile=FAMILY --calls=N
//       makes N calls of one family and nothing else, for an instruction count under
//       callgrind (bench/callgrind_split.sh splits it between our code and the simulator).
//
// Families: identity (ReadDeviceInfo), serial (ReadSerialNo), erase (EraseFlashBlock),
// write (WriteFlash, one row), verify (VerifyFlash, one row), parameter (ReadHV).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "ardellix.h"
#include "bench_support.h"
#include "klovsim/sim.h"

namespace {

constexpr std::uint32_t kRow = 0x4000;         // row the write and verify families use
constexpr std::uint32_t kEraseBlock = 0x5000;  // block the erase family clears

// One probe running its application (index 0) and one in its bootloader (index 1), on a
// virtual clock so that nothing ever waits.
struct World {
    ScaHandle app = 0;
    ScaHandle boot = 0;
    std::uint8_t row[16];

    World() {
        klovsim::Bus& bus = klovsim::Bus::instance();
        bus.reset();
        klovsim::Clock::setVirtual(true);
        bus.setLogging(false);
        bus.addProbe();
        klovsim::ProbeConfig bootConfig;
        bootConfig.mode = klovsim::Mode::Bootloader;
        bus.addProbe(bootConfig);
        // Which index names which probe depends on the bus's directory order.
        for (int i : {0, 1}) {
            app = OpenSCA(i);
            if (app != 0) {
                boot = OpenSCABootloader(1 - i);
                break;
            }
        }
        for (int i = 0; i < 16; ++i) {
            row[i] = static_cast<std::uint8_t>(0x30 + i);
        }
        // The row is erased once and written once, so that writing the same bytes again
        // programs nothing new and verifying it matches.
        if (app == 0 || boot == 0 || EraseFlashBlock(boot, kRow) == 0 ||
            WriteFlash(boot, kRow, row, 16) == 0 || VerifyFlash(boot, kRow, row, 16) == 0) {
            std::fprintf(stderr, "bench_exchange: the simulated probes did not answer\n");
            std::exit(1);
        }
    }
    ~World() {
        CloseSCA(app);
        CloseSCA(boot);
    }
};

World& TheWorld() {
    static World w;
    return w;
}

using Call = std::function<int32_t()>;

std::map<std::string, Call> Families() {
    World& w = TheWorld();
    static char text[32];
    static int32_t value;
    return {
        {"identity", [&w] { return ReadDeviceInfo(w.app, 0, text); }},
        {"serial", [&w] { return ReadSerialNo(w.app, text); }},
        {"erase", [&w] { return EraseFlashBlock(w.boot, kEraseBlock); }},
        {"write", [&w] { return WriteFlash(w.boot, kRow, w.row, 16); }},
        {"verify", [&w] { return VerifyFlash(w.boot, kRow, w.row, 16); }},
        {"parameter", [&w] { return ReadHV(w.app, &value); }},
    };
}

void RunFamily(benchmark::State& state, const Call& call) {
    const std::int64_t before = klovsim::Bus::instance().exchanges();
    for (auto _ : state) {
        if (call() == 0) {
            state.SkipWithError("the call failed");
            break;
        }
    }
    const std::int64_t exchanges = klovsim::Bus::instance().exchanges() - before;
    state.counters["exchanges/call"] =
        static_cast<double>(exchanges) /
        static_cast<double>(std::max<std::int64_t>(1, state.iterations()));
}

int Profile(const std::string& family, long calls) {
    const auto families = Families();
    const auto it = families.find(family);
    if (it == families.end()) {
        std::fprintf(stderr, "unknown family %s\n", family.c_str());
        return 2;
    }
    for (long i = 0; i < calls; ++i) {
        if (it->second() == 0) {
            std::fprintf(stderr, "call %ld of %s failed\n", i, family.c_str());
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--profile=", 10) == 0) {
            return Profile(argv[i] + 10, bench::LongOption(argc, argv, "calls", 10000));
        }
    }
    for (const auto& [name, call] : Families()) {
        benchmark::RegisterBenchmark(("export/" + name).c_str(),
                                     [call = call](benchmark::State& s) { RunFamily(s, call); });
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
