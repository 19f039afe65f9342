"""The numeric routines written out in Python: each definition with the
interpreter's own operations in the same order, reaching the others through
module-level names at call time, as the module's routines do.

The tests compare the module with it bit for bit, and the benchmarks time it
as the pure-Python peer. `fresh()` gives an independent copy whose names a
test may replace, as a script replaces the module's.
"""

import importlib.util


def factorial(n):
    if isinstance(n, int) and n < 0:
        raise ValueError("factorial() not defined for negative values")
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


def cot(x, num_terms=10):
    tan_value = tan(x, num_terms)
    if tan_value == 0:
        return float("inf")
    return 1 / tan_value


def sinh(x, num_terms=10):
    return (exp(x, num_terms) - exp(-x, num_terms)) / 2


def cosh(x, num_terms=10):
    return (exp(x, num_terms) + exp(-x, num_terms)) / 2


def tanh(x, num_terms=10):
    sinh_val = sinh(x, num_terms)
    cosh_val = cosh(x, num_terms)
    return sinh_val / cosh_val


def sqrt(a, tolerance=1e-6, max_iterations=100):
    real = isinstance(a, (int, float))
    if real and a < 0:
        raise ValueError("math domain error")
    x = a
    for _ in range(max_iterations):
        if real and x == 0:
            x = float(x)
            break
        f = x ** 2 - a
        f_prime = 2 * x
        delta_x = f / f_prime
        x -= delta_x
        if abs(delta_x) < tolerance:
            break
    return x


def ln(x, tolerance=1e-6, max_iterations=100):
    if isinstance(x, (int, float)) and x <= 0:
        raise ValueError("math domain error")
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
    if isinstance(x, (int, float)) and x <= 0:
        raise ValueError("math domain error")
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


def fresh():
    """A new copy of this model, with names of its own."""
    spec = importlib.util.spec_from_file_location("numeric_model_copy", __file__)
    copy = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(copy)
    return copy
