"""copy: a verified copy through a temporary file, on real files."""

import enum
import hashlib
import os
import subprocess
import sys

import pytest

import confinement
from conftest import REPO

SKIP_LINE = "目标文件 {} 已存在，且不允许覆盖，跳过复制操作。\n"
MISMATCH_LINE = "文件复制完成，但验证失败：内容不匹配。\n"


def files_in(folder):
    return sorted(os.listdir(folder))


@pytest.fixture
def source(tmp_path):
    path = tmp_path / "source.bin"
    # Not a multiple of the chunk size, and every byte value.
    path.write_bytes(os.urandom(3 * 4096 + 123) + bytes(range(256)))
    return path


def test_copy_to_an_absent_destination(vk, tmp_path, source, capsys):
    dest = tmp_path / "dest.bin"
    assert vk.copy(str(source), str(dest)) is None
    assert dest.read_bytes() == source.read_bytes()
    assert files_in(tmp_path) == ["dest.bin", "source.bin"]
    assert capsys.readouterr().out == ""


def test_copy_empty_file(vk, tmp_path):
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    vk.copy(str(empty), str(tmp_path / "copy"))
    assert (tmp_path / "copy").read_bytes() == b""


@pytest.mark.parametrize("flag", [False, 0, "", None, []])
def test_existing_destination_is_skipped(vk, tmp_path, source, capsys, flag):
    dest = tmp_path / "dest.bin"
    dest.write_bytes(b"existing")
    before = source.read_bytes()
    args = (str(source), str(dest)) if flag is False else (str(source), str(dest), flag)
    assert vk.copy(*args) is None
    assert capsys.readouterr().out == SKIP_LINE.format(dest)
    assert dest.read_bytes() == b"existing" and source.read_bytes() == before
    assert files_in(tmp_path) == ["dest.bin", "source.bin"]


@pytest.mark.parametrize("flag", [True, 1, "yes"])
def test_existing_destination_is_replaced_when_allowed(vk, tmp_path, source, capsys, flag):
    dest = tmp_path / "dest.bin"
    dest.write_bytes(b"existing, and longer than nothing" * 1000)
    vk.copy(source_file=str(source), destination_file=str(dest), TrueorFalse=flag)
    assert dest.read_bytes() == source.read_bytes()
    assert capsys.readouterr().out == ""
    assert files_in(tmp_path) == ["dest.bin", "source.bin"]


def test_destination_is_formatted_in_the_skip_line(vk, tmp_path, source, capsys):
    dest = tmp_path / "dest.bin"
    dest.write_bytes(b"x")
    vk.copy(source, dest)  # a Path is formatted as its text
    assert capsys.readouterr().out == SKIP_LINE.format(str(dest))


def test_missing_source(vk, tmp_path):
    dest = tmp_path / "dest.bin"
    with pytest.raises(Exception) as info:
        vk.copy(str(tmp_path / "absent"), str(dest))
    assert type(info.value) is Exception
    assert info.value.args == ("copy2 Error: 复制失败",)
    assert isinstance(info.value.__context__, FileNotFoundError)
    assert files_in(tmp_path) == []


def test_source_that_is_a_folder(vk, tmp_path):
    folder = tmp_path / "folder"
    folder.mkdir()
    with pytest.raises(Exception) as info:
        vk.copy(str(folder), str(tmp_path / "dest"))
    assert type(info.value) is Exception
    assert info.value.args[0] == "copy2 Error:"
    assert isinstance(info.value.args[1], IsADirectoryError)
    assert info.value.__context__ is info.value.args[1]
    assert files_in(tmp_path) == ["folder"]


def test_destination_that_is_a_folder_is_not_replaced(vk, tmp_path, source):
    folder = tmp_path / "target"
    folder.mkdir()
    (folder / "inside").write_text("kept")
    with pytest.raises(Exception) as info:
        vk.copy(str(source), str(folder), True)
    assert info.value.args[0] == "copy2 Error:" and isinstance(info.value.args[1], OSError)
    assert files_in(tmp_path) == ["source.bin", "target"]
    assert (folder / "inside").read_text() == "kept"


def test_a_file_named_like_the_old_temporary_is_left_alone(vk, tmp_path, source):
    dest = tmp_path / "dest.bin"
    bystander = tmp_path / "dest.bin.tmp"
    bystander.write_bytes(b"someone else's file")
    vk.copy(str(source), str(dest))
    assert bystander.read_bytes() == b"someone else's file"
    assert dest.read_bytes() == source.read_bytes()
    assert files_in(tmp_path) == ["dest.bin", "dest.bin.tmp", "source.bin"]


class TamperingHashlib:
    """hashlib whose second sha256() (the check of the copy) first alters the
    temporary file, or raises what it is given."""

    def __init__(self, folder, dest_name, action):
        self.folder, self.dest_name, self.action, self.count = folder, dest_name, action, 0
        self.temporaries = []

    def sha256(self, *args):
        self.count += 1
        if self.count == 2:
            temps = [n for n in os.listdir(self.folder) if n.startswith(self.dest_name) and n.endswith(".tmp")]
            self.temporaries.extend(temps)
            assert len(temps) == 1
            if isinstance(self.action, BaseException):
                raise self.action
            with open(os.path.join(self.folder, temps[0]), "ab") as f:
                f.write(b"tampered")
        return hashlib.sha256(*args)


def test_digest_mismatch_is_reported_and_the_destination_kept(vk, tmp_path, source, capsys, monkeypatch):
    dest = tmp_path / "dest.bin"
    dest.write_bytes(b"old destination")
    fake = TamperingHashlib(str(tmp_path), "dest.bin", "tamper")
    monkeypatch.setattr(vk, "hashlib", fake)
    assert vk.copy(str(source), str(dest), True) is None
    assert capsys.readouterr().out == MISMATCH_LINE
    assert dest.read_bytes() == b"old destination"
    assert fake.temporaries and files_in(tmp_path) == ["dest.bin", "source.bin"]


@pytest.mark.parametrize("raised, expected", [(KeyboardInterrupt(), KeyboardInterrupt),
                                              (MemoryError(), Exception), (ValueError("odd"), Exception)])
def test_failures_after_the_copy_remove_the_temporary(vk, tmp_path, source, monkeypatch, raised, expected):
    dest = tmp_path / "dest.bin"
    dest.write_bytes(b"old destination")
    monkeypatch.setattr(vk, "hashlib", TamperingHashlib(str(tmp_path), "dest.bin", raised))
    with pytest.raises(expected) as info:
        vk.copy(str(source), str(dest), True)
    if expected is KeyboardInterrupt:
        assert info.value is raised
    else:
        assert info.value.args == ("copy2 Error:", raised)
    assert dest.read_bytes() == b"old destination"
    assert files_in(tmp_path) == ["dest.bin", "source.bin"]


def test_failed_move_removes_the_temporary(vk, tmp_path, source, monkeypatch):
    class NoReplace:
        def __getattr__(self, name):
            return getattr(os, name)

        def replace(self, *args):
            raise PermissionError(13, "Permission denied")

    monkeypatch.setattr(vk, "os", NoReplace())
    with pytest.raises(Exception) as info:
        vk.copy(str(source), str(tmp_path / "dest"))
    assert info.value.args == ("copy2 Error: 没有权限",)
    assert files_in(tmp_path) == ["source.bin"]


def test_docstring_and_signature(vk):
    import inspect
    assert str(inspect.signature(vk.copy)) == "(source_file, destination_file, TrueorFalse=False)"
    assert vk.copy.__doc__ == (
        "\n    复制文件,且不用管理员权限(如果文件是管理员权限或更高权限复制需要管理员权限)\n"
        "    :param source_file: 源文件路径,例如 \"C:/path/to/source.txt\"\n"
        "    :param destination_file: 目标文件路径,例如 \"C:/path/to/destination.txt\"\n"
        "    :param TrueorFalse: 是否覆盖文件,默认不覆盖.False:不覆盖,True:覆盖\n    ")


# The permission case needs a process the kernel holds to permissions: root
# writes anywhere, so where the tests run as root the case runs without
# root's rights (see confinement.py).
PERMISSION_CASE = """
import os, sys
import simwin; simwin.activate(windows=False)
import velka_code
src, folder = sys.argv[1], sys.argv[2]
try:
    velka_code.copy(src, os.path.join(folder, "dest.bin"))
except Exception as e:
    print(type(e).__name__, e.args, type(e.__context__).__name__)
print(sorted(os.listdir(folder)))
"""


def test_destination_folder_without_write_permission(tmp_path):
    prefix = confinement.command_prefix()
    if prefix is None:
        pytest.skip("tests run as root and setpriv is missing")
    src = tmp_path / "source.txt"
    src.write_text("content\n")
    locked = tmp_path / "locked"
    locked.mkdir()
    locked.chmod(0o555)
    scratch = tmp_path / "scratch"  # the child's own temporary folder
    scratch.mkdir()
    confinement.hand_over(scratch)
    env = dict(os.environ, TMPDIR=str(scratch))
    paths = [os.path.abspath(p) for p in [REPO, *env.get("PYTHONPATH", "").split(os.pathsep)] if p]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    proc = subprocess.run([*prefix, sys.executable, "-c", PERMISSION_CASE, str(src), str(locked)],
                          capture_output=True, text=True, env=env, cwd=scratch, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "Exception ('copy2 Error: 没有权限',) PermissionError\n[]\n"
    assert os.listdir(scratch) == []


def test_destination_of_a_str_subclass_is_formatted_as_an_f_string_does(vk, tmp_path, source, capsys):
    class Where(str, enum.Enum):
        DEST = str(tmp_path / "dest.bin")

    (tmp_path / "dest.bin").write_bytes(b"x")
    vk.copy(source, Where.DEST)
    assert capsys.readouterr().out == SKIP_LINE.format(f"{Where.DEST}")
    assert f"{Where.DEST}" != Where.DEST.value


def test_each_copy_stages_under_a_fresh_name(vk, tmp_path, source, monkeypatch):
    staged = []

    class Recording:
        def __getattr__(self, name):
            return getattr(os, name)

        def replace(self, src, dst):
            staged.append(os.path.basename(src))
            return os.replace(src, dst)

    monkeypatch.setattr(vk, "os", Recording())
    for _ in range(3):
        vk.copy(str(source), str(tmp_path / "dest.bin"), True)
    assert len(set(staged)) == 3
    assert all(name.startswith("dest.bin") and name.endswith(".tmp") for name in staged)
