"""What a package index sees: the metadata in pyproject.toml, and an sdist
that builds a wheel in a fresh environment, both passing `twine check`."""

import email.parser
import pathlib
import subprocess
import sys
import tarfile
import tomllib
import zipfile

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]


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


@pytest.mark.slow
def test_the_sdist_builds_a_wheel_in_a_fresh_environment_and_both_pass_twine(tmp_path):
    # Without arguments `build` makes the sdist, unpacks it and builds the
    # wheel from it, each in a new isolated environment.
    built = subprocess.run([sys.executable, "-m", "build", "--outdir", str(tmp_path), str(REPO)],
                           capture_output=True, text=True, timeout=1800)
    assert built.returncode == 0, built.stdout[-4000:] + built.stderr[-4000:]
    sdist, = tmp_path.glob("velka_code-*.tar.gz")
    wheel, = tmp_path.glob("velka_code-*-cp311-cp311-*.whl")

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
    assert any(n.startswith("velka_code.cpython-311-") and n.endswith(".so") for n in names)
    assert metadata["License-Expression"] == "MIT" and metadata["License-File"] == "LICENSE"
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert metadata.get_payload().strip() == (REPO / "README.md").read_text().strip()
    assert metadata.get_all("Classifier") == PROJECT["classifiers"]
    assert metadata["Keywords"].split(",") == PROJECT["keywords"]
    with tarfile.open(sdist) as archive:
        top = archive.getnames()[0].split("/")[0]
        assert archive.extractfile(f"{top}/LICENSE").read().decode() == license_text
