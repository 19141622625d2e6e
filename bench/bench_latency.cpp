// How closely one exchange at a per-transfer latency L keeps to its floor of 2L on the real
// monotonic clock: the simulator's hold plus the host's own cost, call by call.
//
//   bench_latency [--latency-us=250,1000] [--calls=2000]
//
// Each call is ReadHV (one request and one reply, so two transfers). Reported per L: the
// overshoot of a call beyond 2L (mean, median, 90th and 99th percentile, in microseconds) and
// the process CPU time over the wall time.
#include <algorithm>
#include <cstdio>
#include <sstream>
#include <vector>

#include "ardellix.h"
#include "bench_support.h"

int main(int argc, char** argv) {
    const long calls = std::max(10L, bench::LongOption(argc, argv, "calls", 2000));
    std::string list = "250,1000";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--latency-us=", 0) == 0) {
            list = arg.substr(13);
        }
    }
    klovsim::Bus& bus = klovsim::Bus::instance();
    bus.reset();
    bus.setLogging(false);
    klovsim::Probe probe = bus.addProbe();
    const ScaHandle handle = OpenSCA(0);
    if (handle == 0) {
        std::fprintf(stderr, "bench_latency: no probe\n");
        return 1;
    }
    std::printf("%8s %10s %10s %10s %10s %10s %8s\n", "L us", "2L us", "mean +us", "median +us",
                "p90 +us", "p99 +us", "cpu %");
    std::stringstream in(list);
    std::string item;
    int failures = 0;
    while (std::getline(in, item, ',')) {
        const long l = std::strtol(item.c_str(), nullptr, 10);
        probe.setLatency(std::chrono::microseconds(l));
        std::vector<double> over;
        over.reserve(static_cast<std::size_t>(calls));
        const double cpu0 = bench::ProcessCpuSeconds();
        const double wall0 = bench::WallSeconds();
        for (long i = 0; i < calls; ++i) {
            int32_t value = 0;
            const double t0 = bench::WallSeconds();
            if (ReadHV(handle, &value) == 0) {
                ++failures;
            }
            over.push_back((bench::WallSeconds() - t0) * 1e6 - 2.0 * static_cast<double>(l));
        }
        const double cpu = bench::ProcessCpuSeconds() - cpu0;
        const double wall = bench::WallSeconds() - wall0;
        double sum = 0;
        for (double o : over) {
            sum += o;
        }
        std::sort(over.begin(), over.end());
        auto at = [&](double q) {
            return over[static_cast<std::size_t>(q * static_cast<double>(over.size() - 1))];
        };
        std::printf("%8ld %10ld %10.1f %10.1f %10.1f %10.1f %8.1f\n", l, 2 * l,
                    sum / static_cast<double>(over.size()), at(0.5), at(0.9), at(0.99),
                    cpu * 100.0 / wall);
    }
    CloseSCA(handle);
    return failures == 0 ? 0 : 1;
}
