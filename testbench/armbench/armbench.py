#!/usr/bin/python3
"""Runs a handheld image (Windows CE 5, ARM) on an emulated ARM core.

    armbench.py IMAGE --connect HOST:PORT [--core pxa270|armv4t] [--elf FILE]
                [--device COM3:=PATH]... [--exports FILE]... [--virtual-time] [--base ADDRESS]

The host (testbench/armhost, under Wine) listens on HOST:PORT; the bench
connects and the two exchange lines (host.py says what the bench asks the
host meanwhile). A driver (a DLL) is loaded as the device manager loads it:
DllMain(module, DLL_PROCESS_ATTACH) on the device manager's thread, then
the host's calls of its entry points on that thread, and DllMain(module,
DLL_PROCESS_DETACH) at "unload". The host's commands:
    call NAME ARG...    calls the export NAME (or a code symbol of --elf);
                        an ARG is a number, b:HEX (a buffer holding those
                        bytes) or w:HEX (a wide string of that UTF-8 text)
                        -> ret R0 BUFFER...   (the buffers' bytes afterwards)
    init NAME ARG...    calls it as the device manager calls XXX_Init:
                        inside its exception handler (exceptions.py) -> as
                        for call; or, when a fault reached the handler, the
                        device manager frees the library (DllMain,
                        DLL_PROCESS_DETACH; no Deinit) and goes on, and the
                        bench ends -> unloaded TEXT
    stats               -> ok NAME=VALUE ...  (instructions and the like)
    reset               zeroes the counts -> ok
    handles             -> ok N   (handles the process holds)
    port NAME           -> ok T1 T2 T3 T4 T5  (the COMMTIMEOUTS the serial
                        port NAME keeps, as the next open will find them)
    unload              -> ret R0 of DllMain, then the bench ends
A program (an EXE) is loaded and waits for "start" (program.py). The bench
answers "ready" once the image is loaded (and a driver attached). A fault
of the code that no handler takes (on the device manager's thread it ends
the device manager's process), or a call the bench does not model, answers
"fault TEXT" (hex) and ends the bench; an image the device would not load answers "refused
TEXT" at the start. Exit code 0, or 1 after a fault or a refusal.
"""
import argparse
import os
import socket
import sys

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import kernel    # noqa: E402
import loader    # noqa: E402
from host import Channel, PipeHost, hexed, unhexed    # noqa: E402
from exceptions import Dispatcher    # noqa: E402
from kernel import Kernel    # noqa: E402
from program import IMMEDIATE, ProgramCommands    # noqa: E402
from machine import Fault, Machine, CORES    # noqa: E402
from serialport import SerialPorts    # noqa: E402
from symbols import CodeNames    # noqa: E402
from windows import Device, User    # noqa: E402

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DEFAULT_EXPORTS = [os.path.join(ROOT, "handheld", "ce5-exports.txt"),
                   os.path.join(ROOT, "standins", "ktapi", "KTAPI.def")]
DLL_PROCESS_DETACH, DLL_PROCESS_ATTACH = 0, 1
# What CE 5.0's kernel hands an image's entry instead of its base (the
# loader, NK/KERNEL/loader.c, and coredll's CORE/DLL/apis.c): a DLL's
# DllMain gets the kernel's pointer to its module, an address in the
# kernel's part of memory that the process cannot read, and a program's
# WinMain gets its process handle as its instance. Neither is mapped here,
# so code that takes one for the image's address faults, as on the device.
KERNEL_MODULES = 0x8C100000
# Where the bench puts an image: not where it asked to be (every image of
# this project carries base relocations, and the device's loader places a
# DLL wherever its process has room).
DLL_BASE, PROGRAM_BASE = 0x01E00000, 0x00040000
SW_SHOW = 5
DEFAULT_STACK = 0x10000


class Session:
    """One emulated process holding the image under test."""

    def __init__(self, image_path, host, core="pxa270", devices=None, exports=None, elf=None,
                 virtual_time=False, base=None, data=None, device=None):
        self.machine = m = Machine(core, virtual_time)
        self.host = host
        self.options = (image_path, core, devices, exports, elf, virtual_time, base, data)
        self.device = device or Device()
        self.kernel = Kernel(m, host, self.device.named)
        self.dispatcher = Dispatcher(m, "the device manager's process" if image_path.endswith(".dll")
                                     else "the program's process")
        self.ports = SerialPorts(m, devices or {}, self.device.open_ports, self.device.port_states)
        self.user = User(self, self.device)
        for models in (self.kernel.models(), self.ports.models(), self.user.models()):
            m.add_models(models)
        exported = loader.DeviceExports()
        for path in exports or DEFAULT_EXPORTS:
            (exported.read_def if path.endswith(".def") else exported.read_list)(path)
        if base is None:
            base = DLL_BASE if image_path.endswith(".dll") else PROGRAM_BASE
        self.image = loader.load(m, image_path, base, exported, data=data)
        self.image.module = KERNEL_MODULES + 0x100 * len(m.images)
        self.process = m.new_handle(("process", image_path))
        m.images.append(self.image)
        m.count_code(*self.image.code)
        m.check_alignment()
        if elf:
            start, end = self.image.code
            m.names = CodeNames(elf, start, end - start)
        # A program's threads get the stack its image asks for; the device
        # manager's process (which holds a driver) has Windows CE's default.
        m.stack_size = DEFAULT_STACK if self.image.is_dll else self.image.stack_reserve
        self.caller = m.new_thread("device manager" if self.image.is_dll else "primary")
        self.last_call_ms = 0

    def address_of(self, name):
        address = self.image.exports.get(name)
        if address is None and self.machine.names is not None:
            address = self.machine.names.find(name)
        if address is None:
            raise Fault("no export or code symbol %s" % name)
        return address

    def call(self, address, args):
        """r0 of the call, on the device manager's thread."""
        self.host.entered()
        started = self.machine.clock.now()
        result = self.machine.call(self.caller, address, args)
        self.last_call_ms = self.machine.clock.now() - started
        return result

    def launch(self, address, args):
        """The device manager's call of the driver's Init: (r0, None), or
        (0, what happened) when a fault reached its handler. The driver has
        then failed: the device manager frees the library (DllMain with
        DLL_PROCESS_DETACH), calls no Deinit, and goes on."""
        self.host.entered()
        started = self.machine.clock.now()
        result, guard = self.dispatcher.guarded_call(self.caller, address, args)
        self.last_call_ms = self.machine.clock.now() - started
        if guard.report is None:
            return result, None
        self.detach()
        return 0, guard.report

    def another(self):
        """A second process running the same image on the same device."""
        image_path, core, devices, exports, elf, virtual_time, base, data = self.options
        return Session(image_path, self.host, core, devices, exports, elf, virtual_time, base, data, self.device)

    def run_program(self, command_line=""):
        """Runs the program from its entry, as the loader starts it:
        (process handle, 0, command line, SW_SHOW); its exit code once the
        primary thread has returned, which ends the process."""
        m = self.machine
        line = m.alloc(2 * len(command_line) + 2, "command line")
        m.put_wstr(line, command_line)
        self.host.entered()
        code = m.call(self.caller, self.image.entry, [self.process, 0, line, SW_SHOW])
        m.ended = code
        return code

    def attach(self):
        return self.call(self.image.entry, [self.image.module, DLL_PROCESS_ATTACH, kernel.NOT_EXITING])

    def detach(self):
        return self.call(self.image.entry, [self.image.module, DLL_PROCESS_DETACH, kernel.NOT_EXITING])

    def stats(self):
        m = self.machine
        listeners = [t for t in m.threads if t.role.startswith("thread of")]
        return {
            "instructions": sum(t.instructions for t in m.threads),
            "caller": self.caller.instructions,
            "threads": len(m.threads) - 1,
            "thread_instructions": sum(t.instructions for t in listeners),
            "thread_bytes": sum(t.bytes_read for t in listeners),
            "max_run": m.max_run[0],
            "max_run_where": m.max_run[1],
            "debug_calls": self.kernel.debug_calls,
            "clock_ms": int(m.clock.now()),
            "call_ms": int(self.last_call_ms),
        }

    def reset(self):
        for t in self.machine.threads:
            t.instructions = t.run = t.bytes_read = 0
        self.machine.max_run = (0, "")
        self.kernel.debug_calls = 0


def parse_args(session, words):
    """Arguments of a call: numbers, and buffers placed in a scratch page."""
    m = session.machine
    args, buffers = [], []
    for word in words:
        if word.startswith("b:") or word.startswith("w:"):
            data = unhexed(word[2:])
            if word.startswith("w:"):
                data = data.decode("utf-8").encode("utf-16-le") + b"\0\0"
            address = m.alloc(max(len(data), 1), "a buffer of the host's")
            m.write(address, data)
            buffers.append((address, len(data), word.startswith("b:")))
            args.append(address)
        else:
            args.append(int(word, 0) & 0xFFFFFFFF)
    return args, buffers


def serve(session, channel):
    say = channel.send

    if session.image.is_dll:
        result = session.attach()
        if result == 0:
            say("refused", hexed(b"DllMain refused DLL_PROCESS_ATTACH"))
            return 1
    program = None if session.image.is_dll else ProgramCommands(session, channel, say)
    say("ready")
    while True:
        words = channel.command()
        if program is not None and words[0] in IMMEDIATE:
            say("ok", *program.immediate(words))
        elif words[0] in ("call", "init"):
            args, buffers = parse_args(session, words[2:])
            address = session.address_of(words[1])
            if words[0] == "call":
                result, caught = session.call(address, args), None
            else:
                result, caught = session.launch(address, args)
            if caught is not None:
                say("unloaded", hexed(("%s failed, driver unloaded, device manager alive: %s"
                                       % (words[1], caught)).encode("utf-8")))
                return 1
            contents = [hexed(session.machine.read(a, n)) for a, n, shown in buffers if shown]
            for address, _, _ in buffers:
                session.machine.free(address)
            say("ret", result, *contents)
        elif words[0] == "stats":
            say("ok", *("%s=%s" % (k, hexed(str(v).encode()) if k.endswith("where") else v)
                        for k, v in session.stats().items()))
        elif words[0] == "reset":
            session.reset()
            say("ok")
        elif words[0] == "handles":
            say("ok", len(session.machine.handles))
        elif words[0] == "port":
            say("ok", *session.ports.state(words[1]).timeouts)
        elif words[0] == "unload":
            say("ret", session.detach() if session.image.is_dll else 0)
            return 0
        elif words[0] == "start" and program is not None:
            say("exit", program.run())
            return 0
        else:
            say("fault", hexed(("no command %r" % words[0]).encode()))
            return 1


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("--core", choices=sorted(CORES), default="pxa270")
    parser.add_argument("--elf", help="the ELF file of the image's code (handheld/link-a32.sh keeps it)")
    parser.add_argument("--device", action="append", default=[], metavar="NAME=PATH")
    parser.add_argument("--exports", action="append", help="the device's export lists (default: the project's)")
    parser.add_argument("--virtual-time", action="store_true")
    parser.add_argument("--base", type=lambda s: int(s, 0))
    parser.add_argument("--connect", metavar="HOST:PORT", required=True,
                        help="the host's TCP connection")
    options = parser.parse_args(argv)
    devices = dict(d.split("=", 1) for d in options.device)
    address, port = options.connect.rsplit(":", 1)
    connection = socket.create_connection((address, int(port)))
    connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    channel = Channel(connection)
    host = PipeHost(channel)
    try:
        session = Session(options.image, host, options.core, devices, options.exports, options.elf,
                          options.virtual_time, options.base)
    except loader.Refused as refused:
        host.send("refused", hexed(str(refused).encode("utf-8")))
        return 1
    session.machine.channel = channel
    try:
        return serve(session, channel)
    except Fault as fault:
        host.send("fault", hexed(str(fault).encode("utf-8")))
        return 1
    except EOFError:
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
