#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and
# runs each of them, side by side, for a bounded time.
#   scripts/fuzz.sh [seconds per target, default 600] [build folder, default build/fuzz]
# Seeds come from fuzz/corpus/<target> (read only); what a run finds is kept in
# <build>/corpus/<target>, crashes in <build>/artifacts/<target>/. The last line of each
# target's log (<build>/<target>.log) holds its figures. Exit status 1 when any target found
# something.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-600}"
build="${2:-${root}/build/fuzz}"
targets=(hex_lines_fuzz mkinline_fuzz library_fuzz)

cxx="$(command -v clang++ || command -v clang++-14 || true)"
cc="$(command -v clang || command -v clang-14 || true)"
if [[ -z "${cxx}" || -z "${cc}" ]]; then
    echo "fuzz: clang is not installed (scripts/setup.sh installs it)" >&2
    exit 1
fi
cmake -S "${root}/fuzz" -B "${build}" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER="${cc}" -DCMAKE_CXX_COMPILER="${cxx}" > "${build}.configure.log" 2>&1 ||
    { cat "${build}.configure.log" >&2; exit 1; }
cmake --build "${build}" -j2 > "${build}.build.log" 2>&1 || { cat "${build}.build.log" >&2; exit 1; }

pids=()
for t in "${targets[@]}"; do
    mkdir -p "${build}/corpus/${t}" "${build}/artifacts/${t}"
    "${build}/${t}" -max_total_time="${seconds}" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="${build}/artifacts/${t}/" \
        "${build}/corpus/${t}" "${root}/fuzz/corpus/${t}" > "${build}/${t}.log" 2>&1 &
    pids+=($!)
done
status=0
for i in "${!targets[@]}"; do
    t="${targets[$i]}"
    if wait "${pids[$i]}"; then
        result="no finding"
    else
        result="FINDING (see ${build}/${t}.log and ${build}/artifacts/${t}/)"
        status=1
    fi
    done_line="$(grep -E '^#[0-9]+[[:space:]]+DONE' "${build}/${t}.log" | tail -1 || true)"
    execs="$(grep -E 'stat::number_of_executed_units' "${build}/${t}.log" | awk '{print $2}' || true)"
    echo "fuzz ${t}: ${seconds} s, ${execs:-?} executions, ${done_line:-no summary}: ${result}"
done
exit "${status}"
