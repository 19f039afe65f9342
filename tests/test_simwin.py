"""Tests of the simulated Windows platform (simwin)."""

import ctypes
import importlib
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
if str(REPO) not in sys.path:
    sys.path.insert(0, str(REPO))

import simwin  # noqa: E402
from cursors import cursor_file  # noqa: E402

DESKTOP = r"Software\Microsoft\Windows\Shell\Bags\1\Desktop"


@pytest.fixture
def win(tmp_path):
    """A fresh machine per test; a session-wide one is suspended meanwhile."""
    with simwin.isolated(tmp_path / "machine") as machine:
        yield machine


@pytest.fixture
def no_platform():
    outer = simwin.suspend()
    yield
    simwin.deactivate()
    simwin.resume(outer)


@pytest.fixture
def reg(win):
    return importlib.import_module("winreg")


@pytest.fixture
def pywintypes(win):
    return importlib.import_module("pywintypes")


def winerror_of(excinfo):
    return excinfo.value.winerror


# -- registry ------------------------------------------------------------------

@pytest.mark.parametrize("typ, data, expected", [
    ("REG_SZ", "Custom File", "Custom File"),
    ("REG_SZ", "cut\0here", "cut"),
    ("REG_EXPAND_SZ", "%SystemRoot%\\x", "%SystemRoot%\\x"),
    ("REG_DWORD", 0xFFFFFFFF, 0xFFFFFFFF),
    ("REG_DWORD", True, 1),
    ("REG_DWORD", None, 0),
    ("REG_QWORD", 2**40, 2**40),
    ("REG_BINARY", b"\x01\x02", b"\x01\x02"),
    ("REG_BINARY", b"", None),
    ("REG_MULTI_SZ", ["a", "b"], ["a", "b"]),
])
def test_set_and_query_value_round_trip(reg, win, typ, data, expected):
    with reg.CreateKey(reg.HKEY_CURRENT_USER, r"Software\Velka") as key:
        reg.SetValueEx(key, "Item", 0, getattr(reg, typ), data)
        assert reg.QueryValueEx(key, "ITEM") == (expected, getattr(reg, typ))
    assert win.registry.value(reg.HKEY_CURRENT_USER, r"software\velka", "item") \
        == (expected, getattr(reg, typ))


def test_key_and_value_names_ignore_case_but_keep_spelling(reg, win):
    reg.CreateKey(reg.HKEY_CLASSES_ROOT, r"VelkaFile\Shell\Open\Command").Close()
    reg.CreateKey(reg.HKEY_CLASSES_ROOT, r"velkafile\DefaultIcon").Close()
    key = reg.OpenKey(reg.HKEY_CLASSES_ROOT, "VELKAFILE")
    assert [reg.EnumKey(key, i) for i in range(2)] == ["DefaultIcon", "Shell"]
    with pytest.raises(OSError) as exc:
        reg.EnumKey(key, 2)
    assert winerror_of(exc) == 259
    assert str(exc.value) == "[WinError 259] No more data is available"
    assert win.registry.subkeys(reg.HKEY_CLASSES_ROOT, r"velkafile\shell\open") == ["Command"]


def test_set_value_creates_sub_key_and_default_value(reg, win):
    reg.SetValue(reg.HKEY_CLASSES_ROOT, r".velka", reg.REG_SZ, "VelkaFile")
    assert reg.QueryValue(reg.HKEY_CLASSES_ROOT, ".VELKA") == "VelkaFile"
    reg.CreateKey(reg.HKEY_CLASSES_ROOT, "Empty").Close()
    assert reg.QueryValue(reg.HKEY_CLASSES_ROOT, "Empty") == ""
    with pytest.raises(TypeError, match="type must be winreg.REG_SZ"):
        reg.SetValue(reg.HKEY_CLASSES_ROOT, "x", reg.REG_DWORD, "1")
    with pytest.raises(TypeError, match=r"argument 4 must be str, not int"):
        reg.SetValue(reg.HKEY_CLASSES_ROOT, "x", reg.REG_SZ, 1)
    assert not win.registry.key_exists(reg.HKEY_CLASSES_ROOT, "x")


@pytest.mark.parametrize("call", [
    lambda r: r.OpenKey(r.HKEY_CURRENT_USER, r"Software\Missing"),
    lambda r: r.OpenKey(r.HKEY_CURRENT_USER, DESKTOP + r"\Missing", 0, r.KEY_ALL_ACCESS),
    lambda r: r.DeleteKey(r.HKEY_CURRENT_USER, r"Software\Missing"),
    lambda r: r.QueryValueEx(r.OpenKey(r.HKEY_CURRENT_USER, DESKTOP), "Missing"),
    lambda r: r.DeleteValue(r.OpenKey(r.HKEY_CURRENT_USER, DESKTOP, 0, r.KEY_SET_VALUE),
                            "Missing"),
])
def test_missing_key_or_value_is_file_not_found(reg, call):
    with pytest.raises(FileNotFoundError) as exc:
        call(reg)
    assert (exc.value.winerror, exc.value.errno) == (2, 2)
    assert str(exc.value) == "[WinError 2] The system cannot find the file specified"


@pytest.mark.parametrize("access", ["KEY_ALL_ACCESS", "KEY_WRITE", "KEY_SET_VALUE",
                                    "KEY_CREATE_SUB_KEY"])
def test_read_only_key_refuses_write_access(reg, win, access):
    win.registry.set_readonly(reg.HKEY_CURRENT_USER, DESKTOP)
    with pytest.raises(PermissionError) as exc:
        reg.OpenKey(reg.HKEY_CURRENT_USER, DESKTOP, 0, getattr(reg, access))
    assert winerror_of(exc) == 5
    assert str(exc.value) == "[WinError 5] Access is denied"
    with reg.OpenKey(reg.HKEY_CURRENT_USER, DESKTOP) as key:
        assert reg.QueryValueEx(key, "IconSize") == (48, reg.REG_DWORD)


@pytest.mark.parametrize("call", [
    lambda r: r.CreateKey(r.HKEY_CURRENT_USER, DESKTOP + r"\New"),
    lambda r: r.DeleteKey(r.HKEY_CURRENT_USER, DESKTOP + r"\Child"),
    lambda r: r.SetValue(r.HKEY_CURRENT_USER, DESKTOP, r.REG_SZ, "x"),
    lambda r: r.SetValueEx(r.OpenKey(r.HKEY_CURRENT_USER, DESKTOP), "X", 0, r.REG_DWORD, 1),
])
def test_read_only_key_refuses_changes(reg, win, call):
    win.registry.create(reg.HKEY_CURRENT_USER, DESKTOP + r"\Child")
    win.registry.set_readonly(reg.HKEY_CURRENT_USER, DESKTOP)
    before = win.registry.values(reg.HKEY_CURRENT_USER, DESKTOP)
    with pytest.raises(PermissionError):
        call(reg)
    assert win.registry.subkeys(reg.HKEY_CURRENT_USER, DESKTOP) == ["Child"]
    assert win.registry.values(reg.HKEY_CURRENT_USER, DESKTOP) == before


def test_handle_opened_for_reading_cannot_write(reg, win):
    with reg.OpenKey(reg.HKEY_CURRENT_USER, DESKTOP) as key:
        with pytest.raises(PermissionError):
            reg.SetValueEx(key, "IconSize", 0, reg.REG_DWORD, 32)
    assert win.registry.value(reg.HKEY_CURRENT_USER, DESKTOP, "IconSize") == (48, reg.REG_DWORD)


def test_delete_key_is_never_recursive(reg, win):
    reg.CreateKey(reg.HKEY_CLASSES_ROOT, r"VelkaFile\DefaultIcon").Close()
    key = reg.OpenKey(reg.HKEY_CLASSES_ROOT, "VelkaFile", 0, reg.KEY_ALL_ACCESS)
    with pytest.raises(PermissionError) as exc:
        reg.DeleteKey(key, "")
    assert winerror_of(exc) == 5
    reg.DeleteKey(reg.HKEY_CLASSES_ROOT, r"VelkaFile\DefaultIcon")
    reg.DeleteKey(key, "")
    reg.CloseKey(key)
    assert not win.registry.key_exists(reg.HKEY_CLASSES_ROOT, "VelkaFile")


@pytest.mark.parametrize("typ, data, exc_type, text", [
    ("REG_DWORD", "48", ValueError, "Could not convert the data to the specified type."),
    ("REG_DWORD", 1.5, ValueError, "Could not convert the data to the specified type."),
    ("REG_SZ", 5, ValueError, "Could not convert the data to the specified type."),
    ("REG_MULTI_SZ", ["a", 1], ValueError, "Could not convert the data to the specified type."),
    ("REG_DWORD", -1, OverflowError, "can't convert negative int to unsigned"),
    ("REG_DWORD", 2**32, OverflowError, "too large"),
    ("REG_BINARY", 5, TypeError, "Objects of type 'int' can not be used"),
])
def test_set_value_ex_rejects_data_of_wrong_type(reg, win, typ, data, exc_type, text):
    key = reg.OpenKey(reg.HKEY_CURRENT_USER, DESKTOP, 0, reg.KEY_ALL_ACCESS)
    with pytest.raises(exc_type) as exc:
        reg.SetValueEx(key, "IconSize", 0, getattr(reg, typ), data)
    assert text in str(exc.value)
    assert win.registry.value(reg.HKEY_CURRENT_USER, DESKTOP, "IconSize") == (48, reg.REG_DWORD)


def test_closed_and_detached_handles(reg):
    key = reg.OpenKey(reg.HKEY_CURRENT_USER, DESKTOP)
    raw = reg.OpenKey(reg.HKEY_CURRENT_USER, DESKTOP).Detach()
    assert reg.QueryValueEx(raw, "Mode") == (1, reg.REG_DWORD)
    reg.CloseKey(raw)
    with key:
        assert key and int(key) == key.handle != 0
    assert not key and key.handle == 0
    for handle in (key, raw):
        with pytest.raises(OSError) as exc:
            reg.QueryValueEx(handle, "Mode")
        assert winerror_of(exc) == 6
    with pytest.raises(TypeError, match="not a PyHKEY object"):
        reg.OpenKey("HKCU", "Software")


def test_enum_value_and_query_info_key(reg):
    key = reg.CreateKey(reg.HKEY_CURRENT_USER, r"Software\Velka")
    reg.SetValueEx(key, "B", 0, reg.REG_SZ, "b")
    reg.SetValueEx(key, "A", 0, reg.REG_DWORD, 1)
    reg.CreateKey(key, "Sub").Close()
    assert [reg.EnumValue(key, i) for i in range(2)] == [("B", "b", 1), ("A", 1, 4)]
    subkeys, values, modified = reg.QueryInfoKey(key)
    assert (subkeys, values) == (1, 2) and modified > 130_000_000_000_000_000


# -- ctypes ----------------------------------------------------------------------

LIBRARIES = ["user32", "shell32", "kernel32", "ole32", "ws2_32", "winmm", "gdi32",
             "advapi32", "odbc32", "msimg32", "setupapi", "crypt32", "netapi32"]


@pytest.mark.parametrize("name", LIBRARIES)
def test_system_libraries_load_and_are_cached(win, name):
    lib = getattr(ctypes.windll, name)
    assert getattr(ctypes.windll, name) is lib
    assert f"'{name.upper()}.dll'" in repr(ctypes.WinDLL(name.upper() + ".dll"))


def missing_text(name):
    return (f"Could not find module '{name}' (or one of its dependencies). "
            "Try using the full path with constructor syntax.")


@pytest.mark.parametrize("name, make_missing", [
    ("winspool", False), ("velka", False), ("gdi32", True)])
def test_missing_library_raises_like_the_loader(win, name, make_missing):
    if make_missing:
        win.missing_libraries.add(name)
    with pytest.raises(FileNotFoundError) as exc:
        getattr(ctypes.windll, name)
    assert str(exc.value) == missing_text(name)


def test_load_library_by_path(win, tmp_path):
    system32 = os.path.join(os.environ["SystemRoot"], "System32")
    assert system32 == os.path.join(win.root, "Windows", "System32")
    ctypes.windll.LoadLibrary(os.path.join(system32, "winspool.drv"))
    outside = tmp_path / "winspool.drv"
    outside.write_bytes(b"MZ")
    for path in (os.path.join(system32, "absent.dll"), str(outside)):
        with pytest.raises(FileNotFoundError) as exc:
            ctypes.windll.LoadLibrary(path)
        assert str(exc.value) == missing_text(path)
    win.missing_libraries.add("winspool")
    with pytest.raises(FileNotFoundError):
        ctypes.windll.LoadLibrary(os.path.join(system32, "winspool.drv"))


def test_unknown_function_is_not_found(win):
    with pytest.raises(AttributeError, match="^function 'GetTickCount' not found$"):
        ctypes.windll.kernel32.GetTickCount


def test_get_current_directory_honours_buffer_size(win, tmp_path, monkeypatch):
    deep = tmp_path.joinpath(*["d" * 50] * 6)
    deep.mkdir(parents=True)
    monkeypatch.chdir(deep)
    cwd = os.getcwd()
    assert len(cwd) > 260
    get = ctypes.WinDLL("kernel32").GetCurrentDirectoryW
    small = ctypes.create_unicode_buffer(260)
    assert get(260, small) == len(cwd) + 1
    assert small.value == ""
    exact = ctypes.create_unicode_buffer(len(cwd) + 1)
    assert get(len(cwd) + 1, exact) == len(cwd)
    assert exact.value == cwd
    assert get(len(cwd), exact) == len(cwd) + 1


@pytest.mark.parametrize("word, file_word, folder_word", [
    (0x2 | 0x80000000, 0x2, 0x12),          # unknown bits are dropped
    (0x0, 0x80, 0x10),                      # nothing left: "normal"
    (0x80, 0x80, 0x10),
    (0x80 | 0x1, 0x1, 0x11),                # "normal" beside others is dropped
    (0x800 | 0x10 | 0x4, 0x4, 0x14),       # compressed and directory cannot be set
    (0x20 | 0x100 | 0x2000, 0x2120, 0x2130),
])
def test_file_attributes_round_trip(win, tmp_path, word, file_word, folder_word):
    kernel32 = ctypes.windll.kernel32
    target = tmp_path / "a.txt"
    target.write_text("x")
    assert kernel32.GetFileAttributesW(str(target)) == 0x20
    assert kernel32.GetFileAttributesW(str(tmp_path)) == 0x10
    for path, expected in ((target, file_word), (tmp_path, folder_word)):
        assert kernel32.SetFileAttributesW(str(path), word) == 1
        assert kernel32.GetFileAttributesW(str(path)) == expected
    # a path object does not convert without argtypes
    with pytest.raises(ctypes.ArgumentError):
        kernel32.GetFileAttributesW(target)


@pytest.mark.parametrize("call", [
    lambda k, p: k.GetFileAttributesW(p) == -1,
    lambda k, p: k.SetFileAttributesW(p, 2) == 0,
])
def test_file_attributes_of_missing_file_set_last_error(win, tmp_path, call):
    assert call(ctypes.windll.kernel32, str(tmp_path / "missing.txt"))
    assert ctypes.GetLastError() == 2
    error = ctypes.WinError()
    assert isinstance(error, FileNotFoundError) and error.winerror == 2
    assert str(error) == "[WinError 2] The system cannot find the file specified."
    assert win.file_attributes == {}


@pytest.mark.parametrize("code, cls, text", [
    (5, PermissionError, "Access is denied."),
    (0, OSError, "The operation completed successfully."),
    (99999, OSError, "Unknown error"),
])
def test_win_error_builds_the_windows_exception(win, code, cls, text):
    error = ctypes.WinError(code)
    assert type(error).__mro__[1] is cls and error.winerror == code
    assert str(error) == f"[WinError {code}] {text}"
    assert str(ctypes.WinError(code, "custom")) == f"[WinError {code}] custom"


def test_shell_notification_is_recorded(win):
    assert ctypes.windll.shell32.SHChangeNotify(0x8000000, 0x1000, None, None) == 0
    assert win.notifications == [(0x8000000, 0x1000, None, None)]


@pytest.mark.parametrize("call, shown", [
    ((0x8000000, 0x1000, None, None), "0x8000000 (SHCNE_ASSOCCHANGED), 0x1000 (SHCNF_FLUSH), None, None"),
    ((0x8000002, 0x3005, None, None),
     "0x8000002 (SHCNE_CREATE | SHCNE_ASSOCCHANGED), 0x3005 (SHCNF_PATHW | SHCNF_FLUSHNOWAIT), None, None"),
    ((0x7FFFFFFF, 0, 0, 0), "0x7fffffff (SHCNE_ALLEVENTS), 0x0 (SHCNF_IDLIST), 0x0, 0x0"),
    ((0x80002000, 0x10007, None, None),
     "0x80002000 (SHCNE_UPDATEITEM | 0x80000000), 0x10007 (0x7 | SHCNF_NOTIFYRECURSIVE), None, None"),
])
def test_report_names_each_shell_notification_beside_its_numbers(win, call, shown):
    win.forget_history()
    ctypes.windll.shell32.SHChangeNotify(*call)
    assert win.report().splitlines()[-2:] == ["shell notifications:", f"  SHChangeNotify({shown})"]


# -- activation --------------------------------------------------------------------

def run_ver():
    return subprocess.run("ver", shell=True, capture_output=True, text=True).stdout


def test_ver_on_path_answers_like_windows(win):
    assert "Microsoft" in run_ver()
    win.set_windows(False)
    assert "Microsoft" not in run_ver()
    win.set_windows(True)
    assert run_ver().startswith("\nMicrosoft Windows [Version 10.0.")


def test_deactivate_restores_process_state(tmp_path, no_platform):
    before_env = {k: os.environ.get(k) for k in ("PATH", "SystemRoot", "USERPROFILE")}
    real_buffer = ctypes.create_unicode_buffer
    machine = simwin.activate(tmp_path, windows=False)
    assert simwin.current() is machine
    assert os.environ["PATH"] == before_env["PATH"]
    assert importlib.import_module("win32com.client").Dispatch("WScript.Shell")
    reg = importlib.import_module("winreg")
    reg.SetValueEx(reg.HKEY_CURRENT_USER, "Leak", 0, reg.REG_SZ, "x")
    simwin.deactivate()
    assert simwin.current() is None
    for name in simwin.MODULES:
        assert name not in sys.modules
    assert not hasattr(ctypes, "windll") and not hasattr(ctypes, "WinError")
    assert ctypes.create_unicode_buffer is real_buffer
    assert {k: os.environ.get(k) for k in before_env} == before_env
    with pytest.raises(RuntimeError):
        reg.QueryValueEx(reg.HKEY_CURRENT_USER, "Leak")
    again = simwin.activate(tmp_path / "again")
    try:
        with pytest.raises(KeyError):
            again.registry.value(reg.HKEY_CURRENT_USER, "", "Leak")
    finally:
        simwin.deactivate()


def test_isolated_machine_leaves_the_outer_one_intact(tmp_path, no_platform):
    outer = simwin.activate(tmp_path / "outer", windows=False)
    reg = importlib.import_module("winreg")
    key = reg.CreateKey(reg.HKEY_CURRENT_USER, "Outer")
    with simwin.isolated(tmp_path / "inner") as inner:
        assert simwin.current() is inner and "Microsoft" in run_ver()
        assert os.environ["SystemRoot"] == str(tmp_path / "inner" / "Windows")
        assert not inner.registry.key_exists(reg.HKEY_CURRENT_USER, "Outer")
        reg.CreateKey(reg.HKEY_CURRENT_USER, "Inner").Close()
    assert simwin.current() is outer and "Microsoft" not in run_ver()
    assert os.environ["SystemRoot"] == str(tmp_path / "outer" / "Windows")
    reg.SetValueEx(key, "Still", 0, reg.REG_SZ, "open")
    assert outer.registry.value(reg.HKEY_CURRENT_USER, "Outer", "Still") == ("open", 1)
    assert not outer.registry.key_exists(reg.HKEY_CURRENT_USER, "Inner")


# -- pywin32 and wmi stand-ins ----------------------------------------------------------

def test_clipboard_sequence(win, pywintypes):
    import win32clipboard as cb
    cb.OpenClipboard()
    cb.EmptyClipboard()
    cb.SetClipboardData(cb.CF_UNICODETEXT, "old")
    cb.EmptyClipboard()
    cb.SetClipboardData(cb.CF_UNICODETEXT, "你好, wörld")
    cb.CloseClipboard()
    assert win.clipboard.data == {cb.CF_UNICODETEXT: "你好, wörld"}
    assert not win.clipboard.is_open
    cb.OpenClipboard()
    assert cb.GetClipboardData(cb.CF_UNICODETEXT) == "你好, wörld"
    # closing made the ANSI text available too
    assert cb.GetClipboardData(cb.CF_TEXT) == b"??, w\xf6rld"
    cb.OpenClipboard()  # the same program may open it again
    cb.SetClipboardData(cb.CF_UNICODETEXT, "cut\0here")
    assert cb.GetClipboardData(cb.CF_UNICODETEXT) == "cut\0here"
    cb.CloseClipboard()
    with pytest.raises(pywintypes.error) as exc:
        cb.EmptyClipboard()
    assert (exc.value.winerror, exc.value.funcname) == (1418, "EmptyClipboard")
    # a format that is not there is a TypeError, opened or not
    cb.OpenClipboard()
    cb.EmptyClipboard()
    cb.CloseClipboard()
    with pytest.raises(TypeError, match="Specified clipboard format is not available"):
        cb.GetClipboardData(cb.CF_UNICODETEXT)


@pytest.mark.parametrize("switch, failing, left", [
    ("held_by_other", "OpenClipboard", {13: "kept"}),
    ("fail_empty", "EmptyClipboard", {13: "kept"}),
    ("fail_set", "SetClipboardData", {}),
])
def test_clipboard_failures(win, pywintypes, switch, failing, left):
    import win32clipboard as cb
    setattr(win.clipboard, switch, True)
    win.clipboard.data[cb.CF_UNICODETEXT] = "kept"
    with pytest.raises(pywintypes.error) as exc:
        cb.OpenClipboard()
        cb.EmptyClipboard()
        cb.SetClipboardData(cb.CF_UNICODETEXT, "new")
    assert exc.value.funcname == failing and exc.value.winerror == 5
    assert win.clipboard.data == left
    # a failure after opening leaves the clipboard open for this process
    assert win.clipboard.is_open == (failing != "OpenClipboard")


def test_cursor_and_screen_size(win, pywintypes, tmp_path):
    import ctypes
    import win32api
    import win32con
    import win32gui
    with pytest.raises(pywintypes.error) as exc:
        win32gui.LoadImage(0, str(tmp_path / "none.cur"), win32con.IMAGE_CURSOR, 0, 0,
                           win32con.LR_LOADFROMFILE)
    assert exc.value.args == (2, "LoadImage", "The system cannot find the file specified.")
    junk = tmp_path / "junk.cur"
    junk.write_bytes(b"\0\0\2\0")
    with pytest.raises(pywintypes.error) as exc:
        win32gui.LoadImage(0, str(junk), win32con.IMAGE_CURSOR, 0, 0, win32con.LR_LOADFROMFILE)
    assert (exc.value.winerror, exc.value.funcname) == (0, "LoadImage")
    cursor = tmp_path / "busy.cur"
    cursor.write_bytes(cursor_file())
    handle = win32gui.LoadImage(0, str(cursor), win32con.IMAGE_CURSOR, 0, 0,
                                win32con.LR_LOADFROMFILE)
    assert handle
    # pywin32 has no SetSystemCursor: user32's takes the handle once.
    assert not hasattr(win32api, "SetSystemCursor")
    user32 = ctypes.windll.user32
    assert user32.SetSystemCursor(ctypes.c_void_p(handle), win32con.OCR_NORMAL) == 1
    assert win.cursor == (str(cursor), 32512)
    assert user32.SetSystemCursor(ctypes.c_void_p(handle), win32con.OCR_NORMAL) == 0
    assert ctypes.GetLastError() == 6
    win.screen_size = (2560, 1440)
    assert [win32api.GetSystemMetrics(i) for i in (0, 1, 80, 9999)] == [2560, 1440, 1, 0]
    with pytest.raises(NotImplementedError):
        win32api.GetSystemMetrics(7)


def test_shortcut_properties_and_save(win, pywintypes, tmp_path):
    from win32com.client import Dispatch
    target = tmp_path / "tool.exe"
    link = str(tmp_path / "tool.lnk")
    shortcut = Dispatch("WScript.Shell").CreateShortCut(link)
    shortcut.Targetpath = str(target)
    shortcut.WorkingDirectory = str(tmp_path)
    assert shortcut.TargetPath == str(target) and shortcut.FullName == link
    with pytest.raises(AttributeError) as exc:
        shortcut.RunAsAdmin = True
    assert str(exc.value) == "Property 'CreateShortCut.RunAsAdmin' can not be set."
    shortcut.save()
    assert win.shortcuts[link]["TargetPath"] == str(target)
    # reopening loads the saved shortcut; saving again replaces the file
    again = Dispatch("wscript.shell").CreateShortcut(link)
    assert again.workingdirectory == str(tmp_path)
    again.TargetPath = "other.exe"
    again.Save()
    assert '"TargetPath": "other.exe"' in Path(link).read_text()
    with pytest.raises(pywintypes.com_error):
        Dispatch("WScript.Shell").CreateShortcut(str(tmp_path / "no" / "x.lnk")).Save()


@pytest.mark.parametrize("progid, fails", [("Shell.Application", False),
                                           ("WScript.Shell", True)])
def test_dispatch_failure(win, pywintypes, progid, fails):
    from win32com.client import Dispatch
    win.dispatch_fails = fails
    with pytest.raises(pywintypes.com_error) as exc:
        Dispatch(progid)
    assert exc.value.args == (-2147221005, "Invalid class string", None, None)


def test_wmi_brightness(win):
    import wmi
    connection = wmi.WMI(namespace="wmi")
    connection.WmiMonitorBrightnessMethods()[0].WmiSetBrightness(70, 0)
    assert win.brightness == [(70, 0)]
    win.monitors = 0
    assert connection.WmiMonitorBrightnessMethods() == []
    with pytest.raises(wmi.x_wmi):
        wmi.WMI(namespace="nosuch")


# -- python -m simwin --------------------------------------------------------------

def test_command_line_runs_script_and_reports(tmp_path):
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(r"""
        import sys, winreg, win32clipboard
        key = winreg.OpenKey(winreg.HKEY_CURRENT_USER,
                             r"Software\Microsoft\Windows\Shell\Bags\1\Desktop",
                             0, winreg.KEY_ALL_ACCESS)
        winreg.SetValueEx(key, "SortColumn", 0, winreg.REG_DWORD, 2)
        key.Close()
        win32clipboard.OpenClipboard()
        win32clipboard.EmptyClipboard()
        win32clipboard.SetClipboardData(win32clipboard.CF_UNICODETEXT, "copied text")
        win32clipboard.CloseClipboard()
        print("args", sys.argv[1:])
        sys.exit(7)
    """))
    result = subprocess.run(
        [sys.executable, "-m", "simwin", "--report", str(script), "a", "b"],
        cwd=REPO, capture_output=True, text=True, timeout=60)
    assert result.returncode == 7, result.stderr
    out = result.stdout
    head, _, report = out.partition("--- simulated Windows: what changed ---\n")
    assert head == "args ['a', 'b']\n"
    assert "Desktop\\[SortColumn] = 2 (REG_DWORD)" in report
    assert "clipboard: 'copied text'" in report


@pytest.mark.parametrize("lines, status, shown, reported", [
    (["import velka_code as vk", "vk.system()", "vk.WinRightCilck().grid(True)",
      "vk.WinRightCilck.sort_order('date')"],
     0, ["'Windows'", "已将桌面文件设置为按 date 排序。"], "Desktop\\[SortColumn] = 2 (REG_DWORD)"),
    (["import velka_code as vk", "vk.ctrlc('from the prompt')", "vk.exit(4)", "print('after the exit')"],
     4, [], "clipboard: 'from the prompt'"),
])
def test_command_line_without_a_script_is_an_interactive_prompt(tmp_path, lines, status, shown, reported):
    inherited = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(REPO), *inherited]), PYTHONIOENCODING="utf-8")
    result = subprocess.run([sys.executable, "-m", "simwin", "--report"], input="\n".join(lines) + "\n",
                            cwd=tmp_path, env=env, capture_output=True, text=True, encoding="utf-8", timeout=60)
    assert result.returncode == status, result.stderr
    session, _, report = result.stdout.partition("--- simulated Windows: what changed ---\n")
    # Each line read writes a prompt; what follows the prompts is the echo.
    echoed = [line.replace(">>> ", "") for line in session.splitlines() if line.replace(">>> ", "")]
    assert echoed == shown
    assert reported in report
    assert "import velka_code as vk" in result.stderr.splitlines()[1]
    # A failing line is reported and the session goes on.
    assert ("TypeError: grid() takes exactly 1 positional argument (2 given)" in result.stderr) == bool(shown)


@pytest.mark.parametrize("ending", ["", "sys.exit(3)", "raise RuntimeError('ends with a traceback')"])
def test_a_folder_made_by_activate_goes_with_its_interpreter(tmp_path, ending):
    # A forked child that exits first must leave its parent's machine alone.
    code = ("import os, sys, simwin\nmachine = simwin.activate()\n"
            "if os.fork() == 0:\n    sys.exit(0)\nos.wait()\n"
            "print(os.path.isdir(machine.system32), flush=True)\n" + ending)
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=60,
                            env=dict(os.environ, TMPDIR=str(tmp_path), PYTHONPATH=str(REPO)))
    assert result.stdout == "True\n", result.stderr
    assert os.listdir(tmp_path) == []


# -- handles, the user's home and refused attribute calls ---------------------------

def test_registry_counts_handles_left_to_the_collector(reg, win):
    closed = reg.OpenKey(reg.HKEY_CURRENT_USER, DESKTOP)
    dropped = reg.OpenKey(reg.HKEY_CURRENT_USER, DESKTOP)
    assert win.registry.open_handles() == 2
    closed.Close()
    del closed
    assert (win.registry.open_handles(), win.registry.dropped_handles) == (1, 0)
    del dropped  # the deallocator still closes it, as PyHKEY's does
    assert (win.registry.open_handles(), win.registry.dropped_handles) == (0, 1)


def test_home_is_the_profile_folder_while_windows_answers(win, monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path / "posix-home"))
    profile = os.environ["USERPROFILE"]
    assert profile.startswith(win.root)
    assert os.path.expanduser("~") == profile
    assert os.path.expanduser("~/Desktop") == profile + "/Desktop"
    win.set_windows(False)
    assert os.path.expanduser("~") == str(tmp_path / "posix-home")


def test_deactivate_gives_expanduser_back(tmp_path, no_platform, monkeypatch):
    import posixpath
    real = posixpath.expanduser
    monkeypatch.setenv("HOME", str(tmp_path))
    simwin.activate(tmp_path / "machine")
    assert os.path.expanduser("~") != str(tmp_path)
    simwin.deactivate()
    assert os.path.expanduser is real and os.path.expanduser("~") == str(tmp_path)


@pytest.mark.parametrize("function, call", [
    ("GetFileAttributesW", lambda k, p: k.GetFileAttributesW(p) == -1),
    ("SetFileAttributesW", lambda k, p: k.SetFileAttributesW(p, 2) == 0),
])
def test_refused_attribute_calls_set_access_denied(win, tmp_path, function, call):
    target = tmp_path / "locked.txt"
    target.write_text("x")
    win.access_denied.add((function, str(target)))
    assert call(ctypes.windll.kernel32, str(target))
    assert ctypes.GetLastError() == 5
    assert isinstance(ctypes.WinError(), PermissionError)
    assert win.file_attributes == {}


def test_report_names_working_directory_and_handles_left_open(win, reg, tmp_path):
    from win32com.client import Dispatch
    link = Dispatch("WScript.Shell").CreateShortcut(str(tmp_path / "a.lnk"))
    link.TargetPath = "C:\\tools\\a.exe"
    link.WorkingDirectory = "C:\\tools"
    link.Save()
    key = reg.OpenKey(reg.HKEY_CURRENT_USER, DESKTOP)
    report = win.report()
    assert f"  {tmp_path / 'a.lnk'} -> C:\\tools\\a.exe (in C:\\tools)" in report.splitlines()
    assert "registry handles: 1 still open, 0 never closed with Close" in report
    key.Close()
    assert "registry handles" not in win.report()


@pytest.mark.parametrize("before, after, shown", [
    (None, "[Default Applications]\ntext/plain=a.desktop\n", ["  + [Default Applications]", "  + text/plain=a.desktop"]),
    ("x\ny\nx\n", "x\ny\n", ["  - x"]),
    ("x\r\ny\r\n", "x\r\nz\r\ny\r\nz", ["  + z", "  + z"]),
    ("same\n", "same\n", []),
])
def test_report_lists_the_lines_a_watched_file_gained_and_lost(win, tmp_path, before, after, shown):
    path = tmp_path / "mimeapps.list"
    if before is not None:
        path.write_bytes(before.encode())
    win.watch(path)
    path.write_bytes(after.encode())
    lines = win.report().splitlines()
    assert lines == ([f"{path}:", *shown] if shown else ["nothing changed"])
    win.forget_history()
    assert win.report() == "nothing changed"


def test_the_users_folders_are_the_machines_also_where_the_host_names_its_own(tmp_path, no_platform, monkeypatch):
    host = {"USERNAME": "host-user", "USERPROFILE": r"C:\Users\host-user", "APPDATA": r"C:\Users\host-user\AppData"}
    for name, value in host.items():
        monkeypatch.setenv(name, value)
    simwin.activate(tmp_path / "machine")
    try:
        profile = str(tmp_path / "machine" / "Users" / "host-user")
        assert {name: os.environ[name] for name in host} == {
            "USERNAME": "host-user", "USERPROFILE": profile, "APPDATA": os.path.join(profile, "AppData", "Roaming")}
    finally:
        simwin.deactivate()
    assert {name: os.environ[name] for name in host} == host


def test_command_line_reports_the_lines_a_script_adds_to_mimeapps_list(tmp_path):
    # The script makes the module answer as Linux, whose branch writes
    # mimeapps.list under "~": the machine's profile folder.
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent("""
        import os, velka_code as vk
        os.makedirs(os.path.expanduser("~/.local/share/applications"))
        vk.system = lambda: "Linux"
        vk.increase(".txt", "TextFile", "", "/opt/viewer")
    """))
    result = subprocess.run([sys.executable, "-m", "simwin", "--report", str(script)], cwd=REPO,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    report = result.stdout.partition("--- simulated Windows: what changed ---\n")[2].splitlines()
    assert report[0].endswith(os.path.join("", ".local", "share", "applications", "mimeapps.list:"))
    assert report[1:] == ["  + [Default Applications]", "  + text/plain=/opt/viewer"]

# -- the recorder (scripts/record-win32-corpus) ------------------------------------------

RECORDED = r"""
import ctypes, os, sys, simwin
machine = simwin.activate()
import velka_code as vk, winreg
from simwin import _recorder
machine.clipboard.data[13] = "before"
vk.ctrlc("hi")
key = winreg.CreateKey(winreg.HKEY_CURRENT_USER, r"Software\Rec")
winreg.SetValueEx(key, "n", 0, winreg.REG_DWORD, 5)
key.Close()
machine.registry.set_readonly(winreg.HKEY_CURRENT_USER, r"Software\Rec")
ctypes.windll.kernel32.GetFileAttributesW(sys.argv[1])
_recorder.next_sequence("second")
try:
    winreg.QueryValueEx(winreg.HKEY_CURRENT_USER, "missing")
except FileNotFoundError:
    pass
winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, "SOFTWARE")
"""


def test_the_recorder_writes_each_call_and_the_state_it_started_from(tmp_path):
    from conftest import run_python
    target = tmp_path / "a.txt"
    target.write_text("x")
    record = tmp_path / "record.jsonl"
    result = run_python(RECORDED, str(target), env={"SIMWIN_RECORD": str(record), "SIMWIN_RECORD_TEST": "first"})
    assert result.returncode == 0, result.stderr
    first, second = [json.loads(line) for line in (tmp_path / "record.jsonl.children").read_text().splitlines()]
    assert first == {"test": "first", "steps": [
        ["@fresh"], ["@clip", 13, "before"],
        ["OpenClipboard", None], ["EmptyClipboard"], ["SetClipboardData", 13, "hi"], ["CloseClipboard"],
        ["CreateKey", {"root": "HKCU"}, "Software\\Rec"], ["SetValueEx", {"r": 6}, "n", 0, 4, 5], ["Close", {"r": 6}],
        ["@readonly", "HKCU", "Software\\Rec", True],
        ["@file", 0, ".txt", None], ["GetFileAttributesW", {"p": 0}]]}
    # The second sequence starts from the first one's state, and a key
    # other than HKCU and HKCR has no replay.
    assert ["@key", "HKCU", "Software\\Rec"] in second["steps"]
    assert second["unreplayable"] == "a predefined key other than HKCU and HKCR"


@pytest.mark.skipif(bool(os.environ.get("SIMWIN_RECORD")), reason="this run records the stand-ins' calls")
def test_nothing_is_wrapped_unless_recording():
    import winreg
    for function in (winreg.OpenKey, winreg.SetValueEx, ctypes.windll.kernel32.GetFileAttributesW._impl):
        assert not hasattr(function, "__wrapped__")
