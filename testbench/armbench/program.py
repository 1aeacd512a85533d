"""The setup program's session: its process runs from its entry, and the host
works its windows meanwhile, as a user (and the desktop tests) would.

Commands of the host, one a line (answers "ok ..."):
    start               runs the program from its entry; when its primary
                        thread returns the bench answers "exit CODE" and ends
    send HWND MSG WPARAM LPARAM
                        sends the message; it is handled when the program's
                        thread next looks for messages, as a message sent from
                        another thread is. LPARAM is a number, w:HEX (a wide
                        string of that UTF-8 text) or t:N (room for N
                        characters of text, sent back after the result)
                        -> ok RESULT [TEXT]
    find CLASS TITLE    top-level windows (HEX, or - for any) -> ok HWND...
    item HWND ID        the dialog's control -> ok HWND (0: none)
    query HWND          -> ok EXISTS VISIBLE ENABLED CHECK OWNER PARENT ID CLASS TEXT
    foreground          -> ok HWND
    watch ID            WM_SETTEXT to a control with this id goes to the debug
                        output as "status: TEXT\\r\\n" -> ok
    second              starts a second copy of the program on the same
                        device and runs it to its end -> ok CODE
    hold NAME, release NAME
                        another program of the device opens the serial port
                        NAME (so that the program's open fails as on a port in
                        use), or closes it -> ok
    stats, handles, port
                        as for a driver
Everything but "send" is answered at once, whatever the program's thread
is doing; texts and class names are hex.
"""
from host import hexed, unhexed
from windows import Device    # noqa: F401  (the device the copies share)

IMMEDIATE = ("find", "item", "query", "foreground", "watch", "second", "hold", "release", "stats", "handles",
             "port")


class HeldElsewhere:
    """A port another program of the device holds open."""
    closed = False


class ProgramCommands:
    def __init__(self, session, channel, say):
        self.session, self.channel, self.say = session, channel, say
        self.user = session.user
        self.device = session.device

    def take(self):
        """Answers what can be answered now; hands messages to the program's thread."""
        while self.channel.commands:
            words = self.channel.commands.popleft()
            if words[0] == "send":
                self.queue_send(words[1:])
            elif words[0] in IMMEDIATE:
                self.say("ok", *self.immediate(words))
            else:
                self.say("fault", hexed(("no command %r while the program runs" % words[0]).encode()))

    def queue_send(self, words):
        m = self.session.machine
        hwnd, message, wparam = (int(w, 0) for w in words[:3])
        window = self.device.window(hwnd)
        if window is None or window.process is not self.user:
            self.say("ok", 0)     # a window that is gone, or not this program's
            return
        lparam, text_room, scratch = words[3], 0, None
        if lparam.startswith("w:"):
            data = unhexed(lparam[2:]).decode("utf-8")
            scratch = m.alloc(2 * len(data) + 2, "text the host sends")
            m.put_wstr(scratch, data)
            lparam = scratch
        elif lparam.startswith("t:"):
            text_room = int(lparam[2:])
            scratch = m.alloc(2 * text_room + 2, "room for text the host reads")
            lparam = scratch
        else:
            lparam = int(lparam, 0)

        def reply(result):
            extra = []
            if text_room:
                extra.append(hexed((m.wstr(scratch) or "").encode("utf-8")))
            if scratch is not None:
                m.free(scratch)
            self.say("ok", result, *extra)

        self.user.sends.append((window, message, wparam, lparam, reply))

    def immediate(self, words):
        kind = words[0]
        device = self.device
        if kind == "find":
            cls, title = (None if w == "-" else unhexed(w).decode("utf-8") for w in words[1:3])
            return [w.hwnd for w in device.top_level(cls, title)]
        if kind == "item":
            found = self.user.item(int(words[1], 0), int(words[2], 0))
            return [found.hwnd if found else 0]
        if kind == "query":
            w = device.windows.get(int(words[1], 0))
            if w is None:
                return [0, 0, 0, 0, 0, 0, 0, "-", "-"]
            return [int(not w.destroyed), int(w.visible), int(w.enabled), w.check,
                    w.owner.hwnd if w.owner else 0, w.parent.hwnd if w.parent else 0, w.id,
                    hexed(w.cls.encode()), hexed(w.text.encode("utf-8"))]
        if kind == "foreground":
            return [device.foreground.hwnd if device.foreground else 0]
        if kind == "watch":
            self.user.watched.add(int(words[1], 0))
            return []
        if kind == "second":
            other = self.session.another()
            return [other.run_program()]
        if kind in ("hold", "release"):
            name = words[1].upper()
            if kind == "hold":
                device.open_ports[name] = HeldElsewhere()
            elif isinstance(device.open_ports.get(name), HeldElsewhere):
                del device.open_ports[name]
            return []
        if kind == "port":
            return list(self.session.ports.state(words[1]).timeouts)
        if kind == "stats":
            return ["%s=%s" % (k, hexed(str(v).encode()) if k.endswith("where") else v)
                    for k, v in self.session.stats().items()]
        return [len(self.session.machine.handles)]

    def run(self):
        """The program from its entry to its end; its exit code."""
        self.session.machine.on_commands = self.take
        code = self.session.run_program()
        for _, _, _, _, reply in self.user.sends:
            reply(0)
        self.user.sends.clear()
        return code
