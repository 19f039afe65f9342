"""cmd, psshell and backend with real shells and processes."""

import os
import signal
import subprocess
import sys
import time
import types

import pytest

from conftest import run_python

IMPORT = "import simwin; simwin.activate(windows=False)\nimport velka_code\n"


@pytest.mark.parametrize("command", ["exit 3", "exit 0", "no-such-command-for-velka", "true"])
def test_cmd_returns_none_whatever_the_status(vk, command):
    assert vk.cmd(command) is None


def test_cmd_output_goes_to_the_console():
    proc = run_python(IMPORT + "r = velka_code.cmd('echo from-the-shell; echo on-stderr >&2; exit 3')\n"
                      "print('result', r)\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "from-the-shell\nresult None\n"
    assert proc.stderr == "on-stderr\n"


def test_cmd_runs_through_the_shell(vk, tmp_path):
    target = tmp_path / "made-by-shell"
    vk.cmd(f"cd {tmp_path} && echo $((6 * 7)) > {target.name}")
    assert target.read_text() == "42\n"


def test_cmd_wrong_type(vk):
    with pytest.raises(TypeError):
        vk.cmd(5)


def test_psshell_linux_runs_the_program_without_a_shell(vk):
    result = vk.psshell("pwd")
    assert isinstance(result, subprocess.CompletedProcess)
    assert result.args == ["pwd"]
    assert result.returncode == 0
    assert result.stdout == os.getcwd() + "\n"
    assert result.stderr == ""


def test_psshell_nonzero_status_is_not_an_error(vk):
    result = vk.psshell(command="false")
    assert result.returncode == 1 and result.stdout == ""


def test_psshell_linux_takes_the_whole_string_as_the_program(vk):
    with pytest.raises(FileNotFoundError):
        vk.psshell("echo hello")


def stand_in_platform(monkeypatch, answer):
    calls = []

    def system(*args):
        calls.append(args)
        return answer

    monkeypatch.setitem(sys.modules, "platform", types.SimpleNamespace(system=system))
    return calls


def test_psshell_windows_uses_the_shell(vk, monkeypatch):
    calls = stand_in_platform(monkeypatch, "Windows")
    result = vk.psshell("echo hello")
    assert calls == [()]
    assert result.args == ["echo hello"]
    assert result.returncode == 0
    assert result.stdout == "hello\n"


def test_psshell_windows_missing_program_is_reported_by_the_shell(vk, monkeypatch):
    stand_in_platform(monkeypatch, "Windows")
    result = vk.psshell("no-such-program-for-velka")
    assert result.returncode != 0
    assert "no-such-program-for-velka" in result.stderr


def test_psshell_windows_keywords(vk, monkeypatch):
    stand_in_platform(monkeypatch, "Windows")
    seen = []
    real_run = subprocess.run

    def run(*args, **kwargs):
        seen.append((args, list(kwargs.items())))
        return real_run(*args, **kwargs)

    monkeypatch.setattr(subprocess, "run", run)
    vk.psshell("echo hi")
    assert seen == [((["echo hi"],), [("shell", True), ("capture_output", True), ("text", True)])]


def test_psshell_darwin_is_like_linux(vk, monkeypatch):
    stand_in_platform(monkeypatch, "Darwin")
    with pytest.raises(FileNotFoundError):
        vk.psshell("echo hello")
    assert vk.psshell("true").returncode == 0


@pytest.mark.parametrize("answer", ["Java", "", "linux", "FreeBSD"])
def test_psshell_other_systems_return_none(vk, monkeypatch, answer):
    stand_in_platform(monkeypatch, answer)
    assert vk.psshell("true") is None


def wait_for(path, timeout=30):
    deadline = time.monotonic() + timeout
    while not os.path.exists(path) or os.path.getsize(path) == 0:
        if time.monotonic() > deadline:
            raise AssertionError(f"{path} never appeared")
        time.sleep(0.02)


@pytest.mark.filterwarnings("ignore::ResourceWarning")
def test_backend_returns_while_the_command_keeps_running(vk, tmp_path):
    pidfile = tmp_path / "pid"
    assert vk.backend(f"echo $$ > {pidfile}; exec sleep 300") is None
    wait_for(pidfile)
    pid = int(pidfile.read_text())
    try:
        # Had backend waited, the sleep would be over.
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            assert f.read().split(b"\0")[0] == b"sleep"
        os.kill(pid, 0)
    finally:
        os.kill(pid, signal.SIGKILL)
        try:
            os.waitpid(pid, 0)
        except ChildProcessError:
            pass


def test_backend_discards_all_three_streams(tmp_path):
    marker = tmp_path / "stdin-seen"
    code = IMPORT + (
        "import os, sys, time\n"
        f"velka_code.backend('echo on-stdout; echo on-stderr >&2; read line; echo \"[$line]\" > {marker}')\n"
        f"while not os.path.exists('{marker}') or not os.path.getsize('{marker}'):\n"
        "    time.sleep(0.02)\n")
    proc = run_python(code, input="typed by the parent\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "" and proc.stderr == ""
    assert marker.read_text() == "[]\n"


def test_backend_errors_of_popen_propagate(vk):
    with pytest.raises(TypeError):
        vk.backend(None)


def test_docs_and_signatures(vk):
    import inspect
    assert vk.backend.__doc__ == "将指定的文件在后台运行"
    assert vk.cmd.__doc__ is None and vk.psshell.__doc__ is None
    assert [str(inspect.signature(f)) for f in (vk.cmd, vk.psshell, vk.backend)] == ["(command)", "(command)",
                                                                                     "(file)"]


def test_local_imports_go_through_builtins_import(vk, monkeypatch):
    import builtins
    real_import = builtins.__import__
    seen = []

    def recording_import(name, *args, **kwargs):
        seen.append(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", recording_import)
    vk.psshell("true")
    assert {"subprocess", "platform"} <= set(seen)
