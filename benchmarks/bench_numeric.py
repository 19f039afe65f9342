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
    # Statements are timed as they stand, with the functions and arguments
    # as globals of the timing loop on both sides.
    env = {"x": 0.7}
    for name, fn, peer in [("sin", vk.sin, sin), ("cos", vk.cos, cos), ("exp", vk.exp, exp), ("tan", vk.tan, tan),
                           ("sinh", vk.sinh, sinh), ("tanh", vk.tanh, tanh)]:
        assert fn(0.7) == peer(0.7)
        env["vk_" + name], env[name] = fn, peer
        yield Row(f"{name}(0.7) (10 terms)", ours=f"vk_{name}(x)", peer=f"{name}(x)", env=env, goal=0.1)
    for call, fn, peer, goal in [
        ("sqrt(2.0)", vk.sqrt, sqrt, 0.1),
        ("ln(10.0)", vk.ln, ln, 0.1),
        ("log10(100)", vk.log10, log10, 0.1),
        ("factorial(20)", vk.factorial, factorial, 1.0),
        ("factorial(1000)", vk.factorial, factorial, 0.2),
        ("combination(60, 30)", vk.combination, combination, 1.0),
        ("combination(1000, 500)", vk.combination, combination, 1.0),
        ("power(3, 200)", vk.power, power, 1.0),
        ("floor(-2.5)", vk.floor, floor, 1.0),
        ("absolute_value(-4)", vk.absolute_value, absolute_value, None),
    ]:
        name = call.partition("(")[0]
        env["vk_" + name], env[name] = fn, peer
        assert eval("vk_" + call, env) == eval(call, env)
        yield Row(call, ours="vk_" + call, peer=call, env=env, goal=goal,
                  note="call overhead against a def, for reference" if name == "absolute_value" else "")
    yield Row("abs(-4), the builtin, for reference", ours="abs(-4)", peer="absolute_value(-4)", env=env,
              note="the floor of a call: a builtin C function against the def")

    # The same class written in Python, its parts floats; the number on the
    # right is a float.
    complex_env = {"a": vk.ComplexNumber(1.5, -2.0), "b": vk.ComplexNumber(0.5, 3.0),
                   "pa": ComplexNumber(1.5, -2.0), "pb": ComplexNumber(0.5, 3.0), "k": 2.5}
    for op in "*/+-":
        for right, peer_right, what in [("b", "pb", "ComplexNumber"), ("k", "k", "number")]:
            ours, peer = f"a {op} {right}", f"pa {op} {peer_right}"
            assert str(eval(ours, complex_env)) == str(eval(peer, complex_env))
            yield Row(f"ComplexNumber {ours} ({what} on the right)", ours=ours, peer=peer, env=complex_env,
                      goal=0.8, note="against the class in Python")
    assert str(complex_env["a"]) == str(complex_env["pa"])
    yield Row("str(ComplexNumber)", ours="str(a)", peer="str(pa)", env=complex_env, goal=0.8,
              note="against the class in Python")

    # As scripts write it: the instances made in the expression.
    made_env = {"C": vk.ComplexNumber, "P": ComplexNumber}
    for expression in ["C(1, 2)", "C(1.5, -2.0)", "C(1, 2) * C(3, 4)", "C(1, 2) / C(3, 4)",
                       "C(1.5, -2.0) * C(0.5, 3.0)"]:
        peer = expression.replace("C(", "P(")
        assert str(eval(expression, made_env)) == str(eval(peer, made_env))
        yield Row(f"ComplexNumber: {expression.replace('C(', 'ComplexNumber(')}", ours=expression, peer=peer,
                  env=made_env, goal=0.8, note="against the class in Python")
