"""WinRightCilck: desktop layout settings in the simulated registry."""

import ctypes

import pytest

import simwin

DESKTOP = r"Software\Microsoft\Windows\Shell\Bags\1\Desktop"
ADVANCED = r"Software\Microsoft\Windows\CurrentVersion\Explorer\Advanced"
NOTIFY = (0x8000000, 0x1000, None, None)
MISSING = "[WinError 2] The system cannot find the file specified"
DENIED = "[WinError 5] Access is denied"
NO_KEY_LINE = "未找到对应的注册表项，请检查路径是否正确。"
NO_RIGHT_LINE = "没有足够的权限修改注册表，请以管理员身份运行程序。"
PREFIX = {
    "auto_arrange": "修改自动排列图标设置时出错: ",
    "grid": "修改将图标与网格对齐设置时出错: ",
    "icon": "修改图标与网格对齐设置时出错: ",
    "desktop_icons": "操作桌面图标显示状态时出错: ",
    "icon_size": "设置桌面图标大小出错: ",
    "defaults": "恢复桌面图标默认设置时出错: ",
    "sort_order": "设置桌面文件排序方式时出错: ",
}
# One ordinary call of each function, with the key it uses.
CALLS = [("auto_arrange", (True,), DESKTOP), ("grid", (True,), DESKTOP), ("icon", (True,), DESKTOP),
         ("desktop_icons", (True,), ADVANCED), ("icon_size", (64,), DESKTOP), ("defaults", (), DESKTOP),
         ("sort_order", ("date",), DESKTOP)]


class RecordingWinreg:
    """The module's winreg, recording OpenKey and SetValueEx calls."""

    def __init__(self, real):
        self.real = real
        self.calls = []

    def __getattr__(self, name):
        value = getattr(self.real, name)
        if name not in ("OpenKey", "SetValueEx"):
            return value

        def record(*args):
            self.calls.append((name, args))
            return value(*args)
        return record


@pytest.fixture
def machine(tmp_path, vk, monkeypatch):
    """A fresh simulated machine; no registry handle may outlive a test."""
    with simwin.isolated(tmp_path / "machine", windows=False) as m:
        yield m
        assert (m.registry.open_handles(), m.registry.dropped_handles) == (0, 0)


@pytest.fixture
def winreg(vk, monkeypatch, machine):
    recorder = RecordingWinreg(vk.winreg)
    monkeypatch.setattr(vk, "winreg", recorder)
    return recorder


def written(winreg):
    """(value name, data) of each SetValueEx call, checking the fixed arguments."""
    out = []
    for name, args in winreg.calls:
        if name == "SetValueEx":
            key, value_name, reserved, typ, data = args
            assert isinstance(key, winreg.real.HKEYType) and (reserved, typ) == (0, winreg.real.REG_DWORD)
            out.append((value_name, data))
    return out


def opened(winreg):
    hkcu, access = winreg.real.HKEY_CURRENT_USER, winreg.real.KEY_ALL_ACCESS
    paths = []
    for name, args in winreg.calls:
        if name == "OpenKey":
            assert (args[0], args[2], args[3]) == (hkcu, 0, access)
            paths.append(args[1])
    return paths


@pytest.mark.parametrize("function, argument, key, values, notified", [
    ("auto_arrange", True, DESKTOP, [("AutoArrange", 0)], False),
    ("auto_arrange", False, DESKTOP, [("AutoArrange", 1)], False),
    ("auto_arrange", 1, DESKTOP, [("AutoArrange", 0)], False),
    ("auto_arrange", "x", DESKTOP, [("AutoArrange", 0)], False),
    ("auto_arrange", [], DESKTOP, [("AutoArrange", 1)], False),
    ("grid", True, DESKTOP, [("SnapToGrid", 0)], False),
    ("grid", False, DESKTOP, [("SnapToGrid", 1)], False),
    ("grid", "on", DESKTOP, [("SnapToGrid", 0)], False),
    ("icon", True, DESKTOP, [("SnapToGrid", 1)], False),
    ("icon", False, DESKTOP, [("SnapToGrid", 0)], False),
    ("icon", 0.0, DESKTOP, [("SnapToGrid", 0)], False),
    ("desktop_icons", True, ADVANCED, [("HideIcons", 0)], True),
    ("desktop_icons", False, ADVANCED, [("HideIcons", 1)], True),
    ("desktop_icons", "yes", ADVANCED, [("HideIcons", 0)], True),
    ("icon_size", 48, DESKTOP, [("IconSize", 48)], True),
    ("icon_size", 256, DESKTOP, [("IconSize", 256)], True),
    ("sort_order", "name", DESKTOP, [("SortDirection", 0), ("SortColumn", 0)], True),
    ("sort_order", "date", DESKTOP, [("SortDirection", 0), ("SortColumn", 2)], True),
    ("sort_order", "size", DESKTOP, [("SortDirection", 0), ("SortColumn", 3)], True),
])
def test_setting_writes_its_values(vk, machine, winreg, capsys, function, argument, key, values, notified):
    assert getattr(vk.WinRightCilck, function)(argument) is None
    assert opened(winreg) == [key]
    assert written(winreg) == values
    for name, data in values:
        assert machine.registry.value(winreg.real.HKEY_CURRENT_USER, key, name) == (data, winreg.real.REG_DWORD)
    assert machine.notifications == ([NOTIFY] if notified else [])
    expected = f"已将桌面文件设置为按 {argument} 排序。\n" if function == "sort_order" else ""
    assert capsys.readouterr().out == expected


def test_defaults_writes_three_values_then_prints_then_notifies(vk, machine, winreg, capsys, monkeypatch):
    seen = []
    monkeypatch.setattr(machine.windll.shell32, "SHChangeNotify",
                        lambda *args: seen.append((args, capsys.readouterr().out)))
    assert vk.WinRightCilck.defaults() is None
    assert written(winreg) == [("IconSize", 32), ("AutoArrange", 1), ("SnapToGrid", 1)]
    assert seen == [(NOTIFY, "已恢复桌面图标的默认设置。\n")]


def test_icon_size_text_reports_the_conversion_error(vk, machine, winreg, capsys):
    vk.WinRightCilck.icon_size("48")
    assert capsys.readouterr().out == PREFIX["icon_size"] + "Could not convert the data to the specified type.\n"
    assert machine.registry.value(winreg.real.HKEY_CURRENT_USER, DESKTOP, "IconSize")[0] == 48
    assert machine.registry.changes == [] and machine.notifications == []


@pytest.mark.parametrize("function, args, key", CALLS)
def test_missing_key(vk, machine, capsys, function, args, key):
    hkcu = 0x80000001
    machine.registry.remove(hkcu, key)
    getattr(vk.WinRightCilck, function)(*args)
    line = NO_KEY_LINE if function in ("auto_arrange", "grid") else PREFIX[function] + MISSING
    assert capsys.readouterr().out == line + "\n"
    assert not machine.registry.key_exists(hkcu, key)
    assert machine.notifications == []


@pytest.mark.parametrize("function, args, key", CALLS)
def test_read_only_key(vk, machine, capsys, function, args, key):
    hkcu = 0x80000001
    machine.registry.set_readonly(hkcu, key)
    before = machine.registry.values(hkcu, key)
    getattr(vk.WinRightCilck, function)(*args)
    line = NO_RIGHT_LINE if function in ("auto_arrange", "grid") else PREFIX[function] + DENIED
    assert capsys.readouterr().out == line + "\n"
    assert machine.registry.values(hkcu, key) == before


@pytest.mark.parametrize("sort_type, line", [
    ("Name", "不支持的排序类型: Name，支持的类型有: name, date, size"),
    (3, "不支持的排序类型: 3，支持的类型有: name, date, size"),
    ([], PREFIX["sort_order"] + "unhashable type: 'list'"),
])
def test_sort_type_is_checked_before_any_key_is_opened(vk, machine, winreg, capsys, sort_type, line):
    vk.WinRightCilck.sort_order(sort_type)
    assert capsys.readouterr().out == line + "\n"
    assert winreg.calls == [] and machine.notifications == []


@pytest.mark.parametrize("entry, values, line", [
    ((1, 4), [("SortDirection", 1), ("SortColumn", 4)], "已将桌面文件设置为按 kind 排序。"),
    ((1,), [], PREFIX["sort_order"] + "not enough values to unpack (expected 2, got 1)"),
    ((1, 2, 3), [], PREFIX["sort_order"] + "too many values to unpack (expected 2)"),
    (5, [], PREFIX["sort_order"] + "cannot unpack non-iterable int object"),
])
def test_sort_type_added_by_the_caller(vk, machine, winreg, capsys, monkeypatch, entry, values, line):
    monkeypatch.setitem(vk.SORT_METHODS, "kind", entry)
    vk.WinRightCilck.sort_order("kind")
    assert written(winreg) == values
    assert capsys.readouterr().out == line + "\n"
    assert opened(winreg) == [DESKTOP]
    vk.WinRightCilck.sort_order("other")
    assert capsys.readouterr().out.endswith("支持的类型有: name, date, size, kind\n")


def test_sort_order_reads_the_module_level_table_at_call_time(vk, machine, winreg, capsys, monkeypatch):
    monkeypatch.setattr(vk, "SORT_METHODS", {"only": (0, 7)})
    vk.WinRightCilck.sort_order("only")
    vk.WinRightCilck.sort_order("name")
    assert written(winreg) == [("SortDirection", 0), ("SortColumn", 7)]
    assert capsys.readouterr().out.splitlines()[1] == "不支持的排序类型: name，支持的类型有: only"


class BadTruth:
    def __init__(self, error):
        self.error = error

    def __bool__(self):
        raise self.error


@pytest.mark.parametrize("function", ["auto_arrange", "grid", "icon", "desktop_icons"])
def test_truth_test_fails_inside_the_frame(vk, machine, winreg, capsys, function):
    getattr(vk.WinRightCilck, function)(BadTruth(ArithmeticError("no truth")))
    assert capsys.readouterr().out == PREFIX[function] + "no truth\n"
    assert len(opened(winreg)) == 1 and written(winreg) == []
    with pytest.raises(KeyboardInterrupt):
        getattr(vk.WinRightCilck, function)(BadTruth(KeyboardInterrupt()))
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("function, args, key", [c for c in CALLS if c[0] in
                                                 ("desktop_icons", "icon_size", "defaults", "sort_order")])
def test_failing_notification_is_reported_after_the_writes(vk, machine, capsys, monkeypatch, function, args, key):
    def refuse(*args):
        raise OSError("shell gone")
    monkeypatch.setattr(machine.windll.shell32, "SHChangeNotify", refuse)
    getattr(vk.WinRightCilck, function)(*args)
    lines = capsys.readouterr().out.splitlines()
    assert lines[-1] == PREFIX[function] + "shell gone"
    assert len(lines) == (2 if function in ("defaults", "sort_order") else 1)
    assert machine.registry.changes


class ClosingFails:
    """A winreg whose keys cannot be closed."""
    HKEY_CURRENT_USER, KEY_ALL_ACCESS, REG_DWORD = 1, 2, 4

    def __init__(self, fail_write):
        self.fail_write = fail_write

    def OpenKey(self, *args):
        return self

    def SetValueEx(self, *args):
        if self.fail_write:
            raise ValueError("write refused")

    def Close(self):
        raise RuntimeError("close refused")


@pytest.mark.parametrize("fail_write", [False, True])
def test_error_of_close_propagates(vk, machine, capsys, monkeypatch, fail_write):
    monkeypatch.setattr(vk, "winreg", ClosingFails(fail_write))
    with pytest.raises(RuntimeError, match="close refused"):
        vk.WinRightCilck.icon(True)
    assert capsys.readouterr().out == (PREFIX["icon"] + "write refused\n" if fail_write else "")


@pytest.mark.parametrize("through, function, args", [("instance", name, args) for name, args, _ in CALLS] + [
    ("class", "defaults", (1,)), ("class", "grid", ()), ("class", "sort_order", ("name", "date"))])
def test_wrong_argument_count_raises_before_anything_runs(vk, machine, winreg, through, function, args):
    owner = vk.WinRightCilck() if through == "instance" else vk.WinRightCilck
    with pytest.raises(TypeError, match=r"^\w+\(\) takes .*argument"):
        getattr(owner, function)(*args)
    assert winreg.calls == [] and machine.registry.changes == []


def test_class_shape(vk):
    cls = vk.WinRightCilck
    assert cls.__bases__ == (object,) and cls.__doc__ is None
    names = ["auto_arrange", "grid", "icon", "desktop_icons", "icon_size", "defaults", "sort_order"]
    assert [n for n in vars(cls) if not n.startswith("__")] == names
    assert [vars(cls)[n].__qualname__ for n in names] == ["WinRightCilck." + n for n in names]
    assert not hasattr(cls, "SORT_METHODS")
    assert (cls.icon_size.__doc__, cls.defaults.__doc__, cls.sort_order.__doc__) == ("设置桌面", "恢复默认", "排序方式")
    assert cls.grid.__doc__ is None
