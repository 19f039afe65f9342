"""The real-Windows tier: the module against the real registry through
`winreg`, `ctypes.windll`, the pywin32 modules, COM and WMI of a Windows
machine, never against the simulated platform.

These tests change the machine they run on (registry keys and values, the
clipboard, file attributes, the shell's file types), so they run only on the
hosted runner of .github/workflows/windows-wheel.yml, a throwaway virtual
machine whose workflow sets VK_REAL_WINDOWS_TIER; everywhere else they are
skipped, and say why. Each test puts back what it changed where it can.
Where a facility is missing on the runner, the test skips naming what it
could not check.
"""

import contextlib
import os
import subprocess
import sys

import pytest

TIER_VARIABLE = "VK_REAL_WINDOWS_TIER"
ON_THE_HOSTED_RUNNER = (sys.platform == "win32" and os.environ.get(TIER_VARIABLE) == "hosted-runner"
                        and os.environ.get("GITHUB_ACTIONS") == "true"
                        and os.environ.get("RUNNER_ENVIRONMENT") == "github-hosted")
SKIPPED = ("real-Windows tier: it changes the registry, clipboard and files of the machine it runs on, so it runs "
           f"only on the hosted Windows runner of .github/workflows/windows-wheel.yml, which sets {TIER_VARIABLE}")

pytestmark = [pytest.mark.real_windows, pytest.mark.skipif(not ON_THE_HOSTED_RUNNER, reason=SKIPPED)]

DESKTOP = r"Software\Microsoft\Windows\Shell\Bags\1\Desktop"
ADVANCED = r"Software\Microsoft\Windows\CurrentVersion\Explorer\Advanced"


@pytest.fixture
def winreg():
    import winreg
    return winreg


@contextlib.contextmanager
def saved_values(winreg, path, names):
    """The key under HKEY_CURRENT_USER with the named values as they were
    before; the keys of the path that were missing are made for the test
    and removed again."""
    parts = path.split("\\")
    existing = 0
    while existing < len(parts):
        try:
            winreg.CloseKey(winreg.OpenKey(winreg.HKEY_CURRENT_USER, "\\".join(parts[:existing + 1])))
        except FileNotFoundError:
            break
        existing += 1
    with winreg.CreateKeyEx(winreg.HKEY_CURRENT_USER, path, 0, winreg.KEY_ALL_ACCESS) as key:
        before = {}
        for name in names:
            with contextlib.suppress(FileNotFoundError):
                before[name] = winreg.QueryValueEx(key, name)
        try:
            yield key
        finally:
            for name in names:
                if name in before:
                    winreg.SetValueEx(key, name, 0, before[name][1], before[name][0])
                else:
                    with contextlib.suppress(FileNotFoundError):
                        winreg.DeleteValue(key, name)
    for depth in range(len(parts), existing, -1):
        winreg.DeleteKey(winreg.HKEY_CURRENT_USER, "\\".join(parts[:depth]))


# What each setting writes (REG_DWORD values), as the simulated platform's
# tests of the same calls expect.
@pytest.mark.parametrize("function, args, path, expected", [
    ("auto_arrange", (True,), DESKTOP, {"AutoArrange": 0}),
    ("auto_arrange", (False,), DESKTOP, {"AutoArrange": 1}),
    ("grid", (True,), DESKTOP, {"SnapToGrid": 0}),
    ("icon", (True,), DESKTOP, {"SnapToGrid": 1}),
    ("desktop_icons", (True,), ADVANCED, {"HideIcons": 0}),
    ("desktop_icons", (False,), ADVANCED, {"HideIcons": 1}),
    ("icon_size", (48,), DESKTOP, {"IconSize": 48}),
    ("defaults", (), DESKTOP, {"IconSize": 32, "AutoArrange": 1, "SnapToGrid": 1}),
    ("sort_order", ("date",), DESKTOP, {"SortDirection": 0, "SortColumn": 2}),
])
def test_desktop_settings_are_read_back_from_the_registry(vk, winreg, capsys, function, args, path, expected):
    with saved_values(winreg, path, expected) as key:
        getattr(vk.WinRightCilck, function)(*args)
        read = {name: winreg.QueryValueEx(key, name) for name in expected}
    assert read == {name: (value, winreg.REG_DWORD) for name, value in expected.items()}, capsys.readouterr().out


def class_keys(winreg):
    """The names of HKEY_CLASSES_ROOT's sub-keys."""
    names, index = [], 0
    while True:
        try:
            names.append(winreg.EnumKey(winreg.HKEY_CLASSES_ROOT, index))
        except OSError as error:
            assert error.winerror == 259, error
            return names
        index += 1


def default_value(winreg, path):
    with winreg.OpenKey(winreg.HKEY_CLASSES_ROOT, path) as key:
        return winreg.QueryValue(key, None)


def shell(command):
    """A cmd.exe built-in's output."""
    return subprocess.run(["cmd", "/d", "/c", command], capture_output=True, text=True, timeout=60).stdout.strip()


def test_an_association_is_registered_resolved_modified_and_removed(vk, winreg, tmp_path):
    before = class_keys(winreg)
    extension, file_type, new_type = ".vkrealtier", "VelkaRealTier.File", "VelkaRealTier.Other"
    program, icon = str(tmp_path / "viewer.exe"), str(tmp_path / "viewer.ico")
    assert extension not in before and file_type not in before
    removed = False
    try:
        vk.increase(extension, file_type, icon, program)
        assert default_value(winreg, extension) == file_type
        assert default_value(winreg, file_type) == "Custom File"
        assert default_value(winreg, file_type + r"\DefaultIcon") == icon
        assert default_value(winreg, file_type + r"\shell\open\command") == f'"{program}" "%1"'
        # The runner's account is an administrator, so new class keys land
        # in the machine's classes, which assoc and ftype read.
        assert shell(f"assoc {extension}") == f"{extension}={file_type}"
        assert shell(f"ftype {file_type}") == f'{file_type}="{program}" "%1"'

        vk.modify(extension, file_type, extension, new_type, icon, program)
        assert default_value(winreg, extension) == new_type
        assert shell(f"assoc {extension}") == f"{extension}={new_type}"
        with pytest.raises(FileNotFoundError):
            default_value(winreg, file_type)

        vk.delete(extension, new_type)
        removed = True
        assert class_keys(winreg) == before
    finally:
        if not removed:
            for name in (new_type, file_type):
                with contextlib.suppress(Exception):
                    vk.delete(extension, name)


def test_ctrlc_is_read_back_from_the_clipboard(vk):
    import win32clipboard
    text = "velka_code 剪贴板 ✓ wörld"
    vk.ctrlc(text)
    win32clipboard.OpenClipboard()
    try:
        assert win32clipboard.GetClipboardData(win32clipboard.CF_UNICODETEXT) == text
    finally:
        win32clipboard.CloseClipboard()


def test_size_is_the_screen_that_user32_reports(vk):
    import ctypes
    user32 = ctypes.WinDLL("user32")
    assert vk.size() == (user32.GetSystemMetrics(0), user32.GetSystemMetrics(1))
    assert all(length > 0 for length in vk.size())


def test_a_shortcut_is_read_back_through_the_shell_object(vk, tmp_path):
    from win32com.client import Dispatch
    target, link = tmp_path / "tool.exe", tmp_path / "tool.lnk"
    target.write_bytes(b"MZ")
    vk.shortcut(str(target), str(link))
    assert link.read_bytes()[:4] == b"L\x00\x00\x00"  # a shell link file's header size
    assert os.path.normcase(Dispatch("WScript.Shell").CreateShortcut(str(link)).TargetPath) == \
        os.path.normcase(str(target))
    # WshShortcut has no RunAsAdmin property, as the simulated platform says.
    with pytest.raises(AttributeError):
        vk.shortcut(str(target), str(tmp_path / "admin.lnk"), True)
    assert not (tmp_path / "admin.lnk").exists()


@pytest.mark.parametrize("flags, set_bits, clear_bits", [
    (dict(hidden=True, readonly=True), 0x2 | 0x1, 0x20 | 0x4),
    (dict(archive=True, system=True), 0x20 | 0x4, 0x2 | 0x1),
    (dict(), 0, 0x2 | 0x1 | 0x20 | 0x4),
])
def test_attributes_are_read_back_with_get_file_attributes(vk, tmp_path, flags, set_bits, clear_bits):
    import ctypes
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.GetFileAttributesW.argtypes = [ctypes.c_wchar_p]
    kernel32.GetFileAttributesW.restype = ctypes.c_uint32
    path = tmp_path / "file.txt"
    path.write_text("x")
    try:
        vk.attributes(str(path), **flags)
        word = kernel32.GetFileAttributesW(str(path))
        assert word != 0xFFFFFFFF, ctypes.WinError(ctypes.get_last_error())
        assert (word & set_bits, word & clear_bits) == (set_bits, 0), hex(word)
    finally:
        vk.attributes(str(path))


def test_getcwd_inside_a_folder_past_260_characters(vk, tmp_path, restore_cwd):
    folder = str(tmp_path)
    while len(folder) <= 300:
        folder = os.path.join(folder, "velka_code_long_path_part")
    try:
        os.makedirs(folder)
        os.chdir(folder)
    except OSError as error:
        pytest.skip(f"could not enter a folder of {len(folder)} characters ({error}): long paths are not "
                    "enabled on this machine, so getcwd past 260 characters was not checked")
    assert vk.getcwd() == os.getcwd()
    assert len(vk.getcwd()) > 260


def test_system_reads_the_real_ver(vk):
    assert "Microsoft Windows" in shell("ver")
    assert vk.system() == "Windows"


def test_brightness_through_wmi(vk):
    import wmi
    try:
        controllers = wmi.WMI(namespace="wmi").WmiMonitorBrightnessMethods()
    except Exception as error:  # the class does not exist without a driver that supports it
        controllers, reason = [], f"{type(error).__name__}: {error}"
    else:
        reason = "no WmiMonitorBrightnessMethods instance"
    if not controllers:
        pytest.skip(f"this machine has no display whose brightness WMI controls ({reason}): "
                    "brightness() was not checked on real Windows")
    before = wmi.WMI(namespace="wmi").WmiMonitorBrightness()[0].CurrentBrightness
    try:
        vk.brightness(40)
        assert wmi.WMI(namespace="wmi").WmiMonitorBrightness()[0].CurrentBrightness == 40
    finally:
        controllers[0].WmiSetBrightness(before, 0)


def test_curani_replaces_the_normal_pointer(vk):
    # pywin32's win32api has no SetSystemCursor: curani reaches user32's.
    import win32api
    assert not hasattr(win32api, "SetSystemCursor")
    import ctypes
    cursor = os.path.join(os.environ["SystemRoot"], "Cursors", "arrow_m.cur")
    if not os.path.isfile(cursor):
        pytest.skip(f"{cursor} is missing: curani was not checked with a real cursor file")
    user32 = ctypes.WinDLL("user32")
    try:
        assert vk.curani(cursor) is None
    finally:
        # SPI_SETCURSORS reloads the system cursors from the user's scheme.
        user32.SystemParametersInfoW(0x57, 0, None, 0)


DRY_RUN = """
import velka_code as vk
vk.WinRightCilck.icon_size(96)
vk.increase(".vkdryrun", "VelkaDryRun.File", "C:/nowhere/dry.ico", "C:/nowhere/dry.exe")
vk.ctrlc("dry run text")
print("dry run on", vk.system())
"""


def clipboard_text():
    import win32clipboard
    win32clipboard.OpenClipboard()
    try:
        return win32clipboard.GetClipboardData(win32clipboard.CF_UNICODETEXT)
    except TypeError:  # no text on the clipboard
        return None
    finally:
        win32clipboard.CloseClipboard()


def set_clipboard_text(text):
    import win32clipboard
    win32clipboard.OpenClipboard()
    try:
        win32clipboard.EmptyClipboard()
        win32clipboard.SetClipboardData(win32clipboard.CF_UNICODETEXT, text)
    finally:
        win32clipboard.CloseClipboard()


def machine_state(winreg):
    """The desktop settings' values, whether the dry run's class keys exist,
    and the clipboard's text."""
    try:
        with winreg.OpenKey(winreg.HKEY_CURRENT_USER, DESKTOP) as key:
            values = [winreg.EnumValue(key, index) for index in range(winreg.QueryInfoKey(key)[1])]
    except FileNotFoundError:
        values = None
    classes = []
    for name in (".vkdryrun", "VelkaDryRun.File"):
        with contextlib.suppress(FileNotFoundError):
            winreg.CloseKey(winreg.OpenKey(winreg.HKEY_CLASSES_ROOT, name))
            classes.append(name)
    return values, classes, clipboard_text()


def simwin_env():
    """The environment of a child that imports the simwin this test does."""
    import simwin
    inherited = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return dict(os.environ, PYTHONIOENCODING="utf-8",
                PYTHONPATH=os.pathsep.join([os.path.dirname(os.path.dirname(simwin.__file__)), *inherited]))


def test_a_dry_run_reports_what_would_change_and_leaves_the_machine_alone(winreg, tmp_path):
    script = tmp_path / "dry_run.py"
    script.write_text(DRY_RUN, encoding="utf-8")
    set_clipboard_text("the clipboard before the dry run")
    before = machine_state(winreg)
    assert before[1:] == ([], "the clipboard before the dry run")
    result = subprocess.run([sys.executable, "-m", "simwin", "--report", str(script)], cwd=tmp_path,
                            env=simwin_env(), capture_output=True, text=True, encoding="utf-8", timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    shown, _, report = result.stdout.partition("--- simulated Windows: what changed ---\n")
    assert shown == "dry run on Windows\n", result.stderr
    lines = report.splitlines()
    assert f"  set HKEY_CURRENT_USER\\{DESKTOP}\\[IconSize] = 96 (REG_DWORD)" in lines, report
    assert "  set HKEY_CLASSES_ROOT\\.vkdryrun\\[(Default)] = 'VelkaDryRun.File' (REG_SZ)" in lines, report
    assert "clipboard: 'dry run text'" in lines, report
    assert machine_state(winreg) == before


FIXTURE_TESTS = r"""
DESKTOP = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\Shell\Bags\1\Desktop"


def test_the_first_import_inside_the_machine(simulated_windows):
    import velka_code as vk
    vk.WinRightCilck.icon_size(96)
    vk.ctrlc("fixture text")
    assert simulated_windows.registry_values[DESKTOP, "IconSize"] == (96, "REG_DWORD")
    assert simulated_windows.clipboard == "fixture text"


def test_afterwards_the_module_calls_the_real_modules():
    import velka_code as vk
    assert vk.winreg.__name__ == "winreg" and vk.win32clipboard.__name__ == "win32clipboard"
    assert not type(vk.user32).__module__.startswith("simwin")
"""


def test_the_fixture_lends_the_module_the_stand_ins_for_its_test_only(winreg, tmp_path):
    (tmp_path / "test_fixture_child.py").write_text(FIXTURE_TESTS, encoding="utf-8")
    set_clipboard_text("the clipboard before the fixture")
    before = machine_state(winreg)
    env = dict(simwin_env(), PYTEST_DISABLE_PLUGIN_AUTOLOAD="1")
    result = subprocess.run([sys.executable, "-m", "pytest", "-p", "simwin.pytest_plugin", "-p", "no:cacheprovider",
                             "-q", "test_fixture_child.py"], cwd=tmp_path, env=env, capture_output=True, text=True,
                            encoding="utf-8", timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines()[-1].startswith("2 passed")
    assert machine_state(winreg) == before
