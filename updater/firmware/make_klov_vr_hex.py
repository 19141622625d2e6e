#!/usr/bin/env python3
"""Writes klov-vr.hex, the probe firmware image that the updater carries.

The image is made for this project: a deterministic, program-like byte pattern for the
application area, the identity block the updater patches and the probe reports, and the
configuration bytes. See README.md beside this script for the layout.

    python3 make_klov_vr_hex.py [output path]   (default: klov-vr.hex beside this script)
"""
import pathlib
import sys

APP_START = 0x0800
DATA_RECORDS = 775          # 16-byte records from 0x0800: 0x0800..0x386F
IDENTITY = {
    0x1000: b"KORVALIMEX\0",
    0x1010: b"kLOV-VR\0",
    0x1020: b"SERIAL\0" + b"00000000" + b"\0",
    0x1030: b"2.1.0\0",
    0x1040: b"PRDATE\0" + b"00000000" + b"\0",
}
IDENTITY_START, IDENTITY_END = 0x1000, 0x1050
CONFIG = bytes([0x00, 0x32, 0x3F, 0x1E, 0x00, 0x81, 0x81, 0x00,
                0x0F, 0xC0, 0x0F, 0xE0, 0x0F, 0x40])  # 14 bytes at 0x300000


def program_bytes():
    """Two-byte instruction words from a small fixed generator, never 0xFF."""
    image = bytearray()
    state = 0x2C41
    opcodes = (0x0E, 0x6E, 0x50, 0x26, 0xEC, 0xEF, 0xD0, 0xA4, 0xB2, 0x12, 0x6A, 0x28)
    while len(image) < DATA_RECORDS * 16:
        state = (state * 0x41C5 + 0x3039) & 0xFFFF
        operand = (state >> 5) & 0xFF
        if operand == 0xFF:
            operand = 0x7F
        image += bytes([operand, opcodes[(state >> 11) % len(opcodes)]])
    block = bytearray(IDENTITY_END - IDENTITY_START)  # zero-filled between the fields
    for addr, text in IDENTITY.items():
        block[addr - IDENTITY_START:addr - IDENTITY_START + len(text)] = text
    offset = IDENTITY_START - APP_START
    image[offset:offset + len(block)] = block
    return bytes(image)


def record(address, rtype, data):
    body = bytes([len(data), address >> 8, address & 0xFF, rtype]) + data
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper()


def lines():
    out = [record(0, 4, b"\x00\x00")]
    program = program_bytes()
    for k in range(DATA_RECORDS):
        out.append(record(APP_START + 16 * k, 0, program[16 * k:16 * k + 16]))
    out.append(record(0, 4, b"\x00\x30"))
    out.append(record(0, 0, CONFIG))
    out.append(record(0, 1, b""))
    return out


def main():
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else \
        pathlib.Path(__file__).with_name("klov-vr.hex")
    text = lines()
    assert len(text) == 779, len(text)
    path.write_bytes(("\r\n".join(text) + "\r\n").encode("ascii"))


if __name__ == "__main__":
    main()
