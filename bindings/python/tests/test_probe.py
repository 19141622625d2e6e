"""The Probe class against the simulated probe."""

import threading

import pytest

from ardellix import ArdellixError, CountRate, Probe
from conftest import DATE, SERIAL, VERSION


def test_identity_of_both_probes_and_close_at_end_of_with():
    with Probe.open(0) as first, Probe.open(1) as second:
        # A fresh process lists the bus newest first: the second probe made is at index 0.
        assert (first.serial_number, second.serial_number) == ("04129902", SERIAL)
        assert first.product.startswith("kLOV")
        assert first.manufacturer != ""
        assert second.firmware_version == VERSION
        assert second.production_date == DATE
    assert first.closed and second.closed
    with pytest.raises(ArdellixError) as failure:
        first.read_cps()
    assert failure.value.export == "ReadCPS"
    first.close()  # a second close does nothing


@pytest.mark.parametrize(
    "name, value",
    [
        ("high_voltage", 1000),
        ("high_voltage", 65535),
        ("gain", 0),
        ("lld", 300),
        ("uld", 4095),
        ("cps_gain", 255),
        ("response_time", 7),
        ("integral_mode", True),
        ("integral_mode", False),
        ("analog_output_mode", True),
    ],
)
def test_setting_reads_back(name, value):
    with Probe.open(0) as probe:
        setattr(probe, name, value)
        assert getattr(probe, name) == value


@pytest.mark.parametrize(
    "name, value", [("high_voltage", 65536), ("gain", -1), ("cps_gain", 256), ("response_time", -5)]
)
def test_out_of_range_setting_is_refused_and_nothing_sent(name, value):
    with Probe.open(0) as probe:
        before = getattr(probe, name)
        with pytest.raises(ValueError):
            setattr(probe, name, value)
        assert getattr(probe, name) == before


def test_read_cps():
    with Probe.open(0) as probe:
        reading = probe.read_cps()
    assert isinstance(reading, CountRate)
    assert 0 <= reading.rate <= 65535
    assert isinstance(reading.flag, bool)


def test_opening_a_missing_probe_names_the_export():
    for opener, export in ((Probe.open, "OpenSCA"), (Probe.open_bootloader, "OpenSCABootloader")):
        with pytest.raises(ArdellixError) as failure:
            opener(5)
        assert failure.value.export == export
        assert export in str(failure.value)


def test_a_probe_shared_by_threads_keeps_replies_apart():
    errors = []
    with Probe.open(0) as probe:
        probe.high_voltage = 1234

        def work():
            try:
                for _ in range(300):
                    probe.read_cps()
                    assert probe.high_voltage == 1234
            except Exception as e:  # collected for the main thread
                errors.append(e)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert errors == []


def test_a_failed_exchange_names_the_export_and_the_connection_goes_on(run_on_bus):
    # Exchange 0 is OpenSCA's identify, exchange 1 the first ReadHV: its reply never comes.
    out = run_on_bus(
        """
from ardellix import ArdellixError, Probe
with Probe.open(0) as probe:
    try:
        probe.high_voltage
    except ArdellixError as e:
        print(e.export, e)
    print(probe.high_voltage)
""",
        KLOVSIM_FAULT="no-reply@1",
    )
    assert out.splitlines() == ["ReadHV ReadHV returned 0", "900"]


def test_saved_settings_survive_a_restart(run_on_bus, tmp_path):
    state = str(tmp_path / "probe.state")
    run_on_bus(
        """
from ardellix import Probe
with Probe.open(0) as probe:
    probe.high_voltage = 1234
    probe.save()
    probe.high_voltage = 999
""",
        KLOVSIM_STATE=state,
    )
    out = run_on_bus(
        "from ardellix import Probe\nprint(Probe.open(0).high_voltage)", KLOVSIM_STATE=state
    )
    assert out.strip() == "1234"


def test_bootloader_writes_and_verifies_flash(run_on_bus):
    out = run_on_bus(
        """
from ardellix import ArdellixError, Probe
row = bytes(range(16))
with Probe.open_bootloader(0) as probe:
    probe.erase_flash_block(0x7000)
    probe.write_flash(0x7000, row)
    probe.verify_flash(0x7000, row)
    try:
        probe.verify_flash(0x7000, bytes(16))
    except ArdellixError as e:
        print(e.export)
""",
        KLOVSIM_MODE="bootloader",
    )
    assert out.strip() == "VerifyFlash"
