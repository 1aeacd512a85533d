"""Windows CE 5's ARM exception dispatch: the function table it reads, the
virtual unwind of one frame, and the walk from a fault up to a handler.

The rules are the CE 5 kernel's (its exception dispatcher and its ARM
virtual unwinder), restated here:
  - a module's function table is its exception directory: 8-byte entries
    sorted by start address, each the function's start (an absolute,
    relocated address) and a word holding the prologue length (bits 0-7)
    and the function length (bits 8-29), both in instructions, then a bit
    for 32-bit instructions and a bit for a handler kept just before the
    function. A PC finds the entry whose range holds it, by binary search;
    a PC between two entries' ranges, or in an image without a table,
    finds none;
  - a frame with no entry is a leaf: its caller is at LR - 4, and LR is not
    unwound. The walk gives up when that is where it already is;
  - a frame with an entry and no prologue also returns to LR - 4;
  - from a PC at or past the prologue's end the unwinder first tries to run
    an epilogue forward from the PC (when its first instruction's condition
    holds): ADD SP; MOV PC, LR; an LDM that loads PC; an LDM that loads LR
    followed by a B or a BX. Any other instruction ends the attempt, and
    what an ADD SP already did stays done;
  - otherwise it reverse-executes the prologue (at most 15 instructions;
    only those executed when the PC is inside it), last first: STMDB
    becomes LDMIA; SUB SP becomes ADD SP (SUB SP, SP, R12 reloads R12 from
    the literal that an LDR R12, [PC, #n] above it loaded); MOV Rd, SP
    puts Rd back in SP; ADD, SUB or MOV into R11 is taken for a frame
    pointer that holds SP from before the STMDB: the STMDB above it is
    replayed as a load from R11 without writeback. Other instructions are
    skipped. The caller is then at LR - 4;
  - a memory read that fails leaves the frame where it was;
  - the walk stops with the stack invalid when a frame's SP leaves the
    thread's stack or is not word-aligned, and ends when SP stops growing.
"""
import struct

PROLOGUE_MAX = 15    # instructions the unwinder reads of a prologue
CPSR = 16



class Entry:
    """One function table entry, as the dispatcher expands it."""

    def __init__(self, begin, prologue, length, handler=False):
        self.begin = begin
        self.prologue_end = begin + 4 * prologue
        self.end = begin + 4 * length
        self.handler = handler

    def __repr__(self):
        return "Entry(0x%X, prologue end 0x%X, end 0x%X)" % (self.begin, self.prologue_end, self.end)


def decode_entries(table):
    """(start, prologue length, function length, 32-bit flag, handler flag) of each 8-byte entry."""
    out = []
    for offset in range(0, len(table) - 7, 8):
        start, word = struct.unpack_from("<II", table, offset)
        out.append((start, word & 0xFF, (word >> 8) & 0x3FFFFF, (word >> 30) & 1, word >> 31))
    return out


def lookup(table, pc):
    """The Entry of a function table (bytes, already relocated) that holds pc, or None."""
    entries = decode_entries(table)
    low, high = 0, len(entries) - 1
    while high >= low:
        middle = (low + high) // 2
        start = entries[middle][0]
        if pc < start:
            high = middle - 1
        elif middle != high and pc >= entries[middle + 1][0]:
            low = middle + 1
        else:
            _, prologue, length, thirty_two, handler = entries[middle]
            size = 4 if thirty_two else 2                   # Thumb entries count halfwords
            if pc >= start + length * size:
                return None
            entry = Entry(start, 0, 0, bool(handler))
            entry.prologue_end, entry.end = start + prologue * size, start + length * size
            return entry
    return None


# ---- one instruction at a time ----

def condition_holds(cpsr, word):
    n, z, c, v = (cpsr >> 31) & 1, (cpsr >> 30) & 1, (cpsr >> 29) & 1, (cpsr >> 28) & 1
    return {
        0x0: z, 0x1: not z, 0x2: c, 0x3: not c, 0x4: n, 0x5: not n, 0x6: v, 0x7: not v,
        0x8: c and not z, 0x9: (not c) or z, 0xA: n == v, 0xB: n != v,
        0xC: (not z) and n == v, 0xD: z or n != v, 0xE: True,
    }.get(word >> 28, False)


def ror(value, amount):
    amount &= 31
    return ((value >> amount) | (value << (32 - amount))) & 0xFFFFFFFF if amount else value


def data_processing(word, regs):
    """Executes a data-processing instruction on regs, as the unwinder does."""
    carry = (regs[CPSR] >> 29) & 1
    first = regs[(word >> 16) & 0xF]
    if word & (1 << 25):
        second = ror(word & 0xFF, 2 * ((word >> 8) & 0xF))
    else:
        second = regs[word & 0xF]
        kind = (word >> 4) & 7
        if kind == 6 and not (word >> 7) & 0x1F:     # RRX
            second = (carry << 31) | (second >> 1)
        elif word & 0x10:                             # shift by a register
            amount = regs[(word >> 8) & 0xF] & 0xFF
            if kind == 1:
                second = 0 if amount >= 32 else (second << amount) & 0xFFFFFFFF
            elif kind == 3:
                second = 0 if amount >= 32 else second >> amount
            elif kind == 5:
                negative = second >> 31
                second = (0xFFFFFFFF if negative else 0) if amount >= 32 else \
                    ((second - (1 << 32) if negative else second) >> amount) & 0xFFFFFFFF
            elif kind == 7 and amount & 0xF:
                second = ror(second, 32 - (amount & 31))      # the unwinder rotates left here
        else:                                         # shift by an immediate
            amount = (word >> 7) & 0x1F
            if kind == 0:
                second = (second << amount) & 0xFFFFFFFF
            elif kind == 2:
                second = second >> amount if amount else 0
            elif kind == 4:
                negative = second >> 31
                second = (((second - (1 << 32) if negative else second) >> amount) & 0xFFFFFFFF) if amount else 0
            elif kind == 6:
                second = ror(second, 32 - amount)             # likewise left
    opcode, rd = (word >> 21) & 0xF, (word >> 12) & 0xF
    results = {
        0x0: first & second, 0x1: first ^ second, 0x2: first - second, 0x3: second - first,
        0x4: first + second, 0x5: first + second + carry, 0x6: first - second - (~carry),
        0x7: second - first - (~carry), 0xC: first | second, 0xD: second, 0xE: first & ~second, 0xF: ~second,
    }
    if opcode in results:
        regs[rd] = results[opcode] & 0xFFFFFFFF


def load_multiple(word, regs, read):
    """Executes an LDM (whatever its mode) on regs; False when memory fails."""
    base = regs[(word >> 16) & 0xF]
    listed = [r for r in range(16) if word & (1 << r)]
    before, up = (word >> 24) & 1, (word >> 23) & 1
    address = base
    order = listed if up else list(reversed(listed))
    for r in order:
        if before:
            address += 4 if up else -4
        value = read(address & 0xFFFFFFFF)
        if value is None:
            return False
        regs[r] = value
        if not before:
            address += 4 if up else -4
    if (word >> 21) & 1:
        regs[(word >> 16) & 0xF] = address & 0xFFFFFFFF
    return True


def load_immediate(word, regs, read):
    """An LDR with an immediate offset, as the unwinder executes one."""
    rn, rd = (word >> 16) & 0xF, (word >> 12) & 0xF
    offset = word & 0xFFF
    if not (word >> 23) & 1:
        offset = -offset
    base = regs[rn]
    # Pre-indexed, the unwinder scales the offset by the word size.
    value = read((base + 4 * offset) & 0xFFFFFFFF if (word >> 24) & 1 else base)
    if value is None:
        return False
    if (word >> 22) & 1:
        value &= 0xFF
    regs[rd] = value
    if (word >> 21) & 1:
        regs[rn] = (regs[rn] + offset) & 0xFFFFFFFF
    return True


def is_add_sp(word):
    return word & 0x0DE0F000 == 0x0080D000


def is_sub_sp(word):
    return word & 0x0DE0F000 == 0x0040D000


def is_mov_from_sp(word):
    return word & 0x0FFF0FFF == 0x01A0000D


def is_frame_pointer_set(word):
    return (word & 0x0DE0F000 in (0x0080B000, 0x0040B000)) or word & 0x0FFFFFF0 == 0x01A0B000


def is_stm(word):
    return word & 0x0E100000 == 0x08000000


def is_ldm_with_pc(word):
    return word & 0x0E108000 == 0x08108000


def is_ldm_with_lr(word):
    return word & 0x0E104000 == 0x08104000


def is_mov_pc_lr(word):
    return word & 0x0DE0F00E == 0x01A0F00E


def is_branch(word):
    return word & 0x0F000000 == 0x0A000000


def is_bx(word):
    return word & 0x0FFFFFF0 == 0x012FFF10


def is_ldr_r12_literal(word):
    return word & 0x0F3FF000 == 0x051FC000


# ---- one frame ----

def virtual_unwind(pc, entry, regs, read):
    """Unwinds one frame with an entry: regs (r0-r15, cpsr at 16) become the
    caller's. Returns (the caller's PC, the establisher frame, whether pc is
    past the prologue). A failed read leaves the caller's PC at pc."""
    in_function = False
    if entry.prologue_end == entry.begin:
        return (regs[14] - 4) & 0xFFFFFFFF, regs[13], in_function
    if pc >= entry.prologue_end:
        first = read(pc)
        if first is None:
            return pc, regs[13], in_function
        at = pc
        epilogue = condition_holds(regs[CPSR], first)
        while epilogue:
            word = read(at)
            if word is None:
                return pc, regs[13], in_function
            if is_add_sp(word):
                data_processing(word, regs)
            elif is_mov_pc_lr(word):
                data_processing((word & ~0xF000) | 0xE000, regs)    # into LR, not PC
                return (regs[14] - 4) & 0xFFFFFFFF, regs[13], in_function
            elif is_ldm_with_pc(word):
                kept = regs[15]
                if not load_multiple(word, regs, read):
                    return pc, regs[13], in_function
                caller, regs[15] = regs[15], kept
                return (caller - 4) & 0xFFFFFFFF, regs[13], in_function
            elif is_ldm_with_lr(word):
                following = read(at + 4)
                if following is None:
                    return pc, regs[13], in_function
                if not (is_branch(following) or is_bx(following)):
                    break
                if not load_multiple(word, regs, read):
                    return pc, regs[13], in_function
                return (regs[14] - 4) & 0xFFFFFFFF, regs[13], in_function
            else:
                break
            at += 4

    size = entry.prologue_end - entry.begin
    if size > 4 * PROLOGUE_MAX:
        return pc, regs[13], in_function
    start = entry.begin & ~3
    prologue = [read(start + 4 * k) for k in range(size // 4)]
    if None in prologue:
        return pc, regs[13], in_function
    if pc < entry.prologue_end:
        size = pc - entry.begin
    else:
        in_function = True
    caller = None
    for i in range(size // 4 - 1, -1, -1):
        word = prologue[i]
        if is_mov_from_sp(word):
            regs[13] = regs[(word >> 12) & 0xF]
        elif is_sub_sp(word) or is_add_sp(word):
            if not word & (1 << 25) and word & 0xF == 12:
                j = i - 1
                while j >= 0 and not is_ldr_r12_literal(prologue[j]):
                    j -= 1
                if j < 0:
                    return pc, regs[13], in_function
                value = read(entry.begin + 4 * j + (prologue[j] & 0xFFF) + 8)
                if value is None:
                    return pc, regs[13], in_function
                regs[12] = value
            opposite = 0x4 if is_sub_sp(word) else 0x2         # ADD for SUB, SUB for ADD
            data_processing((word & ~(0xF << 21)) | (opposite << 21), regs)
        elif word & 0x0FFF8000 == 0x092D8000:       # STMDB SP!, {PC}: a trap frame's marker
            value = read(regs[13])
            if value is None:
                return pc, regs[13], in_function
            regs[13] = (regs[13] + 4) & 0xFFFFFFFF
            caller = value
        elif is_stm(word):
            if not load_multiple(word ^ 0x01900000, regs, read):
                return pc, regs[13], in_function
        elif word & 0x073DE000 == 0x052DE000:       # STR LR, [SP, #-n]!
            if not load_immediate(word ^ 0x01900000, regs, read):
                return pc, regs[13], in_function
        elif word & 0xFFFF0FFF == 0xE10F0000:       # MRS Rd, CPSR
            regs[CPSR] = regs[(word >> 12) & 0xF]
        elif is_frame_pointer_set(word):
            j = i - 1
            while j >= 0 and not is_stm(prologue[j]):
                j -= 1
            if j >= 0:
                # Replayed once, as a load from R11 without writeback (no
                # longer an STM, so not replayed again).
                prologue[j] = (prologue[j] | (1 << 20)) & ~(0xF << 16) & ~(1 << 21) | (11 << 16)
                if not load_multiple(prologue[j], regs, read):
                    return pc, regs[13], in_function
    if caller is None:
        caller = regs[14] - 4
    return caller & 0xFFFFFFFF, regs[13], in_function


# ---- the walk ----

class Walk:
    """How a dispatch went: the frames it passed and where it ended."""

    def __init__(self):
        self.frames = []          # (pc, "table" or "leaf")
        self.handled = False
        self.stack_invalid = False
        self.regs = None          # the registers the handler's frame gets


def dispatch(regs, find_entry, read, stack, handler_frame):
    """Walks from the faulting context regs (r0-r15, cpsr) to a handler.

    find_entry(pc) gives the Entry of the image that holds pc (or None);
    stack is the thread's (low, high); handler_frame(pc, regs) says whether
    the frame that pc (a caller's call site) belongs to has a handler that
    takes the exception."""
    walk = Walk()
    regs = list(regs)
    low, high = stack
    pc = regs[15]
    while True:
        previous_sp = regs[13]
        entry = find_entry(pc)
        if entry is not None:
            walk.frames.append((pc, "table"))
            caller, frame, _ = virtual_unwind(pc, entry, regs, read)
            if frame < low or frame > high or frame & 3:
                walk.stack_invalid = True
                break
            if caller != pc:
                previous_sp = 0
        else:
            walk.frames.append((pc, "leaf"))
            caller = (regs[14] - 4) & 0xFFFFFFFF
            previous_sp = 0
            if caller == pc:
                break
        pc = caller
        if not previous_sp < regs[13] < high:
            break
        if handler_frame(pc, regs):
            walk.handled = True
            walk.frames.append((pc, "handler"))
            break
    walk.regs = regs
    return walk
