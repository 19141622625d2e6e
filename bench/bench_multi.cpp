// klov's update on the real clock, run in this process against simulated probes.
//
//   bench_multi [--runs=3] [--reset-ms=1500] [--parallel=1] [--restart=1]
//               [--latency-us=1000,250] [--counts=1,2,5] [--restart-ms=300,700,1500]
//
// Parallel: klov update --all for N = 1, 2 and 5 probes at a per-transfer latency L of 1 ms
// and 0.25 ms (or the lists given), the configurations interleaved run by run so that they share
// the machine's state; the median wall time of each, and wall(N) / wall(1) per L.
//
// Restart: klov update of one probe at L = 0 with restart delays of 0.3, 0.7 and 1.5 s (or the
// list given): the
// wall time against its floor, the time spent inside library calls (the bus: every exchange,
// the identify time-out that tells a probe in bootloader mode included) plus the probe's two
// restarts.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "exit_codes.h"
#include "terminal_update.h"

namespace {

// Sums the wall time spent inside library calls, from any thread.
class TimedApi final : public mirovane::ArdellixApi {
  public:
    explicit TimedApi(mirovane::ArdellixApi& next) : next_(next) {}

    double seconds = 0;
    double failedOpenSeconds = 0;  // openings that found no probe answering identify

    ScaHandle OpenSCA(std::int32_t i) override {
        const double t0 = bench::WallSeconds();
        const ScaHandle h = next_.OpenSCA(i);
        Add(t0, h == 0);
        return h;
    }
    ScaHandle OpenSCABootloader(std::int32_t i) override {
        return Time([&] { return next_.OpenSCABootloader(i); });
    }
    std::int32_t CloseSCA(ScaHandle h) override {
        return Time([&] { return next_.CloseSCA(h); });
    }
    std::int32_t ReadSerialNo(ScaHandle h, char* s) override {
        return Time([&] { return next_.ReadSerialNo(h, s); });
    }
    std::int32_t ReadDeviceInfo(ScaHandle h, std::int32_t sel, char* t) override {
        return Time([&] { return next_.ReadDeviceInfo(h, sel, t); });
    }
    std::int32_t SetBootloaderFlag(ScaHandle h, std::int32_t b) override {
        return Time([&] { return next_.SetBootloaderFlag(h, b); });
    }
    std::int32_t ResetController(ScaHandle h) override {
        return Time([&] { return next_.ResetController(h); });
    }
    std::int32_t EraseFlashBlock(ScaHandle h, std::uint32_t a) override {
        return Time([&] { return next_.EraseFlashBlock(h, a); });
    }
    std::int32_t WriteFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                            std::int32_t n) override {
        return Time([&] { return next_.WriteFlash(h, a, d, n); });
    }
    std::int32_t VerifyFlash(ScaHandle h, std::uint32_t a, const std::uint8_t* d,
                             std::int32_t n) override {
        return Time([&] { return next_.VerifyFlash(h, a, d, n); });
    }

  private:
    template <typename F>
    auto Time(F call) -> decltype(call()) {
        const double t0 = bench::WallSeconds();
        auto r = call();
        Add(t0, false);
        return r;
    }
    void Add(double t0, bool failedOpen) {
        const double d = bench::WallSeconds() - t0;
        std::lock_guard<std::mutex> lk(m_);
        seconds += d;
        if (failedOpen) {
            failedOpenSeconds += d;
        }
    }

    mirovane::ArdellixApi& next_;
    std::mutex m_;
};

struct Outcome {
    bool ok = false;
    double wall = 0;
    double bus = 0;
    double failedOpens = 0;
};

Outcome Update(mirovane::ArdellixLibrary& library, int probes, long latencyUs, long resetMs,
               bool all) {
    klovsim::Bus& bus = klovsim::Bus::instance();
    bus.reset();
    klovsim::Clock::setVirtual(false);
    bus.setLogging(false);
    std::vector<klovsim::Probe> p;
    for (int i = 0; i < probes; ++i) {
        klovsim::ProbeConfig c;
        c.serial = mirovane::UpdatableProbes()[static_cast<std::size_t>(i)].Serial;
        c.resetDelay = std::chrono::milliseconds(resetMs);
        p.push_back(bus.addProbe(c));
        p.back().setLatency(std::chrono::microseconds(latencyUs));
    }
    TimedApi timed(library);
    klov::UpdateOptions options;
    options.all = all;
    options.yes = true;
    std::ostringstream out;
    std::ostringstream err;
    std::istringstream in;
    const double t0 = bench::WallSeconds();
    const int code = klov::RunUpdate(timed, options, {out, err, in, false, false, false});
    Outcome o;
    o.wall = bench::WallSeconds() - t0;
    o.bus = timed.seconds;
    o.failedOpens = timed.failedOpenSeconds;
    o.ok = code == klov::kExitOk;
    for (const klovsim::Probe& probe : p) {
        o.ok =
            o.ok && probe.mode() == klovsim::Mode::Application && probe.writeViolations().empty();
    }
    if (!o.ok) {
        std::fprintf(stderr, "bench_multi: the update did not complete (exit %d):\n%s", code,
                     err.str().c_str());
    }
    return o;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// "--name=a,b,c" as numbers; `fallback` when absent.
std::vector<long> ListOption(int argc, char** argv, const std::string& name,
                             std::vector<long> fallback) {
    const std::string prefix = "--" + name + "=";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind(prefix, 0) == 0) {
            std::vector<long> out;
            std::stringstream in(arg.substr(prefix.size()));
            for (std::string item; std::getline(in, item, ',');) {
                out.push_back(std::strtol(item.c_str(), nullptr, 10));
            }
            return out;
        }
    }
    return fallback;
}

bool Parallel(mirovane::ArdellixLibrary& library, long runs, long resetMs,
              const std::vector<long>& latencies, const std::vector<long>& counts) {
    std::map<std::pair<long, long>, std::vector<double>> walls;
    bool ok = true;
    for (long r = 0; r < runs; ++r) {
        for (long l : latencies) {
            for (long n : counts) {
                const Outcome o = Update(library, static_cast<int>(n), l, resetMs, true);
                ok = ok && o.ok;
                walls[{l, n}].push_back(o.wall);
                std::printf("run %ld  L = %4ld us  N = %ld  wall %.3f s\n", r + 1, l, n, o.wall);
                std::fflush(stdout);
            }
        }
    }
    std::printf("\n== klov update --all, restart delay %ld ms, median of %ld runs\n", resetMs,
                runs);
    std::printf("%8s %3s %10s %14s\n", "L us", "N", "wall s", "wall(N)/wall(1)");
    for (long l : latencies) {
        const double one = Median(walls[{l, counts.front()}]);
        for (long n : counts) {
            const double w = Median(walls[{l, n}]);
            std::printf("%8ld %3ld %10.3f %14.3f\n", l, n, w, w / one);
        }
    }
    return ok;
}

bool Restart(mirovane::ArdellixLibrary& library, long runs, const std::vector<long>& delays) {
    std::map<long, std::vector<Outcome>> outcomes;
    bool ok = true;
    for (long r = 0; r < runs; ++r) {
        for (long d : delays) {
            const Outcome o = Update(library, 1, 0, d, false);
            ok = ok && o.ok;
            outcomes[d].push_back(o);
        }
    }
    std::printf("\n== klov update, one probe, L = 0 (real clock), median of %ld runs\n", runs);
    std::printf("%10s %9s %9s %16s %11s %16s %14s\n", "restart s", "wall s", "bus s",
                "of it time-outs", "restarts s", "wall/(bus+rst)", "wall-(bus+rst)");
    for (long d : delays) {
        std::vector<Outcome>& v = outcomes[d];
        std::sort(v.begin(), v.end(),
                  [](const Outcome& a, const Outcome& b) { return a.wall < b.wall; });
        const Outcome& m = v[v.size() / 2];
        const double restarts = 2.0 * static_cast<double>(d) / 1000.0;
        std::printf("%10.3f %9.3f %9.3f %16.3f %11.3f %16.3f %14.3f\n",
                    static_cast<double>(d) / 1000.0, m.wall, m.bus, m.failedOpens, restarts,
                    m.wall / (m.bus + restarts), m.wall - (m.bus + restarts));
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const long runs = bench::LongOption(argc, argv, "runs", 3);
    const long resetMs = bench::LongOption(argc, argv, "reset-ms", 1500);
    mirovane::ArdellixLibrary library(BENCH_ARDELLIX_FILE);
    bool ok = true;
    if (bench::LongOption(argc, argv, "parallel", 1) != 0) {
        ok = Parallel(library, runs, resetMs, ListOption(argc, argv, "latency-us", {1000, 250}),
                      ListOption(argc, argv, "counts", {1, 2, 5})) &&
             ok;
    }
    if (bench::LongOption(argc, argv, "restart", 1) != 0) {
        ok = Restart(library, runs, ListOption(argc, argv, "restart-ms", {300, 700, 1500})) && ok;
    }
    return ok ? 0 : 1;
}
