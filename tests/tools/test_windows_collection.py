"""scripts/windows-collect: the hosted Windows runner's test command collects
the whole suite with only what that runner has importable."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = REPO / "scripts" / "windows-collect"


def windows_collect(*args):
    return subprocess.run([sys.executable, str(SCRIPT), *map(str, args)], capture_output=True, text=True,
                          timeout=900)


def test_the_suite_collects_as_on_the_windows_runner():
    result = windows_collect()
    assert result.returncode == 0, result.stderr
    summary = re.fullmatch(r"windows-collect: (\d+)/(\d+) tests collected \((\d+) deselected\) in [\d.]+s, "
                           r"importing only (.*) \(not installed here: pywin32, wmi\)\n", result.stdout)
    assert summary, result.stdout
    selected, total, deselected = map(int, summary.groups()[:3])
    assert selected > 0 and selected + deselected == total
    importable = summary.group(4).split(", ")
    # The wheel's dependencies and the test requirements with theirs; not
    # the packages only this machine's checks use.
    assert {"cryptography", "mpmath", "chardet", "pytest", "hypothesis", "cffi", "velka-code"} <= set(importable)
    assert not {"pyyaml", "trove-classifiers", "mypy", "pytest-benchmark"} & set(importable)


@pytest.mark.parametrize("line, message", [
    ("import pwd", "ModuleNotFoundError: import of pwd halted; None in sys.modules"),
    ("import fcntl", "ModuleNotFoundError: import of fcntl halted; None in sys.modules"),
    ("import yaml", "ModuleNotFoundError: No module named 'yaml' (the Windows wheel workflow does not install it)"),
    ("from trove_classifiers import classifiers",
     "No module named 'trove_classifiers' (the Windows wheel workflow does not install it)"),
], ids=["posix-only", "posix-only-fcntl", "not-installed", "not-installed-from"])
def test_a_top_level_import_the_runner_lacks_fails_the_check(tmp_path, line, message):
    project = tmp_path / "project"
    shutil.copytree(REPO, project, ignore=shutil.ignore_patterns(".git", "build", "__pycache__", "*.egg-info"))
    module = project / "tests" / "test_copy.py"
    text = module.read_text()
    module.write_text(text.replace("\nimport os\n", f"\nimport os\n{line}\n", 1))
    assert module.read_text() != text
    result = windows_collect("--project", project)
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.startswith("windows-collect: the suite does not collect as on the Windows runner")
    errors = re.findall(r"^_+ ERROR collecting (\S+) _+$", result.stderr, re.M)
    assert [os.path.basename(path) for path in errors] == ["test_copy.py"], result.stderr
    assert message in result.stderr


TIER = REPO / "tests" / "test_real_windows.py"
TIER_ENV = ("VK_REAL_WINDOWS_TIER", "GITHUB_ACTIONS", "RUNNER_ENVIRONMENT")


@pytest.mark.parametrize("env", [
    {},
    {"VK_REAL_WINDOWS_TIER": "hosted-runner", "GITHUB_ACTIONS": "true", "RUNNER_ENVIRONMENT": "github-hosted"},
], ids=["variable-absent", "variable-set-off-windows"])
def test_the_real_windows_tier_is_collected_and_skipped_saying_why(env):
    base = {name: value for name, value in os.environ.items() if name not in TIER_ENV and not name.startswith("PYTEST_")}
    result = subprocess.run([sys.executable, "-m", "pytest", str(TIER), "-rs", "-p", "no:cacheprovider"],
                            capture_output=True, text=True, cwd=REPO, env={**base, **env}, timeout=300)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr
    collected = int(re.search(r"^collected (\d+) items", result.stdout, re.M).group(1))
    reasons = re.findall(r"^SKIPPED \[(\d+)\] tests[/\\]test_real_windows\.py(?::\d+)?: (.*)$", result.stdout, re.M)
    assert collected >= 15
    assert sum(int(count) for count, _ in reasons) == collected
    assert {reason for _, reason in reasons} == {
        "real-Windows tier: it changes the registry, clipboard and files of the machine it runs on, so it runs "
        "only on the hosted Windows runner of .github/workflows/windows-wheel.yml, which sets VK_REAL_WINDOWS_TIER"}
    assert re.search(rf"^=+ {collected} skipped in ", result.stdout, re.M)


@pytest.mark.parametrize("addopts, blocked", [
    ("-ra -p no:simwin", {"simwin"}),
    ("-p no:simwin -p no:cacheprovider -p xdist", {"simwin", "cacheprovider"}),
    ("-ra", set()),
])
def test_plugins_the_project_leaves_out_are_not_loaded(tmp_path, addopts, blocked):
    # The runner's pytest reads the project's options, so an installed plugin
    # they leave out is not loaded there either.
    import importlib.machinery
    import importlib.util
    loader = importlib.machinery.SourceFileLoader("windows_collect", str(SCRIPT))
    script = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(script)
    (tmp_path / "pyproject.toml").write_text(f'[tool.pytest.ini_options]\naddopts = "{addopts}"\n')
    assert script.blocked_plugins(tmp_path) == blocked
