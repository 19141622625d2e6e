"""Loading the Ardellix library and calling its exports through ctypes."""

import ctypes
import sys
import threading

from ._errors import ArdellixError

#: The file the library is loaded from when no path is given: found by the platform's usual
#: search for shared libraries (the library path on Linux, the DLL search order on Windows).
LIBRARY_FILE = "Ardellix.dll" if sys.platform == "win32" else "libArdellix.so.1"

_INT = ctypes.c_int32
_UINT = ctypes.c_uint32
_INT_OUT = ctypes.POINTER(ctypes.c_int32)
_TEXT_OUT = ctypes.c_char_p
_BYTES_IN = ctypes.c_char_p

# Every export: name, result type, argument types (each 32 bits wide on a 32-bit platform).
_EXPORTS = {
    "OpenSCA": (_UINT, (_INT,)),
    "OpenSCABootloader": (_UINT, (_INT,)),
    "CloseSCA": (_INT, (_UINT,)),
    "ReadSerialNo": (_INT, (_UINT, _TEXT_OUT)),
    "ReadDeviceInfo": (_INT, (_UINT, _INT, _TEXT_OUT)),
    "SetBootloaderFlag": (_INT, (_UINT, _INT)),
    "ResetController": (_INT, (_UINT,)),
    "EraseFlashBlock": (_INT, (_UINT, _UINT)),
    "WriteFlash": (_INT, (_UINT, _UINT, _BYTES_IN, _INT)),
    "VerifyFlash": (_INT, (_UINT, _UINT, _BYTES_IN, _INT)),
    "WriteConfig": (_INT, (_UINT, _UINT, _BYTES_IN, _INT)),
    "SetHV": (_INT, (_UINT, _INT)),
    "ReadHV": (_INT, (_UINT, _INT_OUT)),
    "SetGain": (_INT, (_UINT, _INT)),
    "ReadGain": (_INT, (_UINT, _INT_OUT)),
    "SetLLD": (_INT, (_UINT, _INT)),
    "ReadLLD": (_INT, (_UINT, _INT_OUT)),
    "SetULD": (_INT, (_UINT, _INT)),
    "ReadULD": (_INT, (_UINT, _INT_OUT)),
    "SetIntegralMode": (_INT, (_UINT, _INT)),
    "ReadIntegralMode": (_INT, (_UINT, _INT_OUT)),
    "SetAnalogOutputMode": (_INT, (_UINT, _INT)),
    "ReadAnalogOutputMode": (_INT, (_UINT, _INT_OUT)),
    "SetCPSGain": (_INT, (_UINT, _INT)),
    "ReadCPSGain": (_INT, (_UINT, _INT_OUT)),
    "SetResponseTime": (_INT, (_UINT, _INT)),
    "ReadResponseTime": (_INT, (_UINT, _INT_OUT)),
    "SaveSettings": (_INT, (_UINT,)),
    "ReadCPS": (_INT, (_UINT, _INT_OUT, _INT_OUT)),
}

# A 32-bit Windows DLL exports stdcall functions under decorated names: an underscore, the
# name, an at sign and the argument bytes (_OpenSCA@4). Everywhere else the names are plain.
_STDCALL = sys.platform == "win32" and ctypes.sizeof(ctypes.c_void_p) == 4


def export_name(name, stdcall=_STDCALL):
    """The name the export is bound by on this platform."""
    if stdcall:
        _, args = _EXPORTS[name]
        return "_%s@%d" % (name, 4 * len(args))
    return name


class Library:
    """The loaded library. Each export is bound at its first call."""

    def __init__(self, path=None):
        self.path = path if path is not None else LIBRARY_FILE
        loader = ctypes.WinDLL if _STDCALL else ctypes.CDLL
        self._dll = loader(self.path)
        self._bound = {}
        self._lock = threading.Lock()

    def function(self, name):
        """The export `name` with its argument and result types set."""
        fn = self._bound.get(name)
        if fn is not None:
            return fn
        restype, argtypes = _EXPORTS[name]
        try:
            fn = self._dll[export_name(name)]
        except AttributeError:
            raise ArdellixError(
                name, "%s has no function %s" % (self.path, export_name(name))
            ) from None
        fn.restype = restype
        fn.argtypes = argtypes
        with self._lock:
            self._bound[name] = fn
        return fn

    def call(self, name, *args):
        """Calls an export and returns its result; 0 raises ArdellixError naming it."""
        result = self.function(name)(*args)
        if result == 0:
            raise ArdellixError(name)
        return result


_default = None
_default_lock = threading.Lock()


def default_library():
    """The library loaded by file name, once per process."""
    global _default
    with _default_lock:
        if _default is None:
            _default = Library()
        return _default
