#!/usr/bin/python3
"""The structures the deliverables hand to the platform have the Windows ARM
layout in the A32 objects.

    layouts.py <A32 object of layouts.c> <project root>

Compiles tests/handheld/layouts.c for clang's Windows ARM target with
Microsoft's bit-field layout (-mms-bitfields), reads the section .rxlay of
both objects, and wants every size, offset and bit-field position equal to
the documented one in both, and the two sections equal byte for byte.
Exit code 0 when all holds, 1 otherwise.
"""
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(sys.argv[2], "handheld"))
import elf2coff  # noqa: E402


def coff_section(data, name):
    count, = struct.unpack_from("<H", data, 2)
    optional, = struct.unpack_from("<H", data, 16)
    for k in range(count):
        header = 20 + optional + 40 * k
        if data[header:header + 8].rstrip(b"\0").decode() == name:
            size, pointer = struct.unpack_from("<II", data, header + 16)
            return data[pointer:pointer + size]
    raise SystemExit("layouts: no section %s in the Windows ARM object" % name)


def windows_arm_bytes(root):
    source = os.path.join(root, "tests", "handheld", "layouts.c")
    with tempfile.TemporaryDirectory() as work:
        obj = os.path.join(work, "layouts.obj")
        subprocess.run(["clang", "--target=armv7-w64-windows-gnu", "-mms-bitfields",
                        "-isystem", "/usr/share/mingw-w64/include",
                        "-I", os.path.join(root, "standins", "aygshell", "include"),
                        "-DUNDER_CE", "-D_WIN32_WCE=0x502", "-DWINCE", "-DWIN32_PLATFORM_PSPC", "-DUNICODE",
                        "-D_UNICODE", "-include", os.path.join(root, "handheld", "include", "wince-sdk.h"),
                        "-c", source, "-o", obj], check=True)
        with open(obj, "rb") as f:
            return coff_section(f.read(), ".rxlay")


def problems(what, data):
    found = []
    measures = [struct.unpack_from("<III", data, 12 * k) for k in range(64)]
    for k, (made, documented, present) in enumerate(measures):
        if not present:
            found.append("%s: measure %d is empty" % (what, k))
        elif made != documented:
            found.append("%s: measure %d is %d, documented %d" % (what, k, made, documented))
    offset = 12 * 64
    for kind, size, word_at, count in (("DCB", 28, 8, 13), ("COMSTAT", 12, 0, 8)):
        for k in range(count):
            word, = struct.unpack_from("<I", data, offset + word_at)
            documented, = struct.unpack_from("<I", data, offset + size)
            if word != documented:
                found.append("%s: %s bit-field %d sets 0x%08X, documented 0x%08X" % (what, kind, k, word, documented))
            offset += size + 4
    return found


def main():
    with open(sys.argv[1], "rb") as f:
        sections, _ = elf2coff.read_elf(f.read(), sys.argv[1])
    a32 = next(s["data"] for s in sections if s["name"] == ".rxlay")
    windows = windows_arm_bytes(sys.argv[2])
    found = problems("A32 (armv4t-none-eabi)", a32) + problems("Windows ARM", windows)
    if a32 != windows:
        found.append("the two layouts differ (%d and %d bytes)" % (len(a32), len(windows)))
    for line in found:
        print("layouts: %s" % line)
    print("layouts: %d bytes compared; %s" % (len(a32), "all agree" if not found else "%d problem(s)" % len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
