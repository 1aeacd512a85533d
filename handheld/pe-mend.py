#!/usr/bin/python3
"""Makes an image that lld-link linked for ARMNT the Windows CE image it is.

    pe-mend.py IMAGE

The assumptions it corrects: lld-link knows ARM images only as Windows on
ARM images of Thumb-2 code (machine 0x1C4). It sets bit 0, the Thumb state
bit, on the entry point, on every exported function and on every absolute
address of code it relocates (function pointers in literal pools and tables),
and it knows no Windows CE subsystem. The handheld's code is A32 code in
ARM state (handheld/elf2coff.py made sure every code address it handed over
was a word-aligned A32 instruction), so this step:
  - sets the machine to 0x1C2, which the device SDK writes for ARMv4T code
    with interworking and which the Windows CE 5 loader accepts;
  - clears bit 0 on the entry point, on the exported functions' addresses,
    and on every relocated address that points into the code section;
  - sets the subsystem to 9 (Windows CE GUI) and DllCharacteristics to 0,
    and computes the checksum again.

Refused, with the image left as it was (exit code 1): an image of another
machine, a subsystem version other than 5.02, no code section or more than
one, an entry point or an export or a code pointer that does not land on a
word-aligned instruction after the mend, a base relocation of a type other
than HIGHLOW, and any directory or table that is not word-aligned (the
export directory and its tables, the import descriptors and their address
tables, resources, base relocations): ARMv4 and ARMv5 cores read a word from
an unaligned address rotated, without a fault. Exit code 2 on bad usage or
an unreadable file.
"""
import struct
import sys

import pefile

IMAGE_FILE_MACHINE_ARMNT = 0x1C4
IMAGE_FILE_MACHINE_THUMB = 0x1C2
IMAGE_SUBSYSTEM_WINDOWS_CE_GUI = 9
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_REL_BASED_ABSOLUTE, IMAGE_REL_BASED_HIGHLOW = 0, 3


class Refused(Exception):
    pass


def checksum(data):
    """The PE image checksum, over an image whose checksum field is 0."""
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total + (total >> 16)) & 0xFFFF
    return total + len(data)


def alignment_problems(pe):
    """Every directory and table the loader reads, with its required alignment."""
    problems = []

    def need(rva, what, align=4):
        if rva % align:
            problems.append("%s at RVA 0x%X is not %d-byte aligned" % (what, rva, align))

    for index, directory in enumerate(pe.OPTIONAL_HEADER.DATA_DIRECTORY):
        if directory.VirtualAddress:
            need(directory.VirtualAddress, "data directory %s" % directory.name.replace("IMAGE_DIRECTORY_ENTRY_", ""))
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    if exports is not None:
        need(exports.struct.AddressOfFunctions, "the export address table")
        need(exports.struct.AddressOfNames, "the export name table")
        need(exports.struct.AddressOfNameOrdinals, "the export ordinal table")
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("ascii", "replace")
        need(entry.struct.OriginalFirstThunk, "the import lookup table of %s" % dll)
        need(entry.struct.FirstThunk, "the import address table of %s" % dll)
        for imp in entry.imports:
            if imp.name is not None:
                need(imp.hint_name_table_rva, "the hint/name entry of %s" % imp.name.decode("ascii", "replace"), 2)
    return problems


def mend(data):
    """The mended image's bytes."""
    pe = pefile.PE(data=bytes(data))
    out = bytearray(data)
    problems = []
    if pe.FILE_HEADER.Machine != IMAGE_FILE_MACHINE_ARMNT:
        raise Refused("machine 0x%X: not an image lld-link made for ARM (0x1C4)" % pe.FILE_HEADER.Machine)
    if pe.OPTIONAL_HEADER.Magic != 0x10B:
        raise Refused("not a 32-bit (PE32) image")
    version = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
    if version != (5, 2):
        problems.append("subsystem version %d.%02d, wanted 5.02" % version)
    code = [s for s in pe.sections if s.Characteristics & IMAGE_SCN_MEM_EXECUTE]
    if len(code) != 1:
        raise Refused("%d code sections, wanted 1" % len(code))
    code = code[0]
    code_start, code_end = code.VirtualAddress, code.VirtualAddress + code.Misc_VirtualSize

    def arm_state(rva, what):
        rva &= ~1
        if not code_start <= rva < code_end or rva & 3:
            problems.append("%s at RVA 0x%X is not an A32 instruction of the code section" % (what, rva))
        return rva

    pe.OPTIONAL_HEADER.AddressOfEntryPoint = arm_state(pe.OPTIONAL_HEADER.AddressOfEntryPoint, "the entry point")

    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    if exports is None and pe.OPTIONAL_HEADER.DATA_DIRECTORY[0].VirtualAddress:
        problems.append("an export directory that cannot be read")
    if exports is not None:
        table = exports.struct.AddressOfFunctions
        for k in range(exports.struct.NumberOfFunctions):
            offset = pe.get_offset_from_rva(table + 4 * k)
            (rva,) = struct.unpack_from("<I", out, offset)
            if code_start <= rva < code_end:
                struct.pack_into("<I", out, offset, arm_state(rva, "export %d" % (exports.struct.Base + k)))

    base = pe.OPTIONAL_HEADER.ImageBase
    for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
        for entry in block.entries:
            if entry.type == IMAGE_REL_BASED_ABSOLUTE:
                continue
            if entry.type != IMAGE_REL_BASED_HIGHLOW:
                problems.append("base relocation of type %d at RVA 0x%X" % (entry.type, entry.rva))
                continue
            offset = pe.get_offset_from_rva(entry.rva)
            (value,) = struct.unpack_from("<I", out, offset)
            if code_start <= value - base < code_end:
                struct.pack_into("<I", out, offset, base + arm_state(value - base, "the code pointer at RVA 0x%X"
                                                                     % entry.rva))

    problems += alignment_problems(pe)
    if problems:
        raise Refused("\n".join(problems))

    header = pe.DOS_HEADER.e_lfanew
    optional = header + 24
    struct.pack_into("<H", out, header + 4, IMAGE_FILE_MACHINE_THUMB)
    struct.pack_into("<I", out, optional + 16, pe.OPTIONAL_HEADER.AddressOfEntryPoint)
    struct.pack_into("<H", out, optional + 68, IMAGE_SUBSYSTEM_WINDOWS_CE_GUI)
    struct.pack_into("<H", out, optional + 70, 0)      # DllCharacteristics
    struct.pack_into("<I", out, optional + 64, 0)
    struct.pack_into("<I", out, optional + 64, checksum(bytes(out)))
    return out


def main(argv):
    if len(argv) != 1:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    path = argv[0]
    try:
        with open(path, "rb") as f:
            data = f.read()
        mended = mend(data)
    except OSError as error:
        print("pe-mend: %s" % error, file=sys.stderr)
        return 2
    except pefile.PEFormatError as error:
        print("pe-mend: %s: %s" % (path, error), file=sys.stderr)
        return 2
    except Refused as refused:
        for line in str(refused).splitlines():
            print("pe-mend: %s: %s" % (path, line), file=sys.stderr)
        return 1
    with open(path, "wb") as f:
        f.write(mended)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
