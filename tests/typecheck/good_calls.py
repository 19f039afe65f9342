"""Correct calls: `mypy --strict` accepts every line and infers these types."""

import hashlib
import io
import os
import pathlib
import subprocess
from decimal import Decimal
from fractions import Fraction
from typing import Any, assert_type

import velka_code as vk

assert_type(vk.getcwd(), str)
assert_type(vk.cwdbytes(), bytes)
assert_type(vk.join("C:/data", pathlib.Path("file.txt")), str)
assert_type(vk.dirlist(pathlib.Path(".")), list[str])
assert_type(vk.exists("x"), bool)
assert_type(vk.pathq("x", vk.READ | vk.WRITE), bool)
vk.permissions(pathlib.Path("x"), 0o444)
vk.name("old", pathlib.Path("new"))
assert_type(vk.home(), str | None)
assert_type(vk.username(), str | None)
assert_type(vk.desktop(), str)
assert_type(vk.psshell("ls"), subprocess.CompletedProcess[str] | None)
vk.cmd("exit 3")
vk.backend("sleep 10")
assert_type(vk.get_encoding(pathlib.Path("x")), tuple[str | None, float])
vk.moencoding("in.txt", "out.txt", new_encoding="gbk")
vk.vkprint(1, "a", 2.5, sep=", ", end="", file=io.StringIO())
vk.copy("a", pathlib.Path("b"), TrueorFalse=True)

assert_type(vk.sha256("text"), str)
assert_type(vk.md5(b"bytes"), str)
assert_type(vk.blake2b(memoryview(b"view")), str)
assert_type(vk.shake_128(bytearray(b"array")), str)
assert_type(vk._calculate_hash(b"x", hashlib.sha1), str)  # pyright: ignore[reportPrivateUsage]

assert_type(vk.sin(1.5), float)
assert_type(vk.sin(1, num_terms=3), float)
assert_type(vk.exp(1j), complex)
assert_type(vk.tanh(0.5), float)
assert_type(vk.sqrt(2), float)
assert_type(vk.ln(1 + 1j, tolerance=1e-9, max_iterations=10), complex)
assert_type(vk.sqrt(Fraction(1, 4)), Any)
assert_type(vk.log10(Decimal(100)), Any)
assert_type(vk.power(2, 3), int)
assert_type(vk.power(2, -2), float)
assert_type(vk.power(1j, 2), complex)
assert_type(vk.floor(-2.5), int)
assert_type(vk.floor(Fraction(-5, 2)), int)
assert_type(vk.absolute_value(-4), int)
assert_type(vk.absolute_value(-4.5), float)
assert_type(vk.factorial(20), int)
assert_type(vk.combination(5, 2), int)
vk.pi(50)

assert_type(vk.system(), str)
assert_type(vk.system(5), int)

number = vk.ComplexNumber(1, 2) * vk.ComplexNumber(3, 4) + 1j - 2
assert_type(number, vk.ComplexNumber)
assert_type(number.real, float)
assert_type(str(number / number), str)

server = vk.HTTPSServer(4433, pathlib.Path("site"), certfile="cert.pem")
assert_type(server.port, int)
assert_type(server.keyfile, str | os.PathLike[str])
assert_type(vk.BackendPythonServer("app.py").port, int | None)
vk.HTTPServer(directory="site")
vk.SelfSignedCertificateGenerator("localhost", key_size=4096).generate()

assert_type(vk.installlist, list[str])
assert_type(vk.SORT_METHODS["date"], tuple[int, int])
assert_type(vk.Roaming, str | None)
assert_type(vk.Error, type[Exception])
assert_type(vk.win32con.SW_SHOW, Any)
assert_type(vk.shell.CreateShortCut("x.lnk"), Any)
vk.user32.MessageBoxW(0, "text", "title", 0)

vk.WinRightCilck.grid(True)
vk.WinRightCilck.sort_order(sort_type="date")
assert_type(vk.WinRightCilck.defaults(), None)
assert_type(vk.install("requests"), str)
assert_type(vk.install(["requests", "rich"], mirror_url=None), str)


def two_to_the(exponent: int) -> float:
    # An exponent that may be negative divides, so the result is a float.
    return assert_type(vk.power(2, exponent), float)
