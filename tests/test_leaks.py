"""Every public function and method, on every path, leaks nothing.

Each call of a recipe (and the argument errors derived from its signature)
runs a warm-up and then rounds of calls. The test fails when the reference
count of an argument, the interpreter's allocated blocks or the open file
descriptors grow in every one of MAX_ROUNDS rounds (a leak grows with the
calls, while caches fill and settle: ctypes and chardet settle only after
a few hundred calls), or when a registry handle of the simulated platform
stays open. Blocks may move by up to BLOCK_TOLERANCE, or a quarter of the
calls of a round, without counting as growth: a leak of one block per
call still shows.
"""

import contextlib
import gc
import os
import signal
import sys
import threading
import warnings

import pytest
import winreg

import recipes
from conftest import PLATFORM

MAX_ROUNDS = 12
CALLS = int(os.environ.get("VK_LEAK_CALLS", "40"))  # per round, for a call of cost 1
BLOCK_TOLERANCE = 8
CALL_LIMIT = 20  # seconds
SHARED = 100  # references an object has from elsewhere before it counts as shared


class TimedOut(BaseException):
    pass


def _time_limit(signum, frame):
    raise TimedOut(f"a call took longer than {CALL_LIMIT} s")


@pytest.fixture(autouse=True)
def call_time_limit():
    previous = signal.signal(signal.SIGALRM, _time_limit)
    yield
    signal.signal(signal.SIGALRM, previous)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def settle():
    # Watcher threads of BackendPythonServer end with their child.
    for thread in threading.enumerate():
        if thread is not threading.current_thread() and not thread.daemon:
            thread.join(10)
    # The simulated machine logs every registry write and notification.
    PLATFORM.forget_history()
    gc.collect()


def snapshot(call):
    objects = list(call.args) + list(call.kwargs.values())
    return ([sys.getrefcount(o) for o in objects], sys.getallocatedblocks(), open_fds())


def growth(before, after):
    refs = [b - a for a, b in zip(before[0], after[0])]
    return refs, after[1] - before[1], after[2] - before[2]


@pytest.fixture(scope="module")
def sandbox(tmp_path_factory):
    box = recipes.Sandbox(tmp_path_factory.mktemp("leaks"))
    with box.active():
        yield box


@pytest.fixture(scope="module")
def table(sandbox):
    with sandbox.active():
        return recipes.recipes(sandbox)


@contextlib.contextmanager
def quiet(sandbox):
    saved = sys.stdout, sys.stderr
    # A file of the sandbox, line-buffered, so that printed lines do not
    # pile up in the text layer's pending buffer and look like growth.
    with open(sandbox.path("printed.txt"), "w", buffering=1) as sink:
        sys.stdout = sys.stderr = sink
        try:
            yield
        finally:
            sys.stdout, sys.stderr = saved


@contextlib.contextmanager
def patched(module, names):
    saved = {name: vars(module)[name] for name in names}
    vars(module).update(names)
    try:
        yield
    finally:
        vars(module).update(saved)


def steady(function, call, calls):
    """Runs rounds of calls until every measure has had a round without
    growth; returns the measures that grew in every one of MAX_ROUNDS."""
    def once():
        signal.setitimer(signal.ITIMER_REAL, CALL_LIMIT)
        try:
            call.invoke(function)
        except TimedOut:
            raise
        except BaseException:  # noqa: BLE001 - failure paths are what is measured
            pass
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)

    # Warnings would pile up in pytest's record of them.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return _steady(once, call, calls)


def _steady(once, call, calls):
    for _ in range(max(calls // 4, 2)):
        once()
    settle()
    before = snapshot(call)
    # Shared objects (small ints, None, interned text) have many users
    # besides the call; only the recipe's own objects are followed.
    refs_settled = [count > SHARED for count in before[0]]
    blocks_settled = fds_settled = False
    history = []
    for _ in range(MAX_ROUNDS):
        for _ in range(calls):
            once()
        settle()
        after = snapshot(call)
        refs, blocks, fds = growth(before, after)
        history.append(blocks)
        refs_settled = [done or r <= 0 for done, r in zip(refs_settled, refs)]
        blocks_settled = blocks_settled or blocks <= max(BLOCK_TOLERANCE, calls // 4)
        fds_settled = fds_settled or fds <= 0
        if all(refs_settled) and blocks_settled and fds_settled:
            return []
        before = after
    grew = [f"references of argument {i}" for i, done in enumerate(refs_settled) if not done]
    if not blocks_settled:
        grew.append(f"allocated blocks {history}")
    if not fds_settled:
        grew.append("file descriptors")
    return grew


def test_every_recipe_is_for_a_name_the_module_has(table):
    stale = sorted(set(table) - set(recipes.public_names()))
    assert not stale, f"tests/recipes.py has recipes for names velka_code lacks: {', '.join(stale)}"


@pytest.mark.parametrize("name", recipes.public_names())
def test_no_growth_on_any_path(name, sandbox, table, vk):
    recipe = table.get(name)
    if recipe is None:
        pytest.fail(recipes.missing_recipe(name))
    function = recipes.resolve(name)
    calls = max(CALLS // recipe.cost, 3)
    windows = PLATFORM.windows
    PLATFORM.set_windows(recipe.windows)
    paths = [*recipe.ok, *recipes.argument_errors(function, recipe.ok[0]), *recipe.fail]
    try:
        with sandbox.active(), quiet(sandbox), patched(vk, recipe.patch):
            for path in paths:
                where = f"{name}(*{path.args!r}, **{path.kwargs!r})"
                wrong = path.check(function)
                assert wrong is None, f"{where}: {wrong}"
                grew = steady(function, path, calls)
                assert not grew, f"{where}: grows with every round of calls: {grew}"
                assert winreg.open_handle_count() == 0, f"{where}: registry handle left open"
    finally:
        PLATFORM.set_windows(windows)


# backend() starts a command and drops its process object by design.
RESOURCE_WARNINGS_BY_DESIGN = {"backend"}


@pytest.mark.parametrize("name", recipes.public_names())
def test_every_resource_is_closed_when_the_call_ends(name, sandbox, table, vk):
    recipe = table.get(name)
    if recipe is None:
        pytest.fail(recipes.missing_recipe(name))
    function = recipes.resolve(name)
    windows = PLATFORM.windows
    PLATFORM.set_windows(recipe.windows)
    try:
        with sandbox.active(), quiet(sandbox), patched(vk, recipe.patch), warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always", ResourceWarning)
            for path in [*recipe.ok, *recipe.fail]:
                with contextlib.suppress(BaseException):
                    path.invoke(function)
                settle()
    finally:
        PLATFORM.set_windows(windows)
    unclosed = [str(w.message) for w in seen if issubclass(w.category, ResourceWarning)]
    if name in RESOURCE_WARNINGS_BY_DESIGN:
        unclosed = [text for text in unclosed if not text.startswith("subprocess")]
    assert not unclosed
