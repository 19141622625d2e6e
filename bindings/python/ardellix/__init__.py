"""Python access to the kLOV probe through the Ardellix library (ctypes, nothing compiled).

    from ardellix import Probe

    with Probe.open(0) as probe:
        print(probe.serial_number, probe.firmware_version)
        print(probe.read_cps())

The library is loaded by file name (libArdellix.so.1, or Ardellix.dll on Windows) at the
first open; pass `library=` a path to load another file.
"""

from ._errors import ArdellixError
from ._library import LIBRARY_FILE, Library, export_name
from .probe import CountRate, Probe

__all__ = ["ArdellixError", "CountRate", "LIBRARY_FILE", "Library", "Probe", "export_name"]
