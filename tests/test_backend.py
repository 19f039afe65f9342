"""BackendPythonServer: a real `python` from PATH runs a script; the watcher
thread reports when it ends."""

import inspect
import json
import os
import shutil
import textwrap
import threading
import time
import types

import pytest

from servers_support import child_env
from conftest import run_python

# Writes its arguments to a marker file, optionally after a go file appears.
SCRIPT = textwrap.dedent("""
    import json, os, sys, time
    here = os.path.dirname(os.path.abspath(__file__))
    go = os.path.join(here, "go")
    if os.path.exists(os.path.join(here, "wait")):
        deadline = time.monotonic() + 60
        while not os.path.exists(go) and time.monotonic() < deadline:
            time.sleep(0.02)
    # Written beside and renamed into place, so a reader never sees it half-done.
    part = os.path.join(here, "marker.json.part")
    with open(part, "w") as f:
        json.dump(sys.argv[1:], f)
    os.replace(part, os.path.join(here, "marker.json"))
""")

needs_python = pytest.mark.skipif(shutil.which("python") is None, reason="no `python` on PATH")


@pytest.fixture
def script(tmp_path):
    path = tmp_path / "backend script.py"
    path.write_text(SCRIPT)
    return path


def new_threads(before):
    return [t for t in threading.enumerate() if t not in before]


def start_and_watch(server):
    """Calls start and returns the watcher threads it started."""
    before = set(threading.enumerate())
    assert server.start() is None
    return new_threads(before)


def test_class_shape(vk):
    cls = vk.BackendPythonServer
    assert cls.__bases__ == (object,) and cls.__doc__ == "停止Python服务器"
    assert str(inspect.signature(cls.__init__)) == "(self, python_file_path, port=None)"
    assert cls.start.__qualname__ == "BackendPythonServer.start" and cls.start.__doc__ is None
    assert list(vars(cls("a.py")).items()) == [("python_file_path", "a.py"), ("port", None)]
    assert vars(cls(port=0, python_file_path=3)) == {"python_file_path": 3, "port": 0}
    with pytest.raises(TypeError, match=r"__init__\(\) takes at least 2 positional arguments \(1 given\)"):
        cls()


@needs_python
@pytest.mark.parametrize("port, argv", [
    (None, []),
    (0, []),
    ("", []),
    (5000, ["--port", "5000"]),
    ("8080", ["--port", "8080"]),
    (True, ["--port", "True"]),
])
def test_command_line_reaches_the_script(vk, script, capsys, port, argv):
    server = vk.BackendPythonServer(str(script), port)
    watchers = start_and_watch(server)
    assert len(watchers) == 1
    watcher, = watchers
    watcher.join(60)
    assert not watcher.is_alive()
    assert json.loads((script.parent / "marker.json").read_text()) == argv
    assert capsys.readouterr().out == (f"The backend Python server ({script}) has been started\n"
                                       f"The backend Python server ({script}) has stopped\n")


@needs_python
def test_watcher_is_a_closure_thread(vk, script, capsys):
    (script.parent / "wait").touch()
    server = vk.BackendPythonServer(str(script))
    watcher, = start_and_watch(server)
    try:
        assert not watcher.daemon
        target = watcher._target
        assert target.__name__ == "monitor_process"
        assert target.__qualname__ == "BackendPythonServer.start.<locals>.monitor_process"
        assert target.__module__ == "velka_code" and str(inspect.signature(target)) == "()"
        assert capsys.readouterr().out == f"The backend Python server ({script}) has been started\n"
        # The stop line reads the path when the child ends, not when it started.
        server.python_file_path = "renamed.py"
        assert watcher.is_alive()
    finally:
        (script.parent / "go").touch()
        watcher.join(60)
    assert capsys.readouterr().out == "The backend Python server (renamed.py) has stopped\n"


@needs_python
def test_each_start_runs_another_process(vk, script, capsys):
    (script.parent / "wait").touch()
    server = vk.BackendPythonServer(str(script), 7)
    first = start_and_watch(server)
    second = start_and_watch(server)
    assert len(first) == len(second) == 1 and first[0] is not second[0]
    (script.parent / "go").touch()
    for t in first + second:
        t.join(60)
    out = capsys.readouterr().out.splitlines()
    assert out.count(f"The backend Python server ({script}) has been started") == 2
    assert out.count(f"The backend Python server ({script}) has stopped") == 2


@needs_python
def test_lines_in_a_real_interpreter(script):
    # The watcher is not a daemon: the interpreter waits for the child and
    # prints the stop line after the main script is done.
    code = textwrap.dedent(f"""
        import simwin
        simwin.activate(windows=False)
        import velka_code
        velka_code.BackendPythonServer({str(script)!r}, 5000).start()
        print("main done", flush=True)
    """)
    (script.parent / "wait").touch()
    import threading as th
    th.Timer(1.0, (script.parent / "go").touch).start()
    result = run_python(code, env=child_env())
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"The backend Python server ({script}) has been started",
                                          "main done",
                                          f"The backend Python server ({script}) has stopped"]
    assert json.loads((script.parent / "marker.json").read_text()) == ["--port", "5000"]


def test_missing_python_prints_the_failure_line_and_starts_no_thread(vk, script, tmp_path, monkeypatch,
                                                                        capsys):
    empty = tmp_path / "empty-bin"
    empty.mkdir()
    monkeypatch.setenv("PATH", str(empty))
    watchers = start_and_watch(vk.BackendPythonServer(str(script), 5000))
    assert watchers == []
    assert capsys.readouterr().out == ("An error occurred while starting the backend Python server: "
                                       "[Errno 2] No such file or directory: 'python'\n")
    assert not (script.parent / "marker.json").exists()


def test_missing_python_in_a_real_interpreter(script, tmp_path):
    empty = tmp_path / "empty-bin"
    empty.mkdir()
    code = textwrap.dedent(f"""
        import threading, simwin
        simwin.activate(windows=False)
        import velka_code
        print(velka_code.BackendPythonServer({str(script)!r}).start(), threading.active_count())
    """)
    result = run_python(code, env=child_env({"PATH": str(empty)}))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "An error occurred while starting the backend Python server: "
        "[Errno 2] No such file or directory: 'python'",
        "None 1"]


@needs_python
def test_thread_failure_leaves_the_child_running(vk, script, monkeypatch, capsys):
    def no_thread(**kwargs):
        raise RuntimeError("can't start new thread")

    monkeypatch.setattr(vk, "threading", types.SimpleNamespace(Thread=no_thread))
    assert vk.BackendPythonServer(str(script), 1).start() is None
    assert capsys.readouterr().out == (
        f"The backend Python server ({script}) has been started\n"
        "An error occurred while starting the backend Python server: can't start new thread\n")
    deadline = time.monotonic() + 60
    while not (script.parent / "marker.json").exists() and time.monotonic() < deadline:
        time.sleep(0.02)
    assert json.loads((script.parent / "marker.json").read_text()) == ["--port", "1"]


@pytest.mark.parametrize("raised, propagates", [(KeyboardInterrupt, True), (OSError, False),
                                                (ValueError, False)])
def test_popen_gets_only_the_list_and_only_exceptions_are_caught(vk, monkeypatch, capsys, raised, propagates):
    calls = []

    def popen(*args, **kwargs):
        calls.append((args, kwargs))
        raise raised("no")

    monkeypatch.setattr(vk, "subprocess", types.SimpleNamespace(Popen=popen))
    server = vk.BackendPythonServer(os.path.join("a", "b.py"), "9")
    if propagates:
        with pytest.raises(raised):
            server.start()
        assert capsys.readouterr().out == ""
    else:
        server.start()
        assert capsys.readouterr().out == "An error occurred while starting the backend Python server: no\n"
    assert calls == [((["python", os.path.join("a", "b.py"), "--port", "9"],), {})]


def test_unprintable_port_raises_before_anything_starts(vk, monkeypatch, capsys):
    class Port:
        def __bool__(self):
            return True

        def __str__(self):
            raise ValueError("no text")

    monkeypatch.setattr(vk, "subprocess", types.SimpleNamespace(Popen=lambda *a: pytest.fail("started")))
    with pytest.raises(ValueError, match="no text"):
        vk.BackendPythonServer("x.py", Port()).start()
    assert capsys.readouterr().out == ""
