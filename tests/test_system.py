"""Operating-system detection through the shell."""

import subprocess
import types

import pytest


def test_the_real_shell_names_this_host_as_its_uname_does(vk):
    # Needs a POSIX shell with `uname` and, as the simulated platform leaves
    # it, no `ver` on the PATH: the answer is then what uname says here.
    uname = subprocess.run(["uname"], capture_output=True, text=True, check=True).stdout.strip()
    assert vk.system() == {"Linux": "Linux", "Darwin": "macOS"}.get(uname, "未知操作系统")


def test_simulated_windows_answers_windows(vk, windows):
    assert vk.system() == "Windows"


class Recorder:
    """A stand-in subprocess module that records the commands it runs."""

    def __init__(self, outputs=None, error=None):
        self.commands = []
        self.outputs = outputs
        self.error = error
        self.PIPE = subprocess.PIPE

    def run(self, command, **kwargs):
        self.commands.append((command, kwargs))
        if self.error:
            raise self.error
        if self.outputs is None:
            return subprocess.run(command, **kwargs)
        return types.SimpleNamespace(stdout=self.outputs.get(command, ""), stderr="", returncode=0)


@pytest.mark.parametrize("outputs, answer, commands", [
    (None, "Linux", ["ver", "uname", "uname"]),
    ({"ver": "\nMicrosoft Windows [Version 10]\n"}, "Windows", ["ver"]),
    ({"uname": "Darwin\n"}, "macOS", ["ver", "uname"]),
    ({"uname": "FreeBSD\n"}, "未知操作系统", ["ver", "uname", "uname"]),
])
def test_probes_run_in_order(vk, monkeypatch, outputs, answer, commands):
    recorder = Recorder(outputs)
    monkeypatch.setattr(vk, "subprocess", recorder)
    assert vk.system() == answer
    assert [c for c, _ in recorder.commands] == commands
    assert all(kw == {"capture_output": True, "text": True, "shell": True} for _, kw in recorder.commands)


def test_an_argument_other_than_none_comes_back_without_running(vk, monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(vk, "subprocess", recorder)
    marker = object()
    assert vk.system(5) == 5 and vk.system(marker) is marker
    assert recorder.commands == []


def test_equality_not_identity_decides(vk, monkeypatch):
    class EqualsNone:
        def __eq__(self, other):
            return other is None

    recorder = Recorder({"ver": "Microsoft"})
    monkeypatch.setattr(vk, "subprocess", recorder)
    assert vk.system(EqualsNone()) == "Windows"

    class Broken:
        def __eq__(self, other):
            raise ArithmeticError("no comparison")

    with pytest.raises(ArithmeticError):
        vk.system(Broken())


def test_failures_become_the_error_text(vk, monkeypatch):
    monkeypatch.setattr(vk, "subprocess", Recorder(error=FileNotFoundError(2, "No such file", "/bin/sh")))
    assert vk.system() == "发生错误: [Errno 2] No such file: '/bin/sh'"
    monkeypatch.delattr(vk, "subprocess")
    assert vk.system() == "发生错误: name 'subprocess' is not defined"


def test_keyboard_interrupt_is_not_caught(vk, monkeypatch):
    monkeypatch.setattr(vk, "subprocess", Recorder(error=KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        vk.system()
