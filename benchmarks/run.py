"""Benchmarks: each row times a velka_code call against a pure-Python peer.

Run with `python benchmarks/run.py [name ...]` (names pick benchmark files,
for example `numeric`). Each benchmarks/bench_*.py module defines `rows()`,
yielding Row objects; ratio is ours / peer (below 1 means we are faster).
Statements are timed as they stand, and the cost of the empty timing loop
is taken off both sides, so a row measures the call and nothing else.
"""

import importlib.util
import os
import sys
import timeit
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, REPO)

import simwin  # noqa: E402

simwin.activate(windows=False)


@dataclass
class Row:
    label: str
    ours: object = None          # statement text, callable, or seconds already measured
    peer: object = None
    env: dict = field(default_factory=dict)  # names the statements use
    goal: float | None = None    # largest acceptable ours/peer ratio
    note: str = ""
    unit: str = "s"
    extra: dict = field(default_factory=dict)


def best_time(stmt, env=None, repeat=7, budget=0.3):
    """Best per-call time of stmt over `repeat` runs of about `budget` seconds.

    A statement text is timed as it stands (no wrapper call around it); a
    callable is called with no arguments."""
    timer = timeit.Timer(stmt, globals=env)
    number = 1
    while True:
        t = timer.timeit(number)
        if t >= budget / 10 or number >= 1 << 24:
            break
        number *= 4
    number = max(1, int(number * (budget / 10) / max(t, 1e-9)))
    return min(timer.repeat(number=number, repeat=repeat)) / number


_loop = []


def measure(value, env):
    """Seconds per call; for statements, less the timing loop's own cost."""
    if isinstance(value, (int, float)):
        return value
    if not _loop:
        _loop.append(best_time("pass", {}))
    return max(best_time(value, env) - _loop[0], 1e-12)


def human(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.2f} ns"


def main(selected):
    files = sorted(f for f in os.listdir(HERE) if f.startswith("bench_") and f.endswith(".py"))
    if selected:
        files = [f for f in files if any(s in f for s in selected)]
    print(f"{'call':52} {'velka_code':>12} {'python peer':>12} {'ratio':>7} {'goal':>7}  met")
    print("-" * 100)
    failures = 0
    for name in files:
        spec = importlib.util.spec_from_file_location(name[:-3], os.path.join(HERE, name))
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        for row in module.rows():
            if row.unit != "s":
                print(f"{row.label:52} {row.ours!s:>12} {row.peer!s:>12} {'':>7} {'':>7}  {row.note}")
                continue
            ours, peer = measure(row.ours, row.env), measure(row.peer, row.env)
            ratio = ours / peer
            met = "" if row.goal is None else ("yes" if ratio <= row.goal else "NO")
            failures += met == "NO"
            goal = "" if row.goal is None else f"{row.goal:.2f}"
            print(f"{row.label:52} {human(ours):>12} {human(peer):>12} {ratio:7.3f} {goal:>7}  {met} {row.note}")
    return failures


if __name__ == "__main__":
    sys.exit(1 if main(sys.argv[1:]) else 0)
