#!/usr/bin/python3
"""The bench's own tests: what it must refuse and catch by itself.

    selftest.py HANDHELD-BUILD-DIR

Plants each fault the bench claims to catch (an image the device's loader
refuses, a call with no model, a model that breaks the calling convention,
an instruction the core lacks) and wants it caught, named; and checks the
models whose rules come from the platform's documentation (the loader's
relocation, the wide printf formats, the serial read time-outs, the device
manager's handler around Init) against those rules. The images run with an
in-memory host, no Wine needed.
"""
import os
import struct
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pefile    # noqa: E402

import loader    # noqa: E402
import plant    # noqa: E402
from armbench import Session    # noqa: E402
from host import LocalHost    # noqa: E402
from kernel import Kernel, format_wide    # noqa: E402
from machine import Fault, Machine, PC, R    # noqa: E402
from unicorn import UcError    # noqa: E402
from serialport import SerialPorts    # noqa: E402

BUILD = None
DWORD = 4   # REG_DWORD


def image(name):
    return os.path.join(BUILD, "bin", name)


def elf(name):
    return os.path.join(BUILD, "handheld", "link", name + ".elf")


def patched(name, change):
    """The bytes of a built image after change(pe, bytearray)."""
    with open(image(name), "rb") as f:
        data = bytearray(f.read())
    change(pefile.PE(data=bytes(data)), data)
    return bytes(data)


def relocation_type(kind):
    """The first base relocation of the image made one of type kind."""
    def change(pe, data):
        entry = pe.DIRECTORY_ENTRY_BASERELOC[0].entries[0]
        at = entry.struct.get_file_offset()
        (word,) = struct.unpack_from("<H", data, at)
        struct.pack_into("<H", data, at, (word & 0x0FFF) | kind << 12)
    return change


def settings(flag):
    names = "GGA GLL GSA GSV RMC VTG GRS GST ZDA GBS DTM SBAS PWR".split()
    return {"Kestrana": {"ConfigGPS": (DWORD, struct.pack("<I", 2))},
            "Kestrana\\GPS": {n: (DWORD, struct.pack("<I", flag)) for n in names}}


def driver(data=None, core="pxa270", devices=None, host=None):
    session = Session(image("rxboot.dll"), host or LocalHost(settings(1)), core, devices or {},
                      elf=elf("rxboot.dll"), virtual_time=True, data=data)
    return session


class Loader(unittest.TestCase):
    def refused(self, data, text):
        with self.assertRaises(loader.Refused) as caught:
            driver(data)
        self.assertIn(text, str(caught.exception))

    def test_refuses_what_the_device_refuses(self):
        def machine(value):
            return lambda pe, data: struct.pack_into("<H", data, pe.DOS_HEADER.e_lfanew + 4, value)

        def subsystem(value):
            return lambda pe, data: struct.pack_into("<H", data, pe.DOS_HEADER.e_lfanew + 24 + 68, value)

        def rename(old, new):
            return lambda pe, data: data.__setitem__(slice(data.find(old), data.find(old) + len(new)), new)

        self.refused(patched("rxboot.dll", machine(0x1C4)), "machine 0x1C4")
        self.refused(patched("rxboot.dll", subsystem(2)), "subsystem 2")
        # Same length, so nothing else moves: one import the device lacks.
        self.refused(patched("rxboot.dll", rename(b"Sleep\0", b"Sleex\0")),
                     "DoImport Failed: coredll.dll does not export Sleex")
        self.refused(patched("rxboot.dll", rename(b"KTAPI.dll\0", b"KTAPX.dll\0")), "KTAPX.dll")
        # CE 5.0's loader knows no base relocation of type 7 (a Thumb
        # MOVW/MOVT pair in later SDKs), and applies type 5 (an ARM pair
        # there) as a MIPS jump: both stop the load, named.
        for kind, text in ((7, "type 7 at RVA 0x%X: CE 5.0's loader does not know it"),
                           (5, "type 5 at RVA 0x%X: CE 5.0's loader applies it as a MIPS jump")):
            first = pefile.PE(image("rxboot.dll")).DIRECTORY_ENTRY_BASERELOC[0].entries[0]
            self.refused(patched("rxboot.dll", relocation_type(kind)), text % first.rva)
        # The machine types the device does take both load.
        self.assertEqual(driver(patched("rxboot.dll", machine(0x1C0))).attach(), 1)

    def test_placed_away_from_its_base_relocated_and_protected(self):
        session = driver()
        m, img = session.machine, session.image
        self.assertNotEqual(img.base, img.preferred)
        pe = pefile.PE(image("rxboot.dll"))
        delta = img.base - img.preferred
        relocated = [e.rva for b in pe.DIRECTORY_ENTRY_BASERELOC for e in b.entries if e.type == 3]
        self.assertEqual(len(relocated), img.relocations)
        for rva in relocated:
            self.assertEqual(m.u32(img.base + rva), (pe.get_dword_at_rva(rva) + delta) & 0xFFFFFFFF, hex(rva))
        regions = {start: perms for start, end, perms in m.uc.mem_regions()}
        for section in pe.sections:
            flags = section.Characteristics
            want = (1 if flags & 0x40000000 else 0) | (2 if flags & 0x80000000 else 0) | \
                   (4 if flags & 0x20000000 else 0)
            self.assertEqual(regions[img.base + section.VirtualAddress], want, section.Name)
        # CE 5.0's loader does not map the PE headers: the image's first page
        # is not there to read.
        with self.assertRaises(UcError):
            m.read(img.base, 4)


class Calls(unittest.TestCase):
    def test_an_import_without_a_model_stops_the_run_and_is_named(self):
        master, slave = os.openpty()
        session = driver(devices={"COM3:": os.ttyname(slave)})
        self.assertEqual(session.attach(), 1)
        session.machine.models.pop(("coredll.dll", "Sleep"))
        with self.assertRaises(Fault) as caught:
            session.call(session.address_of("RXB_Init"), [0, 0])
        self.assertIn("_Z9BootApplyv+0x", str(caught.exception))
        self.assertIn("calls coredll.dll!Sleep, which the bench does not model", str(caught.exception))
        os.close(master)

    def test_a_model_that_changes_r4_to_r11_or_sp_is_caught(self):
        for register, name in ((R[5], "r5"), (R[11], "r11")):
            session = driver()
            kernel = session.machine.models[("coredll.dll", "RegOpenKeyExW")]

            def clobbering(call, kernel=kernel, register=register):
                call.machine.uc.reg_write(register, 0x5A5A5A5A)
                return kernel(call)

            session.machine.models[("coredll.dll", "RegOpenKeyExW")] = clobbering
            with self.assertRaises(Fault) as caught:
                session.call(session.address_of("RXB_Init"), [0, 0])
            self.assertIn("RegOpenKeyExW returned with %s changed" % name, str(caught.exception))

    def test_threads_switch_at_blocking_calls_and_the_driver_sees_them_start_and_end(self):
        master, slave = os.openpty()
        host = LocalHost(settings(0))
        session = driver(devices={"COM3:": os.ttyname(slave)}, host=host)
        calls = []
        session.machine.trace = lambda thread, name, call: calls.append((thread.id, name))
        entry = session.image.entry
        dllmain, arguments = [], set()
        session.machine.models[("coredll.dll", "CreateThread")] = session.kernel.CreateThread
        original_start = session.machine.start

        def watched(thread, address, args, on_return, sp=None, registers=None):
            if address == entry:
                dllmain.append((thread.id, args[1]))
                arguments.add((args[0], args[2]))
            return original_start(thread, address, args, on_return, sp, registers)

        session.machine.start = watched
        result = session.call(session.address_of("RXB_Init"), [0, 0])
        self.assertEqual(result, 0x89144233)
        self.assertEqual(session.machine.clock.now(), 72000)   # 500 + 13 x (100 x 50 + 500), virtual
        listeners = sorted({t for t, _ in calls if t != session.caller.id})
        self.assertEqual(len(listeners), 13)
        # Each listener thread: DllMain(THREAD_ATTACH) before its code, (THREAD_DETACH) after.
        self.assertEqual(dllmain, [(t, r) for t in listeners for r in (2, 3)])
        # DllMain gets what CE 5.0's coredll hands it: the kernel's module
        # pointer (not the image's base, nor anything the process can read)
        # and the process-exiting flag, 0.
        self.assertEqual(arguments, {(session.image.module, 0)})
        with self.assertRaises(UcError):
            session.machine.read(session.image.module, 4)
        self.assertTrue(all(t.state == "done" for t in session.machine.threads if t.id in listeners))
        self.assertEqual(host.journal, ["KTSetGPIO(1, 1)", "KTSetGPIODirection(0, 1)"])
        os.close(master)


class Exceptions(unittest.TestCase):
    """The device manager's handler around Init, as CE 5's device manager
    has it: a fault that reaches it counts as Init's 0, the library is
    freed (DllMain, DLL_PROCESS_DETACH) with no Deinit, and the device
    manager's thread goes on, its registers as it left them (the
    dispatcher refuses a walk that brings them back wrong). Without the
    exception directory the same fault ends the device manager's process."""

    def planted(self, kind):
        data = bytearray(open(image("rxboot.dll"), "rb").read())
        plant.plant(kind.split("-")[0], data, elf("rxboot.dll"))
        if kind.endswith("-bare"):
            plant.blank_exception_directory(pefile.PE(data=bytes(data)), data)
        if kind.endswith("-short"):
            # BootApply's entry (prologue 2, 90 instructions) gives one
            # prologue instruction less: its sub sp is not undone.
            pe = pefile.PE(data=bytes(data))
            directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[plant.EXCEPTION_DIRECTORY]
            table = pe.get_offset_from_rva(directory.VirtualAddress)
            entry = next(table + 8 * k + 4 for k in range(directory.Size // 8)
                         if struct.unpack_from("<I", data, table + 8 * k + 4)[0] & 0x3FFFFFFF == 90 << 8 | 2)
            struct.pack_into("<I", data, entry, struct.unpack_from("<I", data, entry)[0] - 1)
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        session = driver(bytes(data), devices={"COM3:": os.ttyname(slave)})
        self.assertEqual(session.attach(), 1)
        started = []
        original = session.machine.start

        def watched(thread, address, args, on_return, sp=None, registers=None):
            started.append((thread.id, address, args[1] if address == session.image.entry else None))
            return original(thread, address, args, on_return, sp, registers)

        session.machine.start = watched
        return session, started

    def test_a_fault_under_init_fails_the_driver_and_the_device_manager_goes_on(self):
        # Each planted fault is the second of two instructions after the prologue.
        for kind, fault, where in (
                ("nullread", "UC_ERR_READ_UNMAPPED", "_Z9BootApplyv+0xC (table) <- RXB_Init"),
                ("deep", "UC_ERR_READ_UNMAPPED", "WriteReceiverFrame8UbxFramePm+0xC (table) <- _ZL9SendFrame"),
                ("import", "UC_ERR_READ_UNMAPPED", "coredll.dll!WriteFile (leaf) <- _Z18WriteReceiverFrame"),
                ("undefined", "UC_ERR_INSN_INVALID", "_Z9BootApplyv+0xC (table) <- RXB_Init"),
                ("unaligned", "a 4-byte access at", "_Z9BootApplyv+0xC (table) <- RXB_Init")):
            session, started = self.planted(kind)
            init, deinit = session.address_of("RXB_Init"), session.address_of("RXB_Deinit")
            result, caught = session.launch(init, [0, 0])
            self.assertEqual(result, 0, kind)
            self.assertIn(fault, caught)
            self.assertIn(where, caught)
            self.assertTrue(caught.endswith("<- RXB_Init+0x4 (table) <- the device manager's handler"), caught)
            caller = session.caller
            # DllMain(DLL_PROCESS_DETACH) once on its thread, and no Deinit.
            self.assertEqual([(a, r) for t, a, r in started if a != init and t == caller.id],
                             [(session.image.entry, 0)])
            self.assertNotIn(deinit, [a for _, a, _ in started])
            self.assertIsNone(session.machine.ended)
            # The device manager's thread runs its next driver's DllMain.
            self.assertEqual(session.call(session.image.entry, [session.image.base, 1, 0]), 1)

    def test_without_a_right_exception_directory_the_same_faults_end_the_device_manager(self):
        # No directory: every frame a leaf. A prologue given short: the walk
        # leaves BootApply for a return address that is not one.
        for kind, walk in (("nullread-bare", "unwound _Z9BootApplyv+0xC (leaf) <- RXB_Init+0x4 (leaf)"),
                           ("deep-bare", "(leaf) <- _ZL9SendFrame8UbxFrameiPKwS1_+0x30 (leaf)"),
                           ("import-bare", "unwound coredll.dll!WriteFile (leaf) <- _Z18WriteReceiverFrame"),
                           ("deep-short", "<- _Z9BootApplyv+0x88 (table) <- 0x")):
            session, started = self.planted(kind)
            with self.assertRaises(Fault) as caught:
                session.launch(session.address_of("RXB_Init"), [0, 0])
            self.assertIn("an exception no handler took ended the device manager's process", str(caught.exception))
            self.assertIn(walk, str(caught.exception))
            self.assertNotIn((session.caller.id, session.image.entry, 0), started, kind)   # no DLL_PROCESS_DETACH


class Cores(unittest.TestCase):
    CODE = 0x00100000

    def run_code(self, core, words, thumb=b""):
        m = Machine(core, virtual_time=True)
        m.check_alignment()
        m.map(self.CODE, 0x1000, 7, "code and data")
        m.write(self.CODE, struct.pack("<%dI" % len(words), *words) + thumb)
        thread = m.new_thread("test")
        return m.call(thread, self.CODE, [7])

    def test_each_core_runs_what_it_has_and_faults_on_what_it_lacks(self):
        clz = [0xE16F0F10, 0xE12FFF1E]                      # clz r0, r0 (ARMv5); bx lr
        thumb2 = [0xE28FC001, 0xE12FFF1C]                   # add ip, pc, #1; bx ip; then Thumb code
        self.assertEqual(self.run_code("pxa270", clz), 29)
        with self.assertRaisesRegex(Fault, "Invalid instruction"):
            self.run_code("armv4t", clz)
        for core in ("pxa270", "armv4t"):
            self.assertEqual(self.run_code(core, thumb2, struct.pack("<HH", 0x3001, 0x4770)), 8)   # adds r0, #1
            with self.assertRaisesRegex(Fault, "Invalid instruction"):
                self.run_code(core, thumb2, struct.pack("<HHH", 0xF240, 0x0001, 0x4770))   # movw r0, #1
        with self.assertRaisesRegex(Fault, "Invalid instruction"):
            self.run_code("pxa270", [0xEE300A00, 0xE12FFF1E])   # vadd.f32 s0, s0, s0: no VFP

    def test_an_unaligned_word_or_halfword_access_is_caught(self):
        # r0 = 7 on entry: a word load from the code's address + 2 (the core
        # would read it rotated), a halfword store at an odd address, and the
        # aligned word load that is fine.
        base = 0xE3A01601                                   # mov r1, #0x00100000 (the code's address)
        for access, fine in ((0xE5910002, False), (0xE1C100B1, False), (0xE5910004, True)):
            words = [base, access, 0xE12FFF1E]              # ...; ldr r0, [r1, #2] / strh r0, [r1, #1] / ldr r0, [r1, #4]
            if fine:
                self.run_code("pxa270", words)
            else:
                with self.assertRaisesRegex(Fault, "-byte access at 0x001000.*not aligned"):
                    self.run_code("pxa270", words)


class Models(unittest.TestCase):
    def test_wide_printf_formats(self):
        m = Machine("pxa270", virtual_time=True)
        text = m.alloc(0x1000, "strings")
        m.put_wstr(text, "GGA")

        class Args:
            def __init__(self, *values):
                self.values = values

            def arg(self, i):
                return self.values[i]

        cases = [("%d|%d|%u", (5, 0xFFFFFFFB, 0xFFFFFFFB), "5|-5|4294967291"),
                 ("[0x%x]-[0x%X] %04x", (6, 0xAB, 0x1F), "[0x6]-[0xAB] 001f"),
                 ("%s Saved %c%c", (text, ord("O"), ord("K")), "GGA Saved OK"),
                 ("%5d|%-4d|%%", (42, 7), "   42|7   |%")]
        for fmt, values, want in cases:
            self.assertEqual(format_wide(m, fmt, Args(None, *values), 1), want, fmt)

    def test_the_program_sees_what_the_kernel_and_the_window_manager_give(self):
        session = Session(image("rxconf.exe"), LocalHost())
        m, user = session.machine, session.user
        m.current = session.caller
        buffer = m.alloc(0x1000, "buffer")

        class Args:
            def __init__(self, *values):
                self.values = values

            def arg(self, i):
                return self.values[i]

            def args(self, n):
                return list(self.values[:n])

        # The instance is the process handle, which resource calls take; the
        # image's base is no module handle on the device, and nothing at the
        # handle's value can be read.
        self.assertEqual(user.string(session.process, 3), "Version: 1.6 (25Oct12)")
        with self.assertRaisesRegex(Fault, "instance is its process handle"):
            user.string(session.image.base, 3)
        with self.assertRaises(UcError):
            m.read(session.process, 4)
        # LoadString of a string the table lacks leaves an empty string.
        for missing in (4, 999):
            m.write(buffer, b"X\0" * 8)
            self.assertEqual(user.LoadStringW(Args(session.process, missing, buffer, 8)), 0)
            self.assertEqual(m.wstr(buffer), "")
        # A click on a disabled auto check box changes nothing and tells
        # nobody; enabled, it toggles and sends BN_CLICKED.
        sent = []
        user.deliver = lambda window, message, wparam, lparam: sent.append((window.id, message, wparam))
        dialog = session.device.new_window(user, "Dialog", "", 0)
        box = session.device.new_window(user, "BUTTON", "", 0x08000000 | 3, parent=dialog, ident=300)
        user.control(box, 0xF5, 0, 0)
        self.assertEqual((box.check, sent), (0, []))
        box.enabled = True
        user.control(box, 0xF5, 0, 0)
        self.assertEqual((box.check, sent), (1, [(0, 0x111, 300)]))
        # CreateThread's stack size counts only as a reservation (rounded to
        # 64 KB); otherwise the thread gets the image's own; unknown flags
        # are refused.
        kernel = session.kernel
        for size, flags, stack in ((0x100000, 0, session.image.stack_reserve), (0x18000, 0x10000, 0x20000)):
            kernel.CreateThread(Args(0, size, 0x1000, 0, flags, 0))
            low, high = m.threads[-1].stack
            self.assertEqual(high - low, stack, hex(size))
        self.assertEqual(kernel.CreateThread(Args(0, 0, 0x1000, 0, 0x8, 0)), 0)
        self.assertEqual(m.last_error[session.caller.id], 87)

    def test_serial_reads_keep_their_time_outs(self):
        master, slave = os.openpty()
        m = Machine("pxa270", virtual_time=False)
        ports = SerialPorts(m, {"COM3:": os.ttyname(slave)})
        thread = m.new_thread("test")
        m.current = thread
        buffer = m.alloc(0x1000, "buffer")
        name = buffer + 0x800
        m.put_wstr(name, "COM3:")

        class Args:
            def __init__(self, *values):
                self.values, self.thread = values, thread

            def arg(self, i):
                return self.values[i]

            def args(self, n):
                return list(self.values[:n])

        def open_port():
            return ports.CreateFileW(Args(name, 0xC0000000, 0, 0, 3, 0x80, 0))

        def timeouts_of(handle):
            ports.GetCommTimeouts(Args(handle, buffer + 0x600))
            return struct.unpack("<5I", m.read(buffer + 0x600, 20))

        # A port nobody has set reports time-outs none of which is 0.
        handle = open_port()
        self.assertTrue(all(timeouts_of(handle)))
        # One read/write open at a time, whatever the share mode: the second
        # fails with ERROR_INVALID_ACCESS.
        self.assertEqual(ports.CreateFileW(Args(name, 0xC0000000, 3, 0, 3, 0x80, 0)), 0xFFFFFFFF)
        self.assertEqual(m.last_error[thread.id], 12)
        # The time-outs belong to the port: the next open finds them.
        m.write(buffer + 0x400, struct.pack("<5I", 1, 2, 3, 4, 5))
        ports.SetCommTimeouts(Args(handle, buffer + 0x400))
        kernel = Kernel(m, LocalHost())
        self.assertEqual(kernel.CloseHandle(Args(handle)), 1)
        handle = open_port()
        self.assertEqual(timeouts_of(handle), (1, 2, 3, 4, 5))

        def read(timeouts, count, sent=b"", meanwhile=None):
            m.write(buffer + 0x400, struct.pack("<5I", *timeouts))
            ports.SetCommTimeouts(Args(handle, buffer + 0x400))
            if sent:
                os.write(master, sent)
            started = m.clock.now()
            block = ports.ReadFile(Args(handle, buffer, count, buffer + 0x500, 0))
            if meanwhile:
                meanwhile()
            while not block.ready() and (block.deadline is None or m.clock.now() < block.deadline):
                m.clock.wait(block.deadline, [block.fd])
            read.result = block.complete()
            return m.read(buffer, m.u32(buffer + 0x500)), m.clock.now() - started

        data, ms = read((0, 2, 50, 0, 0), 10, b"abc")        # total: 50 + 2 x 10 ms
        self.assertEqual(data, b"abc")
        self.assertTrue(65 <= ms < 200, ms)
        # Nothing comes: TRUE with no bytes once the total has run out
        # (SERDRVBVT's receive time-out case: 100 + 10 x 128 ms).
        data, ms = read((0, 10, 100, 0, 0), 128)
        self.assertEqual((read.result, data), (1, b""))
        self.assertTrue(1380 <= ms < 1600, ms)
        data, ms = read((0, 2, 50, 0, 0), 3, b"xyz")         # all there: at once
        self.assertEqual((data, ms < 50), (b"xyz", True))
        data, ms = read((0xFFFFFFFF, 0, 0, 0, 0), 5)         # nothing there: at once
        self.assertEqual((data, ms < 50), (b"", True))
        data, ms = read((0xFFFFFFFF, 0xFFFFFFFF, 60, 0, 0), 5)   # nothing comes: the constant
        self.assertEqual(data, b"")
        self.assertTrue(55 <= ms < 200, ms)
        # A read with no time-out at all ends when its handle is closed.
        data, ms = read((0, 0, 0, 0, 0), 5, meanwhile=lambda: kernel.CloseHandle(Args(handle)))
        self.assertEqual((read.result, data, m.last_error[thread.id]), (0, b"", 6))
        self.assertLess(ms, 50)
        os.close(master)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        sys.exit(2)
    BUILD = sys.argv.pop(1)
    unittest.main(verbosity=2)
