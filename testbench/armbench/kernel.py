"""coredll's kernel calls, as Windows CE 5 documents them: threads, waits,
time, errors, named objects, memory, debug output and the registry, and the
maker's GPIO library KTAPI.

The registry, the debug output and KTAPI reach the world through the host
(host.py): the test that runs the bench keeps them where its checks read
them for the desktop build too. Windows CE's own rules apply on this side:
a key opens whatever access mask the caller passes (Windows CE ignores it),
and a DLL's DllMain sees each thread of its process start and end.
"""
from machine import Block, Fault

INFINITE = 0xFFFFFFFF
WAIT_OBJECT_0, WAIT_TIMEOUT = 0, 0x102
ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER, ERROR_ALREADY_EXISTS = 6, 87, 183
DLL_THREAD_ATTACH, DLL_THREAD_DETACH = 2, 3
CREATE_SUSPENDED, STACK_SIZE_PARAM_IS_A_RESERVATION = 4, 0x10000
# DllMain's third argument: coredll hands every entry its flag that the
# process is exiting (CORE/DLL/apis.c, CallEntry), 0 while it runs.
NOT_EXITING = 0
BOOT_TICKS = 60000   # GetTickCount counts from the device's start, not the bench's


class ThreadObject:
    def __init__(self, thread):
        self.thread = thread

    def signalled(self):
        return self.thread.state == "done"


class Mutex:
    def __init__(self, name):
        self.name, self.opened = name, 1


class Kernel:
    """The process's kernel state and its calls; models() lists them by import name."""

    def __init__(self, machine, host, named=None):
        self.machine = machine
        self.host = host
        self.named = {} if named is None else named     # name -> Mutex, device-wide
        self.keys = {}       # our key handle -> the host's key
        self.debug_calls = 0

    # ---- threads and waits ----

    def start_thread(self, start, parameter, role, stack_size=0):
        """A new thread of the process running start(parameter); every DLL
        of the process sees it start and end through its DllMain."""
        m = self.machine
        thread = m.new_thread(role, stack_size)
        thread.handle = m.new_handle(ThreadObject(thread))
        dlls = [image for image in m.images if image.is_dll]

        def detach(index):
            def step(t, _):
                if index < len(dlls):
                    m.start(t, dlls[index].entry, [dlls[index].module, DLL_THREAD_DETACH, NOT_EXITING],
                            detach(index + 1))
                else:
                    t.state = "done"
                    m.free(t.stack[0])
            return step

        def exited(t, r0):
            t.exit_code = r0
            detach(0)(t, None)

        def attach(index):
            def step(t, _):
                if index < len(dlls):
                    m.start(t, dlls[index].entry, [dlls[index].module, DLL_THREAD_ATTACH, NOT_EXITING],
                            attach(index + 1))
                else:
                    m.start(t, start, [parameter], exited)
            return step

        attach(0)(thread, None)
        return thread

    def CreateThread(self, call):
        """CE 5.0's kernel (NK/KERNEL/schedule.c, SC_CreateThread) gives a
        new thread the process's stack reserve, whatever size the caller
        asks for, unless the flags say STACK_SIZE_PARAM_IS_A_RESERVATION (then
        the size, rounded up to 64 KB); other flags than that and
        CREATE_SUSPENDED are refused with ERROR_INVALID_PARAMETER."""
        _security, stack_size, start, parameter, flags, id_out = call.args(6)
        if flags & ~(CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION):
            self.machine.set_error(ERROR_INVALID_PARAMETER)
            return 0
        if flags & CREATE_SUSPENDED:
            raise Fault("CreateThread with CREATE_SUSPENDED: not modelled")
        if flags & STACK_SIZE_PARAM_IS_A_RESERVATION:
            if stack_size == 0 or stack_size & 0x80000000:
                self.machine.set_error(ERROR_INVALID_PARAMETER)
                return 0
            stack_size = (stack_size + 0xFFFF) & ~0xFFFF
        else:
            stack_size = 0    # the process's own
        thread = self.start_thread(start, parameter, "thread of %s" % self.machine.where(start), stack_size)
        if id_out:
            self.machine.put_u32(id_out, thread.id)
        return thread.handle

    def WaitForSingleObject(self, call):
        handle, ms = call.args(2)
        obj = self.machine.handles.get(handle)
        if not isinstance(obj, ThreadObject):
            raise Fault("WaitForSingleObject on handle 0x%X: only threads are modelled" % handle)
        now = self.machine.clock.now()
        return Block(obj.signalled, lambda: WAIT_OBJECT_0 if obj.signalled() else WAIT_TIMEOUT,
                     None if ms == INFINITE else now + ms)

    def Sleep(self, call):
        ms = call.arg(0)
        return Block(lambda: False, lambda: None, self.machine.clock.now() + ms)

    def GetTickCount(self, call):
        return (BOOT_TICKS + int(self.machine.clock.now())) & 0xFFFFFFFF

    def InterlockedExchange(self, call):
        target, value = call.args(2)
        old = self.machine.u32(target)
        self.machine.put_u32(target, value)
        return old

    def GetLastError(self, call):
        return self.machine.last_error.get(call.thread.id, 0)

    def SetLastError(self, call):
        self.machine.set_error(call.arg(0))

    def CreateMutexW(self, call):
        _security, _owned, name_address = call.args(3)
        name = self.machine.wstr(name_address)
        existing = self.named.get(name) if name else None
        if existing is not None:
            existing.opened += 1
            handle = self.machine.new_handle(existing)
            self.machine.set_error(ERROR_ALREADY_EXISTS)
            return handle
        mutex = Mutex(name)
        if name:
            self.named[name] = mutex
        self.machine.set_error(0)
        return self.machine.new_handle(mutex)

    def CloseHandle(self, call):
        handle = call.arg(0)
        obj = self.machine.handles.pop(handle, None)
        if obj is None:
            self.machine.set_error(ERROR_INVALID_HANDLE)
            return 0
        if isinstance(obj, Mutex):
            obj.opened -= 1
            if obj.opened == 0 and self.named.get(obj.name) is obj:
                del self.named[obj.name]
        elif hasattr(obj, "close"):
            obj.close()
        return 1

    # ---- memory (coredll's C runtime) ----

    def memset(self, call):
        destination, value, count = call.args(3)
        self.machine.write(destination, bytes([value & 0xFF]) * count)
        return destination

    def memcpy(self, call):
        destination, source, count = call.args(3)
        self.machine.write(destination, self.machine.read(source, count))
        return destination

    memmove = memcpy

    # ---- debug output and formatting ----

    def NKDbgPrintfW(self, call):
        self.debug_calls += 1
        self.host.debug(format_wide(self.machine, self.machine.wstr(call.arg(0)), call, 1))

    def OutputDebugStringW(self, call):
        self.debug_calls += 1
        self.host.debug(self.machine.wstr(call.arg(0)) or "")

    def wsprintfW(self, call):
        text = format_wide(self.machine, self.machine.wstr(call.arg(1)), call, 2)[:1023]
        self.machine.put_wstr(call.arg(0), text)
        return len(text)

    # ---- registry ----

    def RegOpenKeyExW(self, call):
        root, subkey, _options, _access, result = call.args(5)
        parent = self.keys.get(root, root)
        status, key = self.host.reg_open(parent, self.machine.wstr(subkey) or "")
        if status == 0:
            ours = self.machine.new_handle(("key", key))
            self.keys[ours] = key
            self.machine.put_u32(result, ours)
        return status

    def RegQueryValueExW(self, call):
        key, name, _reserved, type_out, data, size_in_out = call.args(6)
        if key not in self.keys:
            return ERROR_INVALID_HANDLE
        if data and not size_in_out:
            return ERROR_INVALID_PARAMETER
        size = self.machine.u32(size_in_out) if size_in_out else 0
        status, kind, needed, value = self.host.reg_query(self.keys[key], self.machine.wstr(name) or "",
                                                          size if data else 0)
        if status not in (0, 234):   # ERROR_MORE_DATA still reports type and size
            return status
        if type_out:
            self.machine.put_u32(type_out, kind)
        if data and status == 0:
            self.machine.write(data, value)
        if size_in_out:
            self.machine.put_u32(size_in_out, needed)
        return 0 if status == 0 or not data else status

    def RegSetValueExW(self, call):
        key, name, _reserved, kind, data, size = call.args(6)
        if key not in self.keys:
            return ERROR_INVALID_HANDLE
        return self.host.reg_set(self.keys[key], self.machine.wstr(name) or "", kind,
                                 self.machine.read(data, size) if size else b"")

    def RegFlushKey(self, call):
        key = call.arg(0)
        if key not in self.keys:
            return ERROR_INVALID_HANDLE
        return self.host.reg_flush(self.keys[key])

    def RegCloseKey(self, call):
        key = call.arg(0)
        if key not in self.keys:
            return ERROR_INVALID_HANDLE
        self.machine.handles.pop(key, None)
        return self.host.reg_close(self.keys.pop(key))

    # ---- the maker's GPIO library ----

    def KTSetGPIO(self, call):
        return self.host.ktapi("KTSetGPIO", *call.args(2))

    def KTSetGPIODirection(self, call):
        return self.host.ktapi("KTSetGPIODirection", *call.args(2))

    def models(self):
        table = {}
        for name in ("CreateThread", "WaitForSingleObject", "Sleep", "GetTickCount", "InterlockedExchange",
                     "GetLastError", "SetLastError", "CreateMutexW", "CloseHandle", "memset", "memcpy",
                     "memmove", "NKDbgPrintfW", "OutputDebugStringW", "wsprintfW", "RegOpenKeyExW",
                     "RegQueryValueExW", "RegSetValueExW", "RegFlushKey", "RegCloseKey"):
            table[("coredll.dll", name)] = getattr(self, name)
        for name in ("KTSetGPIO", "KTSetGPIODirection"):
            table[("KTAPI.dll", name)] = getattr(self, name)
        return table


def format_wide(machine, fmt, call, first):
    """What the wide printf family makes of fmt with the call's arguments from
    index first on: %d %i %u %x %X %c %s %p %%, flags, width, precision and
    the h/l size prefixes. In a wide format %s and %c take wide text, %S and
    %C (or %hs, %hc) narrow text."""
    out = []
    index = first
    i = 0
    while i < len(fmt):
        c = fmt[i]
        if c != "%":
            out.append(c)
            i += 1
            continue
        j = i + 1
        flags = ""
        while j < len(fmt) and fmt[j] in "-+ #0":
            flags += fmt[j]
            j += 1
        width = ""
        while j < len(fmt) and fmt[j].isdigit():
            width += fmt[j]
            j += 1
        precision = None
        if j < len(fmt) and fmt[j] == ".":
            j += 1
            precision = ""
            while j < len(fmt) and fmt[j].isdigit():
                precision += fmt[j]
                j += 1
        size = ""
        while j < len(fmt) and fmt[j] in "hlwI":
            size += fmt[j]
            j += 1
        if j >= len(fmt):
            out.append(fmt[i:])
            break
        kind = fmt[j]
        i = j + 1
        if kind == "%":
            out.append("%")
            continue
        value = call.arg(index)
        index += 1
        if kind in "di":
            text = str(value - (1 << 32) if value & 0x80000000 else value)
        elif kind == "u":
            text = str(value)
        elif kind in "xX":
            text = ("%x" if kind == "x" else "%X") % value
            if "#" in flags and value:
                text = ("0x" if kind == "x" else "0X") + text
        elif kind == "p":
            text = "%08X" % value
        elif kind in "cC":
            text = chr(value & (0xFF if kind == "C" or "h" in size else 0xFFFF))
        elif kind in "sS":
            narrow = kind == "S" or "h" in size
            if value == 0:
                text = "(null)"
            elif narrow:
                raw = machine.read(value, 1024)
                text = raw[:raw.index(0) if 0 in raw else len(raw)].decode("latin-1")
            else:
                text = machine.wstr(value)
            if precision:
                text = text[:int(precision)]
        else:
            raise Fault("format %r: %%%s is not modelled" % (fmt, kind))
        if precision and kind in "diuxX":
            text = text.rjust(int(precision), "0")
        if width:
            pad = "0" if "0" in flags and "-" not in flags and kind not in "csS" else " "
            text = text.ljust(int(width)) if "-" in flags else text.rjust(int(width), pad)
        out.append(text)
    return "".join(out)
