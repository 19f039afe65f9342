"""The ``simulated_windows`` pytest fixture: a fresh simulated Windows machine
for one test, and what the code run on it changed.

    def test_tidy_desktop(simulated_windows):
        assert simulated_windows.run("tidy_desktop.py") == 0
        assert simulated_windows.clipboard == "done"

Installing velka_code registers this module with pytest (the ``pytest11``
entry point named ``simwin``; ``-p no:simwin`` turns it off). Loading it
changes nothing: a machine exists only for a test that asks for the fixture,
and only while that test runs.
"""

import contextlib
import importlib
import os
import runpy
import sys

import pytest

import simwin
from simwin import _describe_change, _describe_notification
from simwin._files import MIMEAPPS
from simwin._registry import TYPE_NAMES

# The names velka_code binds at import to Windows modules and libraries; on
# Windows itself they hold the real ones if it was imported first.
BOUND_MODULES = ("winreg", "wmi", "win32con", "win32gui", "win32api", "win32clipboard")
BOUND_LIBRARIES = ("user32", "shell32", "kernel32", "ole32", "ws2_32", "winmm", "gdi32", "advapi32",
                   "odbc32", "msimg32", "setupapi", "crypt32", "netapi32")


def exit_status(code):
    """The status the interpreter exits with for ``SystemExit(code)``."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    print(code, file=sys.stderr)
    return 1


class SimulatedWindows:
    """One test's simulated machine, and the records of what changed on it:
    the same as ``python -m simwin --report`` prints."""

    def __init__(self, platform):
        self.platform = platform

    # -- running code ------------------------------------------------------

    def run(self, script, *args):
        """Runs a script in this process as ``python -m simwin script args``
        does; returns its exit status. What it prints goes to this test's
        output (``capsys`` reads it)."""
        script = os.fspath(script)
        saved_argv, saved_path = sys.argv, list(sys.path)
        sys.argv = [script, *map(str, args)]
        sys.path.insert(0, os.path.dirname(os.path.abspath(script)))
        try:
            runpy.run_path(script, run_name="__main__")
        except SystemExit as exc:
            return exit_status(exc.code)
        finally:
            sys.argv = saved_argv
            sys.path[:] = saved_path
        return 0

    @property
    def windows(self):
        """True while the shell's ``ver`` answers like Windows (the default)."""
        return self.platform.windows

    def set_windows(self, flag=True):
        """With False, ``velka_code.system()`` gives this host's own answer,
        so its Linux or macOS branch runs (``~`` is then a folder of the machine)."""
        self.platform.set_windows(flag)

    # -- what changed --------------------------------------------------------

    def report(self):
        """The text ``python -m simwin --report`` prints after its header."""
        return self.platform.report()

    @property
    def registry_changes(self):
        """Each change to the registry, as a line of the report."""
        return [_describe_change(change) for change in self.platform.registry.changes]

    @property
    def registry_values(self):
        """{(key path, value name): (data, type name)} of the values written
        and still there; "" names a key's default value."""
        values = {}
        for action, path, name, data, typ in self.platform.registry.changes:
            if action == "set value":
                values[path, name or ""] = (data, TYPE_NAMES.get(typ, "type %d" % typ))
            elif action == "delete value":
                values.pop((path, name or ""), None)
            elif action == "delete key":
                below = path.lower() + "\\"
                for gone in [k for k in values if k[0].lower() == path.lower() or k[0].lower().startswith(below)]:
                    del values[gone]
        return values

    @property
    def notifications(self):
        """Each SHChangeNotify call, as the report shows it:
        "0x8000000 (SHCNE_ASSOCCHANGED), 0x1000 (SHCNF_FLUSH), None, None"."""
        return [_describe_notification(call) for call in self.platform.notifications]

    @property
    def clipboard(self):
        """The Unicode text on the clipboard, or None."""
        return self.platform.clipboard.text

    @property
    def mimeapps_lines(self):
        """The lines added to mimeapps.list (by velka_code's Linux branch)."""
        return [line for path in self._mimeapps() for line in self.platform.file_changes(path)[0]]

    @property
    def mimeapps_removed(self):
        """The lines removed from mimeapps.list."""
        return [line for path in self._mimeapps() for line in self.platform.file_changes(path)[1]]

    def _mimeapps(self):
        return [path for path in self.platform.watched if os.path.basename(path) == "mimeapps.list"]

    @property
    def cursor(self):
        """(cursor file, cursor id) of the last SetSystemCursor, or None."""
        return self.platform.cursor

    @property
    def shortcuts(self):
        """{shortcut path: its saved properties}."""
        return {path: dict(props) for path, props in self.platform.shortcuts.items()}

    @property
    def file_attributes(self):
        """{absolute path: attribute word} set through SetFileAttributesW."""
        return dict(self.platform.file_attributes)

    @property
    def brightness(self):
        """The (brightness, timeout) of each WmiSetBrightness call."""
        return list(self.platform.brightness)


def import_real_velka_code():
    """On Windows the module is imported against the real modules before
    the machine exists, if nothing has imported it yet: the fixture lends it
    the stand-ins for the test only, and other tests find the real ones."""
    if sys.platform == "win32" and "velka_code" not in sys.modules:
        with contextlib.suppress(ImportError):
            importlib.import_module("velka_code")


def bind_velka_code(patch):
    """velka_code imported against the real Windows modules (on Windows,
    before the machine existed) gets the stand-ins in their place; its
    functions look these names up when they run."""
    module = sys.modules.get("velka_code")
    if module is None or getattr(module, "winreg", None) is sys.modules["winreg"]:
        return
    import ctypes
    client = sys.modules["win32com.client"]
    standins = {name: sys.modules[name] for name in BOUND_MODULES}
    standins.update({library: getattr(ctypes.windll, library) for library in BOUND_LIBRARIES})
    standins.update(Dispatch=client.Dispatch, shell=client.Dispatch("WScript.Shell"))
    namespace = vars(module)
    for name, value in standins.items():
        if name in namespace:
            patch.setitem(namespace, name, value)


@pytest.fixture
def simulated_windows(tmp_path_factory):
    """A fresh simulated Windows machine for this test (answering as
    Windows); ``import velka_code`` works during the test on any system.
    A machine active before, such as one set up for the whole session, is
    set aside meanwhile."""
    root = tmp_path_factory.mktemp("simulated-windows")
    outer = simwin.suspend()
    try:
        import_real_velka_code()
        with pytest.MonkeyPatch.context() as patch:
            if sys.platform != "win32":
                # The Linux and macOS branches write under "~" too: a
                # home of the machine's, with the folder of a desktop
                # user's application lists.
                home = root / "home"
                (home / os.path.dirname(MIMEAPPS[2:])).mkdir(parents=True)
                patch.setenv("HOME", str(home))
            machine = simwin.activate(root, windows=True)
            try:
                bind_velka_code(patch)
                # Where "~" leads while the machine answers as Windows, and
                # where it leads on the host's own branch.
                machine.watch(os.path.expanduser(MIMEAPPS))
                if sys.platform != "win32":
                    machine.watch(os.path.join(home, MIMEAPPS[2:]))
                yield SimulatedWindows(machine)
            finally:
                simwin.deactivate()
    finally:
        simwin.resume(outer)
