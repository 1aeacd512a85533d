#!/usr/bin/python3
"""Checks the handheld images as the Windows CE device would see them.

    check-image.py [--allowlist FILE] --program rxconf.exe --driver rxboot.dll
    check-image.py [--allowlist FILE] --driver rxboot.dll     (either alone)

Every image:
  - a 32-bit PE (PE32) for the ARM family (machine 0x1C0 ARM, 0x1C2 Thumb or
    0x1C4 ARMNT), subsystem 9 (Windows CE GUI), subsystem version 5.02;
  - imports only from coredll.dll, KTAPI.dll and (the program only)
    aygshell.dll, every function by name, never by ordinal, and each name on
    the allowlist with a note naming the DLL it is imported from (KTAPI's
    names: the GPIO library section);
  - no TLS directory and no delay-load directory (a Windows CE loader has
    neither).
The driver: exports exactly the eight RXB_ entry points, by name, and
carries base relocations (a DLL is loaded wherever there is room).
The program: carries its resources (string table with strings 1, 2, 3, 103,
321 and 322, icon group 101, accelerator table 2, RCDATA 102, dialog 103,
"CEUX"/"HI_RES_AWARE", version information 1).

Prints each image's size and machine. Exit code 0 when every check holds,
1 when one fails (each failure is printed), 2 on bad usage or an unreadable
file. Runs with Debian's python3-pefile.
"""
import argparse
import os
import re
import sys

import pefile

ARM_MACHINES = {0x1C0: "ARM", 0x1C2: "Thumb", 0x1C4: "ARMNT (Thumb-2)"}
SUBSYSTEM_WINDOWS_CE_GUI = 9
DRIVER_EXPORTS = {"RXB_Init", "RXB_Deinit", "RXB_Open", "RXB_Close",
                  "RXB_Read", "RXB_Write", "RXB_Seek", "RXB_IOControl"}
PROGRAM_STRINGS = {1, 2, 3, 103, 321, 322}
# (type, name) of the program's resources; ints are ids, str are names.
PROGRAM_RESOURCES = [
    (pefile.RESOURCE_TYPE["RT_GROUP_ICON"], 101, "icon group 101"),
    (pefile.RESOURCE_TYPE["RT_ACCELERATOR"], 2, "accelerator table 2"),
    (pefile.RESOURCE_TYPE["RT_RCDATA"], 102, "RCDATA 102 (menu bar)"),
    (pefile.RESOURCE_TYPE["RT_DIALOG"], 103, "dialog 103"),
    ("CEUX", "HI_RES_AWARE", "CEUX/HI_RES_AWARE"),
    (pefile.RESOURCE_TYPE["RT_VERSION"], 1, "version information 1"),
]


def read_allowlist(path):
    """Symbol -> the DLL its note names (None for notes naming none)."""
    names = {}
    section = ""
    with open(path, encoding="utf-8") as f:
        for line in f:
            heading = re.match(r"^#\s*-+\s*(.*?)\s*-+\s*$", line)
            if heading:
                section = heading.group(1)
                continue
            m = re.match(r"^\s*([A-Za-z_][A-Za-z0-9_]*)\s+#\s*(\S.*)$", line)
            if not m:
                continue
            symbol, note = m.groups()
            if note.startswith("desktop build only"):
                dll = None
            elif "aygshell" in note:
                dll = "aygshell.dll"
            elif "coredll" in note:
                dll = "coredll.dll"
            elif "KTAPI" in note or "GPIO" in section:
                dll = "ktapi.dll"
            else:
                dll = None
            names[symbol] = dll
    return names


def resource_names(entries):
    out = {}
    for entry in entries:
        key = str(entry.name) if entry.name is not None else entry.id
        out[key] = entry
    return out


def check_common(pe, role, allowlist, fail):
    machine = pe.FILE_HEADER.Machine
    if pe.OPTIONAL_HEADER.Magic != 0x10B:
        fail("not a 32-bit image (optional header magic 0x%X)" % pe.OPTIONAL_HEADER.Magic)
    if machine not in ARM_MACHINES:
        fail("machine 0x%X is not of the ARM family" % machine)
    if pe.OPTIONAL_HEADER.Subsystem != SUBSYSTEM_WINDOWS_CE_GUI:
        fail("subsystem %d, wanted 9 (Windows CE GUI)" % pe.OPTIONAL_HEADER.Subsystem)
    version = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
    if version != (5, 2):
        fail("subsystem version %d.%02d, wanted 5.02" % version)

    allowed_dlls = {"coredll.dll", "ktapi.dll"}
    if role == "program":
        allowed_dlls.add("aygshell.dll")
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("ascii", "replace")
        if dll.lower() not in allowed_dlls:
            fail("imports from %s, which the handheld %s may not use" % (dll, role))
            continue
        for imp in entry.imports:
            if imp.name is None:
                fail("imports ordinal %d of %s: only names are allowed" % (imp.ordinal, dll))
                continue
            name = imp.name.decode("ascii", "replace")
            if name not in allowlist:
                fail("imports %s from %s, which is not on the allowlist" % (name, dll))
            elif allowlist[name] != dll.lower():
                fail("imports %s from %s, but the allowlist has it in %s"
                     % (name, dll, allowlist[name] or "no DLL of the handheld"))

    dirs = pefile.DIRECTORY_ENTRY
    tls = pe.OPTIONAL_HEADER.DATA_DIRECTORY[dirs["IMAGE_DIRECTORY_ENTRY_TLS"]]
    if tls.VirtualAddress or tls.Size:
        fail("has a TLS directory")
    delay = pe.OPTIONAL_HEADER.DATA_DIRECTORY[dirs["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]]
    if delay.VirtualAddress or delay.Size:
        fail("has a delay-load import directory")


def check_driver(pe, fail):
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    names = set()
    if exports is not None:
        for symbol in exports.symbols:
            if symbol.name is None:
                fail("exports ordinal %d without a name" % symbol.ordinal)
            else:
                names.add(symbol.name.decode("ascii", "replace"))
    if names != DRIVER_EXPORTS:
        missing = sorted(DRIVER_EXPORTS - names)
        extra = sorted(names - DRIVER_EXPORTS)
        fail("exports are not exactly the eight RXB_ entry points (missing %s, extra %s)"
             % (missing or "none", extra or "none"))
    reloc = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if not reloc.Size or pe.FILE_HEADER.Characteristics & 0x0001:  # IMAGE_FILE_RELOCS_STRIPPED
        fail("carries no base relocations")


def check_program(pe, fail):
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    types = resource_names(root.entries) if root is not None else {}
    strings = types.get(pefile.RESOURCE_TYPE["RT_STRING"])
    found = set()
    if strings is not None:
        for block in strings.directory.entries:
            for lang in block.directory.entries:
                data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                offset = 0
                for index in range(16):
                    length = int.from_bytes(data[offset:offset + 2], "little")
                    if length:
                        found.add((block.id - 1) * 16 + index)
                    offset += 2 + 2 * length
    if not PROGRAM_STRINGS <= found:
        fail("string table lacks strings %s" % sorted(PROGRAM_STRINGS - found))
    for kind, name, what in PROGRAM_RESOURCES:
        entry = types.get(kind)
        if entry is None or name not in resource_names(entry.directory.entries):
            fail("carries no %s resource" % what)


def check(path, role, allowlist):
    failures = []

    def fail(text):
        failures.append(text)
        print("check-image: %s: %s" % (os.path.basename(path), text))

    try:
        pe = pefile.PE(path)
    except (OSError, pefile.PEFormatError) as error:
        print("check-image: %s: %s" % (path, error), file=sys.stderr)
        sys.exit(2)
    machine = ARM_MACHINES.get(pe.FILE_HEADER.Machine, "0x%X" % pe.FILE_HEADER.Machine)
    print("check-image: %s: %d bytes, machine 0x%X %s, %s"
          % (os.path.basename(path), os.path.getsize(path), pe.FILE_HEADER.Machine, machine, role))
    check_common(pe, role, allowlist, fail)
    if role == "driver":
        check_driver(pe, fail)
    else:
        check_program(pe, fail)
    return failures


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--allowlist", default=os.path.join(here, "ce-api-allowlist.txt"))
    parser.add_argument("--program", help="rxconf.exe")
    parser.add_argument("--driver", help="rxboot.dll")
    args = parser.parse_args()
    if not args.program and not args.driver:
        parser.print_usage(sys.stderr)
        sys.exit(2)
    try:
        allowlist = read_allowlist(args.allowlist)
    except OSError as error:
        print("check-image: %s" % error, file=sys.stderr)
        sys.exit(2)
    failures = []
    for path, role in ((args.program, "program"), (args.driver, "driver")):
        if path:
            failures += check(path, role, allowlist)
    if failures:
        print("check-image: %d problem(s)" % len(failures))
        sys.exit(1)
    print("check-image: all checks hold")


if __name__ == "__main__":
    main()
