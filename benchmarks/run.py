"""Benchmarks: each row times a velka_code call against a pure-Python peer.

Run with `python benchmarks/run.py [name ...]` (names pick benchmark files,
for example `numeric`). Each benchmarks/bench_*.py module defines `rows()`,
yielding Row objects; ratio is ours / peer (below 1 means we are faster).
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
    ours: object = None          # callable, or seconds already measured
    peer: object = None
    goal: float | None = None    # largest acceptable ours/peer ratio
    note: str = ""
    unit: str = "s"
    extra: dict = field(default_factory=dict)


def best_time(fn, repeat=5, budget=0.2):
    """Best per-call time of fn over `repeat` runs of about `budget` seconds."""
    number = 1
    while True:
        t = timeit.timeit(fn, number=number)
        if t >= budget / 10 or number >= 1 << 24:
            break
        number *= 4
    number = max(1, int(number * (budget / 10) / max(t, 1e-9)))
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def measure(value):
    return value if isinstance(value, (int, float)) else best_time(value)


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
            ours, peer = measure(row.ours), measure(row.peer)
            ratio = ours / peer
            met = "" if row.goal is None else ("yes" if ratio <= row.goal else "NO")
            failures += met == "NO"
            goal = "" if row.goal is None else f"{row.goal:.2f}"
            print(f"{row.label:52} {human(ours):>12} {human(peer):>12} {ratio:7.3f} {goal:>7}  {met} {row.note}")
    return failures


if __name__ == "__main__":
    sys.exit(1 if main(sys.argv[1:]) else 0)
