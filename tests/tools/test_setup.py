"""scripts/setup: what each command installs, and one line per step;
scripts/test: every pass runs and reports; scripts/sanitize: its build's
lines stay in a log.

Each script runs from a copy of itself, on a PATH that holds stand-ins for
the programs it starts (which record their arguments and write noise) and
the few real tools it uses, so nothing is installed, built or tested.
"""

import os
import re
import shutil
import stat
import subprocess
import sys

import pytest

from conftest import REPO

TOOLS = ("bash", "dirname", "date", "mkdir", "tail", "sed", "cat")
NOISE = "Reading package lists... Done"
STEP = re.compile(r"(Debian packages: .+|Python packages: .+|Build and install velka_code) \.\.\. \d+\.\d s")

# Each stand-in appends "name args" to $CALLS, writes noise, and fails with
# status 3 when its name is in $FAIL.
STAND_IN = """#!/bin/sh
echo "{name} $*" >>"$CALLS"
echo "{noise}"; echo "{name}: warning on stderr" >&2
case " $FAIL " in *" {name} "*) echo "{name}: it went wrong" >&2; exit 3;; esac
"""
DPKG = """#!/bin/sh
case " $PRESENT " in *" $2 "*) exit 0;; esac
exit 1
"""
PYTHON = """#!/bin/sh
if [ "$1 $2" = "-m pip" ]; then exec "{folder}/pip" "$@"; fi
exec {python} "$@"
"""


def executable(path, text):
    path.write_text(text)
    path.chmod(path.stat().st_mode | stat.S_IXUSR)


@pytest.fixture
def setup(tmp_path):
    repo = tmp_path / "repo"
    (repo / "scripts").mkdir(parents=True)
    shutil.copy(os.path.join(REPO, "scripts", "setup"), repo / "scripts" / "setup")
    shutil.copy(os.path.join(REPO, "pyproject.toml"), repo / "pyproject.toml")
    folder = tmp_path / "bin"
    folder.mkdir()
    for tool in TOOLS:
        os.symlink(shutil.which(tool), folder / tool)
    for name in ("apt-get", "pip"):
        executable(folder / name, STAND_IN.format(name=name, noise=NOISE))
    executable(folder / "dpkg", DPKG)
    executable(folder / "python3", PYTHON.format(folder=folder, python=sys.executable))
    calls = tmp_path / "calls"

    def run(purpose, fail="", present=""):
        calls.write_text("")
        env = {"PATH": str(folder), "CALLS": str(calls), "FAIL": fail, "PRESENT": present}
        done = subprocess.run(["bash", str(repo / "scripts" / "setup"), purpose], env=env,
                              capture_output=True, text=True, timeout=60)
        log = repo / "build" / "setup.log"
        return done, calls.read_text().splitlines(), log.read_text() if log.exists() else None
    return run


def installed(calls, tool):
    """The package names of the install calls of apt-get or pip."""
    names = []
    for call in calls:
        words = call.split()
        if words[0] == tool and "install" in words:
            names += [word for word in words[words.index("install") + 1:] if not word.startswith("-")]
    return names


@pytest.mark.parametrize("purpose, debian, python, absent", [
    ("tour", ["xdg-utils", "shared-mime-info", "libfile-mimeinfo-perl"],
     ["scikit-build-core>=0.11", "cryptography", "mpmath", "chardet>=7.5,<8", "cmake", "ninja"],
     ["chromium", "wine64", "g++-mingw-w64-x86-64-posix", "nodejs", "pytest", "pyright==1.1.414", "pywin32"]),
    ("test", ["xdg-utils", "shared-mime-info", "libfile-mimeinfo-perl", "chromium", "openssl", "curl", "nodejs",
              "g++-mingw-w64-x86-64-posix", "wine64"],
     ["scikit-build-core>=0.11", "cryptography", "mpmath", "chardet>=7.5,<8", "cmake", "ninja", "pytest",
      "hypothesis", "mypy==2.4.1", "pyright==1.1.414", "build", "twine", "check-jsonschema", "trove-classifiers",
      "pyyaml", "types-pywin32==312.0.0.20261104"],
     ["pywin32", "wmi"]),
])
def test_each_command_installs_what_it_needs_one_line_per_step(setup, purpose, debian, python, absent):
    done, calls, log = setup(purpose)
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 3 and all(STEP.fullmatch(line) for line in lines), done.stdout
    assert done.stderr == "" and NOISE in log and NOISE not in done.stdout
    assert [name for name in installed(calls, "apt-get") if name != "python3-venv"] == debian
    packages = installed(calls, "pip")
    assert packages[:-1] == python and packages[-1] == "."
    assert not set(absent) & set(installed(calls, "apt-get") + packages)


def test_packages_already_there_are_not_installed_again(setup):
    present = "xdg-utils shared-mime-info libfile-mimeinfo-perl"
    done, calls, _ = setup("tour", present=present)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0] == f"Debian packages: {present} (all installed already)"
    assert not [call for call in calls if call.startswith("apt-get")]


@pytest.mark.parametrize("fail, steps", [("apt-get", 0), ("pip", 1)])
def test_a_failed_step_shows_the_end_of_the_log_and_stops(setup, fail, steps):
    done, calls, log = setup("tour", fail=fail)
    assert done.returncode == 3
    lines = done.stdout.splitlines()
    assert all(STEP.fullmatch(line) for line in lines[:steps])
    assert lines[steps].endswith("... failed (status 3); the last lines of build/setup.log:")
    assert f"    {fail}: it went wrong" in lines[steps + 1:]
    assert "Build and install velka_code" not in done.stdout
    assert f"{fail}: it went wrong" in log


def test_a_purpose_is_required(setup):
    done, calls, log = setup("everything")
    assert (done.returncode, done.stderr, calls, log) == (2, "usage: scripts/setup tour|test\n", [], None)


# --- scripts/test and scripts/sanitize ------------------------------------------

# A pass of scripts/test: records its arguments, writes build lines and
# pytest's output, and fails (a failed test) or crashes (no summary at all)
# when $FAIL or $CRASH names it.
PASS = """#!/bin/sh
echo "{name} $*" >>"$CALLS"
echo "[1/2] Building CXX object {name}.o"
echo "..F.."
case " $CRASH " in *" {name} "*) echo "Segmentation fault" >&2; exit 139;; esac
case " $FAIL " in *" {name} "*)
  echo "FAILED tests/test_x.py::test_{name} - AssertionError"
  echo "=========== 1 failed, 4 passed in 1.50s ==========="; exit 1;; esac
echo "5 passed, 1 skipped in 2.25s"
"""
SETUP = """#!/bin/sh
echo "setup $*" >>"$CALLS"
echo "Build and install velka_code ... 0.1 s"
exit ${SETUP_STATUS:-0}
"""
PYTEST = """#!/bin/sh
echo "{name} $*" >>"$CALLS"
if [ -n "$LD_PRELOAD" ]; then echo "preloaded $LD_PRELOAD" >>"$CALLS"; fi
echo "..."
case " $FAIL " in *" {name} "*) echo "1 failed, 2 passed in 3.00s"; exit 1;; esac
echo "3 passed in 3.00s"
"""


@pytest.fixture
def test_command(tmp_path):
    """Runs scripts/test from a copy whose setup, passes and python3 are stand-ins."""
    repo = tmp_path / "repo"
    (repo / "scripts").mkdir(parents=True)
    shutil.copy(os.path.join(REPO, "scripts", "test"), repo / "scripts" / "test")
    executable(repo / "scripts" / "setup", SETUP)
    executable(repo / "scripts" / "sanitize", PASS.format(name="sanitize"))
    executable(repo / "scripts" / "debug_checks", PASS.format(name="debug_checks"))
    folder = tmp_path / "bin"
    folder.mkdir()
    for tool in ("bash", "dirname", "mkdir", "sed", "tail", "grep", "head", "cat"):
        os.symlink(shutil.which(tool), folder / tool)
    executable(folder / "python3", PYTEST.format(name="main"))
    calls = tmp_path / "calls"

    def run(*args, **env):
        calls.write_text("")
        env = {"PATH": str(folder), "CALLS": str(calls), **env}
        done = subprocess.run(["bash", str(repo / "scripts" / "test"), *args], env=env, capture_output=True,
                              text=True, timeout=60)
        return done, calls.read_text().splitlines(), repo / "build"
    return run


SANITIZERS_OK = "sanitizers: 5 passed, 1 skipped in 2.25s (build/test-sanitize.log)"
DEBUG_OK = "debug checks: 5 passed, 1 skipped in 2.25s (build/test-debug-checks.log)"


@pytest.mark.parametrize("env, status, lines", [
    ({}, 0, [SANITIZERS_OK, DEBUG_OK]),
    ({"FAIL": "sanitize"}, 1, ["sanitizers: 1 failed, 4 passed in 1.50s (build/test-sanitize.log)",
                               "    FAILED tests/test_x.py::test_sanitize - AssertionError", DEBUG_OK]),
    ({"FAIL": "debug_checks"}, 1, [SANITIZERS_OK,
                                   "debug checks: 1 failed, 4 passed in 1.50s (build/test-debug-checks.log)",
                                   "    FAILED tests/test_x.py::test_debug_checks - AssertionError"]),
    ({"CRASH": "sanitize"}, 1, ["sanitizers: no pytest summary, status 139; the last lines of "
                                "build/test-sanitize.log:", "    [1/2] Building CXX object sanitize.o",
                                "    ..F..", "    Segmentation fault", DEBUG_OK]),
    ({"FAIL": "main"}, 1, [SANITIZERS_OK, DEBUG_OK]),
    ({"FAIL": "sanitize debug_checks main"}, 1,
     ["sanitizers: 1 failed, 4 passed in 1.50s (build/test-sanitize.log)",
      "    FAILED tests/test_x.py::test_sanitize - AssertionError",
      "debug checks: 1 failed, 4 passed in 1.50s (build/test-debug-checks.log)",
      "    FAILED tests/test_x.py::test_debug_checks - AssertionError"]),
], ids=["all-pass", "sanitizers-fail", "debug-checks-fail", "sanitizers-crash", "main-fails", "all-fail"])
def test_every_pass_runs_and_the_main_summary_comes_last(test_command, env, status, lines):
    done, calls, build = test_command("-q", "-x", **env)
    assert done.returncode == status, done.stdout + done.stderr
    main_summary = "1 failed, 2 passed in 3.00s" if "main" in env.get("FAIL", "") else "3 passed in 3.00s"
    assert done.stdout.splitlines() == ["Build and install velka_code ... 0.1 s", *lines, "...", main_summary]
    assert calls == ["setup test", "sanitize tests -q -p no:cacheprovider", "debug_checks -q",
                     "main -m pytest tests -q -x"]
    # The passes' build lines and progress stay in their logs.
    for name, log in (("sanitize", "test-sanitize.log"), ("debug_checks", "test-debug-checks.log")):
        assert f"[1/2] Building CXX object {name}.o\n..F..\n" in (build / log).read_text()


def test_a_failed_setup_runs_no_pass(test_command):
    done, calls, _ = test_command(SETUP_STATUS="4")
    assert (done.returncode, calls) == (4, ["setup test"])


@pytest.fixture
def sanitize(tmp_path):
    """Runs scripts/sanitize from a copy, on a PATH whose cmake, gcc and python3 are stand-ins."""
    repo = tmp_path / "repo"
    (repo / "scripts").mkdir(parents=True)
    shutil.copy(os.path.join(REPO, "scripts", "sanitize"), repo / "scripts" / "sanitize")
    folder = tmp_path / "bin"
    folder.mkdir()
    for tool in ("bash", "dirname", "mkdir", "sed", "tail"):
        os.symlink(shutil.which(tool), folder / tool)
    executable(folder / "cmake", STAND_IN.format(name="cmake", noise="[7/9] Building CXX object src/core/ref.cpp.o"))
    # The libraries it names do not exist: the loader says so on stderr.
    executable(folder / "gcc", '#!/bin/sh\necho "/stand-in/${1#-print-file-name=}"\n')
    executable(folder / "python3", PYTEST.format(name="pytest"))
    calls = tmp_path / "calls"

    def run(*args, fail=""):
        calls.write_text("")
        env = {"PATH": str(folder), "CALLS": str(calls), "FAIL": fail}
        done = subprocess.run(["bash", str(repo / "scripts" / "sanitize"), *args], env=env, capture_output=True,
                              text=True, timeout=60)
        log = repo / "build" / "sanitize-build.log"
        return done, calls.read_text().splitlines(), log.read_text() if log.exists() else None
    return run


def test_sanitize_keeps_the_build_lines_in_its_log(sanitize):
    done, calls, log = sanitize("tests/test_numeric.py", "-q")
    assert done.returncode == 0, done.stderr
    assert done.stdout == "...\n3 passed in 3.00s\n"
    assert log.count("[7/9] Building CXX object src/core/ref.cpp.o") == 2
    assert [call.split()[:2] for call in calls[:2]] == [["cmake", "-S"], ["cmake", "--build"]]
    assert calls[2:] == ["pytest -m pytest tests/test_numeric.py -q",
                         "preloaded /stand-in/libasan.so:/stand-in/libubsan.so"]


def test_a_failed_sanitizer_build_shows_the_end_of_its_log(sanitize):
    done, calls, log = sanitize(fail="cmake")
    assert done.returncode == 1
    assert done.stdout.splitlines()[0] == "the sanitizer build failed; the last lines of build/sanitize-build.log:"
    assert "    cmake: it went wrong" in done.stdout.splitlines()
    assert "cmake: it went wrong" in log and not [call for call in calls if call.startswith("pytest")]
