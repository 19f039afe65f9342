"""Shared set-up: velka_code imports on the simulated Windows platform.

The stand-in Windows modules are installed for the whole session, because
the module imports them at import time. `ver` is off the PATH by default, so
`system()` gives this host's real answer; the `windows` fixture makes the
shell answer like Windows for one test.
"""

import ast
import os
import subprocess
import sys

import pytest

import simwin
# The fixture that installing the package gives script authors, here from
# this checkout (pyproject.toml keeps an installed copy's plugin out).
from simwin.pytest_plugin import simulated_windows  # noqa: F401

# SIMWIN_RECORD=<file> records the calls each test makes on the simulated
# platform into that file (scripts/record-win32-corpus).
RECORD = os.environ.get("SIMWIN_RECORD")
if RECORD:
    from simwin import _recorder
    _recorder.enable()

# On a real Windows machine (the hosted wheel build) the module imports the
# real Windows modules, and only the tests marked windows_safe run there.
PLATFORM = None if sys.platform == "win32" else simwin.activate(windows=False)

import velka_code  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The checkout whose src/ the tests that compile sources themselves use:
# this one, unless scripts/mutate points them at its copy.
SOURCES = os.environ.get("VK_SOURCES", REPO)


@pytest.fixture
def vk():
    return velka_code


@pytest.fixture
def windows():
    """The simulated platform with `ver` answering like Windows."""
    PLATFORM.set_windows(True)
    try:
        yield PLATFORM
    finally:
        PLATFORM.set_windows(False)


@pytest.fixture
def restore_cwd():
    cwd = os.getcwd()
    yield cwd
    os.chdir(cwd)


# The line of velka_code.pyi after which it declares the module's attributes,
# in the order the module binds them; the stub's own helpers come before it.
STUB_ATTRIBUTES = "# The module's attributes, in the order it binds them.\n"


def stub_parts():
    """(helpers, attributes): the two parts of velka_code.pyi, each parsed."""
    with open(os.path.join(REPO, "velka_code.pyi"), encoding="utf-8") as f:
        helpers, marker, attributes = f.read().partition(STUB_ATTRIBUTES)
    assert marker, f"velka_code.pyi has lost the line {STUB_ATTRIBUTES.strip()!r}"
    return ast.parse(helpers), ast.parse(attributes)


def run_python(code, *args, env=None, timeout=120, **kwargs):
    """Runs code in a fresh interpreter that can import simwin."""
    full_env = dict(os.environ)
    # Absolute entries, so that a child started in another folder still
    # finds the same build.
    inherited = [os.path.abspath(p) for p in full_env.get("PYTHONPATH", "").split(os.pathsep) if p]
    full_env["PYTHONPATH"] = os.pathsep.join([REPO, *inherited])
    if env:
        full_env.update(env)
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          env=full_env, timeout=timeout, **kwargs)


@pytest.fixture(autouse=True)
def no_registry_handle_left_open():
    """Every key a test opens on the simulated registry is closed by its end."""
    yield
    winreg = sys.modules["winreg"]
    if hasattr(winreg, "open_handle_count") and simwin.current() is PLATFORM:
        assert winreg.open_handle_count() == 0, "a registry handle was left open"


if RECORD:
    @pytest.fixture(autouse=True)
    def record_simwin_calls(request, monkeypatch):
        monkeypatch.setenv("SIMWIN_RECORD_TEST", request.node.nodeid)  # for the children it starts
        _recorder.begin(request.node.nodeid)
        yield
        _recorder.end()

    def pytest_sessionfinish(session):
        _recorder.save(RECORD)
