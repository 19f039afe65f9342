"""The benchmark runner: its interval, its verdicts and its processes."""

import importlib.util
import math
import os
import random
import textwrap

import pytest

from conftest import REPO

RUN = os.path.join(REPO, "benchmarks", "run.py")


@pytest.fixture(scope="module")
def run():
    spec = importlib.util.spec_from_file_location("benchmark_run", RUN)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("n", [6, 9, 21, 40])
def test_the_interval_holds_the_median_as_often_as_it_says(run, n):
    # Skewed noise with a known median (ln 2 for the exponential).
    rng = random.Random(n)
    trials = 4000
    held = sum(low <= math.log(2) <= high
               for low, high in (run.median_interval([rng.expovariate(1) for _ in range(n)])[1:]
                                 for _ in range(trials)))
    assert 0.95 <= held / trials <= 0.99


@pytest.mark.parametrize("values, expected", [
    ([0.5], (0.5, 0.5, 0.5)),
    ([3, 1, 2], (2, 1, 3)),  # too few for 95%: the whole range
    (list(range(1, 22)), (11, 6, 16)),
])
def test_the_interval_is_made_of_order_statistics(run, values, expected):
    assert run.median_interval(values) == expected


@pytest.mark.parametrize("goal, low, high, verdict", [
    (0.8, 0.70, 0.80, "yes"), (0.8, 0.70, 0.81, "unsure"), (0.8, 0.81, 0.90, "NO"), (None, 0.5, 2.0, ""),
])
def test_a_goal_is_met_only_by_the_upper_bound(run, goal, low, high, verdict):
    assert run.verdict(goal, low, high) == verdict


def write_bench(folder, body):
    path = os.path.join(folder, "bench_sample.py")
    with open(path, "w") as f:
        f.write("from run import Row\n\n" + textwrap.dedent(body))
    return path


def test_rows_are_pooled_over_fresh_processes(run, tmp_path):
    # Ratios of 0.5 and 1.0 in turns: the median lies between them, and
    # the interval spans both.
    path = write_bench(str(tmp_path), """
        import os

        def rows():
            yield Row("measured", ours=[1.0, 2.0, 1.0], peer=[2.0, 2.0, 2.0], goal=0.9)
            yield Row("timed", ours="sum(range(50))", peer="sum(range(100))", rounds=2)
            yield Row("process", ours=str(os.getpid()), peer="-", unit="pid")
        """)
    measured, timed, process = run.run_file(path, processes=2, rounds=3)
    assert measured["ours"] == [1.0, 2.0, 1.0] * 2
    assert (measured["ratio"], measured["low"], measured["high"], measured["met"]) == (0.5, 0.5, 1.0, "unsure")
    assert len(timed["ours"]) == len(timed["peer"]) == 4
    assert all(t > 0 for t in timed["ours"] + timed["peer"])
    assert process["ours"] != str(os.getpid())


def test_a_file_may_ask_for_fewer_processes(run, tmp_path):
    path = write_bench(str(tmp_path), """
        import os
        PROCESSES = 1

        def rows():
            yield Row("measured", ours=[1.0], peer=[4.0], goal=0.3)
        """)
    (row,) = run.run_file(path, processes=3, rounds=3)
    assert (row["ours"], row["ratio"], row["met"]) == ([1.0], 0.25, "yes")


def test_a_failing_file_is_reported(run, tmp_path, capsys):
    path = write_bench(str(tmp_path), """
        def rows():
            raise RuntimeError("no rows today")
            yield
        """)
    assert run.run_file(path, processes=2, rounds=3) is None
    assert "no rows today" in capsys.readouterr().out
