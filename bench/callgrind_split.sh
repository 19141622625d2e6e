#!/bin/sh
# Splits the instructions of one export call between our code (the library and what it calls
# outside the simulator) and the simulated probe (everything below the usb_* entry points),
# from a callgrind run of bench_exchange --profile for each export family.
#
#   bench/callgrind_split.sh [build dir] [calls]     (defaults: build/perf, 20000)
set -eu
build=${1:-build/perf}
calls=${2:-20000}
bin=$build/bin/bench_exchange
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

printf '%-10s %-16s %12s %12s %12s %8s\n' family export "Ir/call" "ours Ir" "sim Ir" "ours %"
for pair in identity:ReadDeviceInfo serial:ReadSerialNo erase:EraseFlashBlock write:WriteFlash \
            verify:VerifyFlash parameter:ReadHV; do
    family=${pair%%:*}
    fn=${pair#*:}
    valgrind --tool=callgrind --callgrind-out-file="$out/$family" --toggle-collect="$fn" \
        "$bin" --profile="$family" --calls="$calls" >/dev/null 2>&1
    callgrind_annotate --inclusive=yes --threshold=100 --auto=no "$out/$family" 2>/dev/null |
        awk -v family="$family" -v fn="$fn" -v calls="$calls" '
            { gsub(",", "", $1) }
            $0 ~ ":" fn " \\[" && $0 ~ /libArdellix/ { total = $1 }
            $0 ~ /:usb_[a-z_]+ \[/ && $0 ~ /libusb-0\.1/ { sim += $1 }
            END {
                ours = total - sim
                printf "%-10s %-16s %12.0f %12.0f %12.0f %7.1f%%\n", family, fn,
                       total / calls, ours / calls, sim / calls, (total > 0 ? 100 * ours / total : 0)
            }'
done
