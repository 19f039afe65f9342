"""Screen brightness: a backlight tree laid out by the test on Linux, the
simulated wmi on Windows, a stand-in tool for macOS."""

import os
import types

import pytest

from test_association import answer, tools  # noqa: F401  (fixtures)

BACKLIGHT = "/sys/class/backlight"


class BacklightOS:
    """os for brightness, with the backlight folder inside a test folder."""

    def __init__(self, root):
        self.root = str(root)
        self.path = types.SimpleNamespace(join=lambda *parts: self.inside(os.path.join(*parts)))

    def inside(self, path):
        return self.root + path[len(BACKLIGHT):] if path.startswith(BACKLIGHT) else path

    def listdir(self, path):
        return os.listdir(self.inside(path))


@pytest.fixture
def backlight(vk, tmp_path, monkeypatch):
    root = tmp_path / "backlight"
    monkeypatch.setattr(vk, "os", BacklightOS(root))

    def controller(name, maximum):
        (root / name).mkdir(parents=True)
        (root / name / "max_brightness").write_text(f"{maximum}\n")
        (root / name / "brightness").write_text("7")
        return root / name / "brightness"
    return controller


@pytest.mark.parametrize("value, maximum, level", [
    (0, 255, "0"), (50, 255, "127"), (100, 255, "255"), (33, 937, "309"), (12.5, 255, "31"), (150, 255, "382"),
])
def test_linux_writes_the_truncated_raw_level(vk, backlight, value, maximum, level):
    path = backlight("intel_backlight", maximum)
    assert vk.brightness(value) is None
    assert path.read_text() == level


def test_only_the_first_controller_changes(vk, backlight):
    paths = {name: backlight(name, 100) for name in ("acpi_video0", "intel_backlight", "nv_backlight")}
    vk.brightness(40)
    first = os.listdir(next(iter(paths.values())).parent.parent)[0]
    assert {name: path.read_text() for name, path in paths.items()} == {n: "40" if n == first else "7" for n in paths}


@pytest.mark.parametrize("layout, printed", [
    ("no folder", "Error: [Errno 2] No such file or directory: '{root}'"),
    ("refused write", "Error: [Errno 21] Is a directory: '{root}/panel/brightness'"),
    ("bad maximum", "Error: invalid literal for int() with base 10: 'full'"),
])
def test_linux_failures_are_reported_then_exit_with_status_1(vk, backlight, tmp_path, capsys, layout, printed):
    if layout != "no folder":
        path = backlight("panel", "full" if layout == "bad maximum" else 255)
        if layout == "refused write":
            path.unlink()
            path.mkdir()
    with pytest.raises(SystemExit) as raised:
        vk.brightness(50)
    assert raised.value.code == 1
    assert capsys.readouterr().out == printed.format(root=tmp_path / "backlight") + "\n"


def test_no_controller_is_reported_without_exit(vk, backlight, tmp_path, capsys):
    (tmp_path / "backlight").mkdir()
    assert vk.brightness(50) is None
    assert capsys.readouterr().out == "未找到背光控制器\n"


@pytest.mark.parametrize("value", [42, 12.5, "70"])
def test_windows_hands_the_value_to_wmi_unchanged(vk, windows, value):
    windows.brightness.clear()
    vk.brightness(value)
    assert windows.brightness == [(value, 0)] and type(windows.brightness[0][0]) is type(value)


def test_windows_failure_is_reported_then_exits(vk, windows, capsys, monkeypatch):
    monkeypatch.setattr(windows, "monitors", 0)
    with pytest.raises(SystemExit) as raised:
        vk.brightness(50)
    assert raised.value.code == 1 and capsys.readouterr().out == "Error: list index out of range\n"


def test_macos_tool_gets_the_quotient_as_text(vk, answer, tools, capsys):  # noqa: F811
    calls = answer("Linux", "Windows", "macOS")  # the order is Windows, Linux, macOS
    tools("brightness")
    vk.brightness(50)
    vk.brightness(100)
    assert tools.calls("brightness") == [["0.5"], ["1.0"]] and len(calls) == 6
    tools("brightness", status=2)
    with pytest.raises(SystemExit) as raised:
        vk.brightness(30)
    assert raised.value.code == 1
    assert capsys.readouterr().out == "Error: Command '['brightness', '0.3']' returned non-zero exit status 2.\n"
    os.unlink(os.path.join(os.environ["PATH"], "brightness"))
    with pytest.raises(FileNotFoundError):
        vk.brightness(30)


@pytest.mark.parametrize("reply, printed", [("Solaris", "不支持的操作系统\n"), (KeyboardInterrupt(), None),
                                            (LookupError("no shell"), None)])
def test_other_platforms_and_failures_of_the_question(vk, answer, capsys, reply, printed):  # noqa: F811
    calls = answer(reply)
    if printed:
        assert vk.brightness(50) is None and capsys.readouterr().out == printed and len(calls) == 3
    else:
        with pytest.raises(BaseException) as raised:
            vk.brightness(50)
        assert raised.value is reply
