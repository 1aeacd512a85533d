#!/usr/bin/python3
"""Turns A32 code that ld.lld linked into one COFF object for lld-link.

    elf2coff.py LINKED.elf OUT.obj          convert
    elf2coff.py --inputs OBJECT|ARCHIVE...  check the compiler's objects

The assumption it corrects: lld-link links only COFF objects of machine
ARMNT (0x1C4) and knows only Thumb-2 relocations, so it cannot link the
ARMv4T A32 code that the handheld runs. ld.lld links that code first (it
resolves every A32 branch), with --emit-relocs; this step then carries the
result over as one COFF object whose only relocations are absolute 32-bit
addresses (IMAGE_REL_ARM_ADDR32): to a section of the object, or to an
imported function's address slot (__imp_NAME, left weak and undefined by the
import stubs). It adds the function table Windows CE's unwinder reads
(handheld/pdata.py) as the object's .pdata section, each entry's start an
absolute address of .text. lld-link then does what it does well: layout,
imports, exports, resources, base relocations, and the exception directory
from .pdata. handheld/pe-mend.py undoes what it assumes about Thumb code
afterwards.

Refused, each with its reason (exit code 1):
  - in the compiler's objects: an architecture beyond ARMv4T, a wchar_t that
    is not 2 bytes, enums that are not int-sized, VFP or NEON code;
  - Thumb code (a $t mapping symbol, or a function at an odd address);
  - a section the image has no place for (a static constructor table that
    nothing would run, say), a relocation type it does not handle, a branch
    or PC-relative reference that leaves its section, an absolute symbol;
  - a code pointer that is not the address of an A32 instruction (bit 0
    set, as for Thumb, or not word-aligned);
  - code the function table cannot describe (pdata.py says what).
Exit code 2 on bad usage or an unreadable file.
"""
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pdata    # noqa: E402

EM_ARM = 40
SHT_SYMTAB, SHT_REL, SHT_RELA, SHT_NOBITS, SHT_ARM_ATTRIBUTES = 2, 9, 4, 8, 0x70000003
SHF_WRITE, SHF_ALLOC, SHF_EXECINSTR = 0x1, 0x2, 0x4
STT_FUNC = 2
STB_LOCAL, STB_GLOBAL, STB_WEAK = 0, 1, 2
SHN_UNDEF, SHN_ABS = 0, 0xFFF1

R_ARM_NONE, R_ARM_ABS32, R_ARM_REL32 = 0, 2, 3
R_ARM_CALL, R_ARM_JUMP24, R_ARM_V4BX, R_ARM_PREL31 = 28, 29, 40, 42
RELOCATION_NAMES = {
    0: "R_ARM_NONE", 2: "R_ARM_ABS32", 3: "R_ARM_REL32", 5: "R_ARM_ABS16", 8: "R_ARM_ABS8", 10: "R_ARM_THM_CALL",
    28: "R_ARM_CALL", 29: "R_ARM_JUMP24", 30: "R_ARM_THM_JUMP24", 40: "R_ARM_V4BX",
    42: "R_ARM_PREL31", 43: "R_ARM_MOVW_ABS_NC", 44: "R_ARM_MOVT_ABS",
    47: "R_ARM_THM_MOVW_ABS_NC", 48: "R_ARM_THM_MOVT_ABS",
}

# Build attributes (AAPCS "aeabi" file scope) and what the device allows.
TAG_CPU_ARCH, TAG_FP_ARCH, TAG_SIMD_ARCH = 6, 10, 12
TAG_WCHAR_T, TAG_ENUM_SIZE = 18, 26
CPU_ARCH_V4T = 2          # 1 is ARMv4, 3 ARMv5T, ... 10 ARMv7
ULEB_TAGS_WITH_STRING = {4, 5, 32, 65, 67}   # CPU_raw_name, CPU_name, compatibility, also_compatible_with, conformance

# The image's sections, in the order the COFF object lists them, with their
# COFF characteristics (the alignment bits are added from the ELF section).
IMAGE_SCN_CNT_CODE, IMAGE_SCN_CNT_INITIALIZED_DATA, IMAGE_SCN_CNT_UNINITIALIZED_DATA = 0x20, 0x40, 0x80
IMAGE_SCN_MEM_EXECUTE, IMAGE_SCN_MEM_READ, IMAGE_SCN_MEM_WRITE = 0x20000000, 0x40000000, 0x80000000
IMAGE_SECTIONS = [
    (".text", IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ),
    (".rdata", IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ),
    (".data", IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ | IMAGE_SCN_MEM_WRITE),
    (".bss", IMAGE_SCN_CNT_UNINITIALIZED_DATA | IMAGE_SCN_MEM_READ | IMAGE_SCN_MEM_WRITE),
    (".pdata", IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ),
]
IMAGE_FILE_MACHINE_ARMNT = 0x1C4
IMAGE_REL_ARM_ADDR32 = 0x0001
IMAGE_SYM_CLASS_EXTERNAL, IMAGE_SYM_CLASS_STATIC = 2, 3
IMAGE_SYM_DTYPE_FUNCTION = 0x20
IMPORT_PREFIX = "__imp_"


class Refused(Exception):
    """The input is not fit for the handheld; the text says why."""


def cstring(data, offset):
    end = data.index(b"\0", offset)
    return data[offset:end].decode("utf-8", "replace")


def read_elf(data, what):
    """Sections (dicts) and symbols (dicts) of a 32-bit little-endian ARM ELF file."""
    if data[:4] != b"\x7fELF":
        raise Refused("%s: not an ELF file" % what)
    if data[4] != 1 or data[5] != 1:
        raise Refused("%s: not a 32-bit little-endian ELF file" % what)
    (machine,) = struct.unpack_from("<H", data, 18)
    if machine != EM_ARM:
        raise Refused("%s: ELF machine %d, not ARM" % (what, machine))
    shoff, = struct.unpack_from("<I", data, 32)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 46)
    sections = []
    for i in range(shnum):
        name, kind, flags, addr, offset, size, link, info, align, entsize = struct.unpack_from(
            "<10I", data, shoff + i * shentsize)
        sections.append(dict(index=i, name_offset=name, type=kind, flags=flags, addr=addr, offset=offset,
                             size=size, link=link, info=info, align=align, entsize=entsize))
    names = sections[shstrndx]
    for s in sections:
        s["name"] = cstring(data, names["offset"] + s["name_offset"])
        s["data"] = b"" if s["type"] == SHT_NOBITS else data[s["offset"]:s["offset"] + s["size"]]
    symbols = []
    for s in sections:
        if s["type"] != SHT_SYMTAB:
            continue
        strings = sections[s["link"]]
        for k in range(s["size"] // 16):
            name, value, size, info, other, shndx = struct.unpack_from("<IIIBBH", s["data"], k * 16)
            symbols.append(dict(name=cstring(data, strings["offset"] + name), value=value, size=size,
                                type=info & 0xF, bind=info >> 4, shndx=shndx))
    return sections, symbols


def uleb(data, offset):
    value = shift = 0
    while True:
        byte = data[offset]
        offset += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, offset


def file_attributes(section):
    """The aeabi file-scope build attributes: tag -> value (ints; strings skipped)."""
    data = section["data"]
    found = {}
    if not data or data[0] != ord("A"):
        return found
    offset = 1
    while offset < len(data):
        (length,) = struct.unpack_from("<I", data, offset)
        end = offset + length
        vendor = cstring(data, offset + 4)
        sub = offset + 4 + len(vendor) + 1
        while vendor == "aeabi" and sub < end:
            tag, size = data[sub], struct.unpack_from("<I", data, sub + 1)[0]
            position, sub_end = sub + 5, sub + size
            if tag == 1:   # Tag_File
                while position < sub_end:
                    attribute, position = uleb(data, position)
                    if attribute in ULEB_TAGS_WITH_STRING:
                        position = data.index(b"\0", position) + 1
                    else:
                        found[attribute], position = uleb(data, position)
            sub = sub_end
        offset = end
    return found


def thumb_problems(sections, symbols, what):
    problems = []
    for sym in symbols:
        if sym["name"] == "$t" or sym["name"].startswith("$t."):
            section = sections[sym["shndx"]]["name"] if sym["shndx"] < len(sections) else "?"
            problems.append("%s: Thumb code in %s (the handheld runs A32 code only)" % (what, section))
        elif sym["type"] == STT_FUNC and sym["shndx"] not in (SHN_UNDEF, SHN_ABS) and sym["value"] & 1:
            problems.append("%s: function %s is Thumb code (odd address)" % (what, sym["name"]))
    return problems


def object_problems(data, what):
    """Why a compiler's object does not fit the handheld (empty when it does)."""
    sections, symbols = read_elf(data, what)
    problems = []
    for section in sections:
        if section["type"] != SHT_ARM_ATTRIBUTES:
            continue
        tags = file_attributes(section)
        if tags.get(TAG_CPU_ARCH, CPU_ARCH_V4T) > CPU_ARCH_V4T:
            problems.append("%s: built for an ARM architecture beyond ARMv4T (Tag_CPU_arch %d)"
                            % (what, tags[TAG_CPU_ARCH]))
        if tags.get(TAG_WCHAR_T, 0) not in (0, 2):
            problems.append("%s: wchar_t of %d bytes; Windows CE's WCHAR is 2" % (what, tags[TAG_WCHAR_T]))
        if tags.get(TAG_ENUM_SIZE, 0) not in (0, 2):
            problems.append("%s: enums are not int-sized (Tag_ABI_enum_size %d)" % (what, tags[TAG_ENUM_SIZE]))
        if tags.get(TAG_FP_ARCH, 0) or tags.get(TAG_SIMD_ARCH, 0):
            problems.append("%s: uses VFP or NEON, which the handheld's core lacks" % what)
    return problems + thumb_problems(sections, symbols, what)


def archive_members(data, what):
    """(name, bytes) of each member of a GNU/System V archive, symbol tables left out."""
    if data[:8] != b"!<arch>\n":
        raise Refused("%s: not an archive" % what)
    offset, long_names = 8, b""
    while offset + 60 <= len(data):
        header = data[offset:offset + 60]
        name = header[:16].decode("ascii", "replace").rstrip()
        size = int(header[48:58].decode("ascii").strip())
        body = data[offset + 60:offset + 60 + size]
        offset += 60 + size + (size & 1)
        if name == "//":
            long_names = body
        elif name.startswith("/") and name[1:].isdigit():
            start = int(name[1:])
            yield long_names[start:long_names.index(b"/\n", start)].decode("ascii", "replace"), body
        elif name not in ("/", "/SYM64/"):
            yield name.rstrip("/"), body


def check_inputs(paths):
    problems = []
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        members = archive_members(data, path) if data[:8] == b"!<arch>\n" else [(None, data)]
        for member, body in members:
            what = "%s(%s)" % (path, member) if member else path
            problems += object_problems(body, what)
    return problems


def convert(data, what):
    """The COFF object's bytes for a linked ELF file."""
    sections, symbols = read_elf(data, what)
    problems = thumb_problems(sections, symbols, what)
    image = [(name, flags) for name, flags in IMAGE_SECTIONS]
    by_index = {}
    for section in sections:
        if not section["flags"] & SHF_ALLOC:
            continue
        names = [name for name, _ in image]
        if section["name"] not in names:
            problems.append("%s: section %s has no place in a handheld image" % (what, section["name"]))
            continue
        executable = bool(section["flags"] & SHF_EXECINSTR)
        if executable != (section["name"] == ".text"):
            problems.append("%s: section %s is %sexecutable" % (what, section["name"], "" if executable else "not "))
        by_index[section["index"]] = section
    present = [s for s in (next((x for x in by_index.values() if x["name"] == n), None) for n, _ in image) if s]
    number = {s["index"]: k + 1 for k, s in enumerate(present)}     # COFF section numbers
    contents = {s["index"]: bytearray(s["data"]) for s in present}
    relocations = {s["index"]: [] for s in present}
    imports = {}   # __imp_NAME -> COFF symbol index, filled after the section symbols

    def where(section, offset):
        return "%s+0x%X" % (section["name"], offset)

    for rel in sections:
        if rel["type"] == SHT_RELA:
            problems.append("%s: RELA relocations in %s are not handled" % (what, rel["name"]))
            continue
        if rel["type"] != SHT_REL or rel["info"] not in by_index:
            continue
        site_section = by_index[rel["info"]]
        for k in range(rel["size"] // 8):
            offset, info = struct.unpack_from("<II", rel["data"], k * 8)
            offset -= site_section["addr"]
            kind, sym = info & 0xFF, symbols[info >> 8]
            label = RELOCATION_NAMES.get(kind, "type %d" % kind)
            if kind in (R_ARM_NONE, R_ARM_V4BX):
                continue
            if sym["shndx"] == SHN_UNDEF:
                if kind == R_ARM_ABS32 and sym["bind"] == STB_WEAK and sym["name"].startswith(IMPORT_PREFIX):
                    imports.setdefault(sym["name"], None)
                    relocations[site_section["index"]].append((offset, sym["name"]))
                    struct.pack_into("<I", contents[site_section["index"]], offset, 0)
                else:
                    problems.append("%s: %s at %s refers to %s, which nothing defines"
                                    % (what, label, where(site_section, offset), sym["name"] or "?"))
                continue
            if sym["shndx"] == SHN_ABS or sym["shndx"] not in by_index:
                problems.append("%s: %s at %s refers to %s outside the image's sections"
                                % (what, label, where(site_section, offset), sym["name"] or "an absolute address"))
                continue
            target = by_index[sym["shndx"]]
            if kind in (R_ARM_CALL, R_ARM_JUMP24, R_ARM_REL32, R_ARM_PREL31):
                # Resolved by ld.lld and position-independent while both ends
                # stay in one section.
                if target is not site_section:
                    problems.append("%s: %s at %s reaches into %s" % (what, label, where(site_section, offset),
                                                                       target["name"]))
                continue
            if kind != R_ARM_ABS32:
                problems.append("%s: relocation %s at %s is not handled" % (what, label, where(site_section, offset)))
                continue
            (value,) = struct.unpack_from("<I", contents[site_section["index"]], offset)
            inside = value - target["addr"]
            if not 0 <= inside <= target["size"]:
                problems.append("%s: address 0x%X at %s lies outside %s" % (what, value, where(site_section, offset),
                                                                           target["name"]))
                continue
            if target["name"] == ".text" and value & 3:
                problems.append("%s: code pointer 0x%X at %s to %s is not an A32 instruction address%s"
                                % (what, value, where(site_section, offset), sym["name"] or ".text",
                                   " (bit 0 set: Thumb)" if value & 1 else ""))
                continue
            struct.pack_into("<I", contents[site_section["index"]], offset, inside)
            relocations[site_section["index"]].append((offset, number[target["index"]]))
    try:
        table = pdata.function_table(sections, symbols)
    except pdata.Refused as refused:
        problems += ["%s: %s" % (what, line) for line in str(refused).splitlines()]
    if problems:
        raise Refused("\n".join(problems))
    add_function_table(table, present, number, contents, relocations)
    return write_coff(present, number, contents, relocations, imports, symbols, by_index)


def add_function_table(table, present, number, contents, relocations):
    """The .pdata section: each entry's start relocated against .text."""
    text = next(s for s in present if s["name"] == ".text")
    section = dict(index="pdata", name=".pdata", type=1, align=4, size=pdata.ENTRY_SIZE * len(table))
    present.append(section)
    number["pdata"] = len(present)
    contents["pdata"] = bytearray()
    relocations["pdata"] = []
    for offset, prologue, length in table:
        relocations["pdata"].append((len(contents["pdata"]), number[text["index"]]))
        contents["pdata"] += struct.pack("<II", offset, pdata.entry_word(prologue, length))


def coff_names():
    """A COFF string table (its size filled in by the caller) and the function
    that makes a name's 8-byte field, putting longer names in the table."""
    strings = bytearray(b"\0\0\0\0")

    def name_field(name):
        encoded = name.encode("utf-8")
        if len(encoded) <= 8:
            return encoded.ljust(8, b"\0")
        field = struct.pack("<II", 0, len(strings))
        strings.extend(encoded + b"\0")
        return field
    return strings, name_field


def write_coff(present, number, contents, relocations, imports, symbols, by_index):
    flags = dict(IMAGE_SECTIONS)
    strings, name_field = coff_names()

    table = []   # symbol records, 18 bytes each
    for s in present:
        table.append(name_field(s["name"]) + struct.pack("<IhHBB", 0, number[s["index"]], 0,
                                                         IMAGE_SYM_CLASS_STATIC, 0))
    for name in sorted(imports):
        imports[name] = len(table)
        table.append(name_field(name) + struct.pack("<IhHBB", 0, 0, IMAGE_SYM_DTYPE_FUNCTION,
                                                    IMAGE_SYM_CLASS_EXTERNAL, 0))
    for sym in symbols:
        if sym["bind"] in (STB_GLOBAL, STB_WEAK) and sym["shndx"] in by_index and sym["name"]:
            section = by_index[sym["shndx"]]
            kind = IMAGE_SYM_DTYPE_FUNCTION if sym["type"] == STT_FUNC else 0
            table.append(name_field(sym["name"]) + struct.pack("<IhHBB", sym["value"] - section["addr"],
                                                               number[section["index"]], kind,
                                                               IMAGE_SYM_CLASS_EXTERNAL, 0))
    struct.pack_into("<I", strings, 0, len(strings))

    header_size = 20 + 40 * len(present)
    body = bytearray()
    headers = bytearray()
    for s in present:
        index = s["index"]
        align = max(1, s["align"])
        characteristics = flags[s["name"]] | ((align.bit_length()) << 20)
        # Sizes in whole words: lld-link places its own tables (imports,
        # say) right after a section's contents, at byte alignment.
        raw_size, raw_pointer = (len(contents[index]) + 3) & ~3, 0
        if s["type"] != SHT_NOBITS:
            raw_pointer = header_size + len(body)
            body.extend(contents[index])
            body.extend(b"\0" * (-len(body) % 4))
        else:
            raw_size = (s["size"] + 3) & ~3
        relocation_pointer = header_size + len(body) if relocations[index] else 0
        for offset, target in relocations[index]:
            symbol_index = imports[target] if isinstance(target, str) else target - 1
            body.extend(struct.pack("<IIH", offset, symbol_index, IMAGE_REL_ARM_ADDR32))
        body.extend(b"\0" * (-len(body) % 4))
        if len(relocations[index]) > 0xFFFF:
            raise Refused("section %s has more relocations than one COFF section holds" % s["name"])
        headers.extend(s["name"].encode().ljust(8, b"\0"))
        headers.extend(struct.pack("<IIIIIIHHI", 0, 0, raw_size, raw_pointer, relocation_pointer, 0,
                                   len(relocations[index]), 0, characteristics))
    symbol_pointer = header_size + len(body)
    file_header = struct.pack("<HHIIIHH", IMAGE_FILE_MACHINE_ARMNT, len(present), 0, symbol_pointer,
                              len(table), 0, 0)
    return bytes(file_header + headers + body + b"".join(table) + strings)


def main(argv):
    try:
        if len(argv) >= 2 and argv[0] == "--inputs":
            problems = check_inputs(argv[1:])
            if problems:
                raise Refused("\n".join(problems))
            return 0
        if len(argv) != 2 or argv[0].startswith("-"):
            print("\n".join(__doc__.strip().splitlines()[2:4]), file=sys.stderr)
            return 2
        with open(argv[0], "rb") as f:
            data = f.read()
        coff = convert(data, argv[0])
        with open(argv[1], "wb") as f:
            f.write(coff)
        return 0
    except Refused as refused:
        for line in str(refused).splitlines():
            print("elf2coff: %s" % line, file=sys.stderr)
        return 1
    except (OSError, ValueError, struct.error) as error:
        print("elf2coff: %s" % error, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
