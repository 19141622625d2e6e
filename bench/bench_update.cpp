// A whole firmware update, run by the updater core against the shipping library and one
// simulated probe, with a reading at every phase change.
//
//   bench_update [--latency-us=0,250,1000] [--runs=1] [--reset-ms=1500]
//
// A latency of 0 runs on the simulator's virtual clock: no transfer and no timer wait takes
// real time, so the figures are the host's own CPU cost. A positive latency L runs on the
// real monotonic clock with every bulk transfer held for L; the flash phases are then set
// against their floor (exchanges x 2L) and the whole update against that floor plus the timer
// waits the sequence made while the probe restarted.
#include <algorithm>
#include <cstdio>
#include <sstream>

#include "bench_support.h"
#include "update_sequence.h"

namespace {

using mirovane::UpdatePhase;

struct Outcome {
    bool ok = false;
    double flashRatio = 0;
    double wholeRatio = 0;
};

std::vector<long> LatencyList(int argc, char** argv) {
    std::vector<long> out;
    std::string list = "0";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--latency-us=", 0) == 0) {
            list = arg.substr(13);
        }
    }
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
        out.push_back(std::strtol(item.c_str(), nullptr, 10));
    }
    return out;
}

Outcome RunOnce(long latencyUs, long resetMs) {
    klovsim::Bus& bus = klovsim::Bus::instance();
    bus.reset();
    klovsim::Clock::setVirtual(latencyUs == 0);
    bus.setLogging(false);
    klovsim::ProbeConfig config;
    config.resetDelay = std::chrono::milliseconds(resetMs);
    klovsim::Probe probe = bus.addProbe(config);
    probe.setLatency(std::chrono::microseconds(latencyUs));

    mirovane::ArdellixLibrary library(BENCH_ARDELLIX_FILE);
    bench::CoreHost host(library);
    mirovane::TopLevel top(host);
    host.top = &top;
    top.Form_Load();
    bench::PhaseRecorder recorder;
    top.SetUpdateObserver(&recorder);

    const long rssBefore = bench::PeakRssKiB();
    const double cpu0 = bench::ProcessCpuSeconds();
    const double wall0 = bench::WallSeconds();
    const std::int64_t exchanges0 = bus.exchanges();
    top.cmdUpload_Click();
    const double cpu = bench::ProcessCpuSeconds() - cpu0;
    const double wall = bench::WallSeconds() - wall0;
    const std::int64_t exchanges = bus.exchanges() - exchanges0;

    // The run counts only when it ended connected to a probe that holds the patched image.
    Outcome out;
    const auto flash = probe.flash();
    const std::size_t end = static_cast<std::size_t>((top.Image.FWHighAddr | 15) + 1);
    out.ok = host.boxes == 0 && top.DeviceHandle != 0 && probe.writeViolations().empty() &&
             std::equal(flash.begin() + 0x800, flash.begin() + static_cast<long>(end),
                        top.Image.FWImage.begin() + 0x800);
    if (top.DeviceHandle != 0) {
        library.CloseSCA(top.DeviceHandle);
    }

    std::printf("\n== update, latency %ld us (%s clock), reset delay %ld ms: %s\n", latencyUs,
                latencyUs == 0 ? "virtual" : "real", resetMs, out.ok ? "complete" : "FAILED");
    const auto flashSpan = bench::PrintPhases(recorder);
    std::printf("%-22s %10lld %12.3f %12.3f %14.3f\n", "whole update",
                static_cast<long long>(exchanges), cpu * 1e3, wall * 1e3,
                cpu * 1e6 / static_cast<double>(std::max<std::int64_t>(1, exchanges)));
    std::printf("timer waits started by the sequence: %ld ms\n", host.waitedMs);
    std::printf("peak RSS: %ld KiB before the update, %ld KiB after\n", rssBefore,
                bench::PeakRssKiB());
    if (latencyUs > 0) {
        const double l = static_cast<double>(latencyUs) * 1e-6;
        const double flashFloor = static_cast<double>(flashSpan.exchanges) * 2 * l;
        const double wholeFloor = flashFloor + static_cast<double>(host.waitedMs) * 1e-3;
        out.flashRatio = flashSpan.wall / flashFloor;
        out.wholeRatio = wall / wholeFloor;
        std::printf("flash phases: %.3f s against a floor of %.3f s: ratio %.4f\n", flashSpan.wall,
                    flashFloor, out.flashRatio);
        std::printf("whole update: %.3f s against a floor of %.3f s: ratio %.4f\n", wall,
                    wholeFloor, out.wholeRatio);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const long runs = bench::LongOption(argc, argv, "runs", 1);
    const long resetMs = bench::LongOption(argc, argv, "reset-ms", 1500);
    const std::vector<long> latencies = LatencyList(argc, argv);
    bool allOk = true;
    std::vector<std::string> summary;
    for (long r = 0; r < runs; ++r) {
        for (long l : latencies) {
            const Outcome o = RunOnce(l, resetMs);
            allOk = allOk && o.ok;
            if (l > 0) {
                char line[128];
                std::snprintf(line, sizeof line, "run %ld, L = %ld us: flash %.4f, whole %.4f",
                              r + 1, l, o.flashRatio, o.wholeRatio);
                summary.emplace_back(line);
            }
        }
    }
    if (!summary.empty()) {
        std::printf("\n== ratios to the floor\n");
        for (const std::string& s : summary) {
            std::printf("%s\n", s.c_str());
        }
    }
    return allOk ? 0 : 1;
}
