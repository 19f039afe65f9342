"""Numeric routines against pure-Python functions of the same algorithms."""

import os
import sys

from run import Row

import velka_code as vk


# The pure-Python peers: the model the tests compare the module with.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
from numeric_model import (ComplexNumber, absolute_value, combination, cos, exp, factorial, floor,  # noqa: E402
                           ln, log10, power, sin, sinh, sqrt, tan, tanh)


def rows():
    x = 0.7
    for name, fn, peer in [("sin", vk.sin, sin), ("cos", vk.cos, cos), ("exp", vk.exp, exp), ("tan", vk.tan, tan),
                           ("sinh", vk.sinh, sinh), ("tanh", vk.tanh, tanh)]:
        assert fn(x) == peer(x)
        yield Row(f"{name}(0.7) (10 terms)", ours=lambda fn=fn: fn(x), peer=lambda peer=peer: peer(x), goal=0.1)
    for label, call, peer_call in [
        ("sqrt(2.0)", lambda: vk.sqrt(2.0), lambda: sqrt(2.0)),
        ("ln(10.0)", lambda: vk.ln(10.0), lambda: ln(10.0)),
        ("log10(100)", lambda: vk.log10(100), lambda: log10(100)),
    ]:
        assert call() == peer_call()
        yield Row(label, ours=call, peer=peer_call, goal=0.1)
    for label, call, peer_call, goal in [
        ("factorial(20)", lambda: vk.factorial(20), lambda: factorial(20), 1.0),
        ("factorial(1000)", lambda: vk.factorial(1000), lambda: factorial(1000), 0.2),
        ("combination(60, 30)", lambda: vk.combination(60, 30), lambda: combination(60, 30), 1.0),
        ("combination(1000, 500)", lambda: vk.combination(1000, 500), lambda: combination(1000, 500), 1.0),
        ("power(3, 200)", lambda: vk.power(3, 200), lambda: power(3, 200), 1.0),
        ("floor(-2.5)", lambda: vk.floor(-2.5), lambda: floor(-2.5), 1.0),
        ("absolute_value(-4)", lambda: vk.absolute_value(-4), lambda: absolute_value(-4), 1.0),
    ]:
        assert call() == peer_call()
        yield Row(label, ours=call, peer=peer_call, goal=goal)

    a, b = vk.ComplexNumber(1.5, -2.0), vk.ComplexNumber(0.5, 3.0)
    pa, pb = ComplexNumber(1.5, -2.0), ComplexNumber(0.5, 3.0)
    for label, op in [("add", lambda p, q: p + q), ("multiply", lambda p, q: p * q),
                      ("divide", lambda p, q: p / q)]:
        assert str(op(a, b)) == str(op(pa, pb))
        yield Row(f"ComplexNumber {label}", ours=lambda op=op: op(a, b), peer=lambda op=op: op(pa, pb), goal=0.5)
    assert str(a) == str(pa)
    yield Row("ComplexNumber str", ours=lambda: str(a), peer=lambda: str(pa), goal=0.5)
