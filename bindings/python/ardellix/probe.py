"""One connection to a kLOV probe."""

import ctypes
import threading
from collections import namedtuple

from ._errors import ArdellixError
from ._library import Library, default_library

#: One count-rate reading: `rate` in counts per second as the probe reports it (0 to 65535)
#: and the probe's status `flag`.
CountRate = namedtuple("CountRate", ["rate", "flag"])

# ReadDeviceInfo selectors.
_PRODUCT, _MANUFACTURER, _FIRMWARE_VERSION, _PRODUCTION_DATE = 0, 1, 3, 4
_INFO_BUFFER = 32
_SERIAL_BUFFER = 10


def _text(buffer):
    """The text the library wrote: up to the first zero byte, one character per byte."""
    return buffer.raw.split(b"\0", 1)[0].decode("latin-1")


def _number_setting(read, write, maximum, doc):
    def getter(self):
        return self._read_int(read)

    def setter(self, value):
        value = int(value)
        if not 0 <= value <= maximum:
            raise ValueError("%s takes 0 to %d, not %d" % (write, maximum, value))
        self._call(write, value)

    return property(getter, setter, doc=doc)


def _switch_setting(read, write, doc):
    def getter(self):
        return self._read_int(read) != 0

    def setter(self, on):
        self._call(write, 1 if on else 0)

    return property(getter, setter, doc=doc)


class Probe:
    """A connection to one probe, from `open` or `open_bootloader` until `close`.

    Every call is one or a few USB exchanges with the probe and raises ArdellixError, naming
    the library function, when that function returns 0. A Probe may be shared between
    threads: its calls take turns, since the probe matches replies to requests by order only.
    Used in a `with` block, the connection closes at its end.
    """

    def __init__(self, library, handle):
        # Use Probe.open or Probe.open_bootloader.
        self._library = library
        self._handle = handle
        self._lock = threading.Lock()

    @classmethod
    def open(cls, index=0, library=None):
        """Opens probe `index` (counted from 0) running its application, after checking
        that it answers as a kLOV probe. `library` is a path or a Library; by default the
        library is loaded by file name."""
        return cls._open("OpenSCA", index, library)

    @classmethod
    def open_bootloader(cls, index=0, library=None):
        """Opens probe `index` in whichever mode it runs, without talking to it: for the
        bootloader functions."""
        return cls._open("OpenSCABootloader", index, library)

    @classmethod
    def _open(cls, export, index, library):
        if library is None:
            library = default_library()
        elif not isinstance(library, Library):
            library = Library(library)
        return cls(library, library.call(export, int(index)))

    # ----- the connection -----

    @property
    def handle(self):
        """The library's handle of this connection; 0 once closed."""
        return self._handle

    @property
    def closed(self):
        return self._handle == 0

    def close(self):
        """Closes the connection. Closing a closed Probe does nothing."""
        with self._lock:
            if self._handle == 0:
                return
            handle, self._handle = self._handle, 0
            self._library.call("CloseSCA", handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self):
        state = "closed" if self.closed else "handle %d" % self._handle
        return "<ardellix.Probe %s>" % state

    def _call(self, export, *args):
        with self._lock:
            if self._handle == 0:
                raise ArdellixError(export, "%s: the connection is closed" % export)
            return self._library.call(export, self._handle, *args)

    def _read_int(self, export):
        value = ctypes.c_int32()
        self._call(export, ctypes.byref(value))
        return value.value

    def _info(self, selector):
        buffer = ctypes.create_string_buffer(_INFO_BUFFER)
        self._call("ReadDeviceInfo", selector, buffer)
        return _text(buffer)

    # ----- identity -----

    @property
    def serial_number(self):
        """The probe's serial number (ReadSerialNo)."""
        buffer = ctypes.create_string_buffer(_SERIAL_BUFFER)
        self._call("ReadSerialNo", buffer)
        return _text(buffer)

    product = property(lambda self: self._info(_PRODUCT), doc="The product name.")
    manufacturer = property(lambda self: self._info(_MANUFACTURER), doc="The manufacturer.")
    firmware_version = property(
        lambda self: self._info(_FIRMWARE_VERSION), doc="The firmware version text."
    )
    production_date = property(
        lambda self: self._info(_PRODUCTION_DATE), doc="The production date, as YYYYMMDD."
    )

    # ----- detector settings (raw values, as the probe keeps them) -----

    high_voltage = _number_setting("ReadHV", "SetHV", 0xFFFF, "The high voltage setting.")
    gain = _number_setting("ReadGain", "SetGain", 0xFFFF, "The gain.")
    lld = _number_setting("ReadLLD", "SetLLD", 0xFFFF, "The lower-level discriminator.")
    uld = _number_setting("ReadULD", "SetULD", 0xFFFF, "The upper-level discriminator.")
    cps_gain = _number_setting("ReadCPSGain", "SetCPSGain", 0xFF, "The count-rate gain.")
    response_time = _number_setting(
        "ReadResponseTime", "SetResponseTime", 0xFF, "The response time."
    )
    integral_mode = _switch_setting(
        "ReadIntegralMode", "SetIntegralMode", "Whether integral mode is on."
    )
    analog_output_mode = _switch_setting(
        "ReadAnalogOutputMode", "SetAnalogOutputMode", "Whether the analog output is on."
    )

    def save(self):
        """Stores the current settings in the probe, so that they survive a restart."""
        self._call("SaveSettings")

    # ----- count rate -----

    def read_cps(self):
        """Reads the count rate: a CountRate(rate, flag)."""
        rate = ctypes.c_int32()
        flag = ctypes.c_int32()
        self._call("ReadCPS", ctypes.byref(rate), ctypes.byref(flag))
        return CountRate(rate.value, flag.value != 0)

    # ----- bootloader -----

    def set_bootloader_flag(self, bootloader):
        """Selects what the probe starts at its next restart: its bootloader (True) or its
        application (False)."""
        self._call("SetBootloaderFlag", 1 if bootloader else 0)

    def reset_controller(self):
        """Restarts the probe. It leaves the bus, so close this connection next."""
        self._call("ResetController")

    def erase_flash_block(self, address):
        """Erases the 64-byte flash block holding `address` (0x0800 to 0x7FFF)."""
        self._call("EraseFlashBlock", _address(address))

    def write_flash(self, address, data):
        """Writes `data` (bytes) to erased flash at `address`."""
        self._call("WriteFlash", _address(address), *_data(data))

    def verify_flash(self, address, data):
        """Compares flash at `address` with `data`; raises ArdellixError naming VerifyFlash
        when they differ (or the probe did not answer)."""
        self._call("VerifyFlash", _address(address), *_data(data))

    def write_config(self, address, data):
        """Writes configuration bytes at `address` (0x300000 to 0x30000F)."""
        self._call("WriteConfig", _address(address), *_data(data))


def _address(address):
    address = int(address)
    if not 0 <= address <= 0xFFFFFFFF:
        raise ValueError("address out of range: %#x" % address)
    return address


def _data(data):
    data = memoryview(data).tobytes()
    if len(data) > 0x7FFFFFFF:
        raise ValueError("data too long")
    return data, len(data)
