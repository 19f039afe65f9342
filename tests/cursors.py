"""Cursor files that user32's LoadImage loads, for the tests that need one."""

import struct


def cursor_file(width=32, height=32):
    """The bytes of a valid monochrome .cur file, which LoadImage loads."""
    xor = bytes(width * height // 8)
    mask = b"\xff" * (width * height // 8)
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 1, 0, len(xor) + len(mask), 0, 0, 2, 0)
    image = header + b"\0\0\0\0\xff\xff\xff\0" + xor + mask
    entry = struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 1, len(image), 22)
    return struct.pack("<HHH", 0, 2, 1) + entry + image


def animated_cursor_file():
    """The bytes of a valid one-frame .ani file."""
    def chunk(ident, body):
        return ident + struct.pack("<I", len(body)) + body + b"\0" * (len(body) & 1)
    header = struct.pack("<9I", 36, 1, 1, 0, 0, 0, 0, 10, 1)  # one frame, shown 10 jiffies, frames are icons
    body = b"ACON" + chunk(b"anih", header) + chunk(b"LIST", b"fram" + chunk(b"icon", cursor_file()))
    return b"RIFF" + struct.pack("<I", len(body)) + body
