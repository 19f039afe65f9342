"""File-type associations: the simulated registry on Windows, a duti stand-in
for macOS, and the real xdg-mime and mimeapps.list on this Linux host."""

import os
import pathlib
import stat
import subprocess
import sys
import tempfile

import pytest

import confinement
from conftest import REPO

HKCR = 0x80000000
LIST = ".local/share/applications/mimeapps.list"
NAMES = (".velka", "VelkaFile", ".new", "NewType")


@pytest.fixture
def answer(vk, monkeypatch):
    """Replaces the module-level system; returns the list of its calls."""
    def use(*answers):
        calls = []

        def system():
            calls.append(None)
            reply = answers[min(len(calls), len(answers)) - 1]
            if isinstance(reply, BaseException):
                raise reply
            return reply
        monkeypatch.setattr(vk, "system", system)
        return calls
    return use


@pytest.fixture
def tools(tmp_path, monkeypatch):
    """Stand-in programs on PATH that log their arguments; PATH holds only them."""
    folder = tmp_path / "bin"
    folder.mkdir()
    monkeypatch.setenv("PATH", str(folder))

    def make(name, status=0, output=""):
        script = folder / name
        script.write_text(f"#!/bin/sh\nprintf '%s|' \"$@\" >> '{folder}/{name}.log'\necho >> '{folder}/{name}.log'\n"
                          f"printf '{output}'\nexit {status}\n")
        script.chmod(0o755)
    make.calls = lambda name: [line.split("|")[:-1] for line in (folder / f"{name}.log").read_text().splitlines()] \
        if (folder / f"{name}.log").exists() else []
    return make


@pytest.fixture
def home(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    (tmp_path / LIST).parent.mkdir(parents=True)
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(scratch))  # where the query's empty file is made
    return tmp_path


@pytest.fixture
def registry(vk, windows, monkeypatch):
    """The simulated registry with every handle the module opens and closes logged."""
    reg = windows.registry
    reg.opened, reg.closed, start = [], [], len(reg.changes)
    for name in ("CreateKey", "OpenKey"):
        real = getattr(vk.winreg, name)
        monkeypatch.setattr(vk.winreg, name, lambda *a, real=real: reg.opened.append(real(*a)) or reg.opened[-1])
    close = vk.winreg.CloseKey
    monkeypatch.setattr(vk.winreg, "CloseKey", lambda h: reg.closed.append(h) or close(h))
    reg.written = lambda: {c[1].split("\\", 1)[1]: c[3] for c in reg.changes[start:] if c[0] == "set value"}
    reg.present = lambda: sorted(n for n in reg.subkeys(HKCR) if n in NAMES)
    yield reg
    reg.set_readonly(HKCR, "", False)
    for name in reg.present():
        reg.remove(HKCR, name)
    assert not any(reg.opened), "a registry handle was left open"


def test_argument_checks_come_before_the_platform(vk, answer, capsys):
    calls = answer("Linux")
    assert vk.increase() is None and vk.modify(".a", "A") is None
    assert capsys.readouterr().out == "Error: 至少需要提供一个参数\nError: 至少需要提供一个新参数进行修改\n"
    assert calls == []


@pytest.mark.parametrize("call, asked", [("increase('.a', 'A', 'i', 'p')", 2), ("delete('.a', 'A')", 2),
                                         ("modify('.a', 'A', '.b')", 4)])  # modify's increase asks again
def test_system_is_asked_for_each_comparison(vk, answer, tools, call, asked):
    calls = answer("Solaris")
    assert eval("vk." + call) is None and len(calls) == 3
    tools("duti")
    calls = answer("Linux", "macOS")  # the second answer decides
    eval("vk." + call)
    assert len(calls) == asked and tools.calls("duti")


@pytest.mark.parametrize("error, wrapped", [(KeyboardInterrupt(), False), (LookupError("no shell"), True)])
@pytest.mark.parametrize("name", ["increase", "delete", "modify"])
def test_platform_failures(vk, answer, name, error, wrapped):
    answer(error)
    with pytest.raises(BaseException) as raised:
        getattr(vk, name)(".a", "A", *[".b"][:name != "delete"])
    wrap = wrapped and name == "increase"  # only increase guards the question
    assert (raised.value.args == ("increase Error:", error)) if wrap else raised.value is error


# -- Windows -------------------------------------------------------------------

@pytest.mark.parametrize("args, written, printed", [
    ((".velka", "VelkaFile", "C:/icons/v.ico", pathlib.PureWindowsPath("C:/Program Files/V/v.exe")),
     {"VelkaFile": "Custom File", r"VelkaFile\DefaultIcon": "C:/icons/v.ico",
      r"VelkaFile\shell\open\command": r'"C:\Program Files\V\v.exe" "%1"', ".velka": "VelkaFile"}, ""),
    ((".velka",), {}, ""),
    (("",), {}, ""),
    ((None, "VelkaFile"), {"VelkaFile": "Custom File"}, ""),
    ((".velka", "VelkaFile", "", "v.exe"), {"VelkaFile": "Custom File", r"VelkaFile\shell\open\command": '"v.exe" "%1"',
                                              ".velka": "VelkaFile"}, ""),
    ((".velka", "VelkaFile", 5), {"VelkaFile": "Custom File"}, "Error: SetValue() argument 4 must be str, not int\n"),
    ("read-only", {}, "Error: [WinError 5] Access is denied\n"),
    ("read-only but the type", {"VelkaFile": "Custom File", r"VelkaFile\DefaultIcon": "i",
                                r"VelkaFile\shell\open\command": '"v.exe" "%1"'}, "Error: [WinError 5] Access is denied\n"),
])
def test_increase_writes_what_it_can_and_reports_the_rest(vk, registry, capsys, args, written, printed):
    if isinstance(args, str):
        if args.endswith("type"):
            registry.create(HKCR, "VelkaFile")
            registry.set_readonly(HKCR, "VelkaFile", False)
        registry.set_readonly(HKCR, "")
        args = (".velka", "VelkaFile", "i", "v.exe")
    assert vk.increase(*args) is None
    assert list(registry.written().items()) == list(written.items())  # in this order
    assert capsys.readouterr().out == printed
    assert registry.closed == registry.opened


def after_second_call(real, error):
    """real, raising `error` once its second call has run."""
    calls = []

    def wrapper(*args):
        calls.append(args)
        result = real(*args)
        if len(calls) == 2:
            raise error
        return result
    return wrapper


@pytest.mark.parametrize("failing, error", [("SetValue", KeyboardInterrupt()), ("CloseKey", OSError("closing"))])
def test_handles_are_closed_whatever_fails(vk, registry, monkeypatch, failing, error):
    monkeypatch.setattr(vk.winreg, failing, after_second_call(getattr(vk.winreg, failing), error))
    with pytest.raises(BaseException) as raised:
        vk.increase(".velka", "VelkaFile", "i", "v.exe")
    assert raised.value is error if failing == "SetValue" else raised.value.args == ("increase Error:", error)
    assert len(registry.opened) == (2 if failing == "SetValue" else 4) and registry.closed == registry.opened


@pytest.mark.parametrize("keys, printed", [
    ("written by increase", ""),
    ("type only", ""),
    ("none", "Error: delete Error: 文件不存在\n"),
    ("extension only", "Error: delete Error: 文件不存在\n"),
    ("read-only extension", "Error: [WinError 5] Access is denied\n"),
    ("a type that opens the root", "Error: [WinError 5] Access is denied\n"),
])
def test_delete_undoes_increase(vk, registry, capsys, keys, printed):
    if keys.endswith("root"):
        # Whatever the root held before (other tests' keys too) stays.
        before = set(registry.subkeys(HKCR))
        vk.increase(".velka", "VelkaFile", "i", "v.exe")
        assert vk.delete("", "") is None and vk.delete(".none", None) is None
        assert capsys.readouterr().out == printed * 2
        assert set(registry.subkeys(HKCR)) == before | {".velka", "VelkaFile"} >= {".txt", "txtfile"}
        return
    if keys in ("written by increase", "read-only extension"):
        vk.increase(".velka", "VelkaFile", "i", "v.exe")
    if keys == "type only" or keys == "extension only":
        registry.create(HKCR, keys == "type only" and "VelkaFile" or ".velka")
    if keys.startswith("read-only"):
        registry.set_readonly(HKCR, ".velka")
    assert vk.delete(".velka", "VelkaFile") is None
    assert capsys.readouterr().out == printed
    assert registry.present() == ([".velka", "VelkaFile"] if keys.startswith("read-only") else [])


def remove_below(winreg, parent):
    """The keys below `parent` removed, deepest first, as a recursive def does it."""
    while True:
        try:
            name = winreg.EnumKey(parent, 0)
        except OSError as e:
            if e.winerror == 259:
                return
            raise
        child = winreg.OpenKey(parent, name, 0, winreg.KEY_ALL_ACCESS)
        try:
            remove_below(winreg, child)
            winreg.DeleteKey(child, "")
        finally:
            winreg.CloseKey(child)


def delete_as_a_def(winreg, file_extension, file_type):
    try:
        try:
            ext_key = winreg.OpenKey(winreg.HKEY_CLASSES_ROOT, file_extension, 0, winreg.KEY_ALL_ACCESS)
            try:
                winreg.DeleteKey(ext_key, "")
            finally:
                winreg.CloseKey(ext_key)
        except FileNotFoundError:
            pass
        try:
            key = winreg.OpenKey(winreg.HKEY_CLASSES_ROOT, file_type, 0, winreg.KEY_ALL_ACCESS)
            try:
                remove_below(winreg, key)
                winreg.DeleteKey(key, "")
            finally:
                winreg.CloseKey(key)
        except FileNotFoundError:
            raise Exception("delete Error: 文件不存在")
    except Exception as e:
        print("Error: " + str(e))


TREE = ["DefaultIcon", r"shell\open\command", r"shell\edit\command", r"shell\print", r"Z\a\b\c\d", r"Z\a\e"]


@pytest.mark.parametrize("read_only, fails", [
    (None, None),
    (r"shell\edit", None),
    (r"Z\a\b\c\d", None),
    (None, ("EnumKey", 6, KeyboardInterrupt())),
    (None, ("OpenKey", 4, OSError(6, "The handle is invalid"))),
    (None, ("CloseKey", 2, OSError("closing"))),
    (None, ("DeleteKey", 3, KeyboardInterrupt())),
])
def test_sub_keys_go_as_a_recursive_def_removes_them(vk, registry, monkeypatch, capsys, read_only, fails):
    calls = []

    def shown(key):
        if isinstance(key, int):
            return "HKCR"
        handle = registry.handles.get(key.handle)
        return handle.key.path if handle else "closed"

    def logged(name, real):
        def call(key, *args):
            calls.append((name, shown(key), *args))
            failing = fails and fails[0] == name and sum(c[0] == name for c in calls) == fails[1]
            if failing and name != "CloseKey":  # a failed close still closes
                raise fails[2]
            result = real(key, *args)
            if failing:
                raise fails[2]
            return result
        return call
    for name in ("EnumKey", "OpenKey", "DeleteKey", "CloseKey"):
        monkeypatch.setattr(vk.winreg, name, logged(name, getattr(vk.winreg, name)))

    def run(delete):
        for path in TREE:
            registry.create(HKCR, "VelkaFile\\" + path)
        if read_only:
            registry.set_readonly(HKCR, "VelkaFile\\" + read_only)
        calls.clear()
        try:
            outcome = delete(".velka", "VelkaFile")
        except BaseException as e:
            outcome = e
        left = sorted(k.path for k in registry.handles.values() if k.key.path.startswith("HKEY_CLASSES_ROOT\\Velka"))
        tree, keys = [], [registry.root(HKCR).child("VelkaFile")]
        while keys:
            key = keys.pop()
            if key:
                tree.append(key.path)
                keys.extend(key.children.values())
        if read_only:
            registry.set_readonly(HKCR, "VelkaFile\\" + read_only, False)
        if "VelkaFile" in registry.present():
            registry.remove(HKCR, "VelkaFile")
        return list(calls), outcome, capsys.readouterr().out, left, tree
    ours, model = run(vk.delete), run(lambda *a: delete_as_a_def(vk.winreg, *a))
    assert ours == model
    assert ours[3] == [] and (ours[4] == []) == (not read_only and not fails)  # no handle left open


@pytest.mark.parametrize("old, new, present", [
    ((".velka", "VelkaFile"), (".new", "NewType", None, "n.exe"), [".new", "NewType"]),
    ((".velka", None), (".new", "NewType"), [".new", ".velka", "NewType", "VelkaFile"]),
    ((".missing", "Missing"), (".new", "NewType"), [".new", ".velka", "NewType", "VelkaFile"]),
    ((".velka", "VelkaFile"), (".new",), []),
])
def test_modify_replaces_one_association_by_another(vk, registry, capsys, old, new, present):
    vk.increase(".velka", "VelkaFile", "i", "v.exe")
    assert vk.modify(*old, *new) is None
    assert registry.present() == present and capsys.readouterr().out == ""


def test_modify_wraps_what_fails(vk, registry, monkeypatch):
    vk.increase(".velka", "VelkaFile", "i", "v.exe")
    registry.set_readonly(HKCR, "VelkaFile")
    monkeypatch.setattr(vk, "increase", lambda *a: pytest.fail("registered after a failed removal"))
    with pytest.raises(Exception) as raised:
        vk.modify(".velka", "VelkaFile", ".new", "NewType")
    assert raised.value.args[0] == "modify Error:" and isinstance(raised.value.args[1], PermissionError)
    registry.set_readonly(HKCR, "VelkaFile", False)

    def refuse(*args):
        raise ValueError(args)
    monkeypatch.setattr(vk, "increase", refuse)
    with pytest.raises(Exception) as raised:
        vk.modify(".velka", "VelkaFile", ".new", "NewType")
    assert raised.value.args[0] == "modify Error:" and raised.value.args[1].args == ((".new", "NewType", None, None),)
    assert registry.present() == []


# -- macOS ---------------------------------------------------------------------

@pytest.mark.parametrize("call, commands", [
    ("increase('.abc', 'T', 'i.icns', '/Applications/A.app')", [["-s", "/Applications/A.app", ".abc"]]),
    ("increase('.abc', 'T', 'i.icns')", []),
    ("delete('.abc', 'T')", [["-d", ".abc"]]),
    ("delete('', 'T')", []),
    ("modify('.old', None, '.new', None, None, '/A.app')", [["-d", ".old"], ["-s", "/A.app", ".new"]]),
    ("modify(None, None, '.new', None, None, '/A.app')", [["-s", "/A.app", ".new"]]),
])
def test_duti_command_lines(vk, answer, tools, call, commands):
    answer("macOS")
    tools("duti")
    assert eval("vk." + call) is None and tools.calls("duti") == commands


def test_duti_failures(vk, answer, tools, capsys):
    answer("macOS")
    tools("duti", status=3)
    assert vk.increase(".abc", None, None, "/A.app") is None
    assert capsys.readouterr().out == ("Error: Command '['duti', '-s', '/A.app', '.abc']' returned non-zero exit "
                                       "status 3.\n")
    for name, args in (("delete", (".abc", None)), ("modify", (".abc", None, ".new", None, None, "/A.app"))):
        with pytest.raises(Exception) as raised:
            getattr(vk, name)(*args)
        assert raised.value.args[0] == name + " Error:"
        assert isinstance(raised.value.args[1], subprocess.CalledProcessError)
    assert len(tools.calls("duti")) == 3  # modify registered nothing after the failure


@pytest.mark.parametrize("platform, tool", [("macOS", "duti"), ("Linux", "xdg-mime")])
def test_a_missing_tool(vk, home, answer, tools, platform, tool):
    answer(platform)
    with pytest.raises(Exception) as raised:
        vk.increase(".txt", None, None, "/usr/bin/ed")
    assert raised.value.args[0] == "increase Error:" and isinstance(raised.value.args[1], FileNotFoundError)
    for call in (lambda: vk.delete(".txt", None), lambda: vk.modify(".txt", None, ".txt", None, None, "/usr/bin/ed")):
        with pytest.raises(FileNotFoundError):
            call()
    assert os.listdir(home / "scratch") == [] and not (home / LIST).exists()


# -- Linux, with the real xdg-mime ---------------------------------------------

def real_answer(extension, folder):
    """What xdg-mime itself says about an empty file of that name."""
    (folder / ("test" + extension)).touch()
    return subprocess.run(["xdg-mime", "query", "filetype", str(folder / ("test" + extension))],
                          capture_output=True, text=True, check=True).stdout.strip()


@pytest.mark.parametrize("extension, mime_type", [(".txt", "text/plain"), (".png", "image/png"),
                                                  (".svg", "image/svg+xml"), (".html", None)])
def test_increase_appends_the_entry_for_the_mime_type_of_the_extension(vk, home, tmp_path, extension, mime_type):
    mime_type = mime_type or real_answer(extension, tmp_path)
    vk.increase(extension, "Ignored", "ignored.png", pathlib.PurePosixPath("/usr/bin/velka viewer"))
    assert (home / LIST).read_text() == f"[Default Applications]\n{mime_type}=/usr/bin/velka viewer\n"
    assert os.listdir(home / "scratch") == []  # the empty file and its folder are gone


USER_LIST = (b"[Default Applications]\ntext/plain=mousepad.desktop\napplication/octet-stream=ghex.desktop\n\n"
             b"[Added Associations]\ntext/plain=gedit.desktop;vim.desktop;\napplication/octet-stream=xxd.desktop;\n")


@pytest.mark.parametrize("call, printed, appended", [
    ("increase('.velkaunknown', 'XyzFile', None, '/opt/xyz/xyzview')", 1, b""),
    ("delete('.velkaunknown', 'XyzFile')", 0, b""),
    ("modify('.velkaunknown', None, '.velkaother', None, None, '/opt/xyz/xyzview')", 1, b""),
    # The old type is not the extension's own: nothing is removed, the new one is registered.
    ("modify('.velkaunknown', None, '.txt', None, None, '/usr/bin/ed')", 0,
     b"[Default Applications]\ntext/plain=/usr/bin/ed\n"),
])
def test_an_extension_the_mime_database_does_not_know_takes_over_no_type(vk, home, capsys, call, printed, appended):
    (home / LIST).write_bytes(USER_LIST)
    assert eval("vk." + call) is None
    assert (home / LIST).read_bytes() == USER_LIST + appended
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == printed and all(line.startswith("Error: ") for line in lines)
    if printed:  # xdg-mime answered from the content: text for the empty file, bytes for the other
        assert "'text/plain'" in lines[0] and "'application/octet-stream'" in lines[0]
    assert os.listdir(home / "scratch") == []


WITHOUT_TEXT = (b"[Default Applications]\napplication/octet-stream=ghex.desktop\n\n"
                b"[Added Associations]\napplication/octet-stream=xxd.desktop;\n")


class Untextable:
    def __str__(self):
        raise ValueError("no text for this program")


@pytest.mark.parametrize("old, new, after, registered, printed", [
    # What increase would refuse is refused before the old lines go.
    (".txt", (".xyz", None, None, "/opt/xyz/view"), USER_LIST, False, True),
    (".txt", (".png", None, None, "/usr/bin/eog\nimage/png=/usr/bin/evil"), USER_LIST, False, True),
    (".txt", (".png", None, None, Untextable()), USER_LIST, False, True),
    # Everything else as before.
    (".txt", (".png", None, None, "/usr/bin/eog"), WITHOUT_TEXT + b"[Default Applications]\nimage/png=/usr/bin/eog\n",
     True, False),
    (".txt", (".xyz",), WITHOUT_TEXT, True, False),  # no program: increase asks and writes nothing
    (".txt", (None, None, None, "/opt/xyz/view"), WITHOUT_TEXT, True, False),
    (None, (".xyz", None, None, "/opt/xyz/view"), USER_LIST, True, True),  # nothing to remove: increase reports
], ids=["type-from-content", "program-with-line-break", "program-without-text", "known-type", "no-program",
        "no-new-extension", "no-old-extension"])
def test_modify_on_linux_changes_all_or_nothing(vk, home, monkeypatch, capsys, old, new, after, registered, printed):
    (home / LIST).write_bytes(USER_LIST)
    increase, calls = vk.increase, []
    monkeypatch.setattr(vk, "increase", lambda *args: calls.append(args) or increase(*args))
    assert vk.modify(old, None, *new) is None
    assert (home / LIST).read_bytes() == after
    assert calls == ([(new + (None,) * 3)[:4]] if registered else [])
    out = capsys.readouterr().out
    if printed:  # the one line increase prints for the same entry
        assert increase(*new) is None and (home / LIST).read_bytes() == after
        assert out == capsys.readouterr().out and out.startswith("Error: ") and out.count("\n") == 1
    else:
        assert out == ""
    assert os.listdir(home / "scratch") == []


def test_entries_are_appended_and_removed_line_by_line(vk, home, tmp_path):
    target = tmp_path / "dotfiles" / "mimeapps.list"  # a linked list is rewritten where it lives
    target.parent.mkdir()
    before = ["[Default Applications]", "text/plain=old.desktop", "", "image/png=eog.desktop", "# text/plain=kept"]
    target.write_text("\n".join(before) + "\n")
    target.chmod(0o640)
    (home / LIST).symlink_to(target)
    entry = ["[Default Applications]", "text/plain=/usr/bin/ed"]
    vk.increase(".txt", None, None, "/usr/bin/ed")
    vk.increase(".txt", None, None, "/usr/bin/ed")
    assert target.read_text().splitlines() == before + entry + entry
    vk.delete(".txt", None)
    assert target.read_text().splitlines() == [before[0], before[2], before[3], before[4], entry[0], entry[0]]
    vk.modify(".png", None, ".png", None, None, "/usr/bin/gimp")
    assert target.read_text().splitlines() == [before[0], before[2], before[4], entry[0], entry[0],
                                               "[Default Applications]", "image/png=/usr/bin/gimp"]
    assert (home / LIST).is_symlink() and target.stat().st_mode & 0o777 == 0o640
    assert sorted(os.listdir(target.parent)) == ["mimeapps.list"]


ENTRY = b"[Default Applications]\ntext/plain=/usr/bin/ed\n"


@pytest.mark.parametrize("call", ["increase('.txt', None, None, '/usr/bin/ed')",
                                  "modify('.png', None, '.txt', None, None, '/usr/bin/ed')"])
@pytest.mark.parametrize("before, separator", [
    (b"", b""),
    (b"[Default Applications]\ntext/html=firefox.desktop", b"\n"),
    (b"[Added Associations]\ntext/plain=gedit.desktop;\n", b""),
    (b"[Default Applications]\r\ntext/html=firefox.desktop\r\n", b""),
    (b"[Default Applications]\ntext/html=firefox.desktop\r", b"\n"),  # a lone CR ends no line
])
def test_the_appended_block_starts_on_a_line_of_its_own(vk, home, call, before, separator):
    (home / LIST).write_bytes(before)
    eval("vk." + call)
    assert (home / LIST).read_bytes() == before + separator + ENTRY


@pytest.mark.parametrize("call", ["delete('.txt', None)", "modify('.txt', None, '.txt')"])
@pytest.mark.parametrize("before, after", [
    (b"[Default Applications]\r\n"
     b"text/plain=old.desktop\r\n"
     b"image/png=eog.desktop\rtext/plain=inside.desktop\n"  # one line: a lone CR does not split it
     b"# caf\xe9 \xe4\xb8\xad\r\n"  # bytes of two encodings
     b"\r\n"
     b"[Added Associations]\n"
     b"text/plain=gedit.desktop;\r\n"
     b" text/plain=indented.desktop\n"
     b"application/json=code.desktop",
     b"[Default Applications]\r\n"
     b"image/png=eog.desktop\rtext/plain=inside.desktop\n"
     b"# caf\xe9 \xe4\xb8\xad\r\n"
     b"\r\n"
     b"[Added Associations]\n"
     b" text/plain=indented.desktop\n"
     b"application/json=code.desktop"),
    (b"[Default Applications]\ntext/plain=last.desktop", b"[Default Applications]\n"),
    # An entry with nothing after "=", last in the file, with and without its line end.
    (b"image/png=eog.desktop\ntext/plain=", b"image/png=eog.desktop\n"),
    (b"image/png=eog.desktop\ntext/plain=\n", b"image/png=eog.desktop\n"),
    (b"image/png=eog.desktop\ntext/plain=\r\n", b"image/png=eog.desktop\n"),
    (b"image/png=eog.desktop\ntext/plain", b"image/png=eog.desktop\ntext/plain"),  # no "=": not an entry
    (b"text/plain=a\r\ntext/plain=b\r\n", b""),
])
def test_the_rewrite_keeps_every_other_line_byte_for_byte(vk, home, capsys, call, before, after):
    (home / LIST).write_bytes(before)
    assert eval("vk." + call) is None
    assert (home / LIST).read_bytes() == after
    assert capsys.readouterr().out == "" and os.listdir(home / LIST.rsplit("/", 1)[0]) == ["mimeapps.list"]


@pytest.mark.parametrize("mode", [0o4640, 0o2640, 0o1640, 0o7755])
def test_the_rewrite_keeps_the_special_mode_bits(vk, home, mode):
    path = home / LIST
    path.write_bytes(b"[Default Applications]\ntext/plain=a\nimage/png=b\n")
    path.chmod(mode)
    assert stat.S_IMODE(path.stat().st_mode) == mode  # the system took all the bits
    vk.delete(".txt", None)
    assert path.read_bytes() == b"[Default Applications]\nimage/png=b\n"
    assert stat.S_IMODE(path.stat().st_mode) == mode


@pytest.mark.parametrize("layout, printed, error", [
    ("no folder", "Error: [Errno 2] No such file or directory: '{}'", FileNotFoundError),
    ("no file", None, FileNotFoundError),
    ("a folder in its place", "Error: [Errno 21] Is a directory: '{}'", IsADirectoryError),
])
def test_a_list_that_cannot_be_used(vk, home, capsys, layout, printed, error):
    path = home / LIST
    if layout == "no folder":
        path.parent.rmdir()
    elif layout == "a folder in its place":
        path.mkdir()
    before = path.read_bytes() if path.is_file() else None
    if printed:
        vk.increase(".txt", None, None, "/usr/bin/ed")
        assert capsys.readouterr().out == printed.format(path) + "\n"
    for name, args in (("delete", (".txt", None)), ("modify", (".txt", None, ".txt", None, None, "/usr/bin/ed"))):
        with pytest.raises(Exception) as raised:
            getattr(vk, name)(*args)
        assert raised.value.args[0] == name + " Error:" and type(raised.value.args[1]) is error
    assert (path.read_bytes() if path.is_file() else None) == before  # modify registered nothing


READ_ONLY = """
import os, simwin
simwin.activate(windows=False)
import velka_code as vk
folder = os.path.join(os.environ["HOME"], ".local/share/applications")
os.makedirs(folder)
with open(folder + "/mimeapps.list", "w") as f:
    f.write("[Default Applications]\\ntext/plain=a\\n")
os.chmod(folder + "/mimeapps.list", 0o444)
vk.increase(".txt", None, None, "/usr/bin/ed")
for call in (lambda: vk.delete(".txt", None), lambda: vk.modify(".txt", None, ".txt", None, None, "/usr/bin/ed")):
    try:
        call()
    except Exception as e:
        print(e.args[0], type(e.args[1]).__name__)
print(repr(open(folder + "/mimeapps.list").read()), os.listdir(folder))
"""


def test_a_read_only_list_is_refused(tmp_path):
    # Root may write any file: the child runs without root's rights, with
    # a home (and temporary files) of its own.
    prefix = confinement.command_prefix()
    if prefix is None:
        pytest.skip("tests run as root and setpriv is missing")
    home = tmp_path / "home"
    home.mkdir()
    confinement.hand_over(home)
    paths = [REPO, *map(os.path.abspath, filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep)))]
    out = subprocess.run([*prefix, sys.executable, "-c", READ_ONLY], capture_output=True, text=True, timeout=120,
                         cwd=home, env=dict(os.environ, PYTHONPATH=os.pathsep.join(paths), HOME=str(home),
                                            TMPDIR=str(home)))
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0].startswith("Error: [Errno 13] Permission denied: '/") and lines[0].endswith("/mimeapps.list'")
    assert lines[1:] == ["delete Error: PermissionError", "modify Error: PermissionError",
                         "'[Default Applications]\\ntext/plain=a\\n' ['mimeapps.list']"]
    assert os.listdir(home) == [".local"]  # nothing else left in the child's home and temporary folder


class FailingReplace:
    """os, whose replace fails with the given error."""

    def __init__(self, error):
        self.error = error

    def replace(self, *args):
        raise self.error

    def __getattr__(self, name):
        return getattr(os, name)


@pytest.mark.parametrize("error", [OSError(28, "No space left on device"), KeyboardInterrupt()])
@pytest.mark.parametrize("name", ["delete", "modify"])
def test_a_failed_rewrite_leaves_the_list_as_it_was(vk, home, monkeypatch, name, error):
    path = home / LIST
    path.write_bytes(b"[Default Applications]\ntext/plain=a\r\nimage/png=b\n")
    monkeypatch.setattr(vk, "os", FailingReplace(error))
    with pytest.raises(BaseException) as raised:
        getattr(vk, name)(".txt", None, *[".txt", None, None, "/usr/bin/ed"][:4 * (name == "modify")])
    assert raised.value is error or raised.value.args == (name + " Error:", error)
    assert path.read_bytes() == b"[Default Applications]\ntext/plain=a\r\nimage/png=b\n"
    assert os.listdir(path.parent) == ["mimeapps.list"]


@pytest.mark.parametrize("output, program, printed", [
    ("", "/usr/bin/ed", "Error: xdg-mime 没有给出可用的 MIME 类型: ''"),
    ("text/plain\\nimage/png", "/usr/bin/ed", "Error: xdg-mime 没有给出可用的 MIME 类型: 'text/plain\\nimage/png'"),
    ("no type here", "/usr/bin/ed", "Error: xdg-mime 没有给出可用的 MIME 类型: 'no type here'"),
    ("text/plain/x", "/usr/bin/ed", "Error: xdg-mime 没有给出可用的 MIME 类型: 'text/plain/x'"),
    ("text/plain", "/usr/bin/ed\nimage/png=/usr/bin/evil", "Error: 关联的程序路径不能包含换行符"),
])
def test_nothing_is_written_or_removed_for_an_unusable_entry(vk, home, answer, tools, capsys, output, program, printed):
    answer("Linux")
    tools("xdg-mime", output=output)
    text = "[Default Applications]\n=empty\ntext/plain=a\n"
    (home / LIST).write_text(text)
    vk.increase(".txt", None, None, program)
    if "\n" not in program:  # delete does not look at a program
        vk.delete(".txt", None)
    vk.modify(".txt", None, ".txt", None, None, program)
    assert (home / LIST).read_text() == text
    assert set(capsys.readouterr().out.splitlines()) == {printed}
    question = tools.calls("xdg-mime")[0]
    assert question[:2] == ["query", "filetype"] and question[2].startswith(str(home / "scratch"))
    assert os.path.basename(question[2]) == "test.txt" and os.listdir(home / "scratch") == []
