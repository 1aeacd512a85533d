"""The world around the emulated device: where its registry, its debug output
and its GPIO calls go.

PipeHost talks to the program that started the bench (testbench/armsession
on the desktop side, under Wine) over the bench's standard input and output,
one line a message, strings and bytes in hex:
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
ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA = 2, 234
HKEY_LOCAL_MACHINE = 0x80000002


def hexed(data):
    return data.hex() if data else "-"


def unhexed(word):
    return b"" if word == "-" else bytes.fromhex(word)


class PipeHost:
    def __init__(self, commands, answers):
        self.commands, self.answers = commands, answers

    def send(self, *words):
        self.answers.write(" ".join(str(w) for w in words) + "\n")
        self.answers.flush()

    def ask(self, *words):
        self.send(*words)
        line = self.commands.readline()
        if not line:
            raise EOFError("the host went away")
        return line.split()

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
