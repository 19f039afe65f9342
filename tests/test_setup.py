"""scripts/setup: what each command installs, and one line per step.

The script runs from a copy of itself with pyproject.toml, on a PATH that
holds stand-ins for apt-get, dpkg and pip (which record their arguments and
write noise) and the few real tools it uses, so nothing is installed.
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
