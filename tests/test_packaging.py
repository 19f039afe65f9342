"""What a package index sees: the metadata in pyproject.toml, and an sdist
that builds a wheel in a fresh environment, both passing `twine check`; and
what a user gets: that wheel installed in a fresh virtual environment runs
the READMEs' script on the simulated platform and their test under pytest."""

import email.parser
import os
import pathlib
import subprocess
import sys
import tarfile
import tomllib
import zipfile

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]
sys.path.insert(0, str(REPO / "scripts"))
import run_examples  # noqa: E402

SIMWIN = sorted(path.relative_to(REPO).as_posix() for path in (REPO / "simwin").rglob("*.py"))


def test_classifiers_are_known_and_name_the_platform_language_and_topics():
    trove_classifiers = pytest.importorskip("trove_classifiers", reason="scripts/setup installs trove-classifiers")
    classifiers = PROJECT["classifiers"]
    assert set(classifiers) <= trove_classifiers.classifiers
    assert len(set(classifiers)) == len(classifiers)
    assert {"Operating System :: Microsoft :: Windows", "Programming Language :: Python :: 3.11",
            "Programming Language :: C++"} <= set(classifiers)
    assert any(c.startswith("Topic :: ") for c in classifiers)
    # The SPDX expression carries the license; PEP 639 forbids a license classifier beside it.
    assert not any(c.startswith("License :: ") for c in classifiers)


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """(sdist, wheel): without arguments `build` makes the sdist, unpacks it
    and builds the wheel from it, each in a new isolated environment."""
    folder = tmp_path_factory.mktemp("dist")
    # pip's cache goes with the test's folders, not into the real home.
    env = dict(os.environ, PIP_CACHE_DIR=str(tmp_path_factory.mktemp("pip-cache")))
    built = subprocess.run([sys.executable, "-m", "build", "--outdir", str(folder), str(REPO)],
                           capture_output=True, text=True, timeout=1800, env=env)
    assert built.returncode == 0, built.stdout[-4000:] + built.stderr[-4000:]
    sdist, = folder.glob("velka_code-*.tar.gz")
    wheel, = folder.glob("velka_code-*-cp311-cp311-*.whl")
    return sdist, wheel


@pytest.mark.slow
def test_the_sdist_builds_a_wheel_in_a_fresh_environment_and_both_pass_twine(built):
    sdist, wheel = built

    checked = subprocess.run([sys.executable, "-m", "twine", "check", "--strict", str(sdist), str(wheel)],
                             capture_output=True, text=True, timeout=300)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert checked.stdout.count("PASSED") == 2

    license_text = (REPO / "LICENSE").read_text()
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        metadata = email.parser.Parser().parsestr(archive.read(f"{info}/METADATA").decode())
        assert archive.read(f"{info}/licenses/LICENSE").decode() == license_text
        entry_points = archive.read(f"{info}/entry_points.txt").decode()
    assert "[pytest11]\nsimwin = simwin.pytest_plugin\n" in entry_points
    assert sorted(n for n in names if n.startswith("simwin/")) == SIMWIN
    assert any(n.startswith("velka_code.cpython-311-") and n.endswith(".so") for n in names)
    assert metadata["License-Expression"] == "MIT" and metadata["License-File"] == "LICENSE"
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert metadata.get_payload().strip() == (REPO / "README.md").read_text().strip()
    assert metadata.get_all("Classifier") == PROJECT["classifiers"]
    assert metadata["Keywords"].split(",") == PROJECT["keywords"]
    with tarfile.open(sdist) as archive:
        top = archive.getnames()[0].split("/")[0]
        assert archive.extractfile(f"{top}/LICENSE").read().decode() == license_text
        assert {f"{top}/{name}" for name in SIMWIN} <= set(archive.getnames())


def in_venv(python, *args, cwd):
    """Runs the environment's python with nothing of this checkout or
    interpreter on its path."""
    env = {name: value for name, value in os.environ.items() if not name.startswith(("PYTHON", "PYTEST_"))}
    env["PIP_CACHE_DIR"] = str(pathlib.Path(cwd) / "pip-cache")
    return subprocess.run([str(python), *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=900)


@pytest.mark.slow
def test_the_wheel_in_a_fresh_venv_runs_the_readme_script_and_its_test(built, tmp_path):
    sdist, wheel = built
    made = subprocess.run([sys.executable, "-m", "venv", str(tmp_path / "venv")], capture_output=True, text=True,
                          timeout=300)
    assert made.returncode == 0, made.stderr
    python = tmp_path / "venv" / ("Scripts" if os.name == "nt" else "bin") / "python"
    installed = in_venv(python, "-m", "pip", "install", str(wheel), "pytest", cwd=tmp_path)
    assert installed.returncode == 0, installed.stdout[-4000:] + installed.stderr[-4000:]
    # Both come from the environment, not from a checkout.
    found = in_venv(python, "-c", "import importlib.util as u; print(u.find_spec('simwin').origin); "
                    "print(u.find_spec('velka_code').origin)", cwd=tmp_path)
    assert [pathlib.Path(line).parent.name for line in found.stdout.splitlines()] == ["simwin", "site-packages"]

    readme = str(REPO / "README.md")
    failures = run_examples.run_commands(run_examples.consoles(readme), run_examples.files(readme),
                                         str(tmp_path / "example"), python=str(python), checkout=False)
    assert failures == [], run_examples.describe_commands(failures)
    # pytest found the fixture through the entry point, which -p no:simwin leaves out.
    left_out = in_venv(python, "-m", "pytest", "-q", "-p", "no:simwin", "test_tidy_desktop.py",
                       cwd=tmp_path / "example" / "work")
    assert left_out.returncode == 1 and "fixture 'simulated_windows' not found" in left_out.stdout
    # Outside the simulated platform the import fails, naming it.
    plain = in_venv(python, "-c", "import velka_code", cwd=tmp_path)
    assert plain.stderr.endswith("ModuleNotFoundError: No module named 'winreg'\n"
                                 "velka_code needs Windows; on Linux and macOS run the script on the simulated "
                                 "Windows platform that comes with it: python -m simwin script.py (or call "
                                 "simwin.activate() before importing velka_code)\n")
