"""A simulated Windows machine for running velka_code on Linux.

``activate()`` sets up a fake Windows install in a folder, installs the
stand-in modules (winreg, win32api, win32con, win32gui, win32clipboard,
pywintypes, win32com, win32com.client, wmi) into ``sys.modules``, adds the
Windows-only parts of ``ctypes`` and returns the ``Platform`` that holds
the machine's state.  ``deactivate()`` puts everything back.

``suspend()`` / ``resume(platform)`` set an active machine aside and bring
it back with its state intact; ``isolated()`` uses them to give a with block
a fresh machine, e.g. for tests running under a session-wide one.
"""

import atexit
import contextlib
import ctypes
import ntpath
import os
import posixpath
import shutil
import stat
import sys
import tempfile

from . import _files, _state, _windll
from ._registry import Registry, TYPE_NAMES, populate
from .win32clipboard import Clipboard

__all__ = ["activate", "deactivate", "current", "suspend", "resume", "isolated",
           "Platform"]

MODULES = ("winreg", "win32api", "win32con", "win32gui", "win32clipboard",
           "pywintypes", "win32com", "win32com.client", "wmi")
CTYPES_NAMES = ("windll", "WinDLL", "WinError", "GetLastError")

VER_SCRIPT = "#!/bin/sh\necho\necho 'Microsoft Windows [Version 10.0.19045.3803]'\n"

_MISSING = object()


class Platform:
    """State of the simulated machine, open to tests for set-up and checks."""

    def __init__(self, root):
        self.root = root
        self.system32 = os.path.join(root, "Windows", "System32")
        self.bin = os.path.join(root, "bin")
        self.registry = Registry()
        populate(self.registry)
        self.notifications = []     # SHChangeNotify calls
        self.clipboard = Clipboard()
        self.cursor = None          # (cursor file, cursor id) of SetSystemCursor
        self.images = {}            # LoadImage handle -> (name, image type)
        self.shortcuts = {}         # shortcut path -> saved properties
        self.brightness = []        # WmiSetBrightness calls
        self.monitors = 1
        self.screen_size = (1920, 1080)
        self.missing_libraries = set()
        self.dispatch_fails = False
        self.file_attributes = {}   # absolute path -> attribute word
        # (function name, absolute path): kernel32's file-attribute calls
        # refused with ERROR_ACCESS_DENIED, as for a file the user may not touch
        self.access_denied = set()
        self.windll = _windll.make_windll()
        self.watched = {}           # absolute path -> its lines when watching began
        self._saved = {}

    # -- the PATH entry that makes "ver" answer like Windows --------------

    @property
    def windows(self):
        return self.bin in os.environ.get("PATH", "").split(os.pathsep)

    def set_windows(self, flag=True):
        parts = [p for p in os.environ.get("PATH", "").split(os.pathsep)
                 if p and p != self.bin]
        if flag:
            parts.insert(0, self.bin)
        os.environ["PATH"] = os.pathsep.join(parts)

    def file_attribute(self, path):
        """The attribute word stored for ``path`` by SetFileAttributesW."""
        return self.file_attributes.get(os.path.abspath(path))

    def watch(self, path):
        """Report the lines that the file at ``path`` gains or loses from
        now on (mimeapps.list, which the Linux branch appends to)."""
        self.watched[os.path.abspath(path)] = _files.read_lines(path)

    def file_changes(self, path):
        """(lines added, lines removed) of a watched file so far."""
        path = os.path.abspath(path)
        return _files.line_changes(self.watched[path], _files.read_lines(path))

    # -- summary --------------------------------------------------------

    def forget_history(self):
        """Drops the logs of what happened so far (registry changes, shell
        notifications, loaded images, brightness calls): a long run of calls
        would otherwise grow them without end."""
        self.registry.changes.clear()
        self.notifications.clear()
        self.images.clear()
        self.brightness.clear()
        for path in self.watched:
            self.watch(path)

    def report(self):
        """What the code run on this machine changed, as readable text."""
        lines = []
        reg = [_describe_change(c) for c in self.registry.changes]
        if reg:
            lines.append("registry:")
            lines.extend("  " + line for line in reg)
        if self.notifications:
            lines.append("shell notifications:")
            lines.extend("  SHChangeNotify(%s)" % _describe_notification(call)
                         for call in self.notifications)
        if self.clipboard.changed:
            lines.append("clipboard: %r" % (self.clipboard.text,))
        if self.cursor is not None:
            lines.append("cursor: %s (id %d)" % self.cursor)
        if self.shortcuts:
            lines.append("shortcuts:")
            for path, props in self.shortcuts.items():
                line = "  %s -> %s" % (path, props.get("TargetPath", ""))
                if props.get("WorkingDirectory"):
                    line += " (in %s)" % props["WorkingDirectory"]
                lines.append(line)
        if self.file_attributes:
            lines.append("file attributes:")
            lines.extend("  %s = %#x" % item for item in self.file_attributes.items())
        if self.brightness:
            lines.append("brightness:")
            lines.extend("  WmiSetBrightness(%r, %r)" % call for call in self.brightness)
        for path in self.watched:
            added, removed = self.file_changes(path)
            if added or removed:
                lines.append("%s:" % path)
                lines.extend("  + " + line for line in added)
                lines.extend("  - " + line for line in removed)
        left = self.registry.open_handles()
        if left or self.registry.dropped_handles:
            lines.append("registry handles: %d still open, %d never closed with Close"
                         % (left, self.registry.dropped_handles))
        return "\n".join(lines) if lines else "nothing changed"


def _describe_notification(call):
    """SHChangeNotify's arguments, the event and flags words with their
    names: "0x8000000 (SHCNE_ASSOCCHANGED), 0x1000 (SHCNF_FLUSH), None, None"."""
    event, flags, item1, item2 = call
    return ", ".join((
        "%#x (%s)" % (event, " | ".join(_windll.describe_notification_event(event))),
        "%#x (%s)" % (flags, " | ".join(_windll.describe_notification_flags(flags))),
        *(hex(item) if isinstance(item, int) else repr(item) for item in (item1, item2))))


def _describe_change(change):
    action, path, name, data, typ = change
    if action == "set value":
        return "set %s\\[%s] = %r (%s)" % (path, name or "(Default)", data,
                                          TYPE_NAMES.get(typ, "type %d" % typ))
    if action == "delete value":
        return "deleted value %s\\[%s]" % (path, name or "(Default)")
    if action == "create key":
        return "created key %s" % path
    return "deleted key %s" % path


def _make_machine(root):
    system32 = os.path.join(root, "Windows", "System32")
    os.makedirs(system32, exist_ok=True)
    with open(os.path.join(system32, "winspool.drv"), "wb") as f:
        f.write(b"MZ\x90\x00simulated winspool.drv\n")
    bin_dir = os.path.join(root, "bin")
    os.makedirs(bin_dir, exist_ok=True)
    ver = os.path.join(bin_dir, "ver")
    with open(ver, "w") as f:
        f.write(VER_SCRIPT)
    os.chmod(ver, os.stat(ver).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)


def _user_environment(root):
    """USERNAME, USERPROFILE and APPDATA as Windows sets them."""
    name = os.environ.get("USERNAME") or os.environ.get("USER") or "user"
    profile = os.path.join(root, "Users", name)
    for folder in ("Desktop", "Documents", os.path.join("AppData", "Roaming")):
        os.makedirs(os.path.join(profile, folder), exist_ok=True)
    return {"USERNAME": name, "USERPROFILE": profile,
            "APPDATA": os.path.join(profile, "AppData", "Roaming")}


def _expanduser(path):
    """os.path.expanduser: while the machine answers as Windows, "~" is the
    user's profile folder (USERPROFILE), as ntpath has it."""
    machine = _state.active
    if machine is not None and machine.windows:
        return ntpath.expanduser(path)
    return _state.posix_expanduser(path)


def _load_modules():
    from . import (winreg, win32api, win32con, win32gui, win32clipboard,
                   pywintypes, win32com, wmi)
    from .win32com import client
    return {"winreg": winreg, "win32api": win32api, "win32con": win32con,
            "win32gui": win32gui, "win32clipboard": win32clipboard,
            "pywintypes": pywintypes, "win32com": win32com,
            "win32com.client": client, "wmi": wmi}


def _remove_own_folder(root, pid):
    if os.getpid() == pid:  # not in a forked child that exits
        shutil.rmtree(root, ignore_errors=True)


def activate(root=None, windows=True):
    """Set up the simulated machine for this process and return it.

    Calling it again while active returns the active Platform (with the
    PATH entry set according to ``windows``).
    """
    if _state.active is not None:
        _state.active.set_windows(windows)
        return _state.active
    if root is None:
        # A folder made here is this interpreter's alone: it goes when the
        # interpreter ends.
        root = tempfile.mkdtemp(prefix="simwin-")
        atexit.register(_remove_own_folder, root, os.getpid())
    root = os.path.abspath(root)
    _make_machine(root)
    machine = Platform(root)
    _install(machine, windows)
    if os.environ.get("SIMWIN_RECORD"):  # a child of a recording run records too
        from . import _recorder
        _recorder.record_process(os.environ["SIMWIN_RECORD"] + ".children")
    return machine


def _install(machine, windows):
    saved = machine._saved
    user_env = _user_environment(machine.root)
    saved["environ"] = {name: os.environ.get(name)
                        for name in ("PATH", "SystemRoot", *user_env)}
    saved["modules"] = {name: sys.modules.get(name, _MISSING) for name in MODULES}
    saved["ctypes"] = {name: getattr(ctypes, name, _MISSING) for name in CTYPES_NAMES}
    saved["expanduser"] = posixpath.expanduser

    _state.active = machine
    if sys.platform == "win32":
        # On Windows itself the programs a script starts need the real
        # SystemRoot; a library path is checked against the real System32.
        machine.system32 = os.path.join(os.environ.get("SystemRoot", r"C:\Windows"), "System32")
    else:
        os.environ["SystemRoot"] = os.path.join(machine.root, "Windows")
    # The user's folders are the machine's, also where the host has its
    # own, so that nothing a script writes under "~" lands in the real
    # profile; the user name stays the host's where it has one.
    for name, value in user_env.items():
        if name == "USERNAME":
            os.environ.setdefault(name, value)
        else:
            os.environ[name] = value
    sys.modules.update(_load_modules())
    ctypes.windll = machine.windll
    ctypes.WinDLL = _windll.WinDLL
    ctypes.WinError = _windll.WinError
    ctypes.GetLastError = _windll.GetLastError
    posixpath.expanduser = _expanduser
    machine.set_windows(windows)


def deactivate():
    """Undo activate(): modules, ctypes attributes and environment."""
    machine = _state.active
    if machine is None:
        return
    saved = machine._saved
    for name, module in saved["modules"].items():
        if module is _MISSING:
            sys.modules.pop(name, None)
        else:
            sys.modules[name] = module
    for name, value in saved["ctypes"].items():
        if value is _MISSING:
            if hasattr(ctypes, name):
                delattr(ctypes, name)
        else:
            setattr(ctypes, name, value)
    posixpath.expanduser = saved["expanduser"]
    for name, value in saved["environ"].items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value
    _state.active = None
    _state.set_last_error(0)


def suspend():
    """Deactivate the active Platform, keeping its state; returns it (or None)."""
    machine = _state.active
    if machine is not None:
        machine._suspended_windows = machine.windows
        deactivate()
    return machine


def resume(machine):
    """Activate a suspended Platform again, as it was when suspended."""
    if machine is None:
        return
    if _state.active is not None:
        raise RuntimeError("another simulated platform is active")
    _install(machine, getattr(machine, "_suspended_windows", True))


@contextlib.contextmanager
def isolated(root=None, windows=True):
    """A fresh machine for the duration of a with block.

    A Platform active before (for example one set up for a whole test
    session) is suspended meanwhile and resumed afterwards.
    """
    outer = suspend()
    try:
        yield activate(root, windows)
    finally:
        deactivate()
        resume(outer)


def current():
    """The active Platform, or None."""
    return _state.active
