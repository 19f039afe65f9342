"""How deep recursion through the module goes before RecursionError, against
the same code written in Python, on the main thread and on threads with
small and large stacks.

    python3 benchmarks/depth.py                      # the table, at the default limit
    python3 benchmarks/depth.py --limit 100000       # a raised limit: only the stack can stop it
    python3 benchmarks/depth.py --stacks 256 512     # some thread stacks only (KiB; 0 is the main thread)

Each figure is the deepest case that ends without RecursionError, found by a
binary search in which every probe runs in a fresh interpreter, so that a
crash ends one probe only; a case that crashes the interpreter is shown as
"crash at N" (the smallest depth seen to crash). The ratio is the module's
depth over the peer's.
"""

import argparse
import os
import resource
import subprocess
import sys
import textwrap

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PEER = """
class ComplexNumber:
    def __init__(self, real, imag):
        self.real = real
        self.imag = imag
    def __add__(self, other):
        return ComplexNumber(self.real + other.real, self.imag + other.imag)
    def __str__(self):
        return f"{self.real} + {self.imag}i"
def factorial(n):
    return sin(.5)
def sin(x):
    return factorial(1)
"""

# Each shape builds a case of depth `n` from `ns` (the module or the peer's
# names) and runs it.
SHAPES = {
    "str": "c = ns.ComplexNumber(1, 2)\nfor _ in range(n): c = ns.ComplexNumber(c, 0)\nstr(c)",
    "+": "c = ns.ComplexNumber(1, 2)\nfor _ in range(n): c = ns.ComplexNumber(c, 0)\nc + 1",
    # A part whose __add__ is a def that adds the next level: a Python
    # frame between two calls of __add__.
    "Python-+": ("class Wrap:\n    def __init__(self, c): self.c = c\n    def __add__(self, o): return self.c + o\n"
                 "c = ns.ComplexNumber(1, 2)\nfor _ in range(n): c = ns.ComplexNumber(Wrap(c), 0)\nc + 1"),
    # sin calls factorial by name, which calls sin again n times: a Python
    # frame and a call of the module's function per round.
    "Python-sin": ("left = [n]\nown = ns.factorial\ndef counting(k):\n    left[0] -= 1\n"
                   "    return ns.sin(.5) if left[0] > 0 else 1\nns.factorial = counting\n"
                   "try:\n    ns.sin(.5)\nfinally:\n    ns.factorial = own"),
}

CHILD = """
import sys, threading
sys.path.insert(0, {repo!r})
import simwin
simwin.activate(windows=False)
import velka_code
import types
peer = types.SimpleNamespace()
exec({peer!r}, vars(peer))
ns = velka_code if {module!r} else peer
n = {n}
sys.setrecursionlimit({limit})
def work():
    try:
{body}
        print("ok")
    except RecursionError:
        print("RecursionError")
if {stack}:
    threading.stack_size({stack})
    t = threading.Thread(target=work)
    t.start()
    t.join()
else:
    work()
"""


def probe(shape, module, n, stack, limit):
    """'ok', 'RecursionError' or 'crash' for one case in a fresh interpreter."""
    code = CHILD.format(repo=REPO, peer=PEER, module=module, n=n, limit=limit, stack=stack,
                        body=textwrap.indent(SHAPES[shape], " " * 8))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([REPO, *[p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]])
    # Some probes crash on purpose: no core file is written for them.
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300,
                            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))
    if result.returncode != 0:
        return "crash"
    return result.stdout.strip()


def depth(shape, module, stack, limit, top):
    """(deepest depth that ends without RecursionError, smallest depth seen to crash or None)."""
    low, high, crash = 0, top, None
    while low < high:
        middle = (low + high + 1) // 2
        outcome = probe(shape, module, middle, stack, limit)
        if outcome == "ok":
            low = middle
        else:
            if outcome == "crash":
                crash = middle if crash is None else min(crash, middle)
            high = middle - 1
    return low, crash


def describe(found):
    reached, crash = found
    return f"{reached}" + (f" (crash at {crash})" if crash is not None else "")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--limit", type=int, default=1000, help="the recursion limit (default 1000)")
    parser.add_argument("--stacks", type=int, nargs="*", default=[0, 256, 512, 1024, 8192],
                        help="thread stack sizes in KiB, 0 for the main thread")
    parser.add_argument("--shapes", nargs="*", default=list(SHAPES), choices=list(SHAPES))
    parser.add_argument("--top", type=int, default=5000, help="the deepest case tried")
    args = parser.parse_args(argv)
    print(f"recursion limit {args.limit}; deepest case without RecursionError (search capped at {args.top})")
    print(f"| stack | shape | module | peer | ratio |")
    print("|---|---|---|---|---|")
    for stack in args.stacks:
        for shape in args.shapes:
            ours = depth(shape, True, stack * 1024, args.limit, args.top)
            peer = depth(shape, False, stack * 1024, args.limit, args.top)
            ratio = f"{ours[0] / peer[0]:.2f}" if peer[0] else "-"
            label = "main" if stack == 0 else f"{stack} KiB"
            print(f"| {label} | {shape} | {describe(ours)} | {describe(peer)} | {ratio} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
