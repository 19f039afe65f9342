"""The factorial limbs' 64 x 64 -> 128-bit multiply-add, each branch this
compiler can take, against Python's ints."""

import itertools
import pathlib
import random
import shutil
import subprocess

import pytest

from conftest import SOURCES

SRC = pathlib.Path(SOURCES) / "src"
CXX = shutil.which("g++") or shutil.which("c++")

DRIVER = """
#include "numeric/multiply.hpp"
#include <iostream>
int main() {
  std::uint64_t a, b, carry, high;
  while (std::cin >> a >> b >> carry) {
    const std::uint64_t low = vk::numeric::multiply_add(a, b, carry, high);
    std::cout << low << ' ' << high << '\\n';
  }
}
"""

EDGES = [0, 1, 2, 0xFFFFFFFF, 1 << 32, (1 << 32) + 1, (1 << 63) - 1, 1 << 63, (1 << 64) - 2, (1 << 64) - 1]


def cases():
    rng = random.Random(20240611)
    mixed = [(rng.getrandbits(64), rng.getrandbits(64), rng.getrandbits(64)) for _ in range(3000)]
    # Operand halves at the 32-bit seams, where the portable branch carries.
    seams = [(rng.getrandbits(32) << 32 | 0xFFFFFFFF, 0xFFFFFFFF << 32 | rng.getrandbits(32), rng.choice(EDGES))
             for _ in range(500)]
    return list(itertools.product(EDGES, EDGES, [0, 1, (1 << 64) - 1])) + mixed + seams


@pytest.mark.skipif(CXX is None, reason="no C++ compiler")
@pytest.mark.parametrize("defines, int128", [([], True), (["-DVELKA_PORTABLE_MULTIPLY"], False)],
                         ids=["int128", "portable"])
def test_multiply_add_matches_python_ints(tmp_path, defines, int128):
    source = tmp_path / "driver.cpp"
    source.write_text(DRIVER)
    flags = ["-std=c++20", "-Wall", "-Wextra", "-Werror", "-O2", f"-I{SRC}", *defines]
    expanded = subprocess.run([CXX, *flags, "-E", str(source)], capture_output=True, text=True, check=True).stdout
    assert ("static_cast<unsigned __int128>(a)" in expanded) == int128  # the branch this build takes
    subprocess.run([CXX, *flags, str(source), "-o", str(tmp_path / "driver")], check=True)
    inputs = cases()
    out = subprocess.run([str(tmp_path / "driver")], input="".join(f"{a} {b} {c}\n" for a, b, c in inputs),
                         capture_output=True, text=True, check=True).stdout.split("\n")
    wrong = [(a, b, c, line) for (a, b, c), line in zip(inputs, out)
             if line != f"{(a * b + c) & ((1 << 64) - 1)} {(a * b + c) >> 64}"]
    assert len(out) == len(inputs) + 1 and wrong == []
