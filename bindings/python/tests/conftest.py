"""The tests run the shipping library against the simulated probe: the drop-in libusb comes
first on the library path (CTest sets LD_LIBRARY_PATH), and the simulator configures its bus
from KLOVSIM_* variables at its first call, which comes after this file has set them."""

import os
import subprocess
import sys

import pytest

SERIAL = "04129901"
DATE = "20130704"
VERSION = "2.1.0"

SIMULATED_BUS = {
    "KLOVSIM_PROBES": "2",
    "KLOVSIM_MODE": "application",
    "KLOVSIM_SERIAL": SERIAL,
    "KLOVSIM_DATE": DATE,
    "KLOVSIM_VERSION": VERSION,
    "KLOVSIM_ORDER": "newest-first",
}

os.environ.update(SIMULATED_BUS)
for name in ("KLOVSIM_FAULT", "KLOVSIM_STATE", "KLOVSIM_LATENCY_US"):
    os.environ.pop(name, None)


@pytest.fixture
def run_on_bus():
    """Runs Python code in a fresh process with its own simulated bus (extra KLOVSIM_*
    variables on top of the session's) and returns its standard output; a failing child
    fails the test."""

    def run(code, **variables):
        env = dict(os.environ, **variables)
        done = subprocess.run(
            [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60
        )
        assert done.returncode == 0, done.stderr
        return done.stdout

    return run
