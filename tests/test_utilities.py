"""exit, quit, attributes, the clipboard, the cursor, the screen size and
shortcuts, on the simulated Windows platform where only Windows has them."""

import builtins
import json
import os
import pathlib

import pytest

import simwin
from conftest import run_python
from cursors import cursor_file

ALL_FIVE = 0x2 | 0x1 | 0x20 | 0x4 | 0x800


@pytest.fixture
def machine(tmp_path):
    with simwin.isolated(tmp_path / "machine", windows=False) as m:
        yield m


class Recorder:
    """Stands for a module: records the calls of its functions and forwards
    them (or answers with `answers[name]`)."""

    def __init__(self, real, **answers):
        self.real, self.answers, self.calls = real, answers, []

    def __getattr__(self, name):
        value = getattr(self.real, name)
        if name.isupper():
            return value

        def record(*args):
            self.calls.append((name, *args))
            return self.answers[name] if name in self.answers else value(*args)
        return record


@pytest.fixture
def record(vk, monkeypatch):
    def install(name, **answers):
        recorder = Recorder(getattr(vk, name), **answers)
        monkeypatch.setattr(vk, name, recorder)
        return recorder
    return install


# -- exit and quit -------------------------------------------------------------

@pytest.mark.parametrize("function", ["exit", "quit"])
@pytest.mark.parametrize("code", [3, 0, None, "bye", (1, 2)])
def test_exit_and_quit_raise_system_exit(vk, function, code):
    for call in (lambda: getattr(vk, function)(code), lambda: getattr(vk, function)(code=code)):
        with pytest.raises(SystemExit) as exc:
            call()
        assert exc.value.args == (code,)


def test_exit_is_fixed_at_import_and_quit_goes_through_the_module_level_exit(vk, monkeypatch):
    real = builtins.SystemExit
    monkeypatch.setattr(builtins, "SystemExit", type("Other", (Exception,), {}))
    with pytest.raises(real):
        vk.exit(2)
    seen = []
    monkeypatch.setattr(vk, "exit", seen.append)
    assert vk.quit(7) is None and seen == [7]
    out = run_python("import simwin; simwin.activate(windows=False)\nimport velka_code\nvelka_code.quit(3)\n")
    assert out.returncode == 3 and out.stderr == ""


# -- attributes ----------------------------------------------------------------

class NtOs:
    """The module's `os` as Windows shows it: os.name is "nt"."""
    name = "nt"

    def __getattr__(self, attribute):
        return getattr(os, attribute)


@pytest.fixture
def target(tmp_path):
    path = tmp_path / "a.txt"
    path.write_text("x")
    return str(path)


@pytest.mark.parametrize("system, path, line", [
    ("posix", "target", "attributes: 此功能只支持Windows系统! "),   # this host
    ("nt", "missing", "文件未找着"),
])
def test_attributes_exits_when_it_cannot_run(vk, machine, monkeypatch, capsys, target, system, path, line):
    if system == "nt":
        monkeypatch.setattr(vk, "os", NtOs())
    with pytest.raises(SystemExit) as exc:
        vk.attributes(target if path == "target" else target + ".missing", hidden=True)
    assert exc.value.code == 1 and capsys.readouterr().out == line + "\n"
    assert machine.file_attributes == {}
    seen = []
    monkeypatch.setattr(vk, "exit", seen.append)  # the module's own exit, looked up at call time
    assert vk.attributes(target + ".missing") is None and seen == [1]


def written_words(monkeypatch):
    """The attribute words given to SetFileAttributesW from now on."""
    import ctypes
    kernel32 = ctypes.windll.kernel32
    real, words = kernel32.SetFileAttributesW, []

    def record(path, word):
        words.append(word & 0xFFFFFFFF)
        return real(path, word)
    monkeypatch.setattr(kernel32, "SetFileAttributesW", record)
    return words


@pytest.mark.parametrize("before, args, flags, after, kept", [
    (0x20, (), {}, 0x0, 0x0),
    (ALL_FIVE | 0x100 | 0x2000, (), {}, 0x100 | 0x2000, 0x100 | 0x2000),
    (0x2, (), {"hidden": True}, 0x2, 0x2),
    (ALL_FIVE, (), {"hidden": True, "system": 1}, 0x2 | 0x4, 0x2 | 0x4),
    # a file with no attributes reads as "normal", dropped beside others
    (0x0, (1, "y", [0], 2.5, True), {}, ALL_FIVE | 0x80, ALL_FIVE & ~0x800),
    (0x10, (False, True, []), {}, 0x11, 0x1),
    (0x80000020, (), {"compressed": True}, 0x80000800, 0x0),
])
def test_attributes_decides_all_five_bits(vk, machine, monkeypatch, target, before, args, flags, after, kept):
    import ctypes
    monkeypatch.setattr(vk, "os", NtOs())
    machine.file_attributes[target] = before
    written = written_words(monkeypatch)
    assert vk.attributes(target, *args, **flags) is None
    assert written == [after]
    # Windows keeps what SetFileAttributesW can set: not "compressed", not
    # the directory bit, not bits it does not know.
    assert machine.file_attribute(target) == kept
    monkeypatch.setattr(vk, "FILE_ATTRIBUTE_HIDDEN", 0x40)  # read at call time
    current = ctypes.windll.kernel32.GetFileAttributesW(target) & 0xFFFFFFFF
    vk.attributes(target, True)
    assert written[-1] == (current & ~(ALL_FIVE & ~0x2)) | 0x40


# GetFileAttributesW's failure word is all ones: -1 with ctypes' default
# int result, 0xFFFFFFFF when a script declared the result a DWORD.
@pytest.mark.parametrize("restype", ["c_int", "c_uint32", "c_ulong"])
@pytest.mark.parametrize("refused", ["GetFileAttributesW", "SetFileAttributesW", None])
def test_attributes_errors_propagate(vk, machine, monkeypatch, target, refused, restype):
    import ctypes
    monkeypatch.setattr(vk, "os", NtOs())
    monkeypatch.setattr(ctypes.windll.kernel32.GetFileAttributesW, "restype", getattr(ctypes, restype))
    machine.file_attributes[target] = 0x21
    if refused:
        machine.access_denied.add((refused, target))
    # ctypes cannot pass a path object without argtypes.
    with pytest.raises(PermissionError if refused else ctypes.ArgumentError) as exc:
        vk.attributes(target if refused else pathlib.Path(target), hidden=True)
    if refused:
        assert exc.value.winerror == 5 and str(exc.value) == "[WinError 5] Access is denied."
    assert machine.file_attributes == {target: 0x21}


# -- clipboard, cursor, screen -------------------------------------------------------

def test_ctrlc_replaces_the_clipboard_with_unicode_text(vk, machine, record):
    clipboard = record("win32clipboard")
    machine.clipboard.data[1] = b"old ansi"
    assert vk.ctrlc("你好, wörld") is None
    assert clipboard.calls == [("OpenClipboard",), ("EmptyClipboard",), ("SetClipboardData", 13, "你好, wörld"),
                               ("CloseClipboard",)]
    assert machine.clipboard.data == {13: "你好, wörld"} and not machine.clipboard.is_open


@pytest.mark.parametrize("switch, failing, left", [
    ("held_by_other", "OpenClipboard", {13: "kept"}),
    ("fail_empty", "EmptyClipboard", {13: "kept"}),
    ("fail_set", "SetClipboardData", {}),
])
def test_ctrlc_failures_propagate_and_leave_the_clipboard_closed(vk, machine, switch, failing, left):
    import pywintypes
    setattr(machine.clipboard, switch, True)
    machine.clipboard.data[13] = "kept"
    with pytest.raises(pywintypes.error) as exc:
        vk.ctrlc("new")
    assert exc.value.funcname == failing
    assert machine.clipboard.data == left and not machine.clipboard.is_open


@pytest.mark.parametrize("fail_set", [False, True])
def test_ctrlc_error_of_close(vk, machine, monkeypatch, fail_set):
    import pywintypes

    def refuse():
        raise pywintypes.error(5, "CloseClipboard", "Access is denied.")
    monkeypatch.setattr(vk.win32clipboard, "CloseClipboard", refuse)
    machine.clipboard.fail_set = fail_set
    with pytest.raises(pywintypes.error) as exc:
        vk.ctrlc("new")
    # an error while filling the clipboard stays the one raised
    assert exc.value.funcname == ("SetClipboardData" if fail_set else "CloseClipboard")


def test_curani(vk, machine, tmp_path, record):
    import pywintypes
    cursor = tmp_path / "busy.cur"
    cursor.write_bytes(cursor_file())
    gui = record("win32gui")
    assert vk.curani(str(cursor)) is None
    assert gui.calls == [("LoadImage", 0, str(cursor), 2, 0, 0, 0x10)] and machine.cursor == (str(cursor), 32512)
    with pytest.raises(pywintypes.error):
        vk.curani(str(tmp_path / "none.cur"))
    api = record("win32api")
    gui.answers["LoadImage"] = 0  # a zero handle is ignored
    assert vk.curani(str(cursor)) is None and api.calls == []


class Handle(int):
    """A handle object as pywin32 gives it: Detach hands the handle over."""
    detached = False

    def Detach(self):
        self.detached = True
        return int(self)


@pytest.mark.parametrize("handle_type", [int, Handle])
def test_curani_without_win32api_setsystemcursor_uses_user32(vk, machine, tmp_path, monkeypatch, handle_type):
    cursor = tmp_path / "busy.cur"
    cursor.write_bytes(cursor_file())
    loaded = []
    load = vk.win32gui.LoadImage

    def load_image(*args):
        loaded.append(handle_type(load(*args)))
        return loaded[-1]
    monkeypatch.setattr(vk.win32gui, "LoadImage", load_image)
    assert vk.curani(str(cursor)) is None
    assert machine.cursor == (str(cursor), 32512)
    assert getattr(loaded[0], "detached", True)
    # user32 refuses a handle it already owns: the Windows error is raised.
    monkeypatch.setattr(vk.win32gui, "LoadImage", lambda *args: loaded[0])
    with pytest.raises(OSError) as exc:
        vk.curani(str(cursor))
    assert exc.value.winerror == 6


def test_curani_calls_win32api_setsystemcursor_where_it_exists(vk, machine, tmp_path, monkeypatch):
    cursor = tmp_path / "busy.cur"
    cursor.write_bytes(cursor_file())
    calls = []
    monkeypatch.setattr(vk.win32api, "SetSystemCursor", lambda *args: calls.append(args), raising=False)
    assert vk.curani(str(cursor)) is None
    assert len(calls) == 1 and calls[0][1] == 32512 and machine.cursor is None


@pytest.mark.parametrize("screen", [(1920, 1080), (768, 1366)])
def test_size_is_width_then_height(vk, machine, record, monkeypatch, screen):
    machine.screen_size = screen
    api = record("win32api")
    assert vk.size() == screen
    assert api.calls == [("GetSystemMetrics", 0), ("GetSystemMetrics", 1)]
    monkeypatch.delattr(vk, "win32api")
    with pytest.raises(NameError, match="win32api"):
        vk.size()


# -- shortcut ------------------------------------------------------------------

def test_shortcut_sets_only_the_target_and_rewrites_a_file(vk, machine, tmp_path):
    link, target = str(tmp_path / "tool.lnk"), str(tmp_path / "bin" / "tool.exe")
    for path in ("C:\\old.exe", target):
        assert vk.shortcut(path, link) is None
    with open(link, encoding="utf-8") as f:
        saved = json.load(f)
    assert (saved["TargetPath"], saved["WorkingDirectory"]) == (target, "")
    assert repr(vk.shell) == "<COMObject WScript.Shell>"  # made at import, not used by shortcut


@pytest.mark.parametrize("run_as_admin, extra", [
    (False, []), (0, []),
    (True, [("WorkingDirectory", "C:/tools"), ("RunAsAdmin", True)]),
    ("yes", [("WorkingDirectory", "C:/tools"), ("RunAsAdmin", True)]),
])
def test_shortcut_steps(vk, monkeypatch, run_as_admin, extra):
    steps = []

    class Shell:
        def CreateShortCut(self, path):
            steps.append(("CreateShortCut", path))
            return type("Link", (), {"__setattr__": lambda self, name, value: steps.append((name, value)),
                                     "save": lambda self: steps.append(("save",))})()
    monkeypatch.setattr(vk, "Dispatch", lambda progid: steps.append(("Dispatch", progid)) or Shell())
    vk.shortcut("C:/tools/a.exe", "a.lnk", run_as_admin=run_as_admin)
    assert steps == [("Dispatch", "WScript.Shell"), ("CreateShortCut", "a.lnk"), ("Targetpath", "C:/tools/a.exe"),
                     *extra, ("save",)]


@pytest.mark.parametrize("link, error", [
    ("admin.lnk", "AttributeError"),   # the shortcut object has no RunAsAdmin property
    ("admin.txt", "com_error"),        # the shell refuses the name
])
def test_shortcut_errors_propagate_and_nothing_is_written(vk, machine, tmp_path, link, error):
    with pytest.raises(Exception) as exc:
        vk.shortcut(str(tmp_path / "tool.exe"), str(tmp_path / link), True)
    assert type(exc.value).__name__ == error
    assert not os.path.exists(tmp_path / link) and machine.shortcuts == {}
