"""The kernel's exception dispatch on the emulated device, and the frame the
device manager guards its XXX_Init call with.

A fault of the code (a bad address, an unaligned access, an instruction the
core lacks, or a bad pointer handed to a modelled coredll call) is not the
end of the run by itself: the dispatcher walks the faulting thread's stack
by Windows CE 5's rules (unwind.py), with only what the device has, the
images' exception directories and memory, from the fault up to a frame
that registered a handler. Only the device manager registers one, around
each XXX_Init call (its model is Session.launch in armbench.py): a walk that
reaches it fails that driver and the device manager goes on. A walk that
does not reach it leaves the fault unhandled, which on the device manager's
thread ends the device manager's process, as coredll's unhandled-exception
path does on the device. (On another thread of the device manager coredll
would end only that thread; the bench stops the run instead.)

A fault inside a modelled coredll call is a fault inside coredll on the
device: the walk starts in a frame with no entry of ours (coredll's own
code), whose caller is at LR - 4.

Where the fault was: unicorn reports the start of the translated block, not
the faulting instruction, for a memory fault; the registers are those just
before that instruction. The instruction is found again among the block's
loads and stores as the first whose address, from those registers, is the
faulting one.

Threads: everything here runs on the bench's one host thread, for the
emulated thread that faulted.
"""
from unicorn import UcError, UC_HOOK_MEM_INVALID
from unicorn import UC_MEM_READ_PROT, UC_MEM_READ_UNMAPPED, UC_MEM_WRITE_PROT, UC_MEM_WRITE_UNMAPPED
from unicorn.arm_const import UC_ARM_REG_CPSR

import unwind
from machine import LR, PC, R, SP

EXCEPTION_DIRECTORY = 3
# The device manager's own frame below the top of its stack, and what its
# r4-r11 hold when it calls Init: the unwind must give them back.
DEVICE_MANAGER_FRAME = 0x40
KEPT_VALUES = {4 + k: 0xD3A40000 + 0x111 * k for k in range(8)}
# A data access that faults: its instruction is found again (faulting_instruction).
DATA_FAULTS = (UC_MEM_READ_UNMAPPED, UC_MEM_WRITE_UNMAPPED, UC_MEM_READ_PROT, UC_MEM_WRITE_PROT)


class Guard:
    """A frame with a handler: the device manager's call of an Init."""

    def __init__(self, thread, sp, returns, calls):
        self.thread, self.sp = thread, sp
        self.returns, self.calls = returns, calls     # depths to go back to
        self.report = None                            # the handled fault, said


class Dispatcher:
    def __init__(self, machine, process):
        self.machine = machine
        self.process = process        # "the device manager's process", say
        self.guards = []
        self.fault_address = None
        machine.on_exception = self.take
        machine.uc.hook_add(UC_HOOK_MEM_INVALID, self._invalid_access)

    def _invalid_access(self, uc, access, address, size, value, data):
        if access in DATA_FAULTS:
            self.fault_address = address
        return False

    # ---- what the walk reads ----

    def read(self, address):
        try:
            return self.machine.u32(address)
        except UcError:
            return None

    def find_entry(self, pc):
        for image in self.machine.images:
            if not image.contains(pc):
                continue
            directory = image.pe.OPTIONAL_HEADER.DATA_DIRECTORY[EXCEPTION_DIRECTORY]
            if not directory.VirtualAddress or not directory.Size:
                return None
            try:
                table = self.machine.read(image.base + directory.VirtualAddress, directory.Size)
            except UcError:
                return None
            return unwind.lookup(table, pc)
        return None

    # ---- the guarded call ----

    def guarded_call(self, thread, address, args):
        """(r0, the guard) of address(args) on thread, called as the device
        manager calls an Init: inside its handler. When a fault reached the
        handler r0 is None and the guard's report says which fault."""
        m = self.machine
        guard = Guard(thread, thread.stack[1] - DEVICE_MANAGER_FRAME, len(thread.returns), len(thread.calls))
        self.guards.append(guard)
        try:
            result = m.call(thread, address, args, sp=guard.sp, registers=KEPT_VALUES)
        finally:
            self.guards.remove(guard)
        return result, guard

    # ---- a fault ----

    def take(self, thread, text, data_address=None):
        """None when a handler took the fault (the thread is back in the
        guarded frame's caller, idle); otherwise what the run stops with."""
        m, uc = self.machine, self.machine.uc
        regs = [uc.reg_read(R[i]) for i in range(13)] + [uc.reg_read(SP), uc.reg_read(LR), uc.reg_read(PC),
                                                           uc.reg_read(UC_ARM_REG_CPSR)]
        if data_address is None:
            data_address, self.fault_address = self.fault_address, None
        if data_address is not None and m.block is not None:
            reported, regs[15] = regs[15], self.faulting_instruction(m.block, regs, data_address)
            text = text.replace(" at %s " % m.where(reported), " at %s " % m.where(regs[15]), 1)
        guards = [g for g in self.guards if g.thread is thread]
        guard = guards[-1] if guards else None

        def handler_frame(pc, unwound):
            return guard is not None and pc + 4 == m.returned

        walk = unwind.dispatch(regs, self.find_entry, self.read, thread.stack, handler_frame)
        frames = " <- ".join("the device manager's handler" if how == "handler" else "%s (%s)" % (m.where(pc), how)
                             for pc, how in walk.frames)
        if not walk.handled:
            why = " (the stack was invalid)" if walk.stack_invalid else ""
            if thread is m.threads[0]:
                # coredll's unhandled-exception path ends the primary thread,
                # and with it the process.
                return "an exception no handler took%s ended %s: %s; unwound %s" % (why, self.process, text, frames)
            return "an exception no handler took%s on thread %d (%s): %s; unwound %s" % (
                why, thread.id, thread.role, text, frames)
        wrong = ["sp 0x%08X (it called with 0x%08X)" % (walk.regs[13], guard.sp)] if walk.regs[13] != guard.sp else []
        wrong += ["r%d 0x%08X (0x%08X)" % (r, walk.regs[r], value) for r, value in sorted(KEPT_VALUES.items())
                  if walk.regs[r] != value]
        if wrong:
            return ("the unwind of %s reached the device manager's handler with its registers wrong: %s; "
                    "the device manager would run on with them. Unwound %s" % (text, ", ".join(wrong), frames))
        del thread.returns[guard.returns:]
        del thread.calls[guard.calls:]
        thread.block = None
        thread.result = None
        thread.state = "idle"
        guard.report = "%s; unwound %s" % (text, frames)
        return None

    def faulting_instruction(self, block, regs, address):
        """The address of the first load or store of the block that reaches
        address from regs (the block's start when none does)."""
        start, size = block
        for at in range(start, start + size, 4):
            word = self.read(at)
            if word is None:
                break
            touched = accessed(word, at, regs)
            if touched is not None and touched[0] <= address < touched[1]:
                return at
        return start


def accessed(word, at, regs):
    """[first, end) of the memory a load or store instruction touches, from
    regs (the PC reads as at + 8); None for any other instruction."""
    def reg(n):
        return (at + 8) if n == 15 else regs[n]

    if word >> 28 == 0xF:
        return None
    rn = (word >> 16) & 0xF
    if word & 0x0C000000 == 0x04000000:                       # LDR/STR, byte or word
        size = 1 if word & (1 << 22) else 4
        if word & (1 << 25):
            if word & 0x10:
                return None                                   # a media instruction
            offset = shifted(regs[word & 0xF], (word >> 5) & 3, (word >> 7) & 0x1F)
        else:
            offset = word & 0xFFF
    elif word & 0x0E000090 == 0x00000090 and word & 0x60:     # LDRH/STRH/LDRSB/LDRSH
        size = 2 if word & 0x20 else 1
        offset = ((word >> 4) & 0xF0) | (word & 0xF) if word & (1 << 22) else regs[word & 0xF]
    elif word & 0x0FB00FF0 == 0x01000090:                     # SWP/SWPB
        base = reg(rn)
        return base, base + (1 if word & (1 << 22) else 4)
    elif word & 0x0E000000 == 0x08000000:                     # LDM/STM
        count = bin(word & 0xFFFF).count("1")
        base = reg(rn)
        up, before = (word >> 23) & 1, (word >> 24) & 1
        first = base + (4 if before else 0) if up else base - 4 * count + (0 if before else 4)
        return first & 0xFFFFFFFF, (first + 4 * count) & 0xFFFFFFFF
    else:
        return None
    base = reg(rn)
    if not word & (1 << 24):                                  # post-indexed: the base itself
        return base, base + size
    target = (base + offset if word & (1 << 23) else base - offset) & 0xFFFFFFFF
    return target, target + size


def shifted(value, kind, amount):
    if kind == 0:
        return (value << amount) & 0xFFFFFFFF
    if kind == 1:
        return value >> (amount or 32) if amount else 0
    if kind == 2:
        amount = amount or 32
        return ((value - (1 << 32) if value >> 31 else value) >> amount) & 0xFFFFFFFF
    return unwind.ror(value, amount) if amount else value
