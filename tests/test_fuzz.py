"""Awkward arguments to every public function and method (see fuzz.py):
only ordinary Python exceptions may come out, none may stay set, no
temporary file may stay behind, and the child interpreter must survive.
Functions that run processes or servers or touch the system run on the
simulated platform, in a temporary folder, with a time limit per call.
Nothing outside that folder may change: the modes and owners of
/dev/null, /tmp and the folder that holds the sandboxes are compared
before and after each test.
"""

import os
import signal
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import confinement
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


LABELS = [label for label, _ in fuzz.POOL]


def pool(*labels):
    return [LABELS.index(label) for label in labels]


@pytest.fixture(scope="module", params=[True, False], ids=["windows", "linux"])
def runner(request, tmp_path_factory):
    try:
        child = fuzz.Runner(request.param, tmp_path_factory.mktemp("fuzz"))
    except PermissionError as error:
        pytest.skip(str(error))
    yield child
    child.close()


@pytest.fixture(autouse=True)
def nothing_outside_changes(runner):
    before = confinement.shared_places(runner.folder)
    yield
    assert confinement.shared_places(runner.folder) == before


def test_awkward_calls_raise_only_python_exceptions(runner, tmp_path):
    # The child refuses to call a name without a recipe (it could touch this
    # machine): every name it may be asked for is checked before any is drawn.
    table = recipes.recipes(recipes.Sandbox(tmp_path))
    assert [recipes.missing_recipe(name) for name in NAMES if name not in table] == []

    @settings(max_examples=EXAMPLES, deadline=None, database=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    @given(call=calls())
    def check(call):
        outcome, finding = runner.call(call)
        assert finding is None, f"{fuzz.describe(call)}: {finding}"

    check()


def test_a_crash_is_a_finding_and_the_child_restarts(runner):
    huge, five = pool("10**400", "5")
    assert runner.call(["sqrt", [five], [], False]) == ("returned", None)
    crashed_box = runner.box
    crash = threading.Timer(0.5, lambda: os.kill(runner.proc.pid, signal.SIGSEGV))
    crash.start()
    outcome, finding = runner.call(["factorial", [huge], [], False])  # runs until the time limit
    crash.join()
    # (under AddressSanitizer the child reports the fault and exits with 1)
    assert outcome == "lost" and finding in ("child ended with signal SIGSEGV", "child ended with exit status 1")
    assert not os.path.exists(crashed_box)
    assert runner.call(["sqrt", [five], [], False]) == ("returned", None)


@pytest.mark.parametrize("descriptor, mode, stream", [("0", "5", "stdin"), ("1", "0", "stdout"), ("True", "5", "stdout")])
def test_small_integers_reach_only_the_sandbox_streams(runner, descriptor, mode, stream):
    # permissions(fd, mode) is os.chmod(fd, mode): the child's descriptors
    # 0-2 are files of its sandbox.
    assert runner.call(["permissions", pool(descriptor, mode), [], False]) == ("returned", None)
    assert os.stat(os.path.join(runner.box, stream)).st_mode & 0o7777 == int(mode)


def test_the_child_has_no_rights_beyond_its_users(runner):
    assert runner.call(["sqrt", pool("5"), [], False]) == ("returned", None)
    with open(f"/proc/{runner.proc.pid}/status") as f:
        status = dict(line.split(":", 1) for line in f)
    uids = {int(uid) for uid in status["Uid"].split()}
    if confinement.is_root():
        # Only reading and searching any file (capability 2) is left.
        assert 0 not in uids and int(status["CapEff"], 16) == 1 << 2 and int(status["NoNewPrivs"]) == 1
    else:
        assert uids == {os.getuid()} and int(status["CapEff"], 16) == 0
