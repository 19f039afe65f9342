"""WinRightCilck: desktop layout settings in the simulated registry."""

import pytest

import simwin

HKCU = 0x80000001
DESKTOP = r"Software\Microsoft\Windows\Shell\Bags\1\Desktop"
ADVANCED = r"Software\Microsoft\Windows\CurrentVersion\Explorer\Advanced"
NOTIFY = (0x8000000, 0x1000, None, None)
PREFIX = {"auto_arrange": "修改自动排列图标设置时出错: ", "grid": "修改将图标与网格对齐设置时出错: ",
          "icon": "修改图标与网格对齐设置时出错: ", "desktop_icons": "操作桌面图标显示状态时出错: ",
          "icon_size": "设置桌面图标大小出错: ", "defaults": "恢复桌面图标默认设置时出错: ",
          "sort_order": "设置桌面文件排序方式时出错: "}
# One ordinary call of each function and the key it writes.
CALLS = [("auto_arrange", (True,), DESKTOP), ("grid", (True,), DESKTOP), ("icon", (True,), DESKTOP),
         ("desktop_icons", (True,), ADVANCED), ("icon_size", (64,), DESKTOP), ("defaults", (), DESKTOP),
         ("sort_order", ("date",), DESKTOP)]


class RecordingWinreg:
    """The module's winreg, checking and recording OpenKey and SetValueEx."""

    def __init__(self, real):
        self.real, self.opened, self.written = real, [], []

    def __getattr__(self, name):
        return getattr(self.real, name)

    def OpenKey(self, *args):
        assert (args[0], args[2], args[3]) == (HKCU, 0, self.real.KEY_ALL_ACCESS)
        self.opened.append(args[1])
        return self.real.OpenKey(*args)

    def SetValueEx(self, key, name, reserved, typ, data):
        assert isinstance(key, self.real.HKEYType) and (reserved, typ) == (0, self.real.REG_DWORD)
        self.real.SetValueEx(key, name, reserved, typ, data)
        self.written.append((name, data))


@pytest.fixture
def machine(tmp_path):
    """A fresh machine; no registry handle may outlive a test, nor be left
    to the collector instead of Close."""
    with simwin.isolated(tmp_path / "machine", windows=False) as m:
        yield m
        assert (m.registry.open_handles(), m.registry.dropped_handles) == (0, 0)


@pytest.fixture
def winreg(vk, monkeypatch, machine):
    recorder = RecordingWinreg(vk.winreg)
    monkeypatch.setattr(vk, "winreg", recorder)
    return recorder


@pytest.mark.parametrize("function, argument, key, values", [
    ("auto_arrange", True, DESKTOP, [("AutoArrange", 0)]),
    ("auto_arrange", False, DESKTOP, [("AutoArrange", 1)]),
    ("auto_arrange", 1, DESKTOP, [("AutoArrange", 0)]),
    ("auto_arrange", "x", DESKTOP, [("AutoArrange", 0)]),
    ("auto_arrange", [], DESKTOP, [("AutoArrange", 1)]),
    ("grid", True, DESKTOP, [("SnapToGrid", 0)]),
    ("grid", False, DESKTOP, [("SnapToGrid", 1)]),
    ("icon", True, DESKTOP, [("SnapToGrid", 1)]),
    ("icon", 0.0, DESKTOP, [("SnapToGrid", 0)]),
    ("desktop_icons", True, ADVANCED, [("HideIcons", 0)]),
    ("desktop_icons", "yes", ADVANCED, [("HideIcons", 0)]),
    ("desktop_icons", False, ADVANCED, [("HideIcons", 1)]),
    ("icon_size", 48, DESKTOP, [("IconSize", 48)]),
    ("sort_order", "name", DESKTOP, [("SortDirection", 0), ("SortColumn", 0)]),
    ("sort_order", "date", DESKTOP, [("SortDirection", 0), ("SortColumn", 2)]),
    ("sort_order", "size", DESKTOP, [("SortDirection", 0), ("SortColumn", 3)]),
])
def test_setting_writes_its_values(vk, machine, winreg, capsys, function, argument, key, values):
    assert getattr(vk.WinRightCilck, function)(argument) is None
    assert (winreg.opened, winreg.written) == ([key], values)
    assert [machine.registry.value(HKCU, key, name) for name, _ in values] == [(data, 4) for _, data in values]
    notified = function in ("desktop_icons", "icon_size", "sort_order")
    assert machine.notifications == [NOTIFY] * notified
    assert capsys.readouterr().out == (f"已将桌面文件设置为按 {argument} 排序。\n" if function == "sort_order" else "")


def test_defaults_writes_three_values_then_prints_then_notifies(vk, machine, winreg, capsys, monkeypatch):
    seen = []
    monkeypatch.setattr(machine.windll.shell32, "SHChangeNotify",
                        lambda *args: seen.append((args, capsys.readouterr().out)))
    assert vk.WinRightCilck.defaults() is None
    assert winreg.written == [("IconSize", 32), ("AutoArrange", 1), ("SnapToGrid", 1)]
    assert seen == [(NOTIFY, "已恢复桌面图标的默认设置。\n")]


@pytest.mark.parametrize("function, args, key", CALLS)
@pytest.mark.parametrize("state", ["missing", "read-only"])
def test_unusable_key(vk, machine, capsys, function, args, key, state):
    if state == "missing":
        machine.registry.remove(HKCU, key)
        own, text = "未找到对应的注册表项，请检查路径是否正确。", "[WinError 2] The system cannot find the file specified"
    else:
        machine.registry.set_readonly(HKCU, key)
        own, text = "没有足够的权限修改注册表，请以管理员身份运行程序。", "[WinError 5] Access is denied"
    getattr(vk.WinRightCilck, function)(*args)
    assert capsys.readouterr().out == (own if function in ("auto_arrange", "grid") else PREFIX[function] + text) + "\n"
    assert machine.registry.changes == [] and machine.notifications == []


@pytest.mark.parametrize("function, argument, text", [
    ("icon_size", "48", "Could not convert the data to the specified type."),
    ("sort_order", [], "unhashable type: 'list'"),
    ("auto_arrange", type("BadTruth", (), {"__bool__": lambda self: 1 / 0})(), "division by zero"),
    ("desktop_icons", type("BadTruth", (), {"__bool__": lambda self: 1 / 0})(), "division by zero"),
])
def test_failure_is_one_prefixed_line(vk, machine, winreg, capsys, function, argument, text):
    getattr(vk.WinRightCilck, function)(argument)
    assert capsys.readouterr().out == PREFIX[function] + text + "\n"
    assert winreg.written == [] and machine.notifications == []


def test_interrupt_closes_the_key_and_propagates(vk, machine, winreg, capsys):
    class Interrupting:
        def __bool__(self):
            raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        vk.WinRightCilck.grid(Interrupting())
    assert winreg.opened == [DESKTOP] and capsys.readouterr().out == ""


@pytest.mark.parametrize("sort_type", ["Name", 3, "other"])
def test_unsupported_sort_type_opens_no_key(vk, machine, winreg, capsys, sort_type):
    vk.WinRightCilck.sort_order(sort_type)
    assert capsys.readouterr().out == f"不支持的排序类型: {sort_type}，支持的类型有: name, date, size\n"
    assert winreg.opened == [] and machine.notifications == []


@pytest.mark.parametrize("entry, values, line", [
    ((1, 4), [("SortDirection", 1), ("SortColumn", 4)], "已将桌面文件设置为按 kind 排序。"),
    ((1,), [], "not enough values to unpack (expected 2, got 1)"),
    ((1, 2, 3), [], "too many values to unpack (expected 2)"),
    (5, [], "cannot unpack non-iterable int object"),
])
def test_sort_type_added_by_the_caller(vk, machine, winreg, capsys, monkeypatch, entry, values, line):
    monkeypatch.setitem(vk.SORT_METHODS, "kind", entry)
    vk.WinRightCilck.sort_order("kind")
    vk.WinRightCilck.sort_order("other")
    assert (winreg.opened, winreg.written) == ([DESKTOP], values)
    assert capsys.readouterr().out.splitlines() == [line if values else PREFIX["sort_order"] + line,
                                                    "不支持的排序类型: other，支持的类型有: name, date, size, kind"]


@pytest.mark.parametrize("function, args, key", CALLS[3:])
def test_failing_notification_is_reported_after_the_writes(vk, machine, capsys, monkeypatch, function, args, key):
    monkeypatch.setattr(machine.windll.shell32, "SHChangeNotify", lambda *a: 1 / 0)
    getattr(vk.WinRightCilck, function)(*args)
    lines = capsys.readouterr().out.splitlines()
    assert lines[-1] == PREFIX[function] + "division by zero"
    assert len(lines) == 1 + (function in ("defaults", "sort_order")) and machine.registry.changes


@pytest.mark.parametrize("fail_write", [False, True])
def test_error_of_close_propagates(vk, machine, capsys, monkeypatch, fail_write):
    class Key:
        def Close(self):
            raise RuntimeError("close refused")
    fake = type("Winreg", (), {"HKEY_CURRENT_USER": 1, "KEY_ALL_ACCESS": 2, "REG_DWORD": 4,
                               "OpenKey": staticmethod(lambda *a: Key()),
                               "SetValueEx": staticmethod(lambda *a: fail_write and 1 / 0)})
    monkeypatch.setattr(vk, "winreg", fake)
    with pytest.raises(RuntimeError, match="close refused"):
        vk.WinRightCilck.icon(True)
    assert capsys.readouterr().out == (PREFIX["icon"] + "division by zero\n") * fail_write


@pytest.mark.parametrize("through, function, args", [("instance", name, args) for name, args, _ in CALLS] + [
    ("class", "defaults", (1,)), ("class", "grid", ()), ("class", "sort_order", ("name", "date"))])
def test_wrong_argument_count_raises_before_anything_runs(vk, machine, winreg, through, function, args):
    owner = vk.WinRightCilck() if through == "instance" else vk.WinRightCilck
    with pytest.raises(TypeError, match=r"^\w+\(\) takes .*argument"):
        getattr(owner, function)(*args)
    assert winreg.opened == []


def test_class_shape(vk):
    cls, names = vk.WinRightCilck, [name for name, _, _ in CALLS]
    assert cls.__bases__ == (object,) and cls.__doc__ is None and not hasattr(cls, "SORT_METHODS")
    assert [(n, f.__qualname__, f.__doc__) for n, f in vars(cls).items() if not n.startswith("__")] == [
        (n, "WinRightCilck." + n, {"icon_size": "设置桌面", "defaults": "恢复默认", "sort_order": "排序方式"}.get(n))
        for n in names]
