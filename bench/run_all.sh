#!/bin/sh
# Runs every benchmark the way docs/PERFORMANCE.md quotes it, on a release build:
#   cmake -S . -B build/perf -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
#   cmake --build build/perf --target bench_exchange bench_firmware bench_update bench_latency bench_qt bench_multi
#   bench/run_all.sh [build dir]
set -eu
build=${1:-build/perf}
bin=$build/bin
here=$(dirname "$0")

echo "== machine"
uname -srm
grep -m1 'model name' /proc/cpuinfo || true
echo "processors: $(nproc)"
uptime

echo
echo "== 1. export calls at zero latency, log off (ns per call)"
"$bin/bench_exchange" --benchmark_min_time=0.5
echo
echo "== 1. instructions per call, ours and the simulator's (callgrind)"
"$here/callgrind_split.sh" "$build" 5000

echo
echo "== 2. whole update on the virtual clock"
"$bin/bench_update" --latency-us=0 --runs=3

echo
echo "== 3. the simulator's latency hold, call by call"
"$bin/bench_latency" --latency-us=250,1000
echo
echo "== 3. whole update at L = 250 us and 1 ms on the real clock"
"$bin/bench_update" --latency-us=250,1000 --runs=3

echo
echo "== 4. Qt front end: waits, and an update through it at L = 250 us"
QT_QPA_PLATFORM=offscreen "$bin/bench_qt" --update-latency-us=250

echo
echo "== 5. reading the compiled-in firmware module"
"$bin/bench_firmware" --benchmark_min_time=0.5

echo
echo "== 7. klov update --all on 1, 2 and 5 probes, L = 1 ms and 0.25 ms"
echo "== 8. klov update against bus time plus restarts"
"$bin/bench_multi" --runs=3 \
    --restart-ms=300,700,1500,325,725,1525

echo
echo "== 6. peak memory of an update (heap, heaptrack)"
if command -v heaptrack >/dev/null 2>&1; then
    out=$(mktemp -d)
    heaptrack -o "$out/update" "$bin/bench_update" --latency-us=0 >/dev/null 2>&1 || true
    heaptrack_print "$out"/update.* 2>/dev/null | grep -E '^(peak heap memory|peak RSS|calls to allocation)' || true
    rm -rf "$out"
else
    echo "heaptrack not installed; bench_update prints the peak RSS"
fi
uptime
