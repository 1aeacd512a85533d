"""The emulated handheld: one ARM core, the process's memory and threads, and
the calls from the image into the platform's models.

Core: unicorn's PXA270 (ARMv5TE XScale, no VFP or NEON) or TI925T (ARMv4T).
Both fault on an instruction they lack, Thumb-2 included.

Calls into the platform: the loader points every import slot at an address
of its own in a region that holds no code; a hook stops the core when it
gets there. The call then goes to the model of that function (models.py and
the modules it names): arguments in r0-r3 and then on the stack, the result
in r0, as Windows CE's ARM calling convention has it. An import with no
model stops the run and names it. Every return from a model checks that
r4-r11 and sp are what the caller left in them.

Faults of the code (a bad address, an unaligned access, an instruction the
core lacks, a bad pointer handed to a model) go to the kernel's exception
dispatcher (exceptions.py), which may hand the thread to a handler; any
other stops the run.

Threads are cooperative. Each has its own stack and saved registers; a
thread runs until it makes a blocking call (Sleep, WaitForSingleObject,
ReadFile, GetMessageW, ...), which always lets the next thread run. A
blocked thread becomes ready when its wait is satisfied or its time runs
out. When no thread is ready the machine waits for the earliest deadline or
for bytes on a port (real time), or jumps its clock there (virtual time).

Counting: every instruction the image's own code executes is counted, per
thread and per run between two blocking calls (the modelled calls are not:
their work is the platform's).
"""
import select
import struct
import time

from unicorn import Uc, UcError, UC_ARCH_ARM, UC_MODE_ARM, UC_HOOK_BLOCK, UC_HOOK_CODE
from unicorn import UC_HOOK_MEM_READ, UC_HOOK_MEM_WRITE
from unicorn import arm_const as arm

CORES = {
    "pxa270": (arm.UC_CPU_ARM_PXA270, "ARMv5TE, XScale PXA270, no VFP or NEON"),
    "armv4t": (arm.UC_CPU_ARM_TI925T, "ARMv4T, TI925T"),
}

THUNK_BASE = 0x7F000000      # one word per bound import, then the traps
THUNK_SIZE = 0x10000
ARENA_BASE = 0x00800000      # stacks and the host's buffers, page by page
NEVER = 0xFFFFFFFC           # an "until" address no run reaches
PAGE = 0x1000

R = [arm.UC_ARM_REG_R0, arm.UC_ARM_REG_R1, arm.UC_ARM_REG_R2, arm.UC_ARM_REG_R3,
     arm.UC_ARM_REG_R4, arm.UC_ARM_REG_R5, arm.UC_ARM_REG_R6, arm.UC_ARM_REG_R7,
     arm.UC_ARM_REG_R8, arm.UC_ARM_REG_R9, arm.UC_ARM_REG_R10, arm.UC_ARM_REG_R11,
     arm.UC_ARM_REG_R12]
SP, LR, PC = arm.UC_ARM_REG_SP, arm.UC_ARM_REG_LR, arm.UC_ARM_REG_PC
KEPT = R[4:12] + [SP]
KEPT_NAMES = ["r4", "r5", "r6", "r7", "r8", "r9", "r10", "r11", "sp"]


class Fault(Exception):
    """The run cannot go on: a fault of the code, or a call the bench does not model."""


class Block:
    """A blocking call in progress: ready() says when it may complete, at the
    latest at deadline (ms on the machine's clock, None = no limit; ready()
    may move it); complete() then gives the call's result. fd: a file whose
    input may satisfy it."""

    def __init__(self, ready, complete, deadline=None, fd=None):
        self.ready, self.complete, self.deadline, self.fd = ready, complete, deadline, fd
        self.woke = None


class Thread:
    def __init__(self, machine, tid, role, stack):
        self.machine, self.id, self.role, self.stack = machine, tid, role, stack
        self.context = None
        self.state = "ready"         # ready, blocked, idle (no call running), done
        self.block = None
        self.calls = []              # the model calls in progress: (name, kept registers)
        self.returns = []            # what happens when the code started last returns
        self.exit_code = None
        self.result = None           # r0 of a finished host call
        self.instructions = 0
        self.run = 0
        self.run_start = None
        self.bytes_read = 0
        self.handle = None


class Clock:
    """Milliseconds since the machine started: real, or virtual (jumps to the next deadline)."""

    def __init__(self, virtual):
        self.virtual = virtual
        self.start = time.monotonic()
        self.virtual_ms = 0.0

    def now(self):
        if self.virtual:
            return self.virtual_ms
        return (time.monotonic() - self.start) * 1000.0

    def wait(self, deadline, fds):
        """Until deadline (None: no limit) or input on one of fds."""
        now = self.now()
        if self.virtual:
            if fds and select.select(fds, [], [], 0)[0]:
                return
            if deadline is not None:
                self.virtual_ms = max(now, deadline)
                return
            timeout = None
        else:
            timeout = None if deadline is None else max(0.0, (deadline - now) / 1000.0)
        if not fds and timeout is None:
            raise Fault("every thread waits for ever")
        select.select(fds, [], [], timeout)


class Machine:
    def __init__(self, core="pxa270", virtual_time=False):
        if core not in CORES:
            raise Fault("no core %r (cores: %s)" % (core, ", ".join(CORES)))
        self.core = core
        self.uc = Uc(UC_ARCH_ARM, UC_MODE_ARM)
        self.uc.ctl_set_cpu_model(CORES[core][0])
        self.clock = Clock(virtual_time)
        self.uc.mem_map(THUNK_BASE, THUNK_SIZE, 4)
        self.uc.hook_add(UC_HOOK_CODE, self._at_thunk, None, THUNK_BASE, THUNK_BASE + THUNK_SIZE - 1)
        self.thunks = {}             # address -> (dll, name)
        self.models = {}             # (dll lower, name) -> model
        self.next_thunk = THUNK_BASE
        self.returned = self._new_thunk(("trap", "return"))
        self.arena = ARENA_BASE
        self.regions = {}            # address -> (size, what)
        self.freed = []              # (address, size) of arena pages given back
        self.threads = []
        self.current = None
        self.handles = {}
        self.next_handle = 0x1004
        self.last_error = {}
        self.images = []
        self.names = None            # symbols.CodeNames of the image under test
        self.max_run = (0, "")
        self.trace = None            # called with (thread, name, args) of every model call
        self.channel = None          # the host's connection (host.Channel): its commands wake the machine
        self.on_commands = None      # takes the host's commands as they come, while a program runs
        self.ended = None            # the process's exit code once its primary thread returned
        self.stack_size = 0x10000    # a thread's stack unless it asks for another size
        self.misaligned = None       # (address, size, pc) of an unaligned access that stopped the run
        self.on_exception = None     # the kernel's dispatcher (exceptions.py): takes a fault, or says how it ends the run
        self.block = None            # (address, size) of the image's code block the core entered last

    # ---- memory ----

    def map(self, address, size, protection, what):
        self.uc.mem_map(address, size, protection)
        self.regions[address] = (size, what)

    def protect(self, address, size, protection):
        self.uc.mem_protect(address, size, protection)

    def read(self, address, size):
        return bytes(self.uc.mem_read(address, size))

    def write(self, address, data):
        self.uc.mem_write(address, bytes(data))

    def u32(self, address):
        return struct.unpack("<I", self.read(address, 4))[0]

    def put_u32(self, address, value):
        self.write(address, struct.pack("<I", value & 0xFFFFFFFF))

    def wstr(self, address, limit=4096):
        """The NUL-terminated UTF-16 string at address."""
        if address == 0:
            return None
        out = bytearray()
        while len(out) < 2 * limit:
            chunk = self.read(address + len(out), 64)
            for i in range(0, 64, 2):
                if chunk[i] == 0 and chunk[i + 1] == 0:
                    return (out + chunk[:i]).decode("utf-16-le", "replace")
            out += chunk
        return out.decode("utf-16-le", "replace")

    def put_wstr(self, address, text):
        self.write(address, text.encode("utf-16-le") + b"\0\0")

    def alloc(self, size, what, protection=3):
        """Fresh zeroed pages, with an unmapped page after them."""
        size = (size + PAGE - 1) & ~(PAGE - 1)
        reuse = [a for a, s in self.freed if s == size]
        if reuse:
            address = reuse[0]
            self.freed.remove((address, size))
        else:
            address = self.arena
            self.arena += size + PAGE
        self.map(address, size, protection, what)
        return address

    def free(self, address):
        size, _ = self.regions.pop(address)
        self.uc.mem_unmap(address, size)
        self.freed.append((address, size))

    # ---- imports and models ----

    def bind_import(self, dll, name):
        """The address an import slot of dll!name is given."""
        for address, bound in self.thunks.items():
            if bound == (dll.lower(), name):
                return address
        address = self._new_thunk((dll.lower(), name))
        return address

    def _new_thunk(self, what):
        address = self.next_thunk
        self.next_thunk += 4
        self.thunks[address] = what
        return address

    def add_models(self, table):
        """{(dll, name): function(call) -> int or Block}."""
        for (dll, name), model in table.items():
            self.models[(dll.lower(), name)] = model

    def _at_thunk(self, uc, address, size, data):
        uc.emu_stop()

    # ---- handles and errors ----

    def new_handle(self, obj):
        handle = self.next_handle
        self.next_handle += 4
        self.handles[handle] = obj
        return handle

    def set_error(self, code):
        self.last_error[self.current.id] = code

    # ---- threads ----

    def new_thread(self, role, stack_size=0):
        """A thread with a stack of its own (0: the process's default size)."""
        stack_size = stack_size or self.stack_size
        stack = self.alloc(stack_size, "stack of thread %d" % (len(self.threads) + 1))
        thread = Thread(self, len(self.threads) + 1, role, (stack, stack + stack_size))
        thread.state = "idle"
        self.threads.append(thread)
        return thread

    def start(self, thread, address, args, on_return, sp=None, registers=None):
        """Makes thread call address(args...) from the top of its stack (or
        from sp), with r4-r12 zero but for registers ({number: value});
        on_return(thread, r0) runs when it returns. The thread runs once the
        scheduler picks it; the thread that runs now is not disturbed."""
        thread.returns.append(on_return)
        if sp is None:
            thread.run = 0
            thread.run_start = "the start of %s" % self.where(address)
        extra = args[4:]
        sp = ((thread.stack[1] if sp is None else sp) - 4 * len(extra)) & ~7
        for i, value in enumerate(extra):
            self.put_u32(sp + 4 * i, value)
        # (unicorn 2.0.1 crashes writing the pc of a saved context: the
        # registers are set on the core and saved from there.)
        running = self.uc.context_save()
        for i in range(13):
            value = args[i] if i < min(4, len(args)) else (registers or {}).get(i, 0)
            self.uc.reg_write(R[i], value & 0xFFFFFFFF)
        self.uc.reg_write(SP, sp)
        self.uc.reg_write(LR, self.returned)
        self.uc.reg_write(PC, address)    # even: ARM state
        thread.context = self.uc.context_save()
        thread.state = "ready"
        if self.current is not thread:
            self.uc.context_restore(running)

    def call(self, thread, address, args, sp=None, registers=None):
        """Runs thread's call of address(args) to its return, with every other
        thread that is ready meanwhile; returns r0 (None when the process
        ended first, or a handler took a fault of the call)."""
        def finished(t, r0):
            t.result = r0
            t.state = "idle"

        thread.result = None
        self.start(thread, address, args, finished, sp, registers)
        self.run_until(lambda: thread.state == "idle" or self.ended is not None)
        return thread.result

    def callback(self, address, args):
        """Calls the image's code at address(args) on the current thread,
        from inside a model call, and returns its r0: a window procedure, say.
        Other threads run while it blocks."""
        thread = self.current
        saved = self.uc.context_save()
        result = []

        def back(t, r0):
            result.append(r0)
            t.state = "returned"

        self.start(thread, address, args, back, sp=self.uc.reg_read(SP))
        self.run_until(lambda: result or self.ended is not None)
        self._switch(thread)
        thread.state = "ready"
        self.uc.context_restore(saved)
        return result[0] if result else 0

    def run_until(self, done):
        while not done():
            thread = self._next_ready()
            if thread is not None:
                self._execute(thread)
            elif not done():
                self._idle()

    def _next_ready(self):
        """The next thread after the one that ran last that may run,
        completing the blocking calls that may complete on the way."""
        now = self.clock.now()
        count = len(self.threads)
        start = self.threads.index(self.current) + 1 if self.current in self.threads else 0
        for k in range(count):
            thread = self.threads[(start + k) % count]
            if thread.state == "blocked":
                block = thread.block
                if block.ready() or (block.deadline is not None and now >= block.deadline):
                    thread.block = None
                    if block.woke is not None:      # a wait inside a model: back to the model
                        block.woke.append(True)
                        thread.state = "returned"
                        continue
                    self._switch(thread)
                    thread.state = "ready"
                    self._return(thread, block.complete())
            if thread.state == "ready":
                return thread
        return None

    def _idle(self):
        blocked = [t.block for t in self.threads if t.state == "blocked"]
        if not blocked:
            raise Fault("no thread left to run")
        deadlines = [b.deadline for b in blocked if b.deadline is not None]
        fds = sorted({b.fd for b in blocked if b.fd is not None})
        if self.channel is not None:
            # The host's commands are taken as they come; the host going
            # away (a test that timed out, say) ends the run.
            try:
                if select.select([self.channel], [], [], 0)[0]:
                    self.channel.pump(False)
            except EOFError as gone:
                raise Fault(str(gone))
            if self.channel.commands and self.on_commands is not None:
                self.on_commands()
                return
            fds.append(self.channel.fileno())
        self.clock.wait(min(deadlines) if deadlines else None, fds)

    def wait_in_model(self, ready, deadline=None, fd=None, what="a wait"):
        """Blocks the current thread inside a model call (a message loop, say)
        until ready() or the deadline, running the other threads meanwhile.
        The model then goes on where it was."""
        thread = self.current
        saved = self.uc.context_save()
        woke = []
        self._end_run(thread, what)
        thread.block = Block(ready, None, deadline, fd)
        thread.block.woke = woke
        thread.state = "blocked"
        self.run_until(lambda: woke or self.ended is not None)
        self._switch(thread)
        thread.state = "ready"
        self.uc.context_restore(saved)

    def _switch(self, thread):
        if self.current is thread:
            return
        if self.current is not None and self.current.state != "done":
            self.current.context = self.uc.context_save()
        self.current = thread
        self.uc.context_restore(thread.context)

    def _execute(self, thread):
        """Runs thread until it blocks, ends, or the process ends."""
        self._switch(thread)
        while thread.state == "ready" and self.ended is None:
            try:
                self.uc.emu_start(self.uc.reg_read(PC), NEVER)
            except UcError as error:
                self._fault(thread, "%s at %s on thread %d (%s)" % (
                    error, self.where(self.uc.reg_read(PC)), thread.id, thread.role))
                continue
            pc = self.uc.reg_read(PC)
            if self.misaligned is not None:
                address, size, at = self.misaligned
                self.misaligned = None
                self._fault(thread, "a %d-byte access at 0x%08X, not aligned, at %s on thread %d (%s)" % (
                    size, address, self.where(at), thread.id, thread.role), address)
                continue
            bound = self.thunks.get(pc)
            if bound is None:
                raise Fault("thread %d stopped at 0x%08X, outside any call" % (thread.id, pc))
            if bound[0] == "trap":
                self._end_run(thread, "its return")
                thread.returns.pop()(thread, self.uc.reg_read(R[0]))
            else:
                self._model_call(thread, bound)

    def _model_call(self, thread, bound):
        dll, name = bound
        model = self.models.get(bound)
        if model is None:
            raise Fault("%s calls %s!%s, which the bench does not model" % (
                self.where(self.uc.reg_read(LR)), dll, name))
        thread.calls.append(("%s!%s" % (dll, name), [self.uc.reg_read(r) for r in KEPT]))
        call = Call(self, thread, name)
        if self.trace:
            self.trace(thread, name, call)
        try:
            result = model(call)
        except UcError as error:
            # A pointer the code handed over leads nowhere: a fault inside
            # coredll on the device.
            self.block = None
            self._fault(thread, "%s from %s: %s with the arguments 0x%08X 0x%08X 0x%08X 0x%08X" % (
                thread.calls[-1][0], self.where(self.uc.reg_read(LR)), error, *call.args(4)))
            return
        if isinstance(result, Block):
            # Completed by the scheduler, after every other ready thread had
            # its turn.
            self._end_run(thread, "%s at %s" % (name, self.where(self.uc.reg_read(LR))))
            thread.block = result
            thread.state = "blocked"
        else:
            self._return(thread, result)

    def _fault(self, thread, text, data_address=None):
        """A fault of thread's code: the dispatcher may take it (the thread
        is then idle); otherwise it stops the run."""
        if self.on_exception is not None:
            text = self.on_exception(thread, text, data_address)
            if text is None:
                return
        raise Fault(text)

    def _return(self, thread, result):
        name, kept = thread.calls.pop()
        for register, before, label in zip(KEPT, kept, KEPT_NAMES):
            after = self.uc.reg_read(register)
            if after != before:
                raise Fault("%s returned with %s changed: 0x%08X, the caller left 0x%08X" % (
                    name, label, after, before))
        if result is not None:
            self.uc.reg_write(R[0], result & 0xFFFFFFFF)
        self.uc.reg_write(PC, self.uc.reg_read(LR))

    def _end_run(self, thread, boundary):
        if thread.run > self.max_run[0]:
            self.max_run = (thread.run, "%s thread, from %s to %s" % (
                thread.role, thread.run_start or "its start", boundary))
        thread.run = 0
        thread.run_start = boundary

    # ---- counting ----

    def check_alignment(self):
        """A halfword or word access at an address not a multiple of its
        size stops the run: an ARMv4 or ARMv5 core (the XScale included)
        reads such a word rotated and does not fault, so code that relies on
        it reads something else on the device than here."""
        def access(uc, kind, address, size, value, data):
            if size in (2, 4) and address & (size - 1):
                self.misaligned = (address, size, uc.reg_read(PC))
                uc.emu_stop()
        self.uc.hook_add(UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, access)

    def count_code(self, start, end):
        def counted(uc, address, size, data):
            self.block = (address, size)
            thread = self.current
            thread.instructions += size >> 2
            thread.run += size >> 2
        self.uc.hook_add(UC_HOOK_BLOCK, counted, None, start, end - 1)

    def where(self, address):
        if self.names is not None:
            for image in self.images:
                if image.code[0] <= address < image.code[1]:
                    return self.names.name(address)
        if address in self.thunks:
            return "%s!%s" % self.thunks[address]
        return "0x%08X" % address


class Call:
    """One call into a model: its arguments and the machine around it."""

    def __init__(self, machine, thread, name):
        self.machine, self.thread, self.name = machine, thread, name
        self._sp = machine.uc.reg_read(SP)

    def arg(self, i):
        if i < 4:
            return self.machine.uc.reg_read(R[i])
        return self.machine.u32(self._sp + 4 * (i - 4))

    def args(self, n):
        return [self.arg(i) for i in range(n)]
