"""Awkward arguments to every public function and method (see fuzz.py):
only ordinary Python exceptions may come out, none may stay set, no
temporary file may stay behind, and the child interpreter must survive.
Functions that run processes or servers or touch the system run on the
simulated platform, in a temporary folder, with a time limit per call.
"""

import os
import signal
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fuzz
import recipes

NAMES = recipes.public_names()
ARITY = fuzz.arities(NAMES)
EXAMPLES = int(os.environ.get("VK_FUZZ_EXAMPLES", "300"))


@st.composite
def calls(draw):
    name = draw(st.sampled_from(NAMES))
    low, high = ARITY[name]
    count = draw(st.one_of(st.integers(low, high), st.integers(0, fuzz.MAX_POSITIONAL), st.just(300)))
    value = st.one_of(st.just("r"), st.integers(0, len(fuzz.POOL) - 1))
    positional = draw(st.lists(value, min_size=count, max_size=count))
    keyword = st.tuples(st.tuples(st.sampled_from(fuzz.KEYWORDS), st.integers(0, 7)),
                        st.integers(0, len(fuzz.POOL) - 1)).map(lambda t: [list(t[0]), t[1]])
    keywords = draw(st.lists(keyword, max_size=2))
    return [name, positional, keywords, draw(st.booleans())]


@pytest.fixture(scope="module", params=[True, False], ids=["windows", "linux"])
def runner(request):
    child = fuzz.Runner(request.param)
    yield child
    child.close()


def test_awkward_calls_raise_only_python_exceptions(runner):
    @settings(max_examples=EXAMPLES, deadline=None, database=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    @given(call=calls())
    def check(call):
        outcome, finding = runner.call(call)
        assert finding is None, f"{fuzz.describe(call)}: {finding}"

    check()


def test_a_crash_is_a_finding_and_the_child_restarts(runner):
    labels = [label for label, _ in fuzz.POOL]
    huge, five = labels.index("10**400"), labels.index("5")
    crash = threading.Timer(0.5, lambda: os.kill(runner.proc.pid, signal.SIGSEGV))
    crash.start()
    outcome, finding = runner.call(["factorial", [huge], [], False])  # runs until the time limit
    crash.join()
    # (under AddressSanitizer the child reports the fault and exits with 1)
    assert outcome == "lost" and finding in ("child ended with signal SIGSEGV", "child ended with exit status 1")
    assert runner.call(["sqrt", [five], [], False]) == ("returned", None)
