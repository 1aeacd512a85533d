#!/usr/bin/python3
"""The exception directory of a handheld image: the function table that
Windows CE's unwinder reads, made from the linked A32 code.

    pdata.py LINKED.elf       prints the table (offsets into .text)

The assumption it corrects: ld.lld and lld-link know nothing of Windows
CE's ARM function table, and the compiler (for the bare ARM EABI) writes
none, yet the device's kernel can only reach a handler (the device
manager's, around XXX_Init) by virtually unwinding every frame above a
fault with it; a function without an entry is taken for a leaf, and the
walk stops at the first of ours that has made a call. handheld/elf2coff.py
puts the table this module makes into the COFF object as .pdata, where
lld-link makes it the image's exception directory, relocating each start.

One entry per function of .text (the compiler's functions, the run-time
helpers and the import stubs), in address order, each reaching to the next
function (its literal pool included), in Windows CE's compressed ARM form:
the start, then the prologue length and the function length in
instructions, with the 32-bit flag set and no handler. The prologue is the
run of instructions from the start up to the last one that sets up the
frame, as the compiler emitted it: STMDB SP! (a push), STR LR, [SP, #-4]!,
SUB SP, SP, #n, and LDR R12, [PC, #n] with SUB SP, SP, R12; instructions
the compiler scheduled between them stay inside (the unwinder skips what
it does not know).

Refused, each with its reason (elf2coff.py then fails the link): a frame
pointer set-up (ADD, SUB or MOV into R11). The unwinder takes an ADD or SUB
into R11 for Microsoft's frame layout, r11 = SP before the push, and undoes
clang's (push {..., r11, lr}; add r11, sp, #n) wrongly; clang's MOV R11, SP
comes out right only because the unwinder reads it as a MOV Rd, SP first.
Build with -fomit-frame-pointer. Also refused: a prologue longer than the
15 instructions the unwinder reads, a MOV Rd, SP inside a prologue, SP
lowered or set from a register anywhere else, and code in .text before the
first function.
"""
import struct
import sys

PROLOGUE_MAX = 15      # instructions Windows CE's ARM unwinder reads of a prologue
ENTRY_SIZE = 8
STT_FUNC = 2


class Refused(Exception):
    pass


def entry_word(prologue, length):
    """The second word of a compressed entry: 32-bit ARM code, no handler."""
    return prologue | (length << 8) | (1 << 30)


def sets_frame(word):
    """An instruction of the frame set-up the unwinder undoes."""
    if word >> 28 != 0xE:
        return False
    return (word & 0x0FFF0000 == 0x092D0000                   # STMDB SP!, {...}
            or word & 0x0FFFF000 == 0x052DE000                # STR LR, [SP, #-n]!
            or word & 0x0FFFF000 == 0x024DD000                # SUB SP, SP, #n
            or word & 0x0FFFFFFF == 0x004DD00C)               # SUB SP, SP, R12


def lowers_sp(word):
    """Any other write that moves SP down or sets it from a register."""
    if word & 0x0C000000 == 0 and (word >> 12) & 0xF == 13 and not word & 0x01900000 == 0x01000000:
        opcode = (word >> 21) & 0xF
        if opcode == 0x4 and (word >> 16) & 0xF == 13 and word & (1 << 25):
            return False                                      # ADD SP, SP, #n: an epilogue
        return opcode not in (0x8, 0x9, 0xA, 0xB)             # TST/TEQ/CMP/CMN write nothing
    if word & 0x0E000000 == 0x08000000 and (word >> 16) & 0xF == 13 and word & (1 << 21):
        return not word & (1 << 20) and not word & (1 << 23)  # STMDB/STMDA SP!
    return word & 0x0F2F0000 == 0x052D0000 and not word & (1 << 23) and not word & (1 << 20)   # STR Rx, [SP, #-n]!


def frame_pointer(word):
    """ADD/SUB/MOV into R11: the unwinder reads it as Microsoft's frame pointer."""
    return word & 0x0DE0F000 in (0x0080B000, 0x0040B000) or word & 0x0FFFFFF0 == 0x01A0B000


def mov_from_sp(word):
    return word & 0x0FFF0FFF == 0x01A0000D


def prologue_length(words, name):
    """Instructions from the function's start to the end of its frame set-up."""
    length = 0
    for k, word in enumerate(words[:PROLOGUE_MAX + 1]):
        if frame_pointer(word):
            raise Refused("%s: a frame pointer set-up (r11) at +0x%X, which Windows CE's unwinder undoes "
                          "as Microsoft's frame layout: build with -fomit-frame-pointer" % (name, 4 * k))
        if sets_frame(word):
            if k >= PROLOGUE_MAX:
                raise Refused("%s: a prologue of more than %d instructions" % (name, PROLOGUE_MAX))
            length = k + 1
        elif word >> 28 == 0xE and (word & 0x0E000000 == 0x0A000000 or word & 0x0FFFFFF0 == 0x012FFF10):
            break                                             # a branch, call or return ends it
    for k in range(length):
        if mov_from_sp(words[k]):
            raise Refused("%s: MOV from SP at +0x%X inside the prologue (the unwinder would put it back in SP)"
                          % (name, 4 * k))
    return length


def functions(sections, symbols):
    """.text, (offset into .text, name) of each function in address order (one
    per address), and the offsets where literal data starts and code starts
    again (the $d and $a mapping symbols)."""
    text = next(s for s in sections if s["name"] == ".text")
    starts, marks = {}, []
    for sym in symbols:
        if sym["shndx"] != text["index"]:
            continue
        if sym["type"] == STT_FUNC and sym["name"]:
            starts.setdefault(sym["value"] - text["addr"], sym["name"])
        elif sym["name"] in ("$a", "$d") or sym["name"].startswith(("$a.", "$d.")):
            marks.append((sym["value"] - text["addr"], sym["name"][1]))
    return text, sorted(starts.items()), sorted(marks)


def instructions(data, marks, start, end):
    """(offset, word) of the instructions in [start, end), literal data left out."""
    kind = "a"
    for offset, mark in marks:
        if offset <= start:
            kind = mark
    changes = [(offset, mark) for offset, mark in marks if start < offset < end]
    for offset in range(start, end, 4):
        while changes and changes[0][0] <= offset:
            kind = changes.pop(0)[1]
        if kind == "a":
            yield offset, struct.unpack_from("<I", data, offset)[0]


def function_table(sections, symbols):
    """[(offset into .text, prologue length, function length)], one per function."""
    text, found, marks = functions(sections, symbols)
    if not found:
        raise Refused(".text holds no function")
    if found[0][0] != 0:
        raise Refused(".text+0x0: code before the first function (%s at +0x%X)" % (found[0][1], found[0][0]))
    data = text["data"]
    table, problems = [], []
    for k, (offset, name) in enumerate(found):
        end = found[k + 1][0] if k + 1 < len(found) else (len(data) + 3) & ~3
        code = list(instructions(data, marks, offset, end))
        try:
            prologue = prologue_length([word for _, word in code], name)
            for at, word in code[prologue:]:
                if lowers_sp(word):
                    raise Refused("%s: SP set at +0x%X, outside the prologue" % (name, at - offset))
        except Refused as refused:
            problems.append(str(refused))
            continue
        table.append((offset, prologue, (end - offset) // 4))
    if problems:
        raise Refused("\n".join(problems))
    return table


def main(argv):
    sys.path.insert(0, __file__.rsplit("/", 1)[0])
    import elf2coff
    if len(argv) != 1:
        print(__doc__.strip().splitlines()[3], file=sys.stderr)
        return 2
    with open(argv[0], "rb") as f:
        sections, symbols = elf2coff.read_elf(f.read(), argv[0])
    try:
        table = function_table(sections, symbols)
    except Refused as refused:
        for line in str(refused).splitlines():
            print("pdata: %s" % line, file=sys.stderr)
        return 1
    for offset, prologue, length in table:
        print(".text+0x%05X prologue %2d length %5d" % (offset, prologue, length))
    print("%d entries, %d bytes" % (len(table), ENTRY_SIZE * len(table)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
