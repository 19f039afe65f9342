"""The pure functions give the single-threaded results when called from
many threads at once, with a tiny switch interval, while another thread
swaps the module's numeric names for wrappers with the same values and
back. VK_THREAD_SECONDS sets how long the threads run (default 3).
"""

import io
import os
import random
import sys
import threading
import time
from decimal import Decimal
from fractions import Fraction

import pytest

THREADS = 8
SECONDS = float(os.environ.get("VK_THREAD_SECONDS", "3"))
DIGESTS = ("sha256", "sha384", "sha224", "sha1", "sha512", "md5", "blake2b", "sha3_256", "shake_128",
           "shake_256", "sha3_384", "sha3_512", "blake2s")
NUMERIC_NAMES = ("factorial", "exp", "sin", "cos", "sqrt", "ln", "power", "combination")


def cases(vk, folder):
    big = bytes(range(256)) * 12  # over 2 KiB: hashlib lets go of the interpreter lock
    inputs = ["text ü", b"bytes", bytearray(b"array"), memoryview(b"view"), big, big.decode("latin-1")]
    out = [(getattr(vk, name), (data,)) for name in DIGESTS for data in inputs]
    out += [(vk.factorial, (n,)) for n in (0, 20, 170, 600)]
    out += [(vk.combination, (60, 30)), (vk.combination, (2000, 1000)), (vk.power, (3, 50)), (vk.power, (1.5, -7)),
            (vk.power, (Fraction(2, 3), 9)), (vk.power, (2j, 5))]
    for name in ("sin", "cos", "tan", "exp", "sinh", "cosh", "tanh"):
        out += [(getattr(vk, name), (x,)) for x in (0.3, 2, Fraction(1, 3), -1.25)]
    out += [(vk.sqrt, (x,)) for x in (2.0, 10, 7.5, Fraction(9, 4), 3 + 4j)] + [(vk.sqrt, (Decimal(2), 1e-6, 3))]
    out += [(vk.ln, (x,)) for x in (2.0, 10)] + [(vk.log10, (x,)) for x in (2.0, 1000)]
    out += [(vk.floor, (-2.5,)), (vk.absolute_value, (-7,)), (vk.absolute_value, (Fraction(-1, 2),))]
    out += [(lambda: str(vk.ComplexNumber(1, 2) * 3 + 0.5), ())]
    text = os.path.join(folder, "file.txt")
    out += [(vk.join, (folder, "a", "b")), (vk.join, (b"x", b"y")), (vk.abspath, ("rel",)), (vk.exists, (text,)),
            (vk.file, (text,)), (vk.idir, (folder,)), (vk.pathq, (text, os.R_OK))]
    return out


def outcome(function, args):
    try:
        return ("value", repr(function(*args)))
    except Exception as error:  # noqa: BLE001 - an error is a result too
        return ("error", type(error).__name__, str(error))


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_concurrent_results_match_the_single_threaded_ones(vk, tmp_path, fast_switching):
    (tmp_path / "file.txt").write_text("x")
    table = cases(vk, str(tmp_path))
    expected = [outcome(f, a) for f, a in table]
    line = ["a", 1, 2.5, None]
    shared_writes = []

    class SharedRecorder:
        def write(self, text):
            shared_writes.append(text)

    shared_stream = io.StringIO()
    stop = time.monotonic() + SECONDS
    mismatches = []
    counts = [0] * THREADS
    own_streams = [io.StringIO() for _ in range(THREADS)]
    own_lines = [0] * THREADS

    def worker(index):
        rng = random.Random(index)
        while time.monotonic() < stop:
            i = rng.randrange(len(table))
            got = outcome(*table[i])
            if got != expected[i]:
                mismatches.append((table[i], got, expected[i]))
            counts[index] += 1
            vk.vkprint(index, *line, sep="|", file=own_streams[index])
            own_lines[index] += 1
            vk.vkprint(index, *line, sep="|", file=SharedRecorder())
            vk.vkprint(index, *line, file=shared_stream)

    originals = {name: getattr(vk, name) for name in NUMERIC_NAMES}

    def swapper():
        # Same values through Python wrappers: the routines leave their
        # compiled paths but must give the same results.
        while time.monotonic() < stop:
            for name, original in originals.items():
                setattr(vk, name, lambda *a, _f=original: _f(*a))
            time.sleep(0.001)
            for name, original in originals.items():
                setattr(vk, name, original)
            time.sleep(0.001)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    threads.append(threading.Thread(target=swapper))
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        for name, original in originals.items():
            setattr(vk, name, original)

    assert not mismatches, mismatches[:5]
    assert min(counts) > 0
    for index, stream in enumerate(own_streams):
        assert stream.getvalue() == f"{index}|a|1|2.5|None\n" * own_lines[index]
    whole = {f"{i}|a|1|2.5|None\n" for i in range(THREADS)}
    assert set(shared_writes) <= whole and len(shared_writes) == sum(own_lines)
    lines = shared_stream.getvalue().splitlines(keepends=True)
    assert set(lines) <= {f"{i} a 1 2.5 None\n" for i in range(THREADS)} and len(lines) == sum(own_lines)
