#!/usr/bin/env python3
"""Writes the four firmware images the updater embeds.

The bytes are stand-ins for the device's firmware: deterministic, but a hash of
the image id and the offset, so that a block sent to the wrong address, shifted
or taken from another image never matches. Only the tails the updater relies on
are fixed: the boot stamp of 142, the version tail of 133, and the version
sector 139.

Run from anywhere; the images are written next to this script.
"""

import hashlib
import pathlib

STAMP = b"1.00"
FF_TAIL = 256  # erased bytes before a version stamp
MAKER_NAME = b"VEXA Q SERIES   "


def filler(image_id: int, size: int) -> bytearray:
    out = bytearray()
    chunk = 0
    while len(out) < size:
        out += hashlib.sha256(b"q4m-%d-%d" % (image_id, chunk)).digest()
        chunk += 1
    return out[:size]


def with_stamp_tail(image_id: int, size: int) -> bytes:
    data = filler(image_id, size)
    data[size - len(STAMP) - FF_TAIL : size - len(STAMP)] = b"\xff" * FF_TAIL
    data[size - len(STAMP) :] = STAMP
    return bytes(data)


def version_sector() -> bytes:
    data = bytearray(b"\xff" * 4096)
    data[0xFE0 : 0xFE0 + 4] = b"1.10"
    assert len(MAKER_NAME) == 16
    data[0xFF0:0x1000] = MAKER_NAME
    return bytes(data)


IMAGES = {
    142: with_stamp_tail(142, 143360),
    133: with_stamp_tail(133, 118784),
    129: bytes(filler(129, 488804)),
    139: version_sector(),
}


def main() -> None:
    here = pathlib.Path(__file__).resolve().parent
    for image_id, data in IMAGES.items():
        (here / f"{image_id}.bin").write_bytes(data)


if __name__ == "__main__":
    main()
