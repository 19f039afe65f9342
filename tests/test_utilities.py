"""exit, quit, attributes, the clipboard, the cursor, the screen size and
shortcuts, on the simulated Windows platform where only Windows has them."""

import builtins
import os
import textwrap

import pytest

import simwin
from conftest import run_python

ALL_FIVE = 0x2 | 0x1 | 0x20 | 0x4 | 0x800


@pytest.fixture
def machine(tmp_path):
    with simwin.isolated(tmp_path / "machine", windows=False) as m:
        yield m


class Recorder:
    """Stands for a module: records each call of the named functions and
    forwards it (or answers with `answers[name]`)."""

    def __init__(self, real, answers=None):
        self.real = real
        self.answers = answers or {}
        self.calls = []

    def __getattr__(self, name):
        value = getattr(self.real, name)
        if not callable(value) or name.isupper():
            return value

        def record(*args, **kwargs):
            self.calls.append((name, *args))
            if name in self.answers:
                return self.answers[name]
            return value(*args, **kwargs)
        return record


# -- exit and quit -------------------------------------------------------------

@pytest.mark.parametrize("function, by_keyword, code", [
    ("exit", False, 3), ("exit", False, None), ("quit", False, 0), ("quit", False, "bye"), ("exit", True, 5),
    ("quit", True, (1, 2)),
])
def test_exit_and_quit_raise_system_exit(vk, function, by_keyword, code):
    with pytest.raises(SystemExit) as exc:
        if by_keyword:
            getattr(vk, function)(code=code)
        else:
            getattr(vk, function)(code)
    assert exc.value.code == code and exc.value.args == (code,)


def test_exit_raises_the_system_exit_of_import_time(vk, monkeypatch):
    real = builtins.SystemExit

    class Other(Exception):
        pass
    monkeypatch.setattr(builtins, "SystemExit", Other)
    with pytest.raises(real) as exc:
        vk.exit(2)
    assert type(exc.value) is real and exc.value.code == 2


def test_quit_goes_through_the_module_level_exit(vk, monkeypatch):
    seen = []
    monkeypatch.setattr(vk, "exit", seen.append)
    assert vk.quit(7) is None and seen == [7]


def test_uncaught_exit_ends_the_script_with_its_status():
    out = run_python("import simwin; simwin.activate(windows=False)\nimport velka_code\nvelka_code.quit(3)\n")
    assert out.returncode == 3 and out.stderr == ""


# -- attributes ----------------------------------------------------------------

class NtOs:
    """The module's `os` as Windows shows it: os.name is "nt"."""
    name = "nt"

    def __getattr__(self, attribute):
        return getattr(os, attribute)


@pytest.fixture
def nt(vk, monkeypatch, machine):
    monkeypatch.setattr(vk, "os", NtOs())
    return machine


def test_attributes_refuses_other_systems(vk, machine, tmp_path, capsys):
    target = tmp_path / "a.txt"
    target.write_text("x")
    with pytest.raises(SystemExit) as exc:
        vk.attributes(str(target), hidden=True)
    assert exc.value.code == 1
    assert capsys.readouterr().out == "attributes: 此功能只支持Windows系统! \n"
    assert machine.file_attributes == {}


def test_attributes_of_a_missing_file(vk, nt, tmp_path, capsys):
    with pytest.raises(SystemExit) as exc:
        vk.attributes(str(tmp_path / "missing.txt"), True)
    assert exc.value.code == 1
    assert capsys.readouterr().out == "文件未找着\n"
    assert nt.file_attributes == {}


def test_attributes_exits_through_the_module_level_exit(vk, machine, monkeypatch, capsys):
    seen = []
    monkeypatch.setattr(vk, "exit", seen.append)
    assert vk.attributes("anything") is None
    assert seen == [1] and machine.file_attributes == {}


@pytest.mark.parametrize("before, flags, after", [
    (0x20, {}, 0x0),
    (ALL_FIVE | 0x100 | 0x2000, {}, 0x100 | 0x2000),
    (0x2, {"hidden": True}, 0x2),
    (ALL_FIVE, {"hidden": True, "system": 1}, 0x2 | 0x4),
    (0x0, {"hidden": 1, "readonly": "y", "archive": [0], "system": 2.5, "compressed": True}, ALL_FIVE),
    (0x10, {"readonly": True, "archive": []}, 0x11),
    (0x80000020, {"compressed": True}, 0x80000800),
])
def test_attributes_decides_all_five_bits(vk, nt, tmp_path, before, flags, after):
    target = tmp_path / "a.txt"
    target.write_text("x")
    nt.file_attributes[str(target)] = before
    assert vk.attributes(str(target), **flags) is None
    assert nt.file_attribute(target) == after


def test_attributes_flags_by_position_and_module_constants(vk, nt, tmp_path, monkeypatch):
    target = tmp_path / "a.txt"
    target.write_text("x")
    vk.attributes(str(target), False, True, True)
    assert nt.file_attribute(target) == 0x21
    monkeypatch.setattr(vk, "FILE_ATTRIBUTE_HIDDEN", 0x40)
    vk.attributes(str(target), True)
    assert nt.file_attribute(target) == 0x40


@pytest.mark.parametrize("refused", ["GetFileAttributesW", "SetFileAttributesW"])
def test_attributes_raises_the_windows_error_of_a_failed_call(vk, nt, tmp_path, refused):
    target = tmp_path / "a.txt"
    target.write_text("x")
    nt.file_attributes[str(target)] = 0x21
    nt.access_denied.add((refused, str(target)))
    with pytest.raises(PermissionError) as exc:
        vk.attributes(str(target), hidden=True)
    assert exc.value.winerror == 5 and str(exc.value) == "[WinError 5] Access is denied."
    assert nt.file_attribute(target) == 0x21


def test_attributes_lets_ctypes_errors_through(vk, nt, tmp_path):
    import ctypes
    target = tmp_path / "a.txt"
    target.write_text("x")
    with pytest.raises(ctypes.ArgumentError):
        vk.attributes(os.fsencode(target))
    assert nt.file_attributes == {}


# -- clipboard, cursor, screen -------------------------------------------------------

def test_ctrlc_replaces_the_clipboard_with_unicode_text(vk, machine, monkeypatch):
    recorder = Recorder(vk.win32clipboard)
    monkeypatch.setattr(vk, "win32clipboard", recorder)
    machine.clipboard.data[1] = b"old ansi"
    assert vk.ctrlc("你好, wörld") is None
    assert recorder.calls == [("OpenClipboard",), ("EmptyClipboard",), ("SetClipboardData", 13, "你好, wörld"),
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
def test_ctrlc_close_error(vk, machine, monkeypatch, fail_set):
    import pywintypes
    import win32clipboard

    def refuse():
        raise pywintypes.error(5, "CloseClipboard", "Access is denied.")
    monkeypatch.setattr(win32clipboard, "CloseClipboard", refuse)
    machine.clipboard.fail_set = fail_set
    with pytest.raises(pywintypes.error) as exc:
        vk.ctrlc("new")
    # an error while filling the clipboard stays the one raised
    assert exc.value.funcname == ("SetClipboardData" if fail_set else "CloseClipboard")


def test_curani_sets_the_normal_pointer(vk, machine, tmp_path, monkeypatch):
    cursor = tmp_path / "busy.ani"
    cursor.write_bytes(b"RIFF....ACONanih")
    recorder = Recorder(vk.win32gui)
    monkeypatch.setattr(vk, "win32gui", recorder)
    assert vk.curani(str(cursor)) is None
    assert recorder.calls == [("LoadImage", 0, str(cursor), 2, 0, 0, 0x10)]
    assert machine.cursor == (str(cursor), 32512)


def test_curani_ignores_a_zero_handle_and_lets_errors_through(vk, machine, tmp_path, monkeypatch):
    import pywintypes
    with pytest.raises(pywintypes.error) as exc:
        vk.curani(str(tmp_path / "none.cur"))
    assert exc.value.winerror == 2
    api = Recorder(vk.win32api)
    monkeypatch.setattr(vk, "win32api", api)
    monkeypatch.setattr(vk, "win32gui", Recorder(vk.win32gui, {"LoadImage": 0}))
    assert vk.curani(str(tmp_path / "none.cur")) is None
    assert api.calls == [] and machine.cursor is None


@pytest.mark.parametrize("screen", [(1920, 1080), (2560, 1440), (768, 1366)])
def test_size_is_width_then_height(vk, machine, monkeypatch, screen):
    machine.screen_size = screen
    recorder = Recorder(vk.win32api)
    monkeypatch.setattr(vk, "win32api", recorder)
    assert vk.size() == screen
    assert recorder.calls == [("GetSystemMetrics", 0), ("GetSystemMetrics", 1)]


def test_size_lets_errors_through(vk, machine, monkeypatch):
    monkeypatch.delattr(vk, "win32api")
    with pytest.raises(NameError, match="win32api"):
        vk.size()


# -- shortcut ------------------------------------------------------------------

def read_shortcut(path):
    import json
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def test_shortcut_sets_only_the_target(vk, machine, tmp_path):
    link = str(tmp_path / "tool.lnk")
    target = str(tmp_path / "bin" / "tool.exe")
    assert vk.shortcut(target, link) is None
    saved = read_shortcut(link)
    assert (saved["TargetPath"], saved["WorkingDirectory"]) == (target, "")
    assert machine.shortcuts[link]["TargetPath"] == target


def test_shortcut_rewrites_an_existing_file(vk, machine, tmp_path):
    link = str(tmp_path / "tool.lnk")
    vk.shortcut("C:\\old.exe", link)
    vk.shortcut("C:\\new.exe", link)
    assert read_shortcut(link)["TargetPath"] == "C:\\new.exe"


class FakeShell:
    """Dispatch that records what is done to the shell and its shortcut."""

    def __init__(self):
        self.steps = []

    def __call__(self, progid):
        self.steps.append(("Dispatch", progid))
        return self

    def CreateShortCut(self, path):
        self.steps.append(("CreateShortCut", path))
        steps = self.steps

        class Link:
            def __setattr__(self, name, value):
                steps.append((name, value))

            def save(self):
                steps.append(("save",))
        return Link()


@pytest.mark.parametrize("run_as_admin, extra", [
    (False, []),
    (0, []),
    (True, [("WorkingDirectory", "C:/tools"), ("RunAsAdmin", True)]),
    ("yes", [("WorkingDirectory", "C:/tools"), ("RunAsAdmin", True)]),
])
def test_shortcut_steps(vk, monkeypatch, run_as_admin, extra):
    shell = FakeShell()
    monkeypatch.setattr(vk, "Dispatch", shell)
    vk.shortcut("C:/tools/a.exe", "a.lnk", run_as_admin=run_as_admin)
    assert shell.steps == [("Dispatch", "WScript.Shell"), ("CreateShortCut", "a.lnk"),
                           ("Targetpath", "C:/tools/a.exe"), *extra, ("save",)]


@pytest.mark.parametrize("link, error", [
    ("admin.lnk", AttributeError),    # the shortcut object has no RunAsAdmin property
    ("admin.txt", "com_error"),       # the shell refuses the name
])
def test_shortcut_errors_propagate_and_nothing_is_written(vk, machine, tmp_path, link, error):
    import pywintypes
    expected = pywintypes.com_error if error == "com_error" else error
    with pytest.raises(expected):
        vk.shortcut(str(tmp_path / "tool.exe"), str(tmp_path / link), True)
    assert not os.path.exists(tmp_path / link) and machine.shortcuts == {}


def test_shell_is_made_at_import_and_not_used_by_shortcut(vk, monkeypatch):
    assert repr(vk.shell) == "<COMObject WScript.Shell>"
    shell = FakeShell()
    monkeypatch.setattr(vk, "Dispatch", shell)
    vk.shortcut("a.exe", "a.lnk")
    vk.shortcut("a.exe", "a.lnk")
    assert shell.steps.count(("Dispatch", "WScript.Shell")) == 2
