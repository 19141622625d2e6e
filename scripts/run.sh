#!/usr/bin/env bash
# Builds everything (installing what is missing) and starts Mirovane against a simulated probe.
#
# The simulated probe stands in for the hardware: its libusb 0.1 comes first on the library
# path, so the shipping library talks to it instead of a USB bus. The probe starts in
# application mode with serial number 04124008, production date 20121228 and firmware 2.0.3
# (older than the 2.1.0 that Mirovane carries), and keeps its flash in a state file between
# runs. Variables passed through:
#   KLOVSIM_MODE=bootloader   start the probe in its bootloader
#   KLOVSIM_SERIAL=...        another serial number (an unlisted one is refused)
#   KLOVSIM_DATE, KLOVSIM_VERSION, KLOVSIM_RESET_MS, KLOVSIM_LATENCY_US
# Options:
#   --fresh   forget the probe's saved state and start from a new probe
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

fresh=0
for arg in "$@"; do
    case "$arg" in
        --fresh) fresh=1 ;;
        *) echo "usage: scripts/run.sh [--fresh]" >&2; exit 2 ;;
    esac
done

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "run.sh: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
    echo "Mirovane is a desktop program; run it under a virtual display instead:" >&2
    echo "    xvfb-run -a scripts/run.sh" >&2
    exit 1
fi

bash scripts/setup.sh
cmake --preset default
cmake --build --preset default

export KLOVSIM_MODE="${KLOVSIM_MODE:-application}"
export KLOVSIM_SERIAL="${KLOVSIM_SERIAL:-04124008}"
export KLOVSIM_DATE="${KLOVSIM_DATE:-20121228}"
export KLOVSIM_VERSION="${KLOVSIM_VERSION:-2.0.3}"

# One saved probe per mode and serial number, so each demo starts from its own probe.
state_dir="${XDG_STATE_HOME:+${XDG_STATE_HOME}/mirovane-demo}"
state_dir="${state_dir:-${root}/build/demo-state}"
mkdir -p "$state_dir"
export KLOVSIM_STATE="${state_dir}/probe-${KLOVSIM_MODE}-${KLOVSIM_SERIAL}.state"
if ((fresh)); then
    rm -f "$KLOVSIM_STATE"
fi
echo "run.sh: simulated probe ${KLOVSIM_SERIAL} (${KLOVSIM_MODE} mode), state in ${KLOVSIM_STATE}"

export LD_LIBRARY_PATH="${root}/build/default/sim:${root}/build/default/lib${LD_LIBRARY_PATH:+:${LD_LIBRARY_PATH}}"
exec "${root}/build/default/bin/mirovane"
