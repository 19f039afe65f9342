"""Numeric routines against pure-Python functions of the same algorithms."""

from run import Row

import velka_code as vk


# ---------------------------------------------- pure-Python peers

def factorial(n):
    result = 1
    for i in range(1, n + 1):
        result *= i
    return result


def sin(x, num_terms=10):
    result = 0
    for n in range(num_terms):
        s = (-1) ** n
        term = s * x ** (2 * n + 1) / factorial(2 * n + 1)
        result += term
    return result


def cos(x, num_terms=10):
    result = 0
    for n in range(num_terms):
        s = (-1) ** n
        term = s * x ** (2 * n) / factorial(2 * n)
        result += term
    return result


def exp(x, num_terms=10):
    result = 0
    for n in range(num_terms):
        term = x ** n / factorial(n)
        result += term
    return result


def tan(x, num_terms=10):
    cos_value = cos(x, num_terms)
    if cos_value == 0:
        return float("inf")
    return sin(x, num_terms) / cos_value


def sinh(x, num_terms=10):
    return (exp(x, num_terms) - exp(-x, num_terms)) / 2


def cosh(x, num_terms=10):
    return (exp(x, num_terms) + exp(-x, num_terms)) / 2


def tanh(x, num_terms=10):
    sinh_val = sinh(x, num_terms)
    cosh_val = cosh(x, num_terms)
    return sinh_val / cosh_val


def sqrt(a, tolerance=1e-6, max_iterations=100):
    x = a
    for _ in range(max_iterations):
        f = x ** 2 - a
        f_prime = 2 * x
        delta_x = f / f_prime
        x -= delta_x
        if abs(delta_x) < tolerance:
            break
    return x


def ln(x, tolerance=1e-6, max_iterations=100):
    y = 1
    for _ in range(max_iterations):
        f = exp(y) - x
        f_prime = exp(y)
        delta_y = f / f_prime
        y = y - delta_y
        if abs(delta_y) < tolerance:
            break
    return y


def log10(x, tolerance=1e-6, max_iterations=100):
    ln_10 = ln(10, tolerance, max_iterations)
    return ln(x, tolerance, max_iterations) / ln_10


def power(x, n):
    result = 1
    if n >= 0:
        for _ in range(n):
            result *= x
    else:
        for _ in range(-n):
            result /= x
    return result


def combination(n, k):
    if k > n or k < 0:
        return 0
    return factorial(n) // (factorial(k) * factorial(n - k))


def floor(x):
    if x >= 0:
        return int(x)
    whole = int(x)
    return whole if whole == x else whole - 1


def absolute_value(x):
    if x >= 0:
        return x
    return -x


class ComplexNumber:
    def __init__(self, real, imag):
        self.real = real
        self.imag = imag

    def __add__(self, other):
        return ComplexNumber(self.real + other.real, self.imag + other.imag)

    def __sub__(self, other):
        return ComplexNumber(self.real - other.real, self.imag - other.imag)

    def __mul__(self, other):
        real_part = self.real * other.real - self.imag * other.imag
        imag_part = self.real * other.imag + self.imag * other.real
        return ComplexNumber(real_part, imag_part)

    def __truediv__(self, other):
        denominator = other.real ** 2 + other.imag ** 2
        real_part = (self.real * other.real + self.imag * other.imag) / denominator
        imag_part = (self.imag * other.real - self.real * other.imag) / denominator
        return ComplexNumber(real_part, imag_part)

    def __str__(self):
        return f"{self.real} + {self.imag}i"


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
