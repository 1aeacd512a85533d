#!/usr/bin/python3
"""Checks the handheld images as a Windows CE 5 device would see them.

    check-image.py [--allowlist FILE] [--exports FILE] [--ktapi FILE]
                   [--program rxconf.exe [--program-elf FILE]]
                   [--driver rxboot.dll [--driver-elf FILE]]

Every image:
  - a 32-bit PE (PE32) of machine 0x1C2 (what the device SDK writes for
    ARMv4T code with interworking), subsystem 9 (Windows CE GUI), subsystem
    version 5.02, DllCharacteristics 0;
  - an entry point, exported functions and relocated code pointers in ARM
    state: even, word-aligned, in the one code section;
  - every data directory and table the loader reads word-aligned (ARMv4 and
    ARMv5 cores read an unaligned word rotated, without a fault), and base
    relocations of type HIGHLOW only;
  - imports only from coredll.dll, KTAPI.dll and (the program only)
    aygshell.dll, each on the allowlist with a note naming that DLL, and
    each resolvable on the device: coredll's and aygshell's as the device's
    export lists have them (by name where the DLL exports the name, by the
    right ordinal where it exports an ordinal only), KTAPI's as the maker's
    library exports them;
  - no TLS directory and no delay-load directory (a Windows CE loader has
    neither);
  - with the linked ELF file (--*-elf, kept by the link in
    <build>/handheld/link/): its code is the image's, word for word except
    where a base relocation points, and its disassembly (binutils, every ARM
    architecture, literal pools told apart by the mapping symbols) holds only ARMv4T A32
    instructions: no Thumb, no BLX, CLZ, LDRD/STRD or other ARMv5+
    instruction, no VFP or NEON, and no return that would not change back
    to a Thumb caller on ARMv4T (LDM or POP into PC, MOV PC, LR);
  - with the linked ELF file, an exception directory that Windows CE 5's
    unwinder can use: compressed 8-byte entries for 32-bit code without
    handlers, sorted and not overlapping, each start relocated (a base
    relocation) and the start of a function; one entry for every function
    of the code, reaching exactly to the next function, so that every word
    of code is in one; and each prologue one that the unwinder undoes. That
    is shown by running it: the prologue (and each part of it, as a fault
    inside it sees it) runs forward on a model stack, the unwinder's rules
    (testbench/armbench/unwind.py, from CE 5's ARM unwinder) undo it from
    the PC where it stops, and SP, the return address and r4-r11 must come
    back as they were. A prologue also ends with the last instruction that
    sets up the frame: SP set after it (outside an epilogue) means it was
    given too short. Prints how many epilogue instructions remain where a
    fault would be unwound wrongly (the unwinder knows no BX LR return).
The driver: exports exactly the eight RXB_ entry points, by name, and
carries base relocations (a DLL is loaded wherever there is room).
The program: carries its resources (string table with strings 1, 2, 3, 103,
321 and 322, icon group 101, accelerator table 2, RCDATA 102, dialog 103,
"CEUX"/"HI_RES_AWARE", version information 1).

Prints each image's size and machine. Exit code 0 when every check holds,
1 when one fails (each failure is printed), 2 on bad usage or an unreadable
file. Runs with Debian's python3-pefile and binutils-arm-none-eabi.
"""
import argparse
import importlib.util
import os
import re
import struct
import subprocess
import sys

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
HANDHELD = os.path.join(HERE, "..", "handheld")


def load_tool(name, filename):
    spec = importlib.util.spec_from_file_location(name, os.path.join(HANDHELD, filename))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


pe_mend = load_tool("pe_mend", "pe-mend.py")
elf2coff = load_tool("elf2coff", "elf2coff.py")
pdata = load_tool("pdata", "pdata.py")
sys.path.insert(0, os.path.join(HERE, "..", "testbench", "armbench"))
import unwind    # noqa: E402

IMAGE_FILE_MACHINE_THUMB = 0x1C2
SUBSYSTEM_WINDOWS_CE_GUI = 9
IMAGE_SCN_MEM_EXECUTE, IMAGE_SCN_MEM_WRITE = 0x20000000, 0x80000000
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

# The ARM-state instructions of ARMv4T (ARM Architecture Reference Manual,
# ARMv4T), as binutils writes them in unified syntax: base mnemonics, which
# may carry a condition and the S or addressing-mode suffixes. Everything
# else (BLX, CLZ, LDRD, STRD, PLD, BKPT, the DSP, media, VFP and NEON
# instructions, the Thumb ones) is what the device's core may lack.
ARMV4T_MNEMONICS = {
    "adc", "add", "and", "b", "bl", "bic", "bx", "cdp", "cmn", "cmp", "eor", "ldc", "ldm", "ldr",
    "ldrb", "ldrbt", "ldrh", "ldrsb", "ldrsh", "ldrt", "ldcl", "stcl", "mcr", "mla", "mov", "mrc", "mrs", "msr",
    "mul", "mvn", "orr", "rsb", "rsc", "sbc", "smlal", "smull", "stc", "stm", "str", "strb",
    "strbt", "strh", "strt", "sub", "svc", "swi", "swp", "swpb", "teq", "tst", "umlal", "umull",
    # binutils' names for forms of the above
    "push", "pop", "nop", "lsl", "lsr", "asr", "ror", "rrx",
}
CONDITIONS = "eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al"
SUFFIXES = re.compile(r"^s?(?:%s)?$" % CONDITIONS)
LDM_STM_SUFFIXES = re.compile(r"^(?:ia|ib|da|db|fd|fa|ed|ea)?(?:%s)?$|^(?:%s)(?:ia|ib|da|db|fd|fa|ed|ea)$"
                              % (CONDITIONS, CONDITIONS))


def base_mnemonic(mnemonic):
    """The ARMv4T instruction a mnemonic with its suffixes names, or None."""
    for split in range(len(mnemonic), 0, -1):
        base, rest = mnemonic[:split], mnemonic[split:]
        if base not in ARMV4T_MNEMONICS:
            continue
        if (LDM_STM_SUFFIXES if base in ("ldm", "stm") else SUFFIXES).match(rest):
            return base
    return None


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


def read_device_exports(exports_path, ktapi_def):
    """dll (lower case) -> {"names": set, "ordinal_only": {name: n}, "ordinals": {n: name}}."""
    dlls = {}

    def add(dll, name, ordinal, noname):
        entry = dlls.setdefault(dll.lower(), {"names": set(), "ordinal_only": {}, "ordinals": {}})
        if ordinal is not None:
            entry["ordinals"][ordinal] = name
        if noname:
            entry["ordinal_only"][name] = ordinal
        else:
            entry["names"].add(name)

    with open(exports_path, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"^(\S+\.dll)\s+(\S+)(?:\s+@(\d+))?(\s+NONAME)?\s*$", line)
            if m:
                add(m.group(1), m.group(2), int(m.group(3)) if m.group(3) else None, bool(m.group(4)))
    in_exports = False
    with open(ktapi_def, encoding="utf-8") as f:
        for line in f:
            words = line.split(";", 1)[0].split()
            if words and words[0].upper() == "EXPORTS":
                in_exports = True
            elif words and in_exports:
                add("ktapi.dll", words[0], None, False)
    return dlls


def resource_names(entries):
    out = {}
    for entry in entries:
        key = str(entry.name) if entry.name is not None else entry.id
        out[key] = entry
    return out


def check_imports(pe, role, allowlist, device, fail):
    allowed_dlls = {"coredll.dll", "ktapi.dll"}
    if role == "program":
        allowed_dlls.add("aygshell.dll")
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("ascii", "replace")
        if dll.lower() not in allowed_dlls:
            fail("imports from %s, which the handheld %s may not use" % (dll, role))
            continue
        exports = device.get(dll.lower(), {"names": set(), "ordinal_only": {}, "ordinals": {}})
        for imp in entry.imports:
            if imp.name is None:
                name = exports["ordinals"].get(imp.ordinal)
                if name is None:
                    fail("imports ordinal %d of %s, which the device's %s does not export" % (imp.ordinal, dll, dll))
                    continue
                if name not in exports["ordinal_only"]:
                    fail("imports %s from %s by ordinal %d, where the device exports its name"
                         % (name, dll, imp.ordinal))
            else:
                name = imp.name.decode("ascii", "replace")
                if name in exports["ordinal_only"]:
                    fail("imports %s from %s by name, which the device's %s exports by ordinal %d only"
                         % (name, dll, dll, exports["ordinal_only"][name]))
                elif name not in exports["names"]:
                    fail("imports %s from %s, which the device's %s does not export" % (name, dll, dll))
            if name not in allowlist:
                fail("imports %s from %s, which is not on the allowlist" % (name, dll))
            elif allowlist[name] != dll.lower():
                fail("imports %s from %s, but the allowlist has it in %s"
                     % (name, dll, allowlist[name] or "no DLL of the handheld"))


def check_common(pe, role, allowlist, device, fail):
    if pe.OPTIONAL_HEADER.Magic != 0x10B:
        fail("not a 32-bit image (optional header magic 0x%X)" % pe.OPTIONAL_HEADER.Magic)
    if pe.FILE_HEADER.Machine != IMAGE_FILE_MACHINE_THUMB:
        fail("machine 0x%X, wanted 0x1C2 (ARMv4T with interworking)" % pe.FILE_HEADER.Machine)
    if pe.OPTIONAL_HEADER.Subsystem != SUBSYSTEM_WINDOWS_CE_GUI:
        fail("subsystem %d, wanted 9 (Windows CE GUI)" % pe.OPTIONAL_HEADER.Subsystem)
    version = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
    if version != (5, 2):
        fail("subsystem version %d.%02d, wanted 5.02" % version)
    if pe.OPTIONAL_HEADER.DllCharacteristics:
        fail("DllCharacteristics 0x%X, wanted 0" % pe.OPTIONAL_HEADER.DllCharacteristics)

    code = [s for s in pe.sections if s.Characteristics & IMAGE_SCN_MEM_EXECUTE]
    for s in code:
        if s.Characteristics & IMAGE_SCN_MEM_WRITE:
            fail("code section %s is writable" % s.Name.rstrip(b"\0").decode())
    if len(code) != 1:
        fail("%d code sections, wanted 1" % len(code))
    else:
        start, end = code[0].VirtualAddress, code[0].VirtualAddress + code[0].Misc_VirtualSize

        def arm_state(rva, what):
            if rva & 3 or not start <= rva < end:
                fail("%s: RVA 0x%X is not a word-aligned A32 instruction of the code section%s"
                     % (what, rva, " (bit 0 set: Thumb state)" if rva & 1 else ""))

        arm_state(pe.OPTIONAL_HEADER.AddressOfEntryPoint, "the entry point")
        base = pe.OPTIONAL_HEADER.ImageBase
        for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
            for entry in block.entries:
                if entry.type == 3:
                    target = pe.get_dword_at_rva(entry.rva) - base
                    if start <= target & ~1 < end:
                        arm_state(target, "the code pointer at RVA 0x%X" % entry.rva)
        exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
        for symbol in exports.symbols if exports else []:
            if start <= symbol.address & ~1 < end:
                arm_state(symbol.address, "export %s" % (symbol.name.decode("ascii", "replace") if symbol.name
                                                         else symbol.ordinal))
    for problem in pe_mend.alignment_problems(pe):
        fail(problem)
    for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
        for entry in block.entries:
            if entry.type not in (0, 3):
                fail("base relocation of type %d at RVA 0x%X" % (entry.type, entry.rva))

    check_imports(pe, role, allowlist, device, fail)
    dirs = pefile.DIRECTORY_ENTRY
    tls = pe.OPTIONAL_HEADER.DATA_DIRECTORY[dirs["IMAGE_DIRECTORY_ENTRY_TLS"]]
    if tls.VirtualAddress or tls.Size:
        fail("has a TLS directory")
    delay = pe.OPTIONAL_HEADER.DATA_DIRECTORY[dirs["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]]
    if delay.VirtualAddress or delay.Size:
        fail("has a delay-load import directory")


def disassembly(elf_path):
    """(address, word, mnemonic, operands) of every instruction binutils decodes
    in the ELF file's .text, literal pools (.word) left out."""
    # All of ARM's architectures: with its own (ARMv4T, from the build
    # attributes) binutils reads later instructions as something else
    # (BLX as an MSR, say).
    out = subprocess.run(["arm-none-eabi-objdump", "-d", "-m", "arm", "--section=.text", elf_path],
                         capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        m = re.match(r"^\s*([0-9a-f]+):\t([0-9a-f]{4}(?: ?[0-9a-f]{4})?)\s*\t(\S+)\s*(.*)$", line)
        if m and m.group(3) != ".word":
            yield int(m.group(1), 16), m.group(2).replace(" ", ""), m.group(3), m.group(4)


def check_code(pe, elf_path, fail):
    """The image's code is the linked ELF file's, and that is ARMv4T A32 code."""
    with open(elf_path, "rb") as f:
        data = f.read()
    sections, symbols = elf2coff.read_elf(data, elf_path)
    for problem in elf2coff.thumb_problems(sections, symbols, os.path.basename(elf_path)):
        fail(problem)
    text = next((s for s in sections if s["name"] == ".text"), None)
    code = [s for s in pe.sections if s.Characteristics & IMAGE_SCN_MEM_EXECUTE]
    if text is None or len(code) != 1:
        fail("%s: no single code section to compare" % os.path.basename(elf_path))
        return
    image_code = code[0].get_data()[:code[0].Misc_VirtualSize]
    relocated = set()
    for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
        for entry in block.entries:
            if entry.type == 3:
                relocated.add(entry.rva - code[0].VirtualAddress)
    if len(image_code) < text["size"]:
        fail("the image's code (%d bytes) is shorter than the linked code (%d)" % (len(image_code), text["size"]))
        return
    differ = [k for k in range(0, text["size"], 4)
              if k not in relocated and image_code[k:k + 4] != text["data"][k:k + 4]]
    if differ:
        fail("the image's code differs from the linked code at %d word(s), first at .text+0x%X"
             % (len(differ), differ[0]))
    for address, word, mnemonic, operands in disassembly(elf_path):
        where = ".text+0x%X (%s %s)" % (address - text["addr"], mnemonic, operands)
        if len(word) != 8:
            fail("a 16-bit (Thumb) instruction at %s" % where)
            continue
        base = base_mnemonic(mnemonic)
        if base == "nop" and "(mov r0, r0)" not in operands:
            base = None   # the ARMv6K hint, not ARMv4T's MOV R0, R0
        if base is None:
            fail("an instruction an ARMv4T core lacks at %s" % where)
        elif base in ("ldm", "pop") and re.search(r"\bpc\b", operands):
            fail("a return by %s into pc at %s: it does not change to a Thumb caller's state on ARMv4T"
                 % (base.upper(), where))
        elif base == "mov" and re.match(r"^pc,\s*lr$", operands):
            fail("a return by MOV PC, LR at %s: it does not change to a Thumb caller's state on ARMv4T" % where)


# ---- the exception directory ----

STACK_TOP = 0x00800000        # the model stack of the prologue runs
RETURN = 0x00ABC000           # the model caller's return address
CALLEE_SAVED = {r: 0x5A000000 + r for r in range(4, 12)}


class ModelStack:
    """Word memory of a prologue run: the stack it writes, and the function's
    own code (for literals); anything else reads as unknown (None)."""

    def __init__(self, code, base):
        self.words, self.code, self.base = {}, code, base

    def read(self, address):
        if address in self.words:
            return self.words[address]
        if self.base <= address < self.base + len(self.code) and not address & 3:
            return struct.unpack_from("<I", self.code, address - self.base)[0]
        return None


def run_forward(words, start, stack, regs):
    """Runs words (a prologue, or a prologue and an epilogue's first part)
    from address start on regs: pushes, data processing, LDR R12 of a
    literal, pops. False when an instruction is none of these."""
    for k, word in enumerate(words):
        at = start + 4 * k
        regs[15] = (at + 8) & 0xFFFFFFFF
        if word >> 28 != 0xE:
            return False
        if word & 0x0E000000 == 0x08000000 and (word >> 16) & 0xF == 13:      # STM/LDM on SP
            listed = [r for r in range(16) if word & (1 << r)]
            if word & (1 << 20):
                if not unwind.load_multiple(word, regs, stack.read):
                    return False
                continue
            if word & 0x01A00000 != 0x01200000:                                # only STMDB SP!
                return False
            regs[13] -= 4 * len(listed)
            for i, r in enumerate(listed):
                stack.words[regs[13] + 4 * i] = regs[r]
        elif word & 0x0FFFF000 == 0x052DE000:                                  # STR LR, [SP, #-n]!
            regs[13] -= word & 0xFFF
            stack.words[regs[13]] = regs[14]
        elif unwind.is_ldr_r12_literal(word):
            value = stack.read(at + 8 + (word & 0xFFF) if word & (1 << 23) else at + 8 - (word & 0xFFF))
            if value is None:
                return False
            regs[12] = value
        elif word & 0x0C000000 == 0 and (word & (1 << 25) or not word & 0x90 == 0x90):
            unwind.data_processing(word, regs)
        else:
            return False
    return True


def entry_state():
    regs = [0x11110000 + r for r in range(17)]
    for r, value in CALLEE_SAVED.items():
        regs[r] = value
    regs[13], regs[14], regs[16] = STACK_TOP, RETURN, 0x60000010   # Z and C set, user mode
    return regs


def unwinds_back(regs, pc, entry, stack):
    """What the unwinder gets wrong from pc with regs (empty when nothing)."""
    caller, _, _ = unwind.virtual_unwind(pc, entry, regs, stack.read)
    wrong = []
    if caller != RETURN - 4:
        wrong.append("return address 0x%X" % (caller + 4))
    if regs[13] != STACK_TOP:
        wrong.append("sp %+d" % (regs[13] - STACK_TOP))
    wrong += ["r%d" % r for r, value in sorted(CALLEE_SAVED.items()) if regs[r] != value]
    return wrong


def writes_sp(word):
    """An ARM instruction that changes SP, and whether it only raises it the
    way an epilogue does (ADD SP, SP, #n; LDMIA SP!; LDR Rd, [SP], #n)."""
    if word & 0x0C000000 == 0 and (word >> 12) & 0xF == 13 and not word & 0x01900000 == 0x01000000 \
            and not word & 0x0E000090 == 0x00000090:
        return True, word & 0x0FFFF000 == 0x028DD000
    if word & 0x0E000000 == 0x08000000 and (word >> 16) & 0xF == 13 and word & (1 << 21):
        return True, word & 0x01900000 == 0x00900000
    if word & 0x0C000000 == 0x04000000 and (word >> 16) & 0xF == 13 and (word & (1 << 21) or not word & (1 << 24)):
        return True, word & 0x00900000 == 0x00900000                     # LDR Rd, [SP], #n: a one-register pop
    return False, False


def epilogues(code_words, prologue):
    """[(index of its first instruction, index of its return)] of each
    epilogue after the prologue: ADD SP and LDMIA SP! ending in BX LR, in
    an LDMIA SP! with PC, or in a branch (a tail call) after an LDMIA SP!."""
    found = []
    for i in range(prologue, len(code_words)):
        offset, word = code_words[i]
        returns = unwind.is_bx(word) and word & 0xF == 14 or unwind.is_ldm_with_pc(word) and (word >> 16) & 0xF == 13
        tail_call = i > prologue and unwind.is_branch(word) and writes_sp(code_words[i - 1][1]) == (True, True) \
            and unwind.is_ldm_with_lr(code_words[i - 1][1])
        if not returns and not tail_call:
            continue
        first = i
        while first > prologue and writes_sp(code_words[first - 1][1]) == (True, True):
            first -= 1
        found.append((first, i))
    return found


def check_exception_directory(pe, elf_path, fail):
    """The function table against the ELF file's functions and code."""
    with open(elf_path, "rb") as f:
        sections, symbols = elf2coff.read_elf(f.read(), elf_path)
    text, functions, marks = pdata.functions(sections, symbols)
    code = [s for s in pe.sections if s.Characteristics & IMAGE_SCN_MEM_EXECUTE]
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXCEPTION"]]
    if not directory.VirtualAddress or not directory.Size:
        fail("no exception directory: Windows CE's unwinder takes every function for a leaf")
        return
    if directory.Size % 8:
        fail("an exception directory of %d bytes, not whole 8-byte entries" % directory.Size)
    if len(code) != 1:
        return
    base, code_rva = pe.OPTIONAL_HEADER.ImageBase, code[0].VirtualAddress
    relocated = {e.rva for b in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []) for e in b.entries if e.type == 3}
    table = pe.get_data(directory.VirtualAddress, directory.Size - directory.Size % 8)
    names = dict(functions)
    ends = {offset: (functions[k + 1][0] if k + 1 < len(functions) else (text["size"] + 3) & ~3)
            for k, (offset, _) in enumerate(functions)}
    seen, previous_end, covered = set(), None, 0
    epilogue_words = unprotected = 0
    for k, (start, prologue, length, thirty_two, handler) in enumerate(unwind.decode_entries(table)):
        offset = start - base - code_rva
        name = names.get(offset, ".text+0x%X" % offset)
        if directory.VirtualAddress + 8 * k not in relocated:
            fail("exception directory entry %d (%s): its start is not relocated" % (k, name))
        if not thirty_two or handler:
            fail("exception directory entry %d (%s): not 32-bit code without a handler" % (k, name))
        if previous_end is not None and offset < previous_end:
            fail("exception directory entry %d (%s) overlaps the one before it or is out of order" % (k, name))
        previous_end = offset + 4 * length
        if offset not in names:
            fail("exception directory entry %d starts at .text+0x%X, where no function starts" % (k, offset))
            continue
        seen.add(offset)
        if 4 * length != ends[offset] - offset:
            fail("exception directory entry of %s mis-sizes it: %d instructions, the function has %d"
                 % (name, length, (ends[offset] - offset) // 4))
        covered += 4 * length
        words, unsafe = check_prologue(text, marks, offset, ends[offset], prologue, name, fail)
        epilogue_words += words
        unprotected += unsafe
    for offset, name in functions:
        if offset not in seen:
            fail("the exception directory misses %s (.text+0x%X)" % (name, offset))
    print("check-image:   exception directory: %d functions, %d entries, %d bytes; epilogues: %d instructions, "
          "%d where a fault would be unwound wrongly"
          % (len(functions), directory.Size // 8, directory.Size, epilogue_words, unprotected))


def check_prologue(text, marks, offset, end, prologue, name, fail):
    """Runs the prologue and undoes it by the unwinder's rules; (epilogue
    instructions, those where the unwinder gets the frame wrong)."""
    code_words = list(pdata.instructions(text["data"], marks, offset, end))
    start = text["addr"] + offset
    stack = ModelStack(text["data"][offset:end], start)
    entry = unwind.Entry(start, prologue, (end - offset) // 4)
    if prologue > unwind.PROLOGUE_MAX or prologue > len(code_words):
        fail("the prologue of %s is %d instructions; the unwinder reads %d" % (name, prologue, unwind.PROLOGUE_MAX))
        return 0, 0
    words = [w for _, w in code_words]
    last = words[prologue - 1] if prologue else 0
    if prologue and writes_sp(last) == (False, False) and not unwind.is_stm(last) \
            and not unwind.is_frame_pointer_set(last):
        fail("the exception directory mis-sizes the prologue of %s: its last instruction sets up nothing" % name)
    for at, word in code_words[prologue:]:
        changes, raises = writes_sp(word)
        if changes and not raises:
            fail("the exception directory mis-sizes the prologue of %s: SP is set at +0x%X, after its end"
                 % (name, at - offset))
            return 0, 0
    for done in range(prologue + 1):
        regs = entry_state()
        if not run_forward(words[:done], start, stack, regs):
            fail("the prologue of %s holds an instruction (+0x%X) the check cannot run" % (name, 4 * (done - 1)))
            return 0, 0
        # At the prologue's end: from its first instruction that is no epilogue's.
        pc = start + 4 * done
        if done == prologue:
            pc = next((text["addr"] + at for at, w in code_words[prologue:] if writes_sp(w) == (False, False)
                       and not unwind.is_bx(w)), pc)
        wrong = unwinds_back(regs, pc, entry, stack)
        if wrong:
            fail("the prologue of %s is one Windows CE's unwinder undoes wrongly: from +0x%X it gets %s"
                 % (name, pc - start, ", ".join(wrong)))
            return 0, 0
    counted = unsafe = 0
    for first, last in epilogues(code_words, prologue) if prologue else ():
        for position in range(first, last + 1):
            regs = entry_state()
            run_forward(words[:prologue], start, stack, regs)
            run_forward(words[first:position], start + code_words[first][0] - offset, stack, regs)
            counted += 1
            unsafe += bool(unwinds_back(regs, text["addr"] + code_words[position][0], entry, stack))
    return counted, unsafe


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
                    (length,) = struct.unpack_from("<H", data, offset)
                    if length:
                        found.add((block.id - 1) * 16 + index)
                    offset += 2 + 2 * length
    if not PROGRAM_STRINGS <= found:
        fail("string table lacks strings %s" % sorted(PROGRAM_STRINGS - found))
    for kind, name, what in PROGRAM_RESOURCES:
        entry = types.get(kind)
        if entry is None or name not in resource_names(entry.directory.entries):
            fail("carries no %s resource" % what)


def check(path, elf_path, role, allowlist, device):
    failures = []

    def fail(text):
        failures.append(text)
        print("check-image: %s: %s" % (os.path.basename(path), text))

    try:
        pe = pefile.PE(path)
    except (OSError, pefile.PEFormatError) as error:
        print("check-image: %s: %s" % (path, error), file=sys.stderr)
        sys.exit(2)
    print("check-image: %s: %d bytes, machine 0x%X, %s"
          % (os.path.basename(path), os.path.getsize(path), pe.FILE_HEADER.Machine, role))
    check_common(pe, role, allowlist, device, fail)
    if elf_path:
        try:
            check_code(pe, elf_path, fail)
            check_exception_directory(pe, elf_path, fail)
        except (OSError, subprocess.CalledProcessError, elf2coff.Refused) as error:
            print("check-image: %s: %s" % (elf_path, error), file=sys.stderr)
            sys.exit(2)
    if role == "driver":
        check_driver(pe, fail)
    else:
        check_program(pe, fail)
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--allowlist", default=os.path.join(HERE, "ce-api-allowlist.txt"))
    parser.add_argument("--exports", default=os.path.join(HANDHELD, "ce5-exports.txt"))
    parser.add_argument("--ktapi", default=os.path.join(HERE, "..", "standins", "ktapi", "KTAPI.def"))
    parser.add_argument("--program", help="rxconf.exe")
    parser.add_argument("--program-elf", help="the program's linked ELF file")
    parser.add_argument("--driver", help="rxboot.dll")
    parser.add_argument("--driver-elf", help="the driver's linked ELF file")
    args = parser.parse_args()
    if not args.program and not args.driver:
        parser.print_usage(sys.stderr)
        sys.exit(2)
    try:
        allowlist = read_allowlist(args.allowlist)
        device = read_device_exports(args.exports, args.ktapi)
    except OSError as error:
        print("check-image: %s" % error, file=sys.stderr)
        sys.exit(2)
    failures = []
    for path, elf_path, role in ((args.program, args.program_elf, "program"),
                                 (args.driver, args.driver_elf, "driver")):
        if path:
            failures += check(path, elf_path, role, allowlist, device)
    if failures:
        print("check-image: %d problem(s)" % len(failures))
        sys.exit(1)
    print("check-image: all checks hold")


if __name__ == "__main__":
    main()
