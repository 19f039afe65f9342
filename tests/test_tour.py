"""examples/tour.py runs on the simulated platform and its report reads well."""

import os
import subprocess
import sys
import unicodedata

from conftest import REPO

HEADER = "--- simulated Windows: what changed ---\n"


def run_tour(tmp_path):
    inherited = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    # pip, which the tour runs, keeps its cache under HOME.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([REPO, *inherited]), HOME=str(tmp_path),
               PYTHONIOENCODING="utf-8", TMPDIR=str(tmp_path))
    return subprocess.run([sys.executable, "-m", "simwin", "--report", os.path.join(REPO, "examples", "tour.py")],
                          cwd=tmp_path, env=env, capture_output=True, text=True, encoding="utf-8", timeout=300)


def columns(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def test_tour_lines_up_its_columns_and_names_the_notifications(tmp_path):
    done = run_tour(tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    steps, _, report = done.stdout.partition(HEADER)
    assert steps.endswith("\ntour finished\n")
    arrows = {}
    for line in steps.splitlines():
        call, arrow, _ = line.partition(" -> ")
        if arrow and columns(call) <= 48:
            arrows[call] = columns(call)
    # Every short call's arrow is in one column, lines with Chinese among them.
    assert set(arrows.values()) == {48}
    assert any(columns(call) > len(call) for call in arrows)
    notifications = report.split("shell notifications:\n")[1].split("\n")
    assert notifications[0] == "  SHChangeNotify(0x8000000 (SHCNE_ASSOCCHANGED), 0x1000 (SHCNF_FLUSH), None, None)"
