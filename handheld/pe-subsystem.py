#!/usr/bin/env python3
"""Marks a linked PE image as a Windows CE GUI image.

    pe-subsystem.py IMAGE

lld 14 cannot link for subsystem 9 (Windows CE GUI), so the handheld images
are linked as Windows GUI images with subsystem version 5.02; this sets the
optional header's Subsystem field to 9 and recomputes the image checksum.
Refuses anything that is not a 32-bit PE image.
"""
import struct
import sys

IMAGE_SUBSYSTEM_WINDOWS_CE_GUI = 9


def checksum(data):
    """The PE image checksum, over an image whose checksum field is 0."""
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total + (total >> 16)) & 0xFFFF
    return total + len(data)


def main(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    if data[:2] != b"MZ":
        sys.exit("%s: not a PE image" % path)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit("%s: no PE signature" % path)
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x10B:
        sys.exit("%s: not a 32-bit (PE32) image" % path)
    checksum_offset = optional + 64
    struct.pack_into("<H", data, optional + 68, IMAGE_SUBSYSTEM_WINDOWS_CE_GUI)
    struct.pack_into("<I", data, checksum_offset, 0)
    struct.pack_into("<I", data, checksum_offset, checksum(bytes(data)))
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
