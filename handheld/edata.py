#!/usr/bin/python3
"""Writes a DLL's export table as a COFF object, word-aligned throughout.

    edata.py EXPORTS.def OUT.obj

The assumption it corrects: lld 14 lays the export directory it makes from
a .def file out at byte alignment: right after the section contents before
it, and with the import directory right after the export names, so that
rxboot.dll's export directory, its tables and its import descriptors landed
at odd addresses. An ARMv4 or ARMv5 core reads a word from an unaligned
address rotated, without a fault, so the device's loader would read
garbage. lld-link takes a .edata section from an input
object in place of its own (the .def file then only names the library for
the import library), so this writes one: the directory, the export address
table, the name pointer table, the ordinal table and the names, each
starting on a 4-byte boundary and the whole a multiple of 4 bytes long, with IMAGE_REL_ARM_ADDR32NB relocations to
the exported functions. (lld-link sets the Thumb bit on those addresses
too; handheld/pe-mend.py clears it.)

The .def file: a LIBRARY line naming the DLL, then EXPORTS with one name a
line, optionally "@ordinal"; names without one get the ordinals after the
highest given, in the order of their names. Refused (exit code 1): no
LIBRARY, no exports, a name or an ordinal given twice, NONAME or DATA
exports (the device manager finds its entry points by name).
"""
import re
import struct
import sys

from elf2coff import coff_names

IMAGE_FILE_MACHINE_ARMNT = 0x1C4
IMAGE_REL_ARM_ADDR32NB = 0x0002
IMAGE_SCN_CNT_INITIALIZED_DATA, IMAGE_SCN_ALIGN_4BYTES, IMAGE_SCN_MEM_READ = 0x40, 0x00300000, 0x40000000
IMAGE_SYM_CLASS_EXTERNAL, IMAGE_SYM_CLASS_STATIC = 2, 3


class Refused(Exception):
    pass


def read_def(path):
    library, exports, in_exports = None, [], False
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.split(";", 1)[0].strip()
            if not line:
                continue
            words = line.split()
            if words[0].upper() == "LIBRARY":
                library = words[1].strip('"') if len(words) > 1 else None
                in_exports = False
            elif words[0].upper() == "EXPORTS":
                in_exports = True
            elif in_exports:
                m = re.match(r"^([A-Za-z_][A-Za-z0-9_@?$]*)(?:\s+@(\d+))?\s*(.*)$", line)
                if not m or m.group(3):
                    raise Refused("%s: cannot export \"%s\" (only NAME or NAME @ordinal)" % (path, line))
                exports.append((m.group(1), int(m.group(2)) if m.group(2) else None))
    if not library:
        raise Refused("%s: no LIBRARY name" % path)
    if not exports:
        raise Refused("%s: no exports" % path)
    names = [name for name, _ in exports]
    given = [ordinal for _, ordinal in exports if ordinal is not None]
    if len(set(names)) != len(names) or len(set(given)) != len(given) or 0 in given:
        raise Refused("%s: a name or an ordinal is given twice (or ordinal 0)" % path)
    return library, exports


def layout(library, exports):
    """The .edata bytes, its relocations (offset, symbol) and the symbols named."""
    next_ordinal = max([o for _, o in exports if o is not None] + [0]) + 1
    ordinals = {}
    for name, ordinal in sorted(exports, key=lambda e: e[0]):
        if ordinal is None:
            ordinal, next_ordinal = next_ordinal, next_ordinal + 1
        ordinals[name] = ordinal
    base = min(ordinals.values())
    count = max(ordinals.values()) - base + 1
    names = sorted(ordinals)       # the loader looks names up by binary search

    def aligned(n):
        return (n + 3) & ~3

    directory = 0
    functions = directory + 40
    name_pointers = functions + 4 * count
    ordinal_table = name_pointers + 4 * len(names)
    strings = aligned(ordinal_table + 2 * len(names))
    text = bytearray()
    string_offset = {}
    for s in [library] + names:
        string_offset[s] = strings + len(text)
        text.extend(s.encode("ascii") + b"\0")
    data = bytearray(aligned(strings + len(text)))
    data[strings:strings + len(text)] = text
    relocations = []   # (offset, symbol name or None for .edata itself)

    def rva_of_edata(offset, target):
        struct.pack_into("<I", data, offset, target)
        relocations.append((offset, None))

    struct.pack_into("<IIHH", data, directory, 0, 0, 0, 0)
    struct.pack_into("<III", data, directory + 16, base, count, len(names))
    rva_of_edata(directory + 12, string_offset[library])
    rva_of_edata(directory + 28, functions)
    rva_of_edata(directory + 32, name_pointers)
    rva_of_edata(directory + 36, ordinal_table)
    for name in names:
        relocations.append((functions + 4 * (ordinals[name] - base), name))
    for k, name in enumerate(names):
        rva_of_edata(name_pointers + 4 * k, string_offset[name])
        struct.pack_into("<H", data, ordinal_table + 2 * k, ordinals[name] - base)
    return bytes(data), relocations, names


def write_object(data, relocations, names):
    strings, name_field = coff_names()

    symbols = [name_field(".edata") + struct.pack("<IhHBB", 0, 1, 0, IMAGE_SYM_CLASS_STATIC, 0)]
    index = {None: 0}
    for name in names:
        index[name] = len(symbols)
        symbols.append(name_field(name) + struct.pack("<IhHBB", 0, 0, 0x20, IMAGE_SYM_CLASS_EXTERNAL, 0))
    struct.pack_into("<I", strings, 0, len(strings))
    raw = 20 + 40
    relocation_table = raw + len(data)
    records = b"".join(struct.pack("<IIH", offset, index[target], IMAGE_REL_ARM_ADDR32NB)
                       for offset, target in relocations)
    symbol_table = relocation_table + len(records)
    header = struct.pack("<HHIIIHH", IMAGE_FILE_MACHINE_ARMNT, 1, 0, symbol_table, len(symbols), 0, 0)
    section = b".edata\0\0" + struct.pack(
        "<IIIIIIHHI", 0, 0, len(data), raw, relocation_table, 0, len(relocations), 0,
        IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_ALIGN_4BYTES | IMAGE_SCN_MEM_READ)
    return header + section + data + records + b"".join(symbols) + bytes(strings)


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    try:
        library, exports = read_def(argv[0])
        obj = write_object(*layout(library, exports))
        with open(argv[1], "wb") as f:
            f.write(obj)
    except Refused as refused:
        print("edata: %s" % refused, file=sys.stderr)
        return 1
    except OSError as error:
        print("edata: %s" % error, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
