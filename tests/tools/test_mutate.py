"""scripts/mutate: what it makes of a fault, how it reads a test run, and
the fault list it plants from."""

import importlib.machinery
import importlib.util
import os
import pathlib
import time
import tomllib

import pytest

from conftest import REPO


def load_tool():
    loader = importlib.machinery.SourceFileLoader("mutate_tool", os.path.join(REPO, "scripts", "mutate"))
    spec = importlib.util.spec_from_loader(loader.name, loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


mutate = load_tool()


@pytest.mark.parametrize("script, listed_only, equivalent, expected, broken", [
    # what each kind of run gives, in turn ("alone": the failing test alone
    # with the fault, "unchanged": alone without it)
    ({"listed": ["failed"], "alone": ["failed"], "unchanged": ["passed"]}, False, None,
     ("caught", "by t::listed"), []),
    ({"listed": ["passed"], "whole": ["failed"], "alone": ["failed"], "unchanged": ["passed"]}, False, None,
     ("caught", "outside its list, by t::whole"), []),
    ({"listed": ["passed"], "whole": ["passed"]}, False, None, ("survived", ""), []),
    ({"listed": ["passed"], "whole": ["passed"]}, False, "no test can tell",
     ("survived", "equivalent: no test can tell"), []),
    ({"listed": ["passed"]}, True, None, ("survived", "provisionally: only its listed tests ran"), []),
    ({"listed": ["timed out"]}, False, None, ("timed out", "its tests ran past 600 s"), []),
    ({"listed": ["passed"], "whole": ["timed out"]}, False, None, ("timed out", "the whole suite ran past 3600 s"), []),
    ({"listed": ["no tests"]}, False, None, ("not viable", "no test ran: tests/test_x.py"), []),
    ({"listed": ["failed", "passed"], "whole": ["passed"], "alone": ["passed"]}, False, None,
     ("survived", " (t::listed passed when run alone)"), []),
    ({"listed": ["failed", "passed"], "whole": ["passed"], "alone": ["failed"], "unchanged": ["failed"]}, False, None,
     ("survived", " (t::listed fails without the fault too)"), ["t::listed"]),
])
def test_what_becomes_of_a_fault(monkeypatch, script, listed_only, equivalent, expected, broken):
    left_out = []

    def run_tests(tests, time_limit, skip=(), first_failure=True, build=mutate.BUILD):
        if tests == ["tests/test_x.py"] or tests == mutate.WHOLE_SUITE:
            kind = "listed" if tests == ["tests/test_x.py"] else "whole"
            # Left out: what failed on the unchanged copy, and what did not
            # fail for the fault in this stage.
            assert set(skip) == {"t::broken", *left_out}
        else:
            kind = "alone" if build == mutate.BUILD else "unchanged"
            assert tests == ["t::listed"] or tests == ["t::whole"]
            left_out.append(tests[0])
        status = script[kind].pop(0)
        return mutate.Run(status, [f"t::{kind}"] if status == "failed" else [])

    monkeypatch.setattr(mutate, "run_tests", run_tests)
    fault = {"file": "src/x.cpp", "find": "a", "replace": "b"}
    if equivalent:
        fault["equivalent"] = equivalent
    skip = ["t::broken"]
    assert mutate.judge(fault, ["tests/test_x.py"], listed_only, skip) == expected
    assert all(not left for left in script.values())  # every run the script foresaw happened
    assert skip == ["t::broken", *broken]  # a test failing without the fault stays left out


CASES = '''
import os, time, pytest

@pytest.mark.parametrize("case", ["a b - c", "plain"])
def test_fails(case):
    assert case == "none"

def test_passes():
    pass

def test_hangs(tmp_path):
    if os.environ.get("VK_HANG"):
        os.system(f"sleep 300 & echo $! > {os.environ['VK_HANG']}")
        time.sleep(300)
'''


def test_a_run_names_every_failure_and_a_timed_out_run_ends_what_it_started(tmp_path, monkeypatch):
    cases = tmp_path / "test_cases.py"
    cases.write_text(CASES)
    # Run from the folder that holds them, as the tool runs the suite from
    # the checkout: the names it reads are then the ones it can leave out.
    monkeypatch.setattr(mutate, "REPO", str(tmp_path))
    run = mutate.run_tests(["test_cases.py"], 120, first_failure=False)
    assert run.status == "failed"
    assert run.failed == ["test_cases.py::test_fails[a b - c]", "test_cases.py::test_fails[plain]"]
    assert mutate.run_tests(["test_cases.py"], 120, skip=run.failed).status == "passed"
    assert mutate.run_tests(["test_cases.py::test_none"], 120).status == "no tests"
    pid_file = tmp_path / "sleeper"
    monkeypatch.setenv("VK_HANG", str(pid_file))
    assert mutate.run_tests(["test_cases.py::test_hangs"], 10).status == "timed out"
    assert ended(int(pid_file.read_text()))


def ended(pid):
    """True once the process is gone or a zombie (within a few seconds)."""
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.05)
    return False


def test_every_folder_of_the_sources_has_faults():
    with open(os.path.join(REPO, "scripts", "mutations.toml"), "rb") as f:
        faults = tomllib.load(f)["fault"]
    folders = {path.name for path in pathlib.Path(REPO, "src").iterdir() if path.is_dir()}
    assert {fault["file"].split("/")[1] for fault in faults} == folders


def test_every_fault_finds_its_snippet_exactly_once():
    # A snippet the sources no longer hold (or hold twice) plants nothing:
    # the fault is stale until it names the code as it now stands.
    with open(os.path.join(REPO, "scripts", "mutations.toml"), "rb") as f:
        faults = tomllib.load(f)["fault"]
    stale = []
    for number, fault in enumerate(faults, 1):
        path = pathlib.Path(REPO, fault["file"])
        count = path.read_text().count(fault["find"]) if path.is_file() else 0
        if count != 1:
            stale.append(f"fault {number}: {fault['file']} holds its snippet {count} times: {fault['find']!r}")
    assert stale == []
