"""The simulated_windows fixture that the package registers with pytest: its
records against the report, running scripts, and what it leaves behind."""

import os
import subprocess
import sys
import textwrap
import types

import pytest

import simwin
from simwin.pytest_plugin import BOUND_LIBRARIES, BOUND_MODULES

from conftest import PLATFORM, REPO

DESKTOP = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\Shell\Bags\1\Desktop"
ASSOCCHANGED = "0x8000000 (SHCNE_ASSOCCHANGED), 0x1000 (SHCNF_FLUSH), None, None"


def write(folder, name, body):
    path = folder / name
    path.write_text(textwrap.dedent(body), encoding="utf-8")
    return path


@pytest.mark.parametrize("code, record, expected, line", [
    ("vk.WinRightCilck.icon_size(64)", "registry_values", {(DESKTOP, "IconSize"): (64, "REG_DWORD")},
     f"  set {DESKTOP}\\[IconSize] = 64 (REG_DWORD)"),
    # delete takes back every value increase wrote; the report keeps both.
    ("vk.increase('.vkp', 'VkP.File', 'p.ico', 'p.exe'); vk.delete('.vkp', 'VkP.File')", "registry_values", {},
     r"  deleted key HKEY_CLASSES_ROOT\VkP.File"),
    ("vk.WinRightCilck.sort_order('size')", "notifications", [ASSOCCHANGED],
     f"  SHChangeNotify({ASSOCCHANGED})"),
    ("vk.ctrlc('copied 剪贴板')", "clipboard", "copied 剪贴板", "clipboard: 'copied 剪贴板'"),
    ("vk.brightness(40)", "brightness", [(40, 0)], "  WmiSetBrightness(40, 0)"),
])
def test_each_record_is_a_line_of_the_report(simulated_windows, tmp_path, code, record, expected, line):
    script = write(tmp_path, "script.py", "import velka_code as vk\n" + code + "\n")
    assert simulated_windows.run(script) == 0
    got = getattr(simulated_windows, record)
    assert got == expected
    assert line in simulated_windows.report().splitlines()
    # A record is the test's own copy: changing it changes nothing recorded.
    if isinstance(got, (dict, list)):
        got.clear()
        assert getattr(simulated_windows, record) == expected


def test_shortcuts_and_file_attributes_are_kept_by_path(simulated_windows, tmp_path):
    import ctypes
    import velka_code as vk
    link = vk.join(vk.desktop(), "tool.lnk")
    vk.shortcut("C:/Tools/tool.exe", link)
    ctypes.windll.kernel32.SetFileAttributesW(str(tmp_path), 0x12)
    assert {path: saved["TargetPath"] for path, saved in simulated_windows.shortcuts.items()} == \
        {link: "C:/Tools/tool.exe"}
    # The directory bit is not one that SetFileAttributesW sets.
    assert simulated_windows.file_attributes == {str(tmp_path): 0x2}
    simulated_windows.file_attributes.clear()
    simulated_windows.shortcuts[link].clear()
    report = simulated_windows.report().splitlines()
    assert f"  {link} -> C:/Tools/tool.exe" in report and f"  {tmp_path} = 0x2" in report


def test_the_lines_the_linux_branch_adds_and_removes(simulated_windows, capsys):
    import velka_code as vk
    simulated_windows.set_windows(False)
    assert not simulated_windows.windows
    path = os.path.join(os.environ["HOME"], ".local", "share", "applications", "mimeapps.list")
    with open(path, "w") as f:
        f.write("[Default Applications]\ntext/plain=/usr/bin/old\n")
    simulated_windows.platform.forget_history()
    vk.delete(".txt", "TextFile")
    vk.increase(".txt", "TextFile", "", "/opt/viewer")
    assert capsys.readouterr().out == ""
    assert simulated_windows.mimeapps_lines == ["[Default Applications]", "text/plain=/opt/viewer"]
    assert simulated_windows.mimeapps_removed == ["text/plain=/usr/bin/old"]
    assert simulated_windows.report().splitlines() == [
        f"{path}:", "  + [Default Applications]", "  + text/plain=/opt/viewer", "  - text/plain=/usr/bin/old"]


@pytest.mark.parametrize("ending, status, err", [
    ("", 0, ""),
    ("sys.exit(3)", 3, ""),
    ("sys.exit('stopped here')", 1, "stopped here\n"),
    ("import velka_code; velka_code.exit(5)", 5, ""),
])
def test_run_is_python_m_simwin_in_this_process(simulated_windows, tmp_path, capsys, ending, status, err):
    write(tmp_path, "helper.py", "NAME = 'beside the script'\n")
    script = write(tmp_path, "script.py", "import sys, helper\nprint(sys.argv[1:], helper.NAME, __name__)\n" + ending)
    path, argv = list(sys.path), sys.argv
    try:
        assert simulated_windows.run(script, "a", 2) == status
    finally:
        sys.modules.pop("helper", None)
    assert capsys.readouterr() == (f"['a', '2'] beside the script __main__\n", err)
    assert sys.path == path and sys.argv is argv


def test_an_exception_of_the_script_reaches_the_test(simulated_windows, tmp_path):
    path = list(sys.path)
    with pytest.raises(ZeroDivisionError):
        simulated_windows.run(write(tmp_path, "script.py", "1 / 0\n"))
    assert sys.path == path


@pytest.fixture
def session_machine_comes_back():
    yield
    assert simwin.current() is PLATFORM and not PLATFORM.windows


@pytest.mark.parametrize("windows", [True, False])
def test_each_test_gets_a_fresh_machine_holding_the_users_folders(session_machine_comes_back, simulated_windows,
                                                                 windows):
    import velka_code as vk
    machine = simulated_windows.platform
    assert simwin.current() is machine is not PLATFORM
    assert simulated_windows.report() == "nothing changed"
    simulated_windows.set_windows(windows)
    assert vk.system() == ("Windows" if windows else "Linux")
    for folder in (vk.home(), vk.desktop(), os.path.expanduser("~")):
        assert os.path.commonpath([folder, machine.root]) == machine.root
    vk.WinRightCilck.icon_size(16)
    assert len(simulated_windows.registry_changes) == 1


@pytest.fixture
def imported_against_real_windows(vk, monkeypatch):
    """velka_code as if imported on Windows before any machine existed:
    its Windows names hold objects of their own."""
    real = {name: types.SimpleNamespace(real=name)
            for name in (*BOUND_MODULES, *BOUND_LIBRARIES, "Dispatch", "shell")}
    for name, value in real.items():
        monkeypatch.setitem(vars(vk), name, value)
    yield
    # Torn down after simulated_windows: the module has its own names back.
    assert {name: vars(vk)[name] for name in real} == real


def test_a_module_imported_against_real_windows_works_on_the_machine(imported_against_real_windows,
                                                                    simulated_windows, vk):
    assert vk.winreg is sys.modules["winreg"]
    vk.WinRightCilck.icon_size(32)
    vk.ctrlc("simulated")
    vk.shortcut("C:/Tools/tool.exe", vk.join(vk.desktop(), "tool.lnk"))
    assert simulated_windows.registry_values == {(DESKTOP, "IconSize"): (32, "REG_DWORD")}
    assert simulated_windows.clipboard == "simulated"
    assert list(simulated_windows.shortcuts) == [vk.join(vk.desktop(), "tool.lnk")]


CHILD_TESTS = """
import ctypes, os, sys

ENVIRON = dict(os.environ)


def active():
    import simwin
    return simwin.current(), hasattr(ctypes, "windll"), [n for n in ("winreg", "win32api", "wmi") if n in sys.modules]


def test_loading_the_plugin_set_up_nothing():
    assert active() == (None, False, [])
    assert "velka_code" not in sys.modules


def test_a_test_that_asks_gets_a_machine(simulated_windows):
    import velka_code as vk
    assert vk.system() == "Windows"
    vk.ctrlc("in the child")
    assert simulated_windows.clipboard == "in the child"


def test_afterwards_all_is_as_before():
    assert active() == (None, False, [])
    environ = {k: v for k, v in os.environ.items() if k != "PYTEST_CURRENT_TEST"}
    assert environ == {k: v for k, v in ENVIRON.items() if k != "PYTEST_CURRENT_TEST"}
"""


def test_loading_the_plugin_changes_nothing_until_a_test_asks(tmp_path):
    (tmp_path / "test_child.py").write_text(CHILD_TESTS)
    inherited = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([REPO, *inherited]), PYTEST_DISABLE_PLUGIN_AUTOLOAD="1")
    result = subprocess.run([sys.executable, "-m", "pytest", "-p", "simwin.pytest_plugin", "-q", "-p",
                             "no:cacheprovider", "test_child.py"], cwd=tmp_path, env=env, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines()[-1].startswith("3 passed")
