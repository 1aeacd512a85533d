#!/usr/bin/python3
"""Plants one fault in a copy of the handheld driver, for showing that the
emulated runs catch it.

    plant.py KIND IMAGE ELF OUT

KIND:
  frame       one byte of a frame the boot pass sends (the rate byte of
              GGA's enable frame: 1 becomes 2)
  relocation  one base relocation dropped: the first one in BootApply's
              code (a pointer in its literal pool that then keeps the
              preferred base's address)
  delay       one delay changed: the 500 ms that follow each count line
              (SendFrame's "mov rN, #500") become 400 ms
  thumb2      RXB_Deinit changes to Thumb state and runs a Thumb-2
              instruction (movw), which neither ARMv4T nor ARMv5TE has
Faults for the device manager's handler around RXB_Init, each planted
right after a function's prologue (its length from the image's exception
directory):
  nullread    a null read in BootApply
  deep        a null read in WriteReceiverFrame, two calls down (BootApply,
              SendFrame, WriteReceiverFrame: the transaction code)
  import      a fault inside coredll: WriteReceiverFrame hands WriteFile a
              buffer at address 0x10
  undefined   an undefined instruction in BootApply
  unaligned   a word read from SP + 2 in BootApply
KIND-bare: the same, in an image whose exception directory is blanked, as
if the link had made none.
Prints what it changed. Exit code 1 when the image does not hold what the
fault needs, 2 on bad usage.
"""
import struct
import sys

sys.dont_write_bytecode = True

import pefile    # noqa: E402

import unwind    # noqa: E402
from symbols import read_code_symbols    # noqa: E402

GGA_ENABLE = bytes.fromhex("b56206010300f00001fb10")
MOV_500 = (0x0FFF0FFF, 0x03A00F7D)      # mov<c> rN, #500 (rotated immediate 0x7D ror 30)
MOV_400 = 0x03A00F64                    # mov<c> rN, #400
THUMB2_DEINIT = struct.pack("<II", 0xE28FC001, 0xE12FFF1C) + struct.pack("<HHH", 0xF240, 0x0001, 0x4770)
NULL_READ = struct.pack("<II", 0xE3A0C000, 0xE59CC000)   # mov ip, #0; ldr ip, [ip]
# Each after a nop (mov r0, r0), so that the fault is the second instruction
# too; each with its listing.
BOOTAPPLY_FAULTS = {
    "undefined": (struct.pack("<II", 0xE1A00000, 0xE7F000F0), "nop; udf #0"),
    "unaligned": (struct.pack("<II", 0xE1A00000, 0xE59DC002), "nop; ldr ip, [sp, #2]"),
}
MOV_R1_R0, MOV_R1_16 = 0xE1A01000, 0xE3A01010           # mov r1, r0 / mov r1, #16
EXCEPTION_DIRECTORY = 3


class CannotPlant(Exception):
    pass


def code_range(pe, offsets, function):
    """File offsets [start, end) of a function of the code section."""
    code = next(s for s in pe.sections if s.Characteristics & 0x20000000)
    names = sorted(offsets.items(), key=lambda item: item[1])
    for i, (name, offset) in enumerate(names):
        if name == function or name.startswith("_ZL%d%s" % (len(function), function)) or \
                name.startswith("_Z%d%s" % (len(function), function)):
            end = names[i + 1][1] if i + 1 < len(names) else code.Misc_VirtualSize
            return code.PointerToRawData + offset, code.PointerToRawData + end, code
    raise CannotPlant("no function %s in the code" % function)


def after_prologue(pe, offsets, function):
    """The file offset of a function's first instruction past its prologue,
    as the image's exception directory gives the prologue's length."""
    start, _, code = code_range(pe, offsets, function)
    rva = code.VirtualAddress + start - code.PointerToRawData
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[EXCEPTION_DIRECTORY]
    table = pe.get_data(directory.VirtualAddress, directory.Size)
    for begin, prologue, _, _, _ in unwind.decode_entries(table):
        if begin - pe.OPTIONAL_HEADER.ImageBase == rva:
            return start + 4 * prologue
    raise CannotPlant("no exception directory entry for %s" % function)


def blank_exception_directory(pe, data):
    """The exception directory's entry in the headers: no table."""
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[EXCEPTION_DIRECTORY]
    struct.pack_into("<II", data, directory.get_file_offset(), 0, 0)


def plant(kind, data, elf):
    pe = pefile.PE(data=bytes(data))
    offsets, _ = read_code_symbols(elf)
    if kind == "frame":
        at = data.find(GGA_ENABLE)
        if at < 0:
            raise CannotPlant("no GGA enable frame in the image")
        data[at + 8] = 2
        return "GGA's enable frame at file offset 0x%X: rate 1 -> 2" % at
    if kind == "delay":
        start, end, _ = code_range(pe, offsets, "SendFrame")
        for at in range(start, end, 4):
            (word,) = struct.unpack_from("<I", data, at)
            if word & MOV_500[0] == MOV_500[1]:
                struct.pack_into("<I", data, at, (word & 0xF000F000) | MOV_400)
                return "SendFrame's mov #500 at file offset 0x%X -> #400" % at
        raise CannotPlant("no mov #500 in SendFrame")
    if kind == "relocation":
        start, end, code = code_range(pe, offsets, "BootApply")
        first, last = (code.VirtualAddress + start - code.PointerToRawData,
                       code.VirtualAddress + end - code.PointerToRawData)
        for block in pe.DIRECTORY_ENTRY_BASERELOC:
            for entry in block.entries:
                if entry.type == 3 and first <= entry.rva < last:
                    at = entry.struct.get_file_offset()
                    struct.pack_into("<H", data, at, 0)   # type 0: padding, the loader skips it
                    return "base relocation of RVA 0x%X (in BootApply) dropped" % entry.rva
        raise CannotPlant("no base relocation in BootApply")
    if kind in ("nullread", "deep"):
        function = "BootApply" if kind == "nullread" else "WriteReceiverFrame"
        at = after_prologue(pe, offsets, function)
        data[at:at + len(NULL_READ)] = NULL_READ
        return "%s after its prologue, file offset 0x%X: mov ip, #0; ldr ip, [ip]" % (function, at)
    if kind in BOOTAPPLY_FAULTS:
        words, listing = BOOTAPPLY_FAULTS[kind]
        at = after_prologue(pe, offsets, "BootApply")
        data[at:at + len(words)] = words
        return "BootApply after its prologue, file offset 0x%X: %s" % (at, listing)
    if kind == "import":
        start, end, _ = code_range(pe, offsets, "WriteReceiverFrame")
        for at in range(start, end, 4):
            if struct.unpack_from("<I", data, at)[0] == MOV_R1_R0:
                struct.pack_into("<I", data, at, MOV_R1_16)
                return "WriteReceiverFrame's mov r1, r0 at file offset 0x%X -> mov r1, #16: WriteFile's buffer" % at
        raise CannotPlant("no mov r1, r0 in WriteReceiverFrame")
    if kind == "thumb2":
        directory = pe.DIRECTORY_ENTRY_EXPORT
        rva = next(s.address for s in directory.symbols if s.name == b"RXB_Deinit")
        at = pe.get_offset_from_rva(rva)
        data[at:at + len(THUMB2_DEINIT)] = THUMB2_DEINIT
        return "RXB_Deinit at RVA 0x%X: bx into Thumb state, then movw r0, #1 (Thumb-2)" % rva
    raise CannotPlant("no fault %r" % kind)


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    kind, image, elf, out = argv
    with open(image, "rb") as f:
        data = bytearray(f.read())
    try:
        what = plant(kind[:-len("-bare")] if kind.endswith("-bare") else kind, data, elf)
        if kind.endswith("-bare"):
            blank_exception_directory(pefile.PE(data=bytes(data)), data)
            what += "; exception directory blanked"
    except CannotPlant as problem:
        print("plant: %s" % problem, file=sys.stderr)
        return 1
    with open(out, "wb") as f:
        f.write(data)
    print(what)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
