"""Data of any depth that the module walks or frees: a registry chain below
a type key, a chain of the module's functions held through their fields.

Each case runs in a child interpreter, in the main thread and in threads of
small and large stacks, at recursion limits from the default to far past
what any stack holds: the call returns or raises, and a crash is the
child's return code, not the end of the run.
"""

import textwrap

import pytest

from conftest import run_python

STACKS = [None, 256 * 1024, 512 * 1024, 1024 * 1024, 8 * 1024 * 1024]
LIMITS = [1000, 10_000, 100_000]

PRELUDE = """\
import contextlib, io, sys, threading, types, weakref
import simwin
platform = simwin.activate(windows=True)
import velka_code as vk
"""

# Runs case() at each limit, in a thread of the given stack size (the main
# thread for None), and prints one line per limit: its result, or the name
# of what it raised.
RUNNER = """
def run(stack):
    for limit in {limits}:
        out = []
        def work():
            sys.setrecursionlimit(limit)
            try:
                out.append(case())
            except BaseException as e:
                out.append("raised " + type(e).__name__)
            finally:
                sys.setrecursionlimit(1000)
        if stack is None:
            work()
        else:
            threading.stack_size(stack)
            thread = threading.Thread(target=work)
            thread.start()
            thread.join()
        print(limit, out[0], flush=True)
run({stack})
"""

CASES = {
    # delete empties a type key below which a script made 3,000 levels.
    "registry chain": ("""
        HKCR = 0x80000000
        def case():
            platform.registry.create(HKCR, "Deep.Type\\\\" + "\\\\".join(["k"] * 3000))
            result = vk.delete(".zz", "Deep.Type")
            return (result, platform.registry.key_exists(HKCR, "Deep.Type"), vk.winreg.open_handle_count())
        """, "(None, False, 0)"),
    # 100,000 functions made at call time, each the __doc__ of the next,
    # freed when the last reference goes.
    "function chain": ("""
        made = []
        class Thread:
            def __init__(self, target):
                made.append(target)
            def start(self):
                pass
        vk.subprocess = types.SimpleNamespace(Popen=lambda command: None)
        vk.threading = types.SimpleNamespace(Thread=Thread)
        server = vk.BackendPythonServer("x.py")
        def case():
            with contextlib.redirect_stdout(io.StringIO()):
                for _ in range(100_000):
                    server.start()
            first = weakref.ref(made[0])
            head = None
            while made:
                function = made.pop()
                function.__doc__ = head
                head = function
            del function
            head = None
            return first() is None
        """, "True"),
}


@pytest.mark.parametrize("stack", STACKS, ids=["main", "256k", "512k", "1m", "8m"])
@pytest.mark.parametrize("case", CASES)
def test_deep_data_never_crashes(case, stack):
    body, expected = CASES[case]
    result = run_python(PRELUDE + textwrap.dedent(body) + RUNNER.format(limits=LIMITS, stack=stack), timeout=300)
    assert result.returncode == 0, (result.returncode, result.stdout[-1000:], result.stderr[-2000:])
    assert result.stdout.splitlines() == [f"{limit} {expected}" for limit in LIMITS]
