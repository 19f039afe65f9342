"""Ctrl+C stops every loop of the module that can run long.

Each case runs in a child interpreter that starts the call, is sent SIGINT
once the call is under way, and must report a KeyboardInterrupt within
LIMIT seconds, then show that it can still run code.
"""

import os
import select
import signal
import subprocess
import sys
import time

import pytest

from conftest import REPO

LIMIT = 2.0

CHILD = r"""
import os, sys
import simwin
simwin.activate(windows=False)
import velka_code as vk
setup = {setup!r}
exec(setup)
print("ready", flush=True)
try:
    {call}
except KeyboardInterrupt:
    print("interrupted", flush=True)
    print("usable", vk.sqrt(4.0), sorted(os.listdir(".")), flush=True)
else:
    print("finished", flush=True)
"""

# A fifo that never runs dry: a writer keeps it fed while this process
# reads it (moencoding opens it twice, for the guess and for the copy).
ENDLESS_FIFO = """
import subprocess
os.mkfifo("endless")
feeder = subprocess.Popen([sys.executable, "-c",
    "import os, signal, time\\n"
    "signal.signal(signal.SIGPIPE, signal.SIG_IGN)\\n"
    "fd = os.open('endless', os.O_WRONLY)\\n"
    "while True:\\n"
    "    try: os.write(fd, b'line of text\\\\n' * 512)\\n"
    "    except BrokenPipeError: time.sleep(0.001)\\n"])
"""

CASES = {
    # General paths: float, complex, Decimal and bool operands.
    "power float": "vk.power(1.0000001, 10**20)",
    "power complex": "vk.power(1j, -2**63)",
    "power int exponent past 64 bits": "vk.power(-1, 2**64)",
    "power Decimal": "from decimal import Decimal; vk.power(Decimal(1), 10**20)",
    "power bool": "vk.power(True, 10**20)",
    "sqrt nan": 'vk.sqrt(float("nan"), 1e-6, 10**13)',
    "sqrt subnormal": "vk.sqrt(5e-324, 0.0, 2**63)",
    "sqrt complex": "vk.sqrt(1j, 0.0, 10**13)",
    "log10 -inf tolerance": 'vk.log10(1.0, float("-inf"), 10**20)',
    "ln never converges": 'vk.ln(2.0, -1.0, 10**13)',
    "ln Decimal tolerance": 'from decimal import Decimal; vk.ln(2.0, Decimal(-1), 10**13)',
    "series many terms": "vk.sin(1, 10**9)",
    "series Fraction": "from fractions import Fraction; vk.exp(Fraction(1, 2), 10**9)",
    # Compiled paths: plain ints and floats.
    "power float compiled": "vk.power(1.0000001, 2**62)",
    "sqrt float compiled": "vk.sqrt(2.0, -1.0, 2**62)",
    "ln float compiled": "vk.ln(2.0, -1.0, 2**62)",
    "series int slow terms": "vk.sin(3, 10**7)",
    "factorial large": "vk.factorial(10**8)",
    "factorial general": "vk.factorial(10**30)",
    "combination large": "vk.combination(10**30, 10**29)",
    # Copy loops.
    "copy endless source": "vk.copy('/dev/zero', 'copy.out')",
    "moencoding endless source": "vk.moencoding('endless', 'converted.txt')",
}
SETUPS = {"moencoding endless source": ENDLESS_FIFO}


def start(call, folder, setup=""):
    """The child, working in folder/work, with its temporary files in folder."""
    env = dict(os.environ)
    paths = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([REPO, *paths])
    env["TMPDIR"] = str(folder)
    work = folder / "work"
    work.mkdir()
    code = CHILD.format(call=call, setup=setup)
    return subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env, cwd=work, start_new_session=True)


class Lines:
    """The child's output lines, read from the descriptor itself: a buffered
    reader could hold a whole line that select() then no longer sees."""

    def __init__(self, proc):
        self.fd = proc.stdout.fileno()
        self.pending = b""

    def next(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            ready, _, _ = select.select([self.fd], [], [], max(deadline - time.monotonic(), 0))
            chunk = os.read(self.fd, 4096) if ready else b""
            if not chunk:
                return None
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return line.decode().strip()


@pytest.mark.parametrize("case", CASES)
def test_ctrl_c_stops_the_loop(case, tmp_path):
    proc = start(CASES[case], tmp_path, SETUPS.get(case, ""))
    lines = Lines(proc)
    try:
        assert lines.next(60) == "ready", proc.stderr.read()
        time.sleep(0.5)  # well inside the loop
        assert proc.poll() is None, f"the call ended before the interrupt: {lines.next(1)}"
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        answer = lines.next(LIMIT)
        elapsed = time.monotonic() - sent
        assert answer == "interrupted", f"no KeyboardInterrupt within {LIMIT} s ({answer!r})"
        usable = lines.next(30)
        assert usable is not None and usable.startswith("usable 2.0"), usable
        # Nothing half-written is left behind by the copies.
        assert "tmp" not in usable, usable
        assert proc.wait(30) == 0
        assert elapsed < LIMIT
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        else:
            # The fifo feeder is in the child's session.
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        proc.stdout.close()
        proc.stderr.close()
