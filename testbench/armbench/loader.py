"""The device's loader: maps a Windows CE ARM image into the emulated process.

What a Windows CE 5 loader does with an image, and what it refuses:
  - only ARM (0x1C0) and Thumb (0x1C2) machine types, only subsystem 9
    (Windows CE GUI) with a subsystem version the device (5.02) meets;
  - the image goes wherever the process has room, so here always somewhere
    other than its preferred base, and its base relocations are applied as
    CE 5.0's loader applies them on ARM (NK/KERNEL/loader.c, the page
    relocation: ABSOLUTE skipped; HIGHLOW, HIGH and LOW applied; HIGHADJ,
    which it also applies, and the MIPS jump type, which it applies as a MIPS
    jump, so that an ARM MOVW/MOVT pair, type 5 in later SDKs, would be
    misapplied, stop the load here, named); any other type is one that
    loader does not know, and it stops the load, named;
  - each section gets the protection its characteristics ask for (code
    executable and read-only, constants read-only, data writable, never
    executable); the PE headers are not mapped (LoadE32 reads them from the
    file and keeps what it needs in the kernel), so code that reads its own
    headers faults;
  - every import must be exported by the DLL it names, by name or by
    ordinal, as the device's DLLs export them (handheld/ce5-exports.txt,
    and the maker's KTAPI.def); one that is not refuses the whole image
    ("DoImport Failed" on the device).
The import address table is filled with the addresses the machine hands out
for the modelled calls (machine.Machine.bind_import).
"""
import struct

import pefile

MACHINES = {0x1C0: "ARM", 0x1C2: "Thumb (ARMv4T with interworking)"}
SUBSYSTEM_WINDOWS_CE_GUI = 9
DEVICE_VERSION = (5, 2)
SCN_EXECUTE, SCN_READ, SCN_WRITE = 0x20000000, 0x40000000, 0x80000000
REL_ABSOLUTE, REL_HIGH, REL_LOW, REL_HIGHLOW, REL_HIGHADJ, REL_MIPS_JMPADDR = 0, 1, 2, 3, 4, 5
PAGE = 0x1000

PROT_READ, PROT_WRITE, PROT_EXEC = 1, 2, 4   # unicorn's UC_PROT_* values


class Refused(Exception):
    """The device's loader would not load this image."""


class DeviceExports:
    """What each of the device's DLLs exports: names, and ordinal -> name."""

    def __init__(self):
        self.names = {}      # dll (lower case) -> set of names
        self.ordinals = {}   # dll -> {ordinal: name}

    def add(self, dll, name, ordinal=None, by_name=True):
        dll = dll.lower()
        if by_name:
            self.names.setdefault(dll, set()).add(name)
        if ordinal is not None:
            self.ordinals.setdefault(dll, {})[ordinal] = name

    def read_list(self, path):
        """handheld/ce5-exports.txt: "DLL NAME", "DLL NAME @N", "DLL NAME @N NONAME"."""
        with open(path, encoding="utf-8") as f:
            for line in f:
                words = line.split("#", 1)[0].split()
                if len(words) < 2:
                    continue
                ordinal = int(words[2][1:]) if len(words) > 2 and words[2].startswith("@") else None
                self.add(words[0], words[1], ordinal, by_name="NONAME" not in words[3:])
        return self

    def read_def(self, path):
        """A module-definition file: LIBRARY name, then EXPORTS, one name a line."""
        dll, exporting = None, False
        with open(path, encoding="utf-8") as f:
            for line in f:
                words = line.split(";", 1)[0].split()
                if not words:
                    continue
                if words[0] == "LIBRARY":
                    dll = words[1]
                elif words[0] == "EXPORTS":
                    exporting = True
                elif exporting and dll:
                    ordinal = int(words[1][1:]) if len(words) > 1 and words[1].startswith("@") else None
                    self.add(dll, words[0], ordinal, by_name="NONAME" not in words[1:])
        return self

    def resolve(self, dll, name=None, ordinal=None):
        """The function's name when the device exports it so, else None."""
        dll = dll.lower()
        if name is not None:
            return name if name in self.names.get(dll, ()) else None
        return self.ordinals.get(dll, {}).get(ordinal)


class Image:
    """A loaded image: where it lies and what the process may look up in it."""

    def __init__(self, path, pe, base):
        self.path = path
        self.pe = pe
        self.base = base
        self.preferred = pe.OPTIONAL_HEADER.ImageBase
        self.size = pe.OPTIONAL_HEADER.SizeOfImage
        self.entry = base + pe.OPTIONAL_HEADER.AddressOfEntryPoint
        self.is_dll = bool(pe.FILE_HEADER.Characteristics & 0x2000)
        self.stack_reserve = pe.OPTIONAL_HEADER.SizeOfStackReserve
        self.exports = {}
        self.imports = []        # (dll, function name, address of its slot)
        self.code = (base, base)
        self.relocations = 0
        self.module = None       # what the kernel hands DllMain for this image (armbench.Session)

    def contains(self, address):
        return self.base <= address < self.base + self.size

    def resource(self, type_id, name_id):
        """(address, size) of a resource of this type and id (any language), or None."""
        root = getattr(self.pe, "DIRECTORY_ENTRY_RESOURCE", None)
        for type_entry in root.entries if root else ():
            if not _matches(type_entry, type_id):
                continue
            for name_entry in type_entry.directory.entries:
                if not _matches(name_entry, name_id):
                    continue
                for language in name_entry.directory.entries:
                    data = language.data.struct
                    return self.base + data.OffsetToData, data.Size
        return None


def _matches(entry, wanted):
    if isinstance(wanted, str):
        return entry.name is not None and str(entry.name) == wanted
    return entry.name is None and entry.id == wanted


def load(machine, path, base, exports, data=None):
    """Maps the image at base (not its preferred base) and binds its imports.

    Raises Refused for what the device's loader refuses."""
    try:
        pe = pefile.PE(path if data is None else None, data=data, fast_load=False)
    except pefile.PEFormatError as error:
        raise Refused("%s: not a PE image (%s)" % (path, error))
    header = pe.FILE_HEADER
    optional = pe.OPTIONAL_HEADER
    if header.Machine not in MACHINES:
        raise Refused("machine 0x%X: the device loads only ARM (0x1C0) and Thumb (0x1C2) images"
                      % header.Machine)
    if optional.Magic != 0x10B:
        raise Refused("not a 32-bit (PE32) image")
    if optional.Subsystem != SUBSYSTEM_WINDOWS_CE_GUI:
        raise Refused("subsystem %d: the device runs subsystem 9 (Windows CE GUI) only" % optional.Subsystem)
    version = (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion)
    if version > DEVICE_VERSION:
        raise Refused("subsystem version %d.%02d: the device is 5.02" % version)
    if base == optional.ImageBase:
        raise Refused("the bench loads an image away from its preferred base 0x%X" % base)
    if base % 0x10000:
        raise Refused("base 0x%X is not 64 KB aligned" % base)

    image = Image(path, pe, base)
    size = (optional.SizeOfImage + PAGE - 1) & ~(PAGE - 1)
    headers = (optional.SizeOfHeaders + PAGE - 1) & ~(PAGE - 1)
    if any(section.VirtualAddress < headers for section in pe.sections):
        raise Refused("a section inside the headers' page: the bench maps sections from 0x%X on" % headers)
    machine.map(base + headers, size - headers, PROT_READ | PROT_WRITE, "image %s" % path)
    for section in pe.sections:
        raw = section.get_data()[:min(section.SizeOfRawData, section.Misc_VirtualSize or section.SizeOfRawData)]
        machine.write(base + section.VirtualAddress, raw)

    image.relocations = _relocate(machine, pe, base)
    _bind_imports(machine, pe, image, exports)

    for section in pe.sections:
        start = base + section.VirtualAddress
        length = (max(section.Misc_VirtualSize, section.SizeOfRawData) + PAGE - 1) & ~(PAGE - 1)
        flags = section.Characteristics
        protection = (PROT_READ if flags & SCN_READ else 0) | (PROT_WRITE if flags & SCN_WRITE else 0)
        if flags & SCN_EXECUTE:
            protection |= PROT_EXEC
            image.code = (start, start + section.Misc_VirtualSize)
        machine.protect(start, length, protection)

    directory = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    for symbol in directory.symbols if directory else ():
        if symbol.name:
            image.exports[symbol.name.decode("ascii")] = base + symbol.address
    return image


def _relocate(machine, pe, base):
    """Applies the base relocations as CE 5.0's loader does on ARM; returns
    how many it applied."""
    delta = (base - pe.OPTIONAL_HEADER.ImageBase) & 0xFFFFFFFF
    count = 0
    for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
        high = None             # a HIGH entry waiting for its LOW
        for entry in block.entries:
            kind, address = entry.type, base + entry.rva
            if kind == REL_ABSOLUTE:
                continue
            if kind == REL_MIPS_JMPADDR:
                raise Refused("base relocation of type 5 at RVA 0x%X: CE 5.0's loader applies it as a MIPS "
                              "jump address (an ARM MOVW/MOVT pair would be misapplied)" % entry.rva)
            if kind not in (REL_HIGH, REL_LOW, REL_HIGHLOW, REL_HIGHADJ):
                raise Refused("base relocation of type %d at RVA 0x%X: CE 5.0's loader does not know it"
                              % (kind, entry.rva))
            if kind == REL_HIGHLOW:
                (value,) = struct.unpack("<I", machine.read(address, 4))
                machine.write(address, struct.pack("<I", (value + delta) & 0xFFFFFFFF))
            elif kind == REL_HIGH:
                high = address
            elif kind == REL_LOW:
                (low,) = struct.unpack("<H", machine.read(address, 2))
                if high is not None:
                    (upper,) = struct.unpack("<h", machine.read(high, 2))
                    value = ((upper << 16) + low + delta) & 0xFFFFFFFF
                    machine.write(high, struct.pack("<H", ((value + 0x8000) >> 16) & 0xFFFF))
                    high = None
                else:
                    value = low - 0x10000 * (low >> 15) + delta
                machine.write(address, struct.pack("<H", value & 0xFFFF))
            else:   # HIGHADJ: the next entry's 16 bits are the low half, not an entry of their own
                raise Refused("base relocation of type 4 (HIGHADJ) at RVA 0x%X: the bench does not read the "
                              "low half that follows it" % entry.rva)
            count += 1
    return count


def _bind_imports(machine, pe, image, exports):
    for descriptor in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = descriptor.dll.decode("ascii")
        if dll.lower() not in exports.names and dll.lower() not in exports.ordinals:
            raise Refused("imports from %s, which the device does not have" % dll)
        for item in descriptor.imports:
            if item.import_by_ordinal:
                name = exports.resolve(dll, ordinal=item.ordinal)
                what = "ordinal %d" % item.ordinal
            else:
                name = exports.resolve(dll, name=item.name.decode("ascii"))
                what = item.name.decode("ascii")
            if name is None:
                raise Refused("DoImport Failed: %s does not export %s" % (dll, what))
            slot = image.base + (item.address - pe.OPTIONAL_HEADER.ImageBase)
            machine.write(slot, struct.pack("<I", machine.bind_import(dll, name)))
            image.imports.append((dll, name, slot))
