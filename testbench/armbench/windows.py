"""The window and dialog manager and the shell calls of the setup program, as
Windows CE 5 and the Windows Mobile 6 shell document them, and nothing the
program does not use.

Windows belong to a process and its one user-interface thread. A message
sent to a window of the calling thread calls its window procedure at once
(a callback into the image); one sent from outside (the host, as a test
taps a box) waits until that thread looks for messages, in its message loop
or a modal dialog's, as a message sent from another thread does. Built-in
classes: "BUTTON" (check boxes and push buttons: BM_GETCHECK, BM_SETCHECK,
BM_CLICK, which toggles an auto check box and sends its parent WM_COMMAND
with BN_CLICKED before it returns), "EDIT" and "STATIC" (text), "Dialog"
(a dialog made from a DLGTEMPLATE read from the image; its dialog procedure
is called for each message, and DefDlgProc does nothing more) and the
shell's soft-key bar "menu_worker", made from the program's menu-bar RCDATA
resource. DefWindowProcW destroys a window on WM_CLOSE; destroying a window
destroys the windows it owns first and sends each WM_DESTROY.
"""
import struct

from machine import Fault

WM_CREATE, WM_DESTROY, WM_CLOSE, WM_QUIT = 0x1, 0x2, 0x10, 0x12
WM_SETTEXT, WM_GETTEXT, WM_GETTEXTLENGTH = 0xC, 0xD, 0xE
WM_SETTINGCHANGE, WM_KEYDOWN, WM_INITDIALOG, WM_COMMAND = 0x1A, 0x100, 0x110, 0x111
BM_GETCHECK, BM_SETCHECK, BM_CLICK = 0xF0, 0xF1, 0xF5
BN_CLICKED = 0
WS_VISIBLE, WS_DISABLED, WS_TABSTOP = 0x10000000, 0x08000000, 0x00010000
DS_SETFONT = 0x40
BS_TYPEMASK, BS_AUTOCHECKBOX, BS_CHECKBOX = 0x0F, 0x03, 0x02
CONTROL_CLASSES = {0x80: "BUTTON", 0x81: "EDIT", 0x82: "STATIC"}
RT_STRING, RT_DIALOG, RT_RCDATA, RT_GROUP_ICON, RT_ACCELERATOR = 6, 5, 10, 14, 9
MB_STATE_ENABLED, MB_STATE_HIDDEN = 0x04, 0x08
ERROR_RESOURCE_NOT_FOUND, ERROR_INVALID_WINDOW_HANDLE, ERROR_CLASS_ALREADY_EXISTS = 1814, 1400, 1410


class Window:
    def __init__(self, hwnd, process, cls, text, style, parent=None, owner=None, ident=0, proc=None):
        self.hwnd, self.process, self.cls, self.text, self.style = hwnd, process, cls, text, style
        self.parent, self.owner, self.id, self.proc = parent, owner, ident, proc
        self.children = []
        self.enabled = not style & WS_DISABLED
        self.visible = bool(style & WS_VISIBLE)
        self.check = 0
        self.dialog_proc = None
        self.ended = None             # a dialog's EndDialog result, once ended
        self.command = None           # a soft key's command
        self.destroyed = False
        self.shell_flags = None       # what SHInitDialog asked for


class Device:
    """What the processes of the device share: windows, named objects,
    serial ports that are open and what each port's driver keeps."""

    def __init__(self):
        self.windows = {}
        self.next_hwnd = 0x00010010
        self.foreground = None
        self.named = {}
        self.open_ports = {}
        self.port_states = {}

    def new_window(self, *args, **kwargs):
        window = Window(self.next_hwnd, *args, **kwargs)
        self.next_hwnd += 0x10
        self.windows[window.hwnd] = window
        return window

    def window(self, hwnd):
        window = self.windows.get(hwnd & ~1)
        return None if window is None or window.destroyed else window

    def top_level(self, cls=None, title=None):
        return [w for w in self.windows.values() if not w.destroyed and w.parent is None and
                (cls is None or w.cls.lower() == cls.lower()) and (title is None or w.text == title)]


class User:
    """One process's window calls: models() lists them by import."""

    def __init__(self, session, device):
        self.session, self.device = session, device
        self.machine = session.machine
        self.classes = {}           # lower-case name -> (name, window procedure)
        self.queue = []             # posted messages: (hwnd, message, wParam, lParam)
        self.sends = []             # messages the host sends: (window, message, wParam, lParam, reply)
        self.resources = {}         # HRSRC -> (address, size)
        self.watched = set()        # control ids whose WM_SETTEXT goes to the debug output as "status: "

    # ---- delivery ----

    def deliver(self, window, message, wparam, lparam):
        """The window procedure's result, called on this thread."""
        m = self.machine
        if window is None or window.destroyed:
            m.set_error(ERROR_INVALID_WINDOW_HANDLE)
            return 0
        if message == WM_SETTEXT and window.id in self.watched and window.parent is not None:
            self.session.host.debug("status: %s\r\n" % (m.wstr(lparam) or ""))
        if window.proc is not None:
            return m.callback(window.proc, [window.hwnd, message, wparam, lparam])
        if window.dialog_proc is not None:
            m.callback(window.dialog_proc, [window.hwnd, message, wparam, lparam])
            return 0
        return self.control(window, message, wparam, lparam)

    def control(self, window, message, wparam, lparam):
        """The built-in classes' window procedure."""
        m = self.machine
        if message == WM_SETTEXT:
            window.text = m.wstr(lparam) or ""
            return 1
        if message == WM_GETTEXT:
            text = window.text[:max(wparam - 1, 0)]
            if wparam:
                m.put_wstr(lparam, text)
            return len(text)
        if message == WM_GETTEXTLENGTH:
            return len(window.text)
        if window.cls == "BUTTON" and message == BM_GETCHECK:
            return window.check
        if window.cls == "BUTTON" and message == BM_SETCHECK:
            window.check = wparam
            return 0
        if window.cls == "BUTTON" and message == BM_CLICK:
            # A click toggles an auto check box and tells its parent (or, on
            # the soft-key bar, the bar's owner) before BM_CLICK returns. A
            # disabled button takes no click: it does not change and sends
            # no BN_CLICKED (CE 5.0 reference, BN_CLICKED and EnableWindow:
            # a disabled window receives no input).
            if not window.enabled:
                return 0
            if window.style & BS_TYPEMASK == BS_AUTOCHECKBOX:
                window.check = 0 if window.check else 1
            target = window.parent
            command = window.id
            if target is not None and target.cls == "menu_worker":
                target = target.owner
            if target is not None:
                self.deliver(target, WM_COMMAND, (BN_CLICKED << 16) | command, window.hwnd)
            return 0
        return 0

    def destroy(self, window):
        """DestroyWindow: owned windows first, then the children, each WM_DESTROY."""
        if window.destroyed:
            return
        for owned in [w for w in self.device.windows.values() if w.owner is window and not w.destroyed]:
            self.destroy(owned)
        self.deliver(window, WM_DESTROY, 0, 0)
        for child in window.children:
            child.destroyed = True
        window.destroyed = True
        if self.device.foreground is window:
            self.device.foreground = None

    def wait_for_messages(self, done):
        """A message loop's wait: runs what the host sends meanwhile, until done()."""
        m = self.machine
        while not done():
            if self.sends:
                window, message, wparam, lparam, reply = self.sends.pop(0)
                reply(self.deliver(window, message, wparam, lparam))
                continue
            m.wait_in_model(lambda: bool(self.sends) or done(), what="a wait for messages")
            if m.ended is not None:
                return

    # ---- resources ----

    def resource(self, instance, kind, name):
        image = self.session.image
        if instance != self.session.process:
            raise Fault("a resource of module 0x%X: the program's instance is its process handle 0x%X, and the "
                        "model knows the program's own resources only" % (instance, self.session.process))
        key = self.machine.wstr(name) if name >> 16 else name
        found = image.resource(kind, key)
        if found is None:
            self.machine.set_error(ERROR_RESOURCE_NOT_FOUND)
        return found

    def string(self, instance, ident):
        found = self.resource(instance, RT_STRING, ident // 16 + 1)
        if found is None:
            return None
        address, _ = found
        for _ in range(ident % 16):
            address += 2 + 2 * struct.unpack("<H", self.machine.read(address, 2))[0]
        (length,) = struct.unpack("<H", self.machine.read(address, 2))
        return self.machine.read(address + 2, 2 * length).decode("utf-16-le") if length else None

    def LoadStringW(self, call):
        """A missing string leaves an empty string in the buffer and returns
        0 (CE 5.0 reference, LoadString)."""
        instance, ident, buffer, room = call.args(4)
        if room == 0:
            return 0
        text = (self.string(instance, ident) or "")[:room - 1]
        self.machine.put_wstr(buffer, text)
        return len(text)

    def LoadIconW(self, call):
        instance, name = call.args(2)
        return 0x00C10000 | (name & 0xFFFF) if self.resource(instance, RT_GROUP_ICON, name) else 0

    def LoadAcceleratorsW(self, call):
        instance, name = call.args(2)
        return 0x00C20000 | (name & 0xFFFF) if self.resource(instance, RT_ACCELERATOR, name) else 0

    def FindResourceW(self, call):
        instance, name, kind = call.args(3)
        found = self.resource(instance, kind, name)
        if found is None:
            return 0
        handle = 0x00C30000 + 4 * len(self.resources) + 4
        self.resources[handle] = found
        return handle

    def LoadResource(self, call):
        _instance, handle = call.args(2)
        return self.resources.get(handle, (0, 0))[0]

    def GetStockObject(self, call):
        return 0x00C40000 | call.arg(0)

    # ---- classes and windows ----

    def RegisterClassW(self, call):
        m = self.machine
        (_style, proc, _cls_extra, _wnd_extra, _instance, _icon, _cursor, _brush, _menu,
         name) = struct.unpack("<10I", m.read(call.arg(0), 40))
        text = m.wstr(name) if name >> 16 else "#%d" % name
        if text.lower() in self.classes:
            m.set_error(ERROR_CLASS_ALREADY_EXISTS)
            return 0
        self.classes[text.lower()] = (text, proc)
        return 0xC000 + len(self.classes)

    def CreateWindowExW(self, call):
        m = self.machine
        (_ex, cls, title, style, x, y, width, height, parent, _menu, instance, param) = call.args(12)
        name = m.wstr(cls) if cls >> 16 else "#%d" % cls
        registered = self.classes.get(name.lower())
        if registered is None:
            raise Fault("CreateWindowExW of class %r: the model has only the program's own classes" % name)
        window = self.device.new_window(self, registered[0], m.wstr(title) or "", style,
                                        owner=self.device.window(parent), proc=registered[1])
        create = m.alloc(48, "CREATESTRUCT")
        m.write(create, struct.pack("<12I", param, instance, 0, parent, height, width, y, x, style, title, cls, 0))
        result = self.deliver(window, WM_CREATE, 0, create)
        m.free(create)
        if result == 0xFFFFFFFF:
            self.destroy(window)
            return 0
        return window.hwnd

    def DefWindowProcW(self, call):
        hwnd, message = call.args(2)
        if message == WM_CLOSE:
            window = self.device.window(hwnd)
            if window is not None:
                self.destroy(window)
        return 0

    def DestroyWindow(self, call):
        window = self.device.window(call.arg(0))
        if window is None:
            self.machine.set_error(ERROR_INVALID_WINDOW_HANDLE)
            return 0
        self.destroy(window)
        return 1

    def FindWindowW(self, call):
        cls, title = call.args(2)
        found = self.device.top_level(self.machine.wstr(cls), self.machine.wstr(title))
        return found[0].hwnd if found else 0

    def SetForegroundWindow(self, call):
        hwnd = call.arg(0)
        window = self.device.window(hwnd)
        if window is None:
            return 0
        if hwnd & 1:
            # The window and the windows it owns come forward: the last of
            # those in front.
            owned = [w for w in self.device.windows.values() if w.owner is window and w.visible and not w.destroyed]
            window = owned[-1] if owned else window
        self.device.foreground = window
        return 1

    def EnableWindow(self, call):
        window = self.device.window(call.arg(0))
        if window is None:
            return 0
        was_disabled = not window.enabled
        window.enabled = bool(call.arg(1))
        return int(was_disabled)

    def SendMessageW(self, call):
        return self.deliver(self.device.window(call.arg(0)), *call.args(4)[1:])

    # ---- the message loop ----

    def PostQuitMessage(self, call):
        self.queue.append((0, WM_QUIT, call.arg(0), 0))

    def GetMessageW(self, call):
        msg, hwnd, low, high = call.args(4)
        if hwnd or low or high:
            raise Fault("GetMessageW with a filter: not modelled")
        self.wait_for_messages(lambda: bool(self.queue))
        if not self.queue:
            return 0
        message = self.queue.pop(0)
        self.machine.write(msg, struct.pack("<7I", *message, int(self.machine.clock.now()), 0, 0))
        return 0 if message[1] == WM_QUIT else 1

    def TranslateAcceleratorW(self, call):
        # Accelerators translate key strokes; no key reaches the model.
        (_hwnd, _table, msg) = call.args(3)
        if struct.unpack("<I", self.machine.read(msg + 4, 4))[0] == WM_KEYDOWN:
            raise Fault("TranslateAcceleratorW of a key stroke: not modelled")
        return 0

    def TranslateMessage(self, call):
        return 0

    def DispatchMessageW(self, call):
        hwnd, message, wparam, lparam = struct.unpack("<4I", self.machine.read(call.arg(0), 16))
        return self.deliver(self.device.window(hwnd), message, wparam, lparam) if hwnd else 0

    # ---- dialogs ----

    def DialogBoxIndirectParamW(self, call):
        _instance, template, owner_hwnd, dialog_proc, param = call.args(5)
        owner = self.device.window(owner_hwnd)
        dialog = self.create_dialog(template, owner, dialog_proc)
        if owner is not None:
            owner.enabled = False
        focus = next((c for c in dialog.children if c.style & WS_TABSTOP), None)
        self.deliver(dialog, WM_INITDIALOG, focus.hwnd if focus else 0, param)
        dialog.visible = True
        self.wait_for_messages(lambda: dialog.ended is not None or dialog.destroyed or bool(self.queue))
        # A posted message (the quit message) ends a modal run too, and stays
        # for the next loop.
        if not dialog.destroyed:
            self.destroy(dialog)
        if owner is not None:
            owner.enabled = True
        return dialog.ended if dialog.ended is not None else 0

    def create_dialog(self, template, owner, dialog_proc):
        """The dialog and its controls, from the DLGTEMPLATE at template."""
        m = self.machine
        style, _ex, count, _x, _y, _cx, _cy = struct.unpack("<IIHhhhh", m.read(template, 18))
        at = template + 18

        def word():
            nonlocal at
            (value,) = struct.unpack("<H", m.read(at, 2))
            at += 2
            return value

        def name_or_ordinal():
            nonlocal at
            first = word()
            if first == 0xFFFF:
                return word()
            if first == 0:
                return ""
            text = m.wstr(at - 2)
            at += 2 * len(text)
            return text

        menu, cls, title = name_or_ordinal(), name_or_ordinal(), name_or_ordinal()
        if menu or cls:
            raise Fault("a dialog template with a menu or a class of its own: not modelled")
        if style & DS_SETFONT:
            word()
            name_or_ordinal()
        dialog = self.device.new_window(self, "Dialog", title, style & ~WS_VISIBLE, owner=owner)
        dialog.dialog_proc = dialog_proc
        for _ in range(count):
            at = (at + 3) & ~3
            item_style, _item_ex, _x, _y, _cx, _cy, ident = struct.unpack("<IIhhhhH", m.read(at, 18))
            at += 18
            item_class, text = name_or_ordinal(), name_or_ordinal()
            extra = word()
            at += extra
            kind = CONTROL_CLASSES.get(item_class, item_class)
            if not isinstance(kind, str) or kind.upper() not in ("BUTTON", "EDIT", "STATIC"):
                raise Fault("a dialog control of class %r: not modelled" % (item_class,))
            control = self.device.new_window(self, kind.upper(), text if isinstance(text, str) else "",
                                              item_style, parent=dialog, ident=ident)
            dialog.children.append(control)
        return dialog

    def EndDialog(self, call):
        dialog = self.device.window(call.arg(0))
        if dialog is None or dialog.dialog_proc is None:
            return 0
        dialog.ended = call.arg(1)
        dialog.visible = False
        return 1

    def item(self, dialog_hwnd, ident):
        dialog = self.device.window(dialog_hwnd)
        for child in dialog.children if dialog else ():
            if child.id == ident and not child.destroyed:
                return child
        return None

    def GetDlgItem(self, call):
        found = self.item(*call.args(2))
        return found.hwnd if found else 0

    def SetDlgItemTextW(self, call):
        dialog, ident, text = call.args(3)
        found = self.item(dialog, ident)
        return 1 if found and self.deliver(found, WM_SETTEXT, 0, text) else 0

    def SendDlgItemMessageW(self, call):
        dialog, ident, message, wparam, lparam = call.args(5)
        return self.deliver(self.item(dialog, ident), message, wparam, lparam)

    # ---- the shell (aygshell) ----

    def SHInitExtraControls(self, call):
        return 1

    def SHInitDialog(self, call):
        mask, hwnd, flags = struct.unpack("<3I", self.machine.read(call.arg(0), 12))
        window = self.device.window(hwnd)
        if window is None:
            return 0
        window.shell_flags = flags if mask & 1 else None
        return 1

    def SHCreateMenuBar(self, call):
        """The soft-key bar of menu-bar resource nToolBarId: one button per
        entry, labelled with its string, hidden or disabled as its state says."""
        m = self.machine
        info = call.arg(0)
        size, parent, _flags, bar_id, instance = struct.unpack("<5I", m.read(info, 20))
        owner = self.device.window(parent)
        found = self.resource(instance, RT_RCDATA, bar_id)
        if size != 36 or owner is None or found is None:
            return 0
        words = struct.unpack("<%dH" % (found[1] // 2), m.read(*found))
        bar = self.device.new_window(self, "menu_worker", "", WS_VISIBLE, owner=owner)
        for k in range(words[1]):
            _image, command, state, _style, label, _zero, _popup = words[2 + 7 * k:9 + 7 * k]
            text = (self.string(instance, label) or "") if label else ""
            button = self.device.new_window(self, "BUTTON", text, 0, parent=bar, ident=command)
            button.visible = not state & MB_STATE_HIDDEN
            button.enabled = bool(state & MB_STATE_ENABLED)
            bar.children.append(button)
        m.put_u32(info + 28, bar.hwnd)
        return 1

    def SHHandleWMSettingChange(self, call):
        return 1

    def models(self):
        core = ("LoadStringW", "LoadIconW", "LoadAcceleratorsW", "FindResourceW", "LoadResource", "GetStockObject",
                "RegisterClassW", "CreateWindowExW", "DefWindowProcW", "DestroyWindow", "FindWindowW",
                "SetForegroundWindow", "EnableWindow", "SendMessageW", "PostQuitMessage", "GetMessageW",
                "TranslateAcceleratorW", "TranslateMessage", "DispatchMessageW", "DialogBoxIndirectParamW",
                "EndDialog", "GetDlgItem", "SetDlgItemTextW", "SendDlgItemMessageW")
        shell = ("SHInitExtraControls", "SHInitDialog", "SHCreateMenuBar", "SHHandleWMSettingChange")
        table = {("coredll.dll", name): getattr(self, name) for name in core}
        table.update({("aygshell.dll", name): getattr(self, name) for name in shell})
        return table
