"""Awkward-argument calls of every public function and method, run in a
child interpreter so that a crash is a finding and not the end of the run.

A call is described by plain data (indices into POOL and KEYWORDS), drawn
by hypothesis in tests/test_fuzz.py or by `random` in the long run:

    python3 tests/fuzz.py --calls 1000000 [--seed N] [--windows|--linux]

(with PYTHONPATH=build/dev). The long run prints the count of calls, the
exceptions seen and every finding; it exits 1 when there is one.

Findings: the child dies (a signal) or stops answering, a SystemError, an
exception still set after a call (sys.exc_info() not empty), a temporary
file left in the sandbox, an exception printed by the interpreter as
unraisable, a name without a recipe in tests/recipes.py (not called); in the
long run also a change to the mode or owner of
/dev/null, /tmp or the folder that holds the sandboxes. Ordinary
exceptions, including KeyboardInterrupt from a file of the pool and the
per-call time limit, are not findings.

The child can reach nothing outside its sandbox: a folder of its own that
holds its descriptors 0-2 (files "stdin", "stdout", "stderr", since the
pool's small integers are descriptors to os.chmod and open), its
temporary folder ("tmp") and the folder the calls run in ("calls"). Where
this runs as root, the child runs as an unprivileged user (see
confinement.py), so that no call can use root's rights on the machine.
"""

import array
import contextlib
import json
import os
import random
import select
import signal
import subprocess
import sys
import tempfile
from decimal import Decimal
from fractions import Fraction

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import confinement  # noqa: E402
LIMIT = 2.0   # seconds per call in the child
MAX_POSITIONAL = 6
OUTPUT_LIMIT = 1 << 24  # bytes the child's stdout and stderr files may reach before they are emptied
PROTOCOL_FD_FLOOR = 10  # the protocol's descriptors stay above every descriptor of the pool


class Dunders:
    """Every conversion and comparison raises."""

    def _raise(self, *args):
        raise RuntimeError("dunder")

    __bool__ = __str__ = __index__ = __int__ = __float__ = __complex__ = _raise
    __eq__ = __lt__ = __gt__ = __le__ = __ge__ = __len__ = __iter__ = __fspath__ = _raise
    __add__ = __radd__ = __mul__ = __rmul__ = __truediv__ = __rtruediv__ = __pow__ = __rpow__ = _raise
    __sub__ = __rsub__ = __neg__ = __abs__ = __format__ = __getitem__ = _raise
    __hash__ = None

    def __repr__(self):
        return "Dunders()"


class BadFspath:
    def __fspath__(self):
        return 5


class InterruptingFile:
    def write(self, text):
        raise KeyboardInterrupt


class RaisingFile:
    def write(self, text):
        raise OSError("write refused")


class Discard:
    def write(self, text):
        return len(text)


class Str(str):
    pass


class EvilKey(str):
    """A keyword name whose comparison raises."""

    def __eq__(self, other):
        raise RuntimeError("keyword comparison")

    __hash__ = str.__hash__


def _non_contiguous():
    return memoryview(b"abcdefgh")[::2]


# (label, factory): built afresh for every call.
POOL = [
    ("None", lambda: None),
    ("0", lambda: 0), ("1", lambda: 1), ("-1", lambda: -1), ("5", lambda: 5),
    ("2**64", lambda: 2 ** 64), ("-2**63", lambda: -2 ** 63), ("10**400", lambda: 10 ** 400),
    ("True", lambda: True), ("False", lambda: False),
    ("0.5", lambda: 0.5), ("-0.0", lambda: -0.0), ("nan", lambda: float("nan")), ("inf", lambda: float("inf")),
    ("-inf", lambda: float("-inf")), ("5e-324", lambda: 5e-324), ("1e308", lambda: 1e308),
    ("1j", lambda: 1j), ("complex(nan, inf)", lambda: complex(float("nan"), float("inf"))),
    ("Decimal('NaN')", lambda: Decimal("NaN")), ("Decimal('-1e999')", lambda: Decimal("-1e999")),
    ("Fraction(1, 3)", lambda: Fraction(1, 3)),
    ("''", lambda: ""), ("'a'", lambda: "a"), ("'text.txt'", lambda: "text.txt"), ("'missing'", lambda: "missing"),
    ("'site'", lambda: "site"), ("'.'", lambda: "."), ("'\\udcff'", lambda: "\udcff"), ("'x\\0y'", lambda: "x\0y"),
    ("'文本'", lambda: "文本"), ("'a'*3000", lambda: "a" * 3000), ("Str('sub')", lambda: Str("sub")),
    ("b''", lambda: b""), ("b'text.txt'", lambda: b"text.txt"), ("b'x'*3000", lambda: b"x" * 3000),
    ("bytearray", lambda: bytearray(b"ba")), ("memoryview[::2]", _non_contiguous),
    ("array('d')", lambda: array.array("d", [1.5, 2.5])),
    ("[]", lambda: []), ("['a', 'b']", lambda: ["a", "b"]), ("()", lambda: ()), ("{}", lambda: {}),
    ("object()", lambda: object()), ("Dunders()", Dunders), ("BadFspath()", BadFspath),
    ("InterruptingFile()", InterruptingFile), ("RaisingFile()", RaisingFile), ("Discard()", Discard),
    ("hashlib.sha256", lambda: __import__("hashlib").sha256), ("print", lambda: print),
    ("int", lambda: int), ("iter([1])", lambda: iter([1])),
]

# Keyword names: ("param", i) is the i-th parameter name of the function;
# ("sub", i) the same as a str subclass; ("evil", i) an EvilKey; the rest
# are fixed. Names that are not str go only through a raw vectorcall.
KEYWORDS = ["param", "sub", "evil", "unknown", "int", "bytes"]


def describe(call):
    name, positional, keywords, raw = call
    args = ", ".join("<valid>" if i == "r" else POOL[i][0] for i in positional)
    kwargs = ", ".join(f"{k[0]}[{k[1]}]={POOL[v][0]}" for k, v in keywords)
    return f"{name}({args}; {kwargs}){' [raw vectorcall]' if raw else ''}"


def arities(names):
    """name -> (required, all) positional parameter counts."""
    import inspect
    import recipes
    counts = {}
    for name in names:
        parameters = inspect.signature(recipes.resolve(name)).parameters.values()
        positional = [p for p in parameters if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
        varargs = any(p.kind == p.VAR_POSITIONAL for p in parameters)
        required = sum(p.default is p.empty for p in positional)
        counts[name] = (required, len(positional) + (2 if varargs else 0))
    return counts


def random_call(rng, names, arity):
    """A call description: mostly a fitting number of arguments, each an
    awkward value or ("r") the recipe's own valid argument at that place."""
    name = rng.choice(names)
    low, high = arity[name]
    if rng.random() < 0.002:
        count = 300
    elif rng.random() < 0.85:
        count = rng.randint(low, high)
    else:
        count = rng.randint(0, MAX_POSITIONAL)
    positional = ["r" if rng.random() < 0.3 else rng.randrange(len(POOL)) for _ in range(count)]
    keywords = [([rng.choice(KEYWORDS[:4]) if rng.random() < 0.9 else rng.choice(KEYWORDS), rng.randrange(8)],
                 rng.randrange(len(POOL))) for _ in range(rng.choice((0, 0, 0, 1, 1, 2)))]
    raw = rng.random() < 0.1
    return [name, positional, keywords, raw]


# ------------------------------------------------------------------ child

def _child(windows, folder):
    import fcntl
    import threading

    if hasattr(os, "geteuid") and os.geteuid() == 0:
        sys.exit("the fuzz child does not run as root: start it through Runner")
    # Everything the child makes goes into its folder, the simulated
    # machine too.
    os.environ["TMPDIR"] = tempfile.tempdir = os.path.join(folder, "tmp")
    os.makedirs(tempfile.tempdir, exist_ok=True)
    sys.path.insert(0, HERE)
    sys.path.insert(0, REPO)
    import simwin
    platform = simwin.activate(windows=windows)
    import velka_code
    import recipes

    try:
        import _testcapi
        vectorcall = _testcapi.pyobject_vectorcall
    except ImportError:
        vectorcall = None

    # The protocol keeps its own descriptors, out of the pool's reach; the
    # calls see files of the sandbox as 0-2.
    requests = os.fdopen(fcntl.fcntl(0, fcntl.F_DUPFD_CLOEXEC, PROTOCOL_FD_FLOOR), "r")
    replies = os.fdopen(fcntl.fcntl(1, fcntl.F_DUPFD_CLOEXEC, PROTOCOL_FD_FLOOR), "w")
    streams = []
    for name, flags in (("stdin", os.O_RDONLY | os.O_CREAT), ("stdout", os.O_WRONLY | os.O_CREAT | os.O_APPEND),
                        ("stderr", os.O_WRONLY | os.O_CREAT | os.O_APPEND)):
        fd = os.open(os.path.join(folder, name), flags, 0o600)
        streams.append(fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, PROTOCOL_FD_FLOOR))
        os.close(fd)

    def point_streams():
        # A call may close or reuse 0-2: they are put back for the next.
        for target, fd in enumerate(streams):
            if target and os.fstat(fd).st_size > OUTPUT_LIMIT:
                os.ftruncate(fd, 0)
            os.dup2(fd, target)

    point_streams()
    root = os.path.join(folder, "calls")
    os.makedirs(root, exist_ok=True)
    box = recipes.Sandbox(root)
    stack = contextlib.ExitStack()
    stack.enter_context(box.active())
    table = recipes.recipes(box)
    vars(velka_code)["socketserver"] = recipes.OneShotSocketserver
    platform.set_windows(windows)
    originals = {name: os.path.getsize(box.path(name)) for name in ("text.txt", "app.py")}
    names = recipes.public_names()
    unraisable = []
    sys.unraisablehook = lambda info: unraisable.append(f"{info.exc_type.__name__}: {info.exc_value}")

    class CallTimedOut(BaseException):
        pass

    def alarm(signum, frame):
        raise CallTimedOut

    signal.signal(signal.SIGALRM, alarm)

    def restore():
        point_streams()
        os.chdir(root)
        os.chmod(root, 0o755)
        for name in originals:
            path = box.path(name)
            if not os.path.isfile(path) or os.path.getsize(path) != originals[name]:
                with contextlib.suppress(OSError):
                    if os.path.isdir(path):
                        os.rmdir(path)
                    os.remove(path)
                box.__init__(root)
                break
        os.chmod(box.path("text.txt"), 0o644)
        os.makedirs(box.path("site"), exist_ok=True)

    def temporaries():
        found = []
        for folder, _, files in os.walk(root):
            found.extend(os.path.join(folder, f) for f in files if f.endswith(".tmp"))
        return found

    def build(name, positional, keywords):
        function = recipes.resolve(name)
        recipe = table[name]
        params = list(__import__("inspect").signature(function).parameters)
        args = []
        valid = recipe.ok[0].args if recipe.ok else ()
        for place, entry in enumerate(positional):
            if entry == "r":
                args.append(valid[place] if place < len(valid) else None)
            else:
                args.append(POOL[entry][1]())
        names, values = [], []
        for (kind, index), value in keywords:
            base = params[index % len(params)] if params else "x"
            names.append({"param": base, "sub": Str(base), "evil": EvilKey(base), "unknown": "no_such",
                          "int": 1, "bytes": b"key"}[kind])
            values.append(POOL[value][1]())
        return function, args, names, values

    from simwin import _recorder
    for count, line in enumerate(requests):
        name, positional, keywords, raw = json.loads(line)
        # A recording run keeps each call's Windows calls apart.
        _recorder.next_sequence("%s: call %d, %s" % (os.environ.get("SIMWIN_RECORD_TEST", "fuzz"), count, name))
        replies.write("start\n")
        replies.flush()
        finding = None
        outcome = "returned"
        if name not in names:
            finding = f"no such name {name}"
        elif name not in table:
            # Its recipe says on which branch of the simulated platform it
            # may run; without one it could touch this machine.
            finding = recipes.missing_recipe(name)
        else:
            # What touches the system (registry, brightness...) runs on
            # the simulated Windows branch whatever this child's branch is.
            platform.set_windows(windows or table[name].windows)
            try:
                function, args, kwnames, values = build(name, positional, keywords)
                signal.setitimer(signal.ITIMER_REAL, LIMIT)
                try:
                    if raw or any(type(k) is not str and not isinstance(k, str) for k in kwnames):
                        if vectorcall is None:
                            raise TypeError("raw vectorcall unavailable")
                        vectorcall(function, tuple(args) + tuple(values), tuple(kwnames) if kwnames else None)
                    else:
                        function(*args, **dict(zip(kwnames, values)))
                finally:
                    signal.setitimer(signal.ITIMER_REAL, 0)
            except CallTimedOut:
                outcome = "timed out"
            except SystemError as error:
                finding = f"SystemError: {error}"
            except BaseException as error:  # noqa: BLE001 - every exception is an outcome
                outcome = type(error).__name__
            if finding is None and sys.exc_info()[0] is not None:
                finding = f"exception still set: {sys.exc_info()!r}"
        for thread in threading.enumerate():
            if thread is not threading.current_thread() and not thread.daemon:
                thread.join(10)
        left = temporaries()
        if finding is None and left:
            finding = f"temporary files left: {left}"
            for path in left:
                os.remove(path)
        if finding is None and unraisable:
            finding = f"unraisable: {unraisable}"
        unraisable.clear()
        restore()
        replies.write(json.dumps([outcome, finding]) + "\n")
        replies.flush()


# ----------------------------------------------------------------- parent

class Runner:
    """One child interpreter that makes the calls; restarted after a crash.

    Each child gets a sandbox folder of its own inside `folder` (a
    temporary folder made for the runner when none is given), removed when
    the child ends."""

    def __init__(self, windows, folder=None, env=None, python_args=()):
        self.windows = windows
        self.env = env
        self.python_args = list(python_args)
        self.proc = None
        self.box = None
        self.prefix = confinement.command_prefix()
        if self.prefix is None:
            raise PermissionError("running as root without setpriv: the fuzz child would have root's rights")
        self.own_folder = folder is None
        self.folder = tempfile.mkdtemp(prefix="vk-fuzz-") if folder is None else os.fspath(folder)

    def _start(self):
        env = dict(os.environ)
        paths = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
        env["PYTHONPATH"] = os.pathsep.join([REPO, HERE, *paths])
        if self.env:
            env.update(self.env)
        self._pending = b""
        self.box = tempfile.mkdtemp(prefix="box-", dir=self.folder)
        confinement.hand_over(self.box)
        self.proc = subprocess.Popen(
            [*self.prefix, sys.executable, *self.python_args, os.path.abspath(__file__), "--child",
             "--windows" if self.windows else "--linux", "--sandbox", self.box],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env, cwd=self.box,
            start_new_session=True)

    def _line(self, timeout):
        # Lines are read from the descriptor itself: a buffered reader could
        # hold a line that select() then no longer sees.
        fd = self.proc.stdout.fileno()
        while b"\n" not in self._pending:
            ready, _, _ = select.select([fd], [], [], timeout)
            if not ready:
                return None
            chunk = os.read(fd, 65536)
            if not chunk:
                return ""  # end of file: the child has ended
            self._pending += chunk
        line, _, self._pending = self._pending.partition(b"\n")
        return line.decode() + "\n"

    def _stop(self):
        """Ends the child (and what it started) and removes its sandbox."""
        if self.proc is not None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
            self.proc.stdin.close()
            self.proc.stdout.close()
            self.proc = None
        if self.box is not None:
            confinement.remove_tree(self.box)
            self.box = None

    def close(self):
        self._stop()
        if self.own_folder:
            confinement.remove_tree(self.folder)

    def call(self, call):
        """(outcome, finding) of one call description."""
        if self.proc is None or self.proc.poll() is not None:
            self._stop()
            self._start()
        self.proc.stdin.write(json.dumps(call) + "\n")
        self.proc.stdin.flush()
        started = self._line(120)
        if started != "start\n":
            return self._lost("did not start the call")
        reply = self._line(LIMIT + 30)
        if not reply:
            return self._lost("stopped answering")
        return tuple(json.loads(reply))

    def _lost(self, what):
        try:
            code = self.proc.wait(5)
        except subprocess.TimeoutExpired:
            code = None
        if code is None:
            self._stop()
            return "lost", f"child {what} (hung past the time limit)"
        self._stop()
        how = f"signal {signal.Signals(-code).name}" if code < 0 else f"exit status {code}"
        return "lost", f"child ended with {how}"


def _long_run(count, seed, windows_flags):
    import collections

    sys.path.insert(0, HERE)
    sys.path.insert(0, REPO)
    import simwin
    simwin.activate(windows=False)
    import recipes
    names = recipes.public_names()
    arity = arities(names)
    rng = random.Random(seed)
    outcomes = collections.Counter()
    findings = []
    folder = tempfile.mkdtemp(prefix="vk-fuzz-")
    places = confinement.shared_places(folder)
    runners = [Runner(flag, folder) for flag in windows_flags]
    try:
        for n in range(count):
            runner = runners[n % len(runners)]
            call = random_call(rng, names, arity)
            outcome, finding = runner.call(call)
            outcomes[outcome] += 1
            if finding:
                findings.append(f"{describe(call)}: {finding}")
                print("FINDING", findings[-1], flush=True)
            if (n + 1) % 50000 == 0:
                print(f"{n + 1} calls, {len(findings)} findings", flush=True)
    finally:
        for runner in runners:
            runner.close()
        changed = {path: (was, now) for (path, was), now in zip(places.items(), confinement.shared_places(folder).values())
                   if was != now}
        confinement.remove_tree(folder)
    if changed:
        findings.append(f"mode or owner changed outside the sandboxes (before, after): {changed}")
        print("FINDING", findings[-1], flush=True)
    print(f"{count} calls on {'+'.join('windows' if f else 'linux' for f in windows_flags)}, seed {seed}")
    for outcome, seen in outcomes.most_common():
        print(f"  {seen:8d}  {outcome}")
    print(f"{len(findings)} findings")
    return 1 if findings else 0


def main(argv):
    import argparse
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--sandbox", help=argparse.SUPPRESS)
    parser.add_argument("--calls", type=int, default=10000)
    parser.add_argument("--seed", type=int, default=1)
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--windows", action="store_const", const=[True], dest="branches")
    group.add_argument("--linux", action="store_const", const=[False], dest="branches")
    options = parser.parse_args(argv)
    branches = options.branches or [True, False]
    if options.child:
        _child(branches[0], options.sandbox)
        return 0
    return _long_run(options.calls, options.seed, branches)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
