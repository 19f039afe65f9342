"""The hosted-runner workflows cannot run here: they are checked against the
GitHub workflow schema, and the Windows wheel's test selection against this
suite."""

import pathlib
import shlex
import shutil
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
WORKFLOWS = sorted((REPO / ".github" / "workflows").glob("*.yml"))
LINTER = shutil.which("check-jsonschema")


def lint(path):
    return subprocess.run([LINTER, "--builtin-schema", "vendor.github-workflows", str(path)],
                          capture_output=True, text=True, timeout=120)


@pytest.mark.skipif(LINTER is None, reason="check-jsonschema is missing: scripts/setup test installs it")
@pytest.mark.parametrize("path", WORKFLOWS, ids=lambda p: p.name)
@pytest.mark.parametrize("broken", [False, True], ids=["as-is", "runs-on-misspelt"])
def test_workflow_is_well_formed(tmp_path, path, broken):
    text = path.read_text()
    if broken:
        assert "runs-on:" in text
        path = tmp_path / path.name
        path.write_text(text.replace("runs-on:", "run-on:"))
    result = lint(path)
    assert (result.returncode != 0) == broken, result.stdout + result.stderr
    assert ("'runs-on' is a required property" in result.stdout) == broken


def test_windows_wheel_runs_the_windows_safe_tests():
    yaml = pytest.importorskip("yaml")
    workflow = yaml.safe_load((REPO / ".github" / "workflows" / "windows-wheel.yml").read_text())
    env = next(step["env"] for step in workflow["jobs"]["wheel"]["steps"]
               if step.get("uses", "").startswith("pypa/cibuildwheel@"))
    assert env["CIBW_BUILD"] == "cp311-win_amd64"
    # Only this workflow sets the variable that lets the real-Windows tier run.
    assert env["VK_REAL_WINDOWS_TIER"] == "hosted-runner"
    command = shlex.split(env["CIBW_TEST_COMMAND"].replace("{project}", str(REPO)))
    assert command[:3] == ["python", "-m", "pytest"]
    collected = subprocess.run([sys.executable, "-m", "pytest", "--collect-only", "-q", *command[3:]],
                               capture_output=True, text=True, cwd=REPO, timeout=300)
    assert collected.returncode == 0, collected.stdout[-3000:] + collected.stderr
    selected = {line.split("::")[0] for line in collected.stdout.splitlines() if "::" in line}
    # The selection runs the platform-neutral routines and leaves out
    # everything that needs the simulated platform.
    assert {"tests/test_numeric.py", "tests/test_digest.py", "tests/test_complex.py", "tests/test_real_windows.py"} <= selected
    assert not selected & {"tests/test_simwin.py", "tests/test_paths.py", "tests/test_system.py"}
