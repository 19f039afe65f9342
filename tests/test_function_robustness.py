"""Deep recursion and re-entrant lookups through the module's functions.

Every case runs in a child interpreter: a crash there is a failed test, not
the end of the run.
"""

import os
import textwrap

import pytest

from conftest import run_python

PRELUDE = """\
import sys
import simwin
simwin.activate(windows=False)
import velka_code
"""


# Under the sanitizers the module's stack frames grow several times over
# while the interpreter's stay as they are: depths that a release build
# reaches mean nothing there.
release_stack = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                   reason="sanitizer build: larger stack frames")


def run_child(body, env=None):
    return run_python(PRELUDE + textwrap.dedent(body), env=env)


@pytest.mark.parametrize("body", [
    "c = velka_code.ComplexNumber(1, 2); c.real = c; c + 1",
    "c = velka_code.ComplexNumber(1, 2); c.imag = c; c * 2",
    "c = velka_code.ComplexNumber(1, 2); c.real = c; str(c)",
    """
    c = velka_code.ComplexNumber(1, 0)
    for _ in range(200_000):
        c = velka_code.ComplexNumber(c, 0)
    c + 1
    """,
    pytest.param("""
    sys.setrecursionlimit(8000)
    velka_code.factorial = lambda n: velka_code.sin(.5)
    velka_code.sin(.5)
    """, marks=release_stack),
    # A cycle of the module's own functions only, no Python frame between.
    "velka_code.factorial = velka_code.sin; velka_code.sin(.5)",
], ids=["real-is-self", "imag-is-self", "str", "200000-nested", "python-and-module", "module-only"])
def test_deep_recursion_raises_recursion_error(body):
    code = "try:\n" + textwrap.indent(textwrap.dedent(body).strip(), "    ") + \
           "\nexcept RecursionError as e:\n    print('RecursionError:', e)\n"
    result = run_child(code)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.startswith("RecursionError: maximum recursion depth exceeded")


def test_every_call_counts_against_the_recursion_limit():
    # sin calls factorial, which calls sin again: each round is one call of
    # the module's function, counted twice, and one Python frame.
    result = run_child("""
        depth = 0
        def counting(n):
            global depth
            depth += 1
            return velka_code.sin(.5)
        velka_code.factorial = counting
        sys.setrecursionlimit(300)
        try:
            velka_code.sin(.5)
        except RecursionError:
            pass
        print(depth)
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert 80 <= int(result.stdout) <= 100


@release_stack
@pytest.mark.parametrize("limit", [4000, 8000, 12000, 13000])
def test_survives_wherever_the_builtins_survive(limit):
    def survives(body):
        result = run_child(f"""
            sys.setrecursionlimit({limit})
            {body}
            try:
                start()
            except RecursionError:
                print("survived")
        """)
        return result.stdout.strip() == "survived"

    builtins = survives("def start(x=0): return list(map(start, [x]))")
    through_python = survives("velka_code.factorial = lambda n: velka_code.sin(.5); "
                              "start = lambda: velka_code.sin(.5)")
    module_only = survives("c = velka_code.ComplexNumber(1, 2); c.real = c; start = lambda: c + 1")
    assert (through_python and module_only) or not builtins


KEY = """
class Key:
    # Collides with `name` in a dict and runs `action` when compared.
    def __init__(self, name, action):
        self.name, self.action = name, action
    def __hash__(self):
        return hash(self.name)
    def __eq__(self, other):
        self.action()
        return False

class Name(str):
    # A keyword whose comparison runs `action` first.
    action = None
    def __eq__(self, other):
        Name.action()
        return str.__eq__(self, other)
    __hash__ = str.__hash__

STDOUT = {"sep": " ", "end": "\\n", "file": sys.stdout}
"""


@pytest.mark.parametrize("body", [
    # inspect.signature reads __signature__; the annotations lookup runs
    # code that drops the other fields.
    """
    def action(): velka_code.sin.__defaults__ = None
    velka_code.sin.__annotations__ = {Key("x", action): 1}
    velka_code.sin.__signature__
    """,
    """
    def action(): velka_code.sin.__annotations__ = {}
    velka_code.sin.__annotations__ = {Key("x", action): 1}
    velka_code.sin.__signature__
    """,
    """
    def action(): velka_code.sin.__kwdefaults__ = None; velka_code.sin.__annotations__ = None
    velka_code.sin.__annotations__ = {Key("return", action): 1}
    velka_code.sin.__signature__
    """,
    """
    def action(): velka_code.vkprint.__kwdefaults__ = dict(STDOUT)
    velka_code.vkprint.__kwdefaults__ = {Key("sep", action): 1, "end": "\\n", "file": sys.stdout}
    velka_code.vkprint.__signature__
    """,
    # Binding: the keyword-only defaults replaced during their own lookup.
    """
    def action(): velka_code.vkprint.__kwdefaults__ = dict(STDOUT)
    velka_code.vkprint.__kwdefaults__ = {Key("sep", action): 1, "end": "\\n", "file": sys.stdout}
    velka_code.vkprint("a")
    """,
    """
    def action(): velka_code.vkprint.__kwdefaults__ = None
    velka_code.vkprint.__kwdefaults__ = {"sep": " ", Key("end", action): 1, "file": sys.stdout}
    velka_code.vkprint("a", sep="-")
    """,
    # Binding: the defaults replaced while a keyword is compared.
    """
    def action(): velka_code.sqrt.__defaults__ = None
    Name.action = action
    velka_code.sqrt(2.0, **{Name("max_iterations"): 5})
    """,
    # An assigned __signature__ is looked up in __dict__.
    """
    def action(): velka_code.sin.__dict__ = {}
    velka_code.sin.__dict__ = {Key("__signature__", action): 1}
    velka_code.sin.__signature__
    """,
], ids=["signature-defaults", "signature-annotations", "signature-return", "signature-kwdefaults",
        "call-kwdefaults", "call-kwdefaults-cleared", "call-defaults", "assigned-signature"])
def test_fields_replaced_by_a_lookup_do_not_crash(body):
    code = KEY + "try:\n" + textwrap.indent(textwrap.dedent(body).strip(), "    ") + \
           "\nexcept Exception as e:\n    print(type(e).__name__)\nprint('survived')\n"
    result = run_child(code, env={"PYTHONMALLOC": "debug"})
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines()[-1] == "survived"
