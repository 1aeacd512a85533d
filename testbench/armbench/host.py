"""The world around the emulated device: where its registry, its debug output
and its GPIO calls go.

PipeHost talks to the program that started the bench (testbench/armhost's
session, on the desktop side under Wine) over a TCP connection, one line a
message, strings and bytes in hex; the host answers each request with a line
that starts with "=" (and may send commands of its own meanwhile):
  bench -> host   debug TEXT            one debug output call (no answer)
                  entered               the called code starts now (no answer)
                  regopen KEY PATH      -> status key
                  regquery KEY NAME N   -> status type size DATA  (room for N bytes)
                  regset KEY NAME TYPE DATA -> status
                  regflush KEY          -> status
                  regclose KEY          -> status
                  ktapi NAME A B        -> result
The host keeps the registry in its own (the desktop tests' registry, with
HKEY_LOCAL_MACHINE as 0x80000002), writes the debug output where its checks
read the desktop build's, and hands KTAPI calls to the KTAPI stand-in, which
keeps the journal. LocalHost keeps all three in memory, for the bench's own
tests.
"""
import collections

ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA = 2, 234
HKEY_LOCAL_MACHINE = 0x80000002


def hexed(data):
    return data.hex() if data else "-"


def unhexed(word):
    return b"" if word == "-" else bytes.fromhex(word)


class Channel:
    """The host's connection, read line by line without blocking the
    machine: a line "= ..." answers the bench's last request, any other line
    is a command of the host's, kept until the bench takes it."""

    def __init__(self, connection):
        self.connection = connection
        self.buffer = b""
        self.answers = collections.deque()
        self.commands = collections.deque()
        self.closed = False

    def fileno(self):
        return self.connection.fileno()

    def send(self, *words):
        self.connection.sendall((" ".join(str(w) for w in words) + "\n").encode("ascii"))

    def pump(self, wait):
        """Takes what has arrived (waiting for something when wait)."""
        if self.closed:
            raise EOFError("the host went away")
        self.connection.setblocking(wait)
        try:
            data = self.connection.recv(65536)
        except BlockingIOError:
            return
        finally:
            self.connection.setblocking(True)
        if not data:
            self.closed = True
            raise EOFError("the host went away")
        self.buffer += data
        while b"\n" in self.buffer:
            line, self.buffer = self.buffer.split(b"\n", 1)
            text = line.decode("ascii").strip()
            if text.startswith("="):
                self.answers.append(text[1:].split())
            elif text:
                self.commands.append(text.split())

    def answer(self):
        while not self.answers:
            self.pump(True)
        return self.answers.popleft()

    def command(self):
        while not self.commands:
            self.pump(True)
        return self.commands.popleft()


class PipeHost:
    def __init__(self, channel):
        self.channel = channel

    def send(self, *words):
        self.channel.send(*words)

    def ask(self, *words):
        self.channel.send(*words)
        return self.channel.answer()

    def debug(self, text):
        self.send("debug", hexed(text.encode("utf-8")))

    def entered(self):
        self.send("entered")

    def reg_open(self, parent, path):
        status, key = self.ask("regopen", parent, hexed(path.encode("utf-8")))
        return int(status), int(key)

    def reg_query(self, key, name, room):
        status, kind, size, data = self.ask("regquery", key, hexed(name.encode("utf-8")), room)
        return int(status), int(kind), int(size), unhexed(data)

    def reg_set(self, key, name, kind, data):
        return int(self.ask("regset", key, hexed(name.encode("utf-8")), kind, hexed(data))[0])

    def reg_flush(self, key):
        return int(self.ask("regflush", key)[0])

    def reg_close(self, key):
        return int(self.ask("regclose", key)[0])

    def ktapi(self, name, first, second):
        return int(self.ask("ktapi", name, first, second)[0])


class LocalHost:
    """Registry {path (lower case): {value name: (type, bytes)}} under
    HKEY_LOCAL_MACHINE, debug calls and KTAPI calls in lists."""

    def __init__(self, registry=None):
        self.registry = {k.lower(): dict(v) for k, v in (registry or {}).items()}
        self.debug_calls = []
        self.journal = []
        self.open_keys = {}
        self.flushed = []
        self.entries = 0

    def debug(self, text):
        self.debug_calls.append(text)

    def entered(self):
        self.entries += 1

    def reg_open(self, parent, path):
        base = "" if parent == HKEY_LOCAL_MACHINE else self.open_keys.get(parent)
        if base is None:
            return 6, 0
        full = (base + "\\" + path if base else path).lower()
        if full not in self.registry:
            return ERROR_FILE_NOT_FOUND, 0
        key = len(self.open_keys) + 1
        while key in self.open_keys:
            key += 1
        self.open_keys[key] = full
        return 0, key

    def reg_query(self, key, name, room):
        values = self.registry[self.open_keys[key]]
        if name not in values:
            return ERROR_FILE_NOT_FOUND, 0, 0, b""
        kind, data = values[name]
        if len(data) > room:
            return ERROR_MORE_DATA, kind, len(data), b""
        return 0, kind, len(data), data

    def reg_set(self, key, name, kind, data):
        self.registry[self.open_keys[key]][name] = (kind, bytes(data))
        return 0

    def reg_flush(self, key):
        self.flushed.append(self.open_keys[key])
        return 0

    def reg_close(self, key):
        return 0 if self.open_keys.pop(key, None) is not None else 6

    def ktapi(self, name, first, second):
        self.journal.append("%s(%d, %d)" % (name, first, second))
        return 1
