"""Deep recursion and re-entrant lookups through the module's functions.

Every case runs in a child interpreter: a crash there is a failed test, not
the end of the run.
"""

import importlib.util
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


# Each case runs in the main thread and in threads with small and large
# stacks: the module's own stack check must end it in RecursionError
# wherever the count alone would not.
STACKS = [None, 256 * 1024, 1024 * 1024, 8 * 1024 * 1024]


def in_thread(body, stack):
    """body run in a thread with `stack` bytes of stack (the main thread for None)."""
    body = textwrap.dedent(body).strip()
    if stack is None:
        return body
    return (f"import threading\nthreading.stack_size({stack})\ndef work():\n" + textwrap.indent(body, "    ") +
            "\nt = threading.Thread(target=work)\nt.start()\nt.join()\n")


@pytest.mark.parametrize("stack", STACKS, ids=["main", "256k", "1m", "8m"])
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
    """
    sys.setrecursionlimit(8000)
    velka_code.factorial = lambda n: velka_code.sin(.5)
    velka_code.sin(.5)
    """,
    # A cycle of the module's own functions only, no Python frame between.
    "velka_code.factorial = velka_code.sin; velka_code.sin(.5)",
    # A limit far past what any stack holds: only the stack check can stop it.
    "sys.setrecursionlimit(1_000_000); c = velka_code.ComplexNumber(1, 2); c.real = c; str(c)",
    "sys.setrecursionlimit(1_000_000); velka_code.factorial = velka_code.sin; velka_code.sin(.5)",
], ids=["real-is-self", "imag-is-self", "str", "200000-nested", "python-and-module", "module-only",
        "str-unlimited", "module-only-unlimited"])
def test_deep_recursion_raises_recursion_error(body, stack):
    body = "try:\n" + textwrap.indent(textwrap.dedent(body).strip(), "    ") + \
           "\nexcept RecursionError as e:\n    print('RecursionError:', e)\n"
    result = run_child(in_thread(body, stack))
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.startswith("RecursionError: maximum recursion depth exceeded")


DEPTH = """
class ComplexNumber:
    def __init__(self, real, imag):
        self.real = real
        self.imag = imag
    def __add__(self, other):
        return ComplexNumber(self.real + other.real, self.imag + other.imag)
    def __str__(self):
        return f"{self.real} + {self.imag}i"

def depth(cls, operation):
    # The longest chain of parts the operation gets through.
    low, high = 1, 5000
    while low < high:
        middle = (low + high + 1) // 2
        c = cls(1, 2)
        for _ in range(middle):
            c = cls(c, 0)
        try:
            operation(c)
            low = middle
        except RecursionError:
            high = middle - 1
    return low
"""


@pytest.mark.parametrize("operation", ["str", "lambda c: c + 1"])
def test_recursion_through_the_module_is_as_deep_as_through_defs(operation):
    # The same class written in Python is the peer, at the default limit.
    result = run_child(DEPTH + f"print(depth(ComplexNumber, {operation}), "
                               f"depth(velka_code.ComplexNumber, {operation}))\n")
    assert result.returncode == 0, result.stderr[-2000:]
    peer, ours = map(int, result.stdout.split())
    assert ours >= 0.9 * peer, (ours, peer)


def depth_tool():
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "benchmarks", "depth.py")
    spec = importlib.util.spec_from_file_location("depth_tool", path)
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    return tool


@release_stack
@pytest.mark.parametrize("shape, stack_kib, limit, share", [
    ("+", 256, 1000, 0.6), ("Python-sin", 256, 1000, 0.6),
    ("+", 512, 1000, 0.9), ("Python-sin", 512, 1000, 0.9),
    # A limit no stack holds: the peer crashes, and the module must go
    # nearly as deep before it refuses.
    ("+", 8192, 1_000_000, 0.95),
])
def test_depth_in_threads_against_the_python_peer(shape, stack_kib, limit, share):
    # Each probe runs in a fresh interpreter (benchmarks/depth.py), so a
    # crash of the peer ends one probe only; the module must never crash.
    tool = depth_tool()
    top = 1100 if limit == 1000 else 40_000
    ours, crashed = tool.depth(shape, True, stack_kib * 1024, limit, top)
    assert crashed is None
    peer, _ = tool.depth(shape, False, stack_kib * 1024, limit, top)
    assert ours >= share * peer, (ours, peer)


def test_every_call_counts_once_against_the_recursion_limit():
    # sin calls factorial, which calls sin again: each round is one call of
    # the module's function and one Python frame, as with a def for sin.
    result = run_child("""
        def rounds(sin):
            depth = 0
            def counting(n):
                nonlocal depth
                depth += 1
                return sin(.5)
            velka_code.factorial = counting
            try:
                sin(.5)
            except RecursionError:
                pass
            return depth
        def sin(x):
            return velka_code.factorial(1)
        sys.setrecursionlimit(300)
        print(rounds(velka_code.sin), rounds(sin))
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    ours, peer = map(int, result.stdout.split())
    assert abs(ours - peer) <= 1, (ours, peer)


def test_each_call_takes_exactly_one_level():
    # c + 1 over a chain of n parts is n + 1 calls of __add__ with no frame
    # between them, the last of which calls the class for its result: two
    # levels more, the call of the class and its __init__, as for a class
    # written in Python. down(k) is k + 1 frames. Both run inside one more
    # frame, so with one level per call the chain stops three short of down.
    result = run_child("""
        def deepest(run):
            low, high = 0, 3000
            while low < high:
                middle = (low + high + 1) // 2
                try:
                    run(middle)
                    low = middle
                except RecursionError:
                    high = middle - 1
            return low
        def chain(n):
            c = velka_code.ComplexNumber(1, 2)
            for _ in range(n):
                c = velka_code.ComplexNumber(c, 0)
            c + 1
        def down(k):
            return down(k - 1) if k else 0
        for limit in (200, 201, 1000):
            sys.setrecursionlimit(limit)
            print(deepest(down) - deepest(chain))
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["3", "3", "3"]


def test_a_refused_call_gives_back_exactly_what_it_took():
    # Calls refused at the limit, hundreds of times, in every position of a
    # Python recursion: the depth a plain recursion reaches stays the same.
    result = run_child("""
        def plain():
            n = 0
            def down():
                nonlocal n
                n += 1
                down()
            try:
                down()
            except RecursionError:
                pass
            return n
        def through_module(extra):
            def down(k):
                velka_code.absolute_value(-1)
                if k:
                    down(k - 1)
                else:
                    velka_code.ComplexNumber(1, 2) + velka_code.ComplexNumber(3, 4)
                    down(0)
            try:
                down(extra)
            except RecursionError:
                pass
        before = plain()
        for extra in range(400):
            through_module(extra)
        print(before, plain())
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    before, after = result.stdout.split()
    assert before == after


@release_stack
@pytest.mark.parametrize("limit", [4000, 13000, 100_000])
def test_survives_any_recursion_limit(limit):
    for body in ("velka_code.factorial = lambda n: velka_code.sin(.5); start = lambda: velka_code.sin(.5)",
                 "c = velka_code.ComplexNumber(1, 2); c.real = c; start = lambda: c + 1"):
        result = run_child(f"""
            sys.setrecursionlimit({limit})
            {body}
            try:
                start()
            except RecursionError:
                print("survived")
        """)
        assert result.stdout.strip() == "survived", result.stderr[-2000:]


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
    # Held by the function alone, and too long for the tuple free lists, so
    # that its memory is poisoned once freed.
    velka_code.sqrt.__defaults__ = tuple([0.0] * 22 + [1e-06, 100])
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


# HTTPSServer.start() 20 times, each ending in TypeError (TCPServer is
# unset) once it has made its handler class, with a collection at nearly
# every allocation meanwhile: each runs look(o) in a finalizer for every
# object of the two younger generations, and takes the 1-tuples kept for
# reuse, so that making one allocates too.
START_WHILE_COLLECTING = """
import gc, types
velka_code.socketserver = types.SimpleNamespace(TCPServer=None)
def start_while_collecting(look):
    class Trash:
        def __del__(self):
            global spare
            if gc.get_threshold()[0] == 1:
                arm()
                spare = None
                spare = [(i,) for i in range(2100)]
                for o in gc.get_objects(0) + gc.get_objects(1):
                    look(o)
    def arm():
        trash = Trash()
        trash.cycle = trash
    arm()
    gc.set_threshold(1)
    for _ in range(20):
        try:
            velka_code.HTTPSServer(0, ".").start()
        except TypeError:
            pass
    gc.set_threshold(700)
"""


@pytest.mark.parametrize("body", [
    # A namespace key that collides with "exp" and swaps what the name
    # holds, between the module's exp and bytes, at every lookup of it.
    """
    own_exp = velka_code.exp
    namespace = vars(velka_code)
    class Swap:
        busy = own = False
        def __hash__(self):
            return hash("exp")
        def __eq__(self, other):
            if not Swap.busy:
                Swap.busy, Swap.own = True, not Swap.own
                namespace["exp"] = own_exp if Swap.own else b"not a function"
                Swap.busy = False
            return False
    del namespace["exp"]
    namespace[Swap()] = None
    namespace["exp"] = b"not a function"
    for _ in range(4):
        for call in (lambda: velka_code.ln(10.0), lambda: velka_code.log10(100)):
            try:
                call()
            except TypeError:
                pass
    """,
    # A __str__ that walks every tracked container while vkprint converts.
    """
    import gc, io
    class Walker:
        def __str__(self):
            for o in gc.get_objects():
                if type(o) is list:
                    for item in o:
                        pass
            return "w"
    velka_code.vkprint(Walker(), Walker(), Walker(), file=io.StringIO())
    """,
    # A partial holds the only references to the function and to the
    # arguments; code run inside the call replaces the partial's state.
    """
    import functools, gc
    init = vars(velka_code.HTTPServer)["__init__"]
    delattr(velka_code.HTTPServer, "__init__")
    class Target:
        def __setattr__(self, name, value):
            partial.__setstate__((print, (), None, None))
            gc.collect()
            object.__setattr__(self, name, value)
    partial = functools.partial(init, Target(), 10 ** 20, "folder" * 3)
    del init
    partial()
    """,
    """
    import functools, gc
    class Part:
        @property
        def real(self):
            partial.__setstate__((print, (), None, None))
            gc.collect()
            return 1.5
        imag = 2.5
    partial = functools.partial(velka_code.ComplexNumber.__add__, velka_code.ComplexNumber(1, 2), Part())
    print(str(partial()))
    """,
    # The same through a call that binds: a keyword's __eq__ frees the
    # positional argument that only the partial held.
    """
    import functools, gc
    class Name(str):
        __hash__ = str.__hash__
        def __eq__(self, other):
            partial.__setstate__((print, (), None, None))
            gc.collect()
            return str.__eq__(self, other)
    # An int this large has no free list: freed, its memory is poisoned.
    partial = functools.partial(velka_code.sqrt, int("1" * 30))
    print(partial(**{Name("max_iterations"): 5}))
    """,
    # start() makes a function with a closure: the finalizers read every
    # function and walk every tuple the collector tracks.
    START_WHILE_COLLECTING + "start_while_collecting(lambda o: o.__code__ if type(o) is type(velka_code.sin) else 0)",
    START_WHILE_COLLECTING + "start_while_collecting(lambda o: [*o] if type(o) is tuple else 0)",
    # The interpreter's big-int arithmetic answers pending signals: a
    # handler rebinds the parts while a division is still using them.
    """
    import signal
    big = 10 ** 100000
    a = velka_code.ComplexNumber(big + 1, big + 3)
    b = velka_code.ComplexNumber(big + 5, big + 7)
    def rebind(signum, frame):
        b.real = b.imag = 0.5
    signal.signal(signal.SIGVTALRM, rebind)
    signal.setitimer(signal.ITIMER_VIRTUAL, 0.002)
    a / b
    """,
], ids=["ln-exp-swapped", "vkprint-gc-walk", "partial-frees-function", "partial-frees-arguments",
        "partial-keyword-frees-arguments", "collector-sees-function-made",
        "collector-sees-closure-cells", "signal-rebinds-parts"])
def test_user_code_inside_a_call_cannot_crash_it(body):
    code = "try:\n" + textwrap.indent(textwrap.dedent(body).strip(), "    ") + \
           "\nexcept Exception as e:\n    print(type(e).__name__)\nprint('survived')\n"
    result = run_child(code, env={"PYTHONMALLOC": "debug"})
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines()[-1] == "survived"


@pytest.mark.parametrize("body, expected", [
    # The keyword-only defaults change while the objects are converted:
    # the separator and end taken from the dict, which held them alone,
    # stay whole until the call is over.
    ("""
    class Replacing:
        def __str__(self):
            velka_code.vkprint.__kwdefaults__.update(sep=" ", end="\\n")
            return "x"
    velka_code.vkprint.__kwdefaults__ = {"sep": "".join(["<", "=" * 40, ">"]), "end": "".join(["!", "\\n"]),
                                         "file": sys.stdout}
    velka_code.vkprint(Replacing(), Replacing())
    """, "x<" + "=" * 40 + ">x!"),
    # A partial holds the only reference to join, whose call fails after
    # the path function it reaches has replaced the partial's state: the
    # traceback entry for join still reads a live function.
    ("""
    import functools, gc, types
    def failing(*parts):
        partial.__setstate__((print, (), None, None))
        gc.collect()
        raise ValueError("no " + "/".join(parts))
    velka_code.os = types.SimpleNamespace(path=types.SimpleNamespace(join=failing))
    partial = functools.partial(vars(velka_code).pop("join"), "a")
    try:
        partial("b")
    except ValueError as e:
        print(e, e.__traceback__.tb_next.tb_frame.f_code.co_name)
    """, "no a/b join"),
    # The defaults a call takes are replaced while it compares with one of
    # them: the tolerance, held by the old tuple alone, stays whole.
    ("""
    class Tolerance:
        def __init__(self, value):
            self.value = value
        def __gt__(self, other):
            velka_code.sqrt.__defaults__ = (1e-6, 100)
            return self.value > other
    velka_code.sqrt.__defaults__ = (Tolerance(1e-9), int("111"))
    print(repr(velka_code.sqrt(2.0)))
    """, "1.4142135623730951"),
], ids=["kwdefaults-replaced", "varargs-only-function-freed", "defaults-replaced"])
def test_a_call_holds_what_user_code_drops(body, expected):
    result = run_child(body, env={"PYTHONMALLOC": "debug"})
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == [expected]


# The functions that start() makes, caught on their way to the thread and to
# the server, and a request whose file exists.
MADE_AT_CALL_TIME = """
import types
made = {}
class Thread:
    def __init__(self, target):
        made["monitor_process"] = target
    def start(self):
        pass
class Process:
    def wait(self):
        return 0
class Stop(Exception):
    pass
class Server:
    def __init__(self, address, handler):
        made["send_head"] = vars(handler)["send_head"]
        raise Stop
velka_code.threading = types.SimpleNamespace(Thread=Thread)
velka_code.subprocess = types.SimpleNamespace(Popen=lambda command: Process())
velka_code.socketserver = types.SimpleNamespace(TCPServer=Server)
velka_code.BackendPythonServer("app.py").start()
try:
    velka_code.HTTPSServer(0, ".").start()
except Stop:
    pass
class Request:
    path = sys.executable
    def translate_path(self, path):
        return path
    def send_error(self, status, message):
        print("sent", status)
monitor_process, send_head = made["monitor_process"], made["send_head"]
print("made")
"""


@pytest.mark.parametrize("change, call, outcome", [
    ("del monitor_process.__closure__[0].cell_contents", "monitor_process()",
     "NameError cannot access free variable 'process' where it is not associated with a value in enclosing scope"),
    ("del monitor_process.__closure__[1].cell_contents", "monitor_process()",
     "NameError cannot access free variable 'self' where it is not associated with a value in enclosing scope"),
    ("monitor_process.__closure__[0].cell_contents = 5", "monitor_process()",
     "AttributeError 'int' object has no attribute 'wait'"),
    ("monitor_process.__closure__[1].cell_contents = None", "monitor_process()",
     "AttributeError 'NoneType' object has no attribute 'python_file_path'"),
    ("del send_head.__closure__[1].cell_contents", "send_head(Request())",
     "NameError cannot access free variable 'key' where it is not associated with a value in enclosing scope"),
    ("send_head.__closure__[1].cell_contents = (0, 0); del send_head.__closure__[0].cell_contents",
     "send_head(Request())",
     "NameError cannot access free variable 'handler' where it is not associated with a value in enclosing scope"),
    ("send_head.__closure__[1].cell_contents = (0, 0); send_head.__closure__[0].cell_contents = 7",
     "send_head(Request())", "AttributeError 'int' object has no attribute 'send_head'"),
    # A key that is not an identity refuses every request.
    ("send_head.__closure__[1].cell_contents = 'key.pem'", "send_head(Request())", "sent 404\nNone"),
    ("send_head.__closure__[1].cell_contents = [0, 0]", "send_head(Request())", "sent 404\nNone"),
], ids=["process-deleted", "self-deleted", "process-retyped", "self-retyped", "key-deleted", "handler-deleted",
        "handler-retyped", "key-a-str", "key-a-list"])
def test_an_emptied_or_retyped_cell_raises(change, call, outcome):
    code = MADE_AT_CALL_TIME + change + "\ntry:\n    print(" + call + ")\nexcept Exception as e:\n" \
        "    print(type(e).__name__, e)\n    import traceback; traceback.TracebackException.from_exception(" \
        "e, capture_locals=True)\nprint('survived')\n"
    result = run_child(code, env={"PYTHONMALLOC": "debug"})
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split("made\n", 1)[1] == outcome + "\nsurvived\n"
