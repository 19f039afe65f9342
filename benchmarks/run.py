"""Benchmarks: each row times a velka_code call against a pure-Python peer.

    python3 benchmarks/run.py [name ...]               # every file, or those whose names contain a name
    python3 benchmarks/run.py --processes 5 numeric    # more processes: a narrower interval
    python3 benchmarks/run.py --json figures.json      # also keep every round's times

Each benchmarks/bench_*.py module defines `rows()`, yielding Row objects. The
ratio is ours / peer: below 1 the module is faster.

How a figure is made, so that it holds on a shared, loaded machine (the
method of pyperf, with the two sides of a row measured in turns rather than
one after the other):

- Fresh processes. Each file runs in --processes (default 3) new
  interpreters, one after another and never side by side. A file whose rows
  are long or start servers of their own asks for fewer with a module-level
  PROCESSES.
- Calibration. Each side's loop count is raised until one sample takes at
  least SAMPLE seconds, as timeit's autorange does.
- Warm-up. One sample of each side is taken and dropped first, so that
  caches, the interpreter's specialised instructions and objects made on
  first use are in place before anything counts.
- Clock. Calls are timed by the thread's CPU time, which leaves out the
  time a process waits for a CPU on a loaded machine (where that clock is
  finer than a microsecond; elsewhere, and for rows whose calls wait for
  I/O, by the wall clock).
- Rounds in turns. Each of --rounds rounds (default 7; a row may ask for
  fewer) takes one sample of ours, one of the peer and one of the empty
  loop, in an order that changes from round to round, so that a change of
  load touches both sides alike. A statement is timed as it stands in
  timeit's loop, whose empty form has `pass` instead; a callable is called
  in the loop, whose empty form calls a function that does nothing. The
  empty loop's cost per iteration is taken off both sides, so that a row
  measures the call and nothing else.
- Spread. Every round gives one ratio. The table shows each side's median
  time over all rounds of all processes, the median of the rounds' ratios
  and a 95% confidence interval of that median from the order statistics of
  the ratios, which assumes nothing about how the noise is spread (with
  fewer than 6 ratios the interval is their whole range, and covers less).
- Goal. A row meets its goal ("yes") only when the interval's upper bound is
  at or below it; "NO" when even its lower bound is above it; "unsure" when
  the interval holds the goal, so that the run cannot tell. The exit status
  is 1 when any row has a goal it does not meet.

A module may measure a row itself (servers, whole-process figures): its
Row then carries seconds, or lists of per-round seconds of the two sides in
the same order, and `measure_pair` times a pair of callables the same way
the runner does.
"""

import argparse
import importlib.util
import json
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

SAMPLE = 0.02       # seconds a calibrated sample takes at least
ROUNDS = 7          # rounds per process
PROCESSES = 3       # fresh processes per file
CONFIDENCE = 0.95


@dataclass
class Row:
    label: str
    ours: object = None          # statement text, callable, seconds, or a list of per-round seconds
    peer: object = None
    env: dict = field(default_factory=dict)  # names the statements use
    goal: float | None = None    # largest acceptable ours/peer ratio
    note: str = ""
    unit: str = "s"              # anything else: ours and peer are shown as they are
    rounds: int | None = None    # fewer rounds than the default, for long calls
    wall_clock: bool = False     # the calls wait for I/O: timed by the wall clock


# --- measuring (in a worker process) ----------------------------------------

def _nothing():
    pass


def _calibrate(timer):
    """Loop count for a sample of at least SAMPLE seconds."""
    number = 1
    while True:
        seconds = timer.timeit(number)
        if seconds >= SAMPLE / 5:
            return max(1, math.ceil(number * SAMPLE / seconds))
        number *= 10 if seconds < SAMPLE / 100 else 2


# The thread's CPU time leaves out the time the process waits for a CPU on
# a loaded machine; where that clock is coarse (Windows counts in 15.6 ms
# steps) the wall clock stands in.
CPU_CLOCK = time.thread_time if time.get_clock_info("thread_time").resolution <= 1e-6 else time.perf_counter


class _Loop:
    """A calibrated timeit loop of a statement or a callable."""

    def __init__(self, value, env=None, clock=CPU_CLOCK):
        if isinstance(value, str):
            self.timer = timeit.Timer(value, globals=env, timer=clock)
        elif callable(value):
            self.timer = timeit.Timer(value, timer=clock)
        else:
            raise TypeError(f"a statement or a callable to time, not {value!r}")
        self.number = _calibrate(self.timer)

    def sample(self):
        """Seconds per iteration."""
        return self.timer.timeit(self.number) / self.number


def _empty_form(value):
    return "pass" if isinstance(value, str) else _nothing


def measure_pair(ours, peer, env=None, rounds=None, wall_clock=False):
    """Per-round seconds per call of ours and of the peer, measured in turns
    with the empty loop taken off: ([ours...], [peer...]). Calls that wait
    for I/O ask for the wall clock."""
    clock = time.perf_counter if wall_clock else CPU_CLOCK
    loops = [_Loop(ours, env or {}, clock), _Loop(peer, env or {}, clock)]
    empty_forms = [_empty_form(ours), _empty_form(peer)]
    empties = {}
    for form in empty_forms:
        if form not in empties:
            empties[form] = _Loop(form, clock=clock)
    for loop in [*loops, *empties.values()]:  # warm-up
        loop.sample()
    results = ([], [])
    for r in range(rounds or ROUNDS):
        order = (0, 1) if r % 2 == 0 else (1, 0)
        times = [0.0, 0.0]
        for i in order:
            times[i] = loops[i].sample()
        empty = {form: loop.sample() for form, loop in empties.items()}
        for i in (0, 1):
            results[i].append(max(times[i] - empty[empty_forms[i]], 1e-12))
    return results


def _as_rounds(value):
    if isinstance(value, (int, float)):
        return [float(value)]
    return [float(v) for v in value]


def _measure_row(row):
    if row.unit != "s":
        return {"label": row.label, "unit": row.unit, "ours": str(row.ours), "peer": str(row.peer),
                "note": row.note}
    if isinstance(row.ours, (str,)) or callable(row.ours):
        ours, peer = measure_pair(row.ours, row.peer, row.env, row.rounds, row.wall_clock)
    else:
        ours, peer = _as_rounds(row.ours), _as_rounds(row.peer)
        if len(ours) != len(peer):
            raise ValueError(f"{row.label}: {len(ours)} rounds of ours, {len(peer)} of the peer")
    return {"label": row.label, "unit": "s", "ours": ours, "peer": peer, "goal": row.goal, "note": row.note}


def _load(path):
    name = os.path.splitext(os.path.basename(path))[0]
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def worker(path, out, rounds):
    """Measures every row of one benchmark file; writes them to `out` as JSON."""
    global ROUNDS
    ROUNDS = rounds
    sys.path.insert(0, REPO)
    sys.path.insert(0, HERE)
    import simwin

    simwin.activate(windows=False)
    sys.modules.setdefault("run", sys.modules["__main__"])
    module = _load(path)
    measured = [_measure_row(row) for row in module.rows()]
    with open(out, "w") as f:
        json.dump({"processes": getattr(module, "PROCESSES", None), "rows": measured}, f)


# --- summing up (in the main process) ----------------------------------------

def median_interval(values, confidence=CONFIDENCE):
    """The median and a distribution-free confidence interval for it: the
    k-th smallest and k-th largest values, k the largest rank whose
    binomial tail stays within (1 - confidence) / 2."""
    values = sorted(values)
    n = len(values)
    tail = (1 - confidence) / 2
    k, below = 0, 0.0
    while k < n // 2:
        below += math.comb(n, k) / 2**n  # P(fewer than k + 1 values below the median)
        if below > tail:
            break
        k += 1
    k = max(k, 1)
    return statistics.median(values), values[k - 1], values[n - k]


def human(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.2f} ns"


def verdict(goal, low, high):
    if goal is None:
        return ""
    if high <= goal:
        return "yes"
    return "NO" if low > goal else "unsure"


def summarise(runs):
    """Pools the rows of several processes of one file, row by row."""
    summary = []
    for rows in zip(*runs):
        first = rows[0]
        if first["unit"] != "s":
            summary.append(first)
            continue
        ours = [t for row in rows for t in row["ours"]]
        peer = [t for row in rows for t in row["peer"]]
        ratios = [o / p for o, p in zip(ours, peer)]
        ratio, low, high = median_interval(ratios)
        summary.append({**first, "ours": ours, "peer": peer, "ratio": ratio, "low": low, "high": high,
                        "ours_median": statistics.median(ours), "peer_median": statistics.median(peer),
                        "met": verdict(first["goal"], low, high)})
    return summary


def run_file(path, processes, rounds):
    """The rows of one file, measured in fresh processes one after another;
    None when a process failed (its error output is shown)."""
    runs = []
    wanted = processes
    while len(runs) < wanted:
        with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as f:
            out = f.name
        try:
            done = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", path, "--out", out,
                                   "--rounds", str(rounds)], capture_output=True, text=True)
            if done.returncode != 0:
                print(f"{os.path.basename(path)}: the measuring process failed (status {done.returncode}):")
                print("\n".join("    " + line for line in done.stderr.splitlines()[-20:]))
                return None
            with open(out) as f:
                result = json.load(f)
        finally:
            os.remove(out)
        runs.append(result["rows"])
        if result["processes"]:
            wanted = min(wanted, result["processes"])
    return summarise(runs)


def print_row(row):
    if row["unit"] != "s":
        print(f"{row['label']:54} {row['ours']:>12} {row['peer']:>12} {'':>7} {'':>13} {'':>6}  {row['note']}")
        return
    goal = "" if row["goal"] is None else f"{row['goal']:.2f}"
    interval = f"{row['low']:.3f}-{row['high']:.3f}"
    print(f"{row['label']:54} {human(row['ours_median']):>12} {human(row['peer_median']):>12} {row['ratio']:7.3f} "
          f"{interval:>13} {goal:>6}  {row['met']:6} {row['note']}".rstrip())


def load_line():
    one, five, fifteen = os.getloadavg()
    return f"load average {one:.2f} {five:.2f} {fifteen:.2f} on {os.cpu_count()} CPUs"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("names", nargs="*", help="benchmark files to run: bench_NAME.py for any NAME containing one")
    parser.add_argument("--processes", type=int, default=PROCESSES, help="fresh processes per file")
    parser.add_argument("--rounds", type=int, default=ROUNDS, help="rounds per process")
    parser.add_argument("--json", help="write every row, with the times of all rounds, to this file")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        worker(args.worker, args.out, args.rounds)
        return 0

    files = sorted(f for f in os.listdir(HERE) if f.startswith("bench_") and f.endswith(".py"))
    if args.names:
        files = [f for f in files if any(name in f for name in args.names)]
    started = time.monotonic()
    print(f"{args.processes} processes per file (fewer where a file asks), {args.rounds} rounds each; "
          f"{load_line()} at the start")
    print(f"{'call':54} {'velka_code':>12} {'python peer':>12} {'ratio':>7} {'95% interval':>13} {'goal':>6}  met")
    print("-" * 118)
    failures = 0
    everything = []
    for name in files:
        rows = run_file(os.path.join(HERE, name), args.processes, args.rounds)
        if rows is None:
            failures += 1
            continue
        for row in rows:
            print_row(row)
            failures += row.get("met") in ("NO", "unsure")
        everything.append({"file": name, "rows": rows})
    print(f"{time.monotonic() - started:.0f} s; {load_line()} at the end")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"processes": args.processes, "rounds": args.rounds, "files": everything}, f, indent=1)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
