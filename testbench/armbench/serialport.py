"""The device's serial ports ("COM3:") on a terminal of this machine.

A port name stands for a path here (--device COM3:=PATH): the near end of the
test's null-modem cable, a real serial device, or one of the cable slot's
stand-ins. What Windows CE 5.0's serial driver does, as its reference pages
and Microsoft's serial conformance tests of the 5.0 tree
(PRIVATE/TEST/DRIVERS/SERIAL) have it (the driver's own source is not in
that tree):
  - one read/write open at a time, whatever the share mode; a second one
    fails with ERROR_INVALID_ACCESS (12);
  - the DCB and the COMMTIMEOUTS belong to the port, not to the open handle:
    what one program sets is what the next open finds (PortState, kept for
    the device). A port the device has not opened yet reports FRESH_TIMEOUTS;
  - the DCB: the rate, data bits, parity and stop bits go to the line (so
    that the far end sees them: the simulated receiver probes the rate), the
    rest is kept as written; a DCB the port cannot take is refused and the
    old one kept (SERDRVBVT's "SetCommState() with bad DCB" case);
  - COMMTIMEOUTS: a read returns once it has its bytes, when its total
    time-out (multiplier x bytes + constant) runs out, or when the interval
    time-out runs out after a byte; MAXDWORD/0/0 returns at once with what is
    there; MAXDWORD/MAXDWORD/N returns at the first byte or after N ms; all
    zero waits for every byte. A read whose time-out runs out returns TRUE
    with the bytes it has, 0 if none (SERDRVBVT's receive time-out case,
    which times the read against that total);
  - closing the handle wakes a read pending on it: the read ends at once
    and fails with ERROR_INVALID_HANDLE, nothing read;
  - a write puts its bytes on the line and returns; write time-outs are not
    modelled (the line never holds a write back).
Errors where the path is absent (2), is no device at all (5), or is a file
without line settings (GetCommState and SetCommState fail, 6) follow what the
desktop build meets on the same slots.
"""
import errno
import os
import re
import select
import struct
import termios

from machine import Block, Fault

ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_INVALID_ACCESS = 2, 5, 6, 12
ERROR_GEN_FAILURE, ERROR_INVALID_PARAMETER = 31, 87
INVALID_HANDLE_VALUE = 0xFFFFFFFF
MAXDWORD = 0xFFFFFFFF
DCB_SIZE = 28
SPEEDS = {rate: getattr(termios, "B%d" % rate) for rate in
          (110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600)}
RATES = {speed: rate for rate, speed in SPEEDS.items()}
# A DCB as a port reports it before anyone set it: binary, DTR and RTS on,
# XON/XOFF characters at their usual values.
FRESH_FLAGS = 0x0001 | 0x0010 | 0x1000
# The time-outs of a port nobody has set yet: the bench's own pick, none of
# them 0 and none a value the programs here set, so that whatever a program
# leaves behind shows.
FRESH_TIMEOUTS = (40, 3, 700, 5, 900)


class PortState:
    """What the port's driver keeps from one open to the next."""

    def __init__(self):
        self.timeouts = FRESH_TIMEOUTS
        self.flags, self.xon_lim, self.xoff_lim = FRESH_FLAGS, 2048, 512
        self.chars = bytes([0x11, 0x13, 0, 0, 0])


class Port:
    """One open of a port: its handle's file and what arrived for it."""

    def __init__(self, name, fd, state):
        self.name, self.fd, self.state = name, fd, state
        self.buffer = bytearray()
        self.closed = False
        self.read_total = 0

    def pull(self):
        """Moves what the line brought into the port's buffer."""
        while not self.closed:
            try:
                data = os.read(self.fd, 4096)
            except BlockingIOError:
                return
            except OSError as error:
                if error.errno == errno.EIO:   # the far end has hung up: the line is silent
                    return
                raise
            if not data:
                return
            self.buffer += data

    def close(self):
        if not self.closed:
            self.closed = True
            os.close(self.fd)


class SerialPorts:
    def __init__(self, machine, devices, open_ports=None, states=None):
        self.machine = machine
        self.devices = {name.upper(): path for name, path in devices.items()}
        self.open_ports = {} if open_ports is None else open_ports   # name -> Port, device-wide
        self.states = {} if states is None else states               # name -> PortState, device-wide
        self.bytes_written = 0

    def state(self, name):
        """The port's driver state, as the device keeps it."""
        return self.states.setdefault(name.upper(), PortState())

    def _port(self, handle):
        port = self.machine.handles.get(handle)
        if not isinstance(port, Port) or port.closed:
            self.machine.set_error(ERROR_INVALID_HANDLE)
            return None
        return port

    def CreateFileW(self, call):
        name_address, _access, _share, _security, _disposition, _flags, _template = call.args(7)
        name = (self.machine.wstr(name_address) or "").upper()
        path = self.devices.get(name)
        if path is None and re.match(r"^COM[0-9]:$", name):
            self.machine.set_error(ERROR_FILE_NOT_FOUND)   # a port this device does not have
            return INVALID_HANDLE_VALUE
        if path is None:
            raise Fault("CreateFileW(%r): the bench models serial ports only" % name)
        held = self.open_ports.get(name)
        if held is not None and not held.closed:
            self.machine.set_error(ERROR_INVALID_ACCESS)
            return INVALID_HANDLE_VALUE
        try:
            fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError as error:
            code = ERROR_FILE_NOT_FOUND if error.errno == errno.ENOENT else ERROR_ACCESS_DENIED
            self.machine.set_error(code)
            return INVALID_HANDLE_VALUE
        raw_line(fd)
        port = Port(name, fd, self.state(name))
        self.open_ports[name] = port
        self.machine.set_error(0)
        return self.machine.new_handle(port)

    def GetCommState(self, call):
        handle, dcb = call.args(2)
        port = self._port(handle)
        if port is None:
            return 0
        try:
            attributes = termios.tcgetattr(port.fd)
        except termios.error:
            self.machine.set_error(ERROR_INVALID_HANDLE)
            return 0
        cflag = attributes[2]
        size = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
        parity = 0 if not cflag & termios.PARENB else (1 if cflag & termios.PARODD else 2)
        stop = 2 if cflag & termios.CSTOPB else 0
        rate = RATES.get(attributes[5], 0)
        kept = port.state
        self.machine.write(dcb, struct.pack("<IIIHHHBBB5sH", DCB_SIZE, rate, kept.flags, 0, kept.xon_lim,
                                            kept.xoff_lim, size, parity, stop, kept.chars, 0))
        return 1

    def SetCommState(self, call):
        handle, dcb = call.args(2)
        port = self._port(handle)
        if port is None:
            return 0
        (_length, rate, flags, _r, xon_lim, xoff_lim, size, parity, stop, chars,
         _r1) = struct.unpack("<IIIHHHBBB5sH", self.machine.read(dcb, DCB_SIZE))
        if rate not in SPEEDS or size not in (5, 6, 7, 8) or parity > 4 or stop > 2:
            self.machine.set_error(ERROR_INVALID_PARAMETER)
            return 0
        try:
            attributes = termios.tcgetattr(port.fd)
            cflag = attributes[2] & ~(termios.CSIZE | termios.PARENB | termios.PARODD | termios.CSTOPB)
            cflag |= {5: termios.CS5, 6: termios.CS6, 7: termios.CS7, 8: termios.CS8}[size]
            cflag |= (termios.PARENB if parity else 0) | (termios.PARODD if parity == 1 else 0)
            cflag |= (termios.CSTOPB if stop == 2 else 0) | termios.CREAD | termios.CLOCAL
            attributes[0], attributes[1], attributes[2], attributes[3] = 0, 0, cflag, 0
            attributes[4] = attributes[5] = SPEEDS[rate]
            termios.tcsetattr(port.fd, termios.TCSANOW, attributes)
        except termios.error:
            self.machine.set_error(ERROR_GEN_FAILURE)
            return 0
        kept = port.state
        kept.flags, kept.xon_lim, kept.xoff_lim, kept.chars = flags, xon_lim, xoff_lim, chars
        return 1

    def GetCommTimeouts(self, call):
        handle, out = call.args(2)
        port = self._port(handle)
        if port is None:
            return 0
        self.machine.write(out, struct.pack("<5I", *port.state.timeouts))
        return 1

    def SetCommTimeouts(self, call):
        handle, timeouts = call.args(2)
        port = self._port(handle)
        if port is None:
            return 0
        port.state.timeouts = struct.unpack("<5I", self.machine.read(timeouts, 20))
        return 1

    def ClearCommError(self, call):
        handle, errors, status = call.args(3)
        port = self._port(handle)
        if port is None:
            return 0
        port.pull()
        if errors:
            self.machine.put_u32(errors, 0)
        if status:
            self.machine.write(status, struct.pack("<III", 0, len(port.buffer), 0))
        return 1

    def ReadFile(self, call):
        handle, buffer, count, got, overlapped = call.args(5)
        if overlapped:
            raise Fault("ReadFile with an OVERLAPPED structure: Windows CE has no overlapped I/O")
        port = self._port(handle)
        if port is None:
            if got:
                self.machine.put_u32(got, 0)
            return 0
        interval, multiplier, constant = port.state.timeouts[:3]
        clock = self.machine.clock
        started = clock.now()
        at_once = interval == MAXDWORD and multiplier == 0 and constant == 0
        first_byte = interval == MAXDWORD and multiplier == MAXDWORD and 0 < constant < MAXDWORD
        if first_byte:
            total = constant
        elif multiplier or constant:
            total = multiplier * count + constant
        else:
            total = None
        state = {"had": None, "last": started}
        block = Block(None, None, None if total is None else started + total, port.fd)

        def ready():
            if port.closed:
                return True
            port.pull()
            have = len(port.buffer)
            if have != state["had"]:
                if state["had"] is not None and have > state["had"]:
                    state["last"] = clock.now()
                state["had"] = have
            if at_once or have >= count or (first_byte and have):
                return True
            if 0 < interval < MAXDWORD and have and state["had"]:
                limit = state["last"] + interval
                block.deadline = limit if block.deadline is None else min(block.deadline, limit)
            return False

        def complete():
            if port.closed:
                if got:
                    self.machine.put_u32(got, 0)
                self.machine.set_error(ERROR_INVALID_HANDLE)
                return 0
            port.pull()
            data = bytes(port.buffer[:count])
            del port.buffer[:count]
            port.read_total += len(data)
            call.thread.bytes_read += len(data)
            self.machine.write(buffer, data)
            if got:
                self.machine.put_u32(got, len(data))
            return 1

        block.ready, block.complete = ready, complete
        return block

    def WriteFile(self, call):
        handle, buffer, count, written, overlapped = call.args(5)
        if overlapped:
            raise Fault("WriteFile with an OVERLAPPED structure: Windows CE has no overlapped I/O")
        port = self._port(handle)
        if written:
            self.machine.put_u32(written, 0)
        if port is None:
            return 0
        data = self.machine.read(buffer, count)
        sent = 0
        while sent < len(data):
            try:
                sent += os.write(port.fd, data[sent:])
            except BlockingIOError:
                select.select([], [port.fd], [], 0.05)
            except OSError:
                self.machine.set_error(ERROR_GEN_FAILURE)
                break
        self.bytes_written += sent
        if written:
            self.machine.put_u32(written, sent)
        return 1 if sent == len(data) else 0

    def models(self):
        return {("coredll.dll", name): getattr(self, name) for name in (
            "CreateFileW", "GetCommState", "SetCommState", "GetCommTimeouts", "SetCommTimeouts",
            "ClearCommError", "ReadFile", "WriteFile")}


def raw_line(fd):
    """A serial port has no line discipline: bytes pass as they come, none
    echoed or edited. (A file without line settings is left as it is.)"""
    try:
        attributes = termios.tcgetattr(fd)
        attributes[0] = attributes[1] = attributes[3] = 0
        attributes[2] |= termios.CREAD | termios.CLOCAL
        attributes[6][termios.VMIN], attributes[6][termios.VTIME] = 0, 0
        termios.tcsetattr(fd, termios.TCSANOW, attributes)
    except termios.error:
        pass
