"""Path, directory and user-folder helpers on real files."""

import os
import stat
import types

import pytest

from conftest import run_python


def test_forwarders_return_none_or_the_result(vk, tmp_path, restore_cwd):
    f = tmp_path / "a.txt"
    f.write_text("hello")
    assert vk.exists(str(f)) is True and vk.exists(str(tmp_path / "missing")) is False
    assert vk.file(str(f)) is True and vk.idir(str(f)) is False and vk.idir(tmp_path) is True
    assert vk.dirlist(str(tmp_path)) == ["a.txt"]
    assert vk.name(str(f), str(tmp_path / "b.txt")) is None
    assert sorted(os.listdir(tmp_path)) == ["b.txt"]
    assert vk.mkdir(str(tmp_path / "d")) is None and (tmp_path / "d").is_dir()
    assert vk.chdir(str(tmp_path / "d")) is None
    assert os.getcwd() == str(tmp_path / "d")
    assert vk.abspath("x") == os.path.join(str(tmp_path / "d"), "x")
    assert vk.cwdbytes() == os.fsencode(str(tmp_path / "d"))
    assert vk.remove(str(tmp_path / "b.txt")) is None and not (tmp_path / "b.txt").exists()
    # bytes and path-like objects pass through untouched
    assert vk.exists(os.fsencode(str(tmp_path))) is True
    assert vk.join(b"a", b"b") == b"a/b"


def test_removedir_removes_emptied_parents(vk, tmp_path, restore_cwd):
    os.chdir(tmp_path)
    os.makedirs("one/two/three")
    assert vk.removedir("one/two/three") is None
    assert os.listdir(tmp_path) == []
    os.makedirs("x/y")
    (tmp_path / "x" / "y" / "keep").write_text("")
    with pytest.raises(OSError):
        vk.removedir("x/y")


@pytest.mark.parametrize("call, error", [
    (lambda vk, d: vk.remove(str(d / "missing")), FileNotFoundError),
    (lambda vk, d: vk.mkdir(str(d)), FileExistsError),
    (lambda vk, d: vk.dirlist(str(d / "missing")), FileNotFoundError),
    (lambda vk, d: vk.chdir(str(d / "missing")), FileNotFoundError),
    (lambda vk, d: vk.join(), TypeError),
    (lambda vk, d: vk.exists(1.5), TypeError),
])
def test_errors_of_the_forwarded_call_propagate(vk, tmp_path, call, error):
    with pytest.raises(error) as info:
        call(vk, tmp_path)
    assert type(info.value) is error


def test_pathq_and_permissions(vk, tmp_path):
    f = tmp_path / "f"
    f.write_text("x")
    assert vk.pathq(str(f), vk.READ) is True
    assert vk.pathq(str(f), vk.READ | vk.WRITE) is True
    assert vk.pathq(str(tmp_path / "missing"), vk.READ) is False
    assert vk.permissions(str(f), 0o444) is None
    assert stat.S_IMODE(f.stat().st_mode) == 0o444


def test_forwarders_look_up_os_at_call_time(vk, monkeypatch):
    seen = []
    monkeypatch.setattr(vk.os, "remove", lambda path: seen.append(path))
    vk.remove("nowhere")
    assert seen == ["nowhere"]


def _module(name, **attributes):
    module = types.ModuleType(name)
    vars(module).update(attributes)
    return module


def _answer(label):
    return types.SimpleNamespace(exists=lambda path: (label, path))


class _PathProperty(types.ModuleType):
    @property
    def path(self):
        return _answer("a property")


def _moved_class(vk, monkeypatch, path):
    # Only the class changes, not the module's dict: its property now
    # answers before the dict.
    fresh = _module("os", path=os.path)
    monkeypatch.setattr(vk, "os", fresh)
    vk.exists(path)
    fresh.__class__ = _PathProperty
    return "a property"


def _getattr_instead(vk, monkeypatch, path):
    fresh = _module("os", path=os.path)
    monkeypatch.setattr(vk, "os", fresh)
    vk.exists(path)
    del fresh.path
    fresh.__getattr__ = lambda name: _answer("module __getattr__")
    return "module __getattr__"


# Each change is made after the path was read, so that it may have been
# remembered; the next call must see it, and the call after undoing it
# the original.
@pytest.mark.parametrize("change", [
    lambda vk, mp, path: mp.setattr(os.path, "exists", _answer("function").exists) or "function",
    lambda vk, mp, path: mp.setattr(os, "path", _module("p", exists=_answer("os.path").exists)) or "os.path",
    lambda vk, mp, path: mp.setattr(vk, "os", _module("o", path=_module("p", exists=_answer("os").exists))) or "os",
    lambda vk, mp, path: mp.setattr(vk, "os", types.SimpleNamespace(path=_answer("not a module"))) or "not a module",
    _moved_class,
    _getattr_instead,
], ids=["function", "os.path", "namespace", "not-a-module", "module-class", "module-getattr"])
def test_a_path_read_before_sees_every_change_on_it(vk, monkeypatch, tmp_path, change):
    missing = str(tmp_path / "missing")
    assert vk.exists(missing) is False
    assert vk.exists(missing) is False
    label = change(vk, monkeypatch, missing)
    assert vk.exists(missing) == vk.exists(missing) == (label, missing)
    monkeypatch.undo()
    assert vk.exists(missing) is False
    monkeypatch.delattr(vk, "os")
    with pytest.raises(NameError, match="name 'os' is not defined"):
        vk.exists(missing)


def test_getcwd_linux_matches_os_getcwd(vk, tmp_path, restore_cwd):
    os.chdir(tmp_path)
    assert vk.getcwd() == os.getcwd()
    # a non-UTF-8 folder name decodes as os.fsdecode does
    odd = os.path.join(os.fsencode(str(tmp_path)), b"caf\xe9")
    os.mkdir(odd)
    os.chdir(odd)
    assert vk.getcwd() == os.getcwd()


def _deep_folder(base, length):
    path = str(base)
    while len(path) < length:
        path = os.path.join(path, "d" * min(50, max(1, length - len(path) - 1)))
    os.makedirs(path, exist_ok=True)
    return path


def test_getcwd_long_path_on_both_branches(vk, tmp_path, restore_cwd, windows):
    deep = _deep_folder(tmp_path, 300)
    assert len(deep) >= 300
    os.chdir(deep)
    assert vk.system() == "Windows"
    assert vk.getcwd() == deep
    windows.set_windows(False)
    assert vk.getcwd() == deep


def test_getcwd_in_a_deleted_folder_raises(vk, tmp_path, restore_cwd):
    gone = tmp_path / "gone"
    gone.mkdir()
    os.chdir(gone)
    gone.rmdir()
    with pytest.raises(FileNotFoundError):
        vk.getcwd()


def test_getcwd_imports_ctypes_util_itself():
    out = run_python("import simwin; simwin.activate(windows=False)\nimport sys, os, velka_code\n"
                     "print('ctypes.util' in sys.modules, velka_code.getcwd() == os.getcwd())")
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["False", "True"]


def test_user_folders_on_windows(vk, windows, monkeypatch):
    monkeypatch.setenv("USERNAME", "alice")
    monkeypatch.setenv("USERPROFILE", r"C:\Users\alice")
    assert vk.username() == "alice"
    assert vk.home() == r"C:\Users\alice"
    monkeypatch.delenv("USERNAME")
    monkeypatch.delenv("USERPROFILE")
    assert vk.username() is None and vk.home() is None


def test_user_folders_elsewhere(vk, monkeypatch, tmp_path):
    monkeypatch.setenv("USER", "bob")
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("USERNAME", "not-used")
    assert vk.username() == "bob"
    assert vk.home() == str(tmp_path)
    assert vk.desktop() == os.path.join(str(tmp_path), "Desktop")
    assert not os.path.exists(vk.desktop())
    monkeypatch.delenv("USER")
    assert vk.username() is None


def test_user_functions_ask_the_module_system_each_call(vk, monkeypatch):
    answers = iter(["Windows", "Linux"])
    monkeypatch.setattr(vk, "system", lambda: next(answers))
    monkeypatch.setenv("USERNAME", "win")
    monkeypatch.setenv("USER", "nix")
    assert (vk.username(), vk.username()) == ("win", "nix")
