"""ComplexNumber against a plain-Python class of the same definition."""

import enum
import inspect
import math

import pytest

pytestmark = pytest.mark.windows_safe


class Reference:
    """The class written out in Python, building results through `make`."""

    make = None

    def __init__(self, real, imag):
        self.real = real
        self.imag = imag

    def __add__(self, other):
        return Reference.make(self.real + other.real, self.imag + other.imag)

    def __sub__(self, other):
        return Reference.make(self.real - other.real, self.imag - other.imag)

    def __mul__(self, other):
        real_part = self.real * other.real - self.imag * other.imag
        imag_part = self.real * other.imag + self.imag * other.real
        return Reference.make(real_part, imag_part)

    def __truediv__(self, other):
        denominator = other.real ** 2 + other.imag ** 2
        real_part = (self.real * other.real + self.imag * other.imag) / denominator
        imag_part = (self.imag * other.real - self.real * other.imag) / denominator
        return Reference.make(real_part, imag_part)

    def __str__(self):
        return f"{self.real} + {self.imag}i"


Reference.make = Reference


def parts(value):
    def exact(x):
        if isinstance(x, float):
            return (float, "nan" if math.isnan(x) else x.hex())
        if isinstance(x, complex):
            return (complex, exact(x.real), exact(x.imag))
        return (type(x), x)
    return exact(value.real), exact(value.imag)


OPERATORS = {"+": lambda a, b: a + b, "-": lambda a, b: a - b, "*": lambda a, b: a * b, "/": lambda a, b: a / b}
LEFT = [(1, 2), (1.5, -2.25), (0, 0), (3, 0.5), (1e308, 1e308), (-0.0, 7), (2 + 1j, 3)]
RIGHT = ["complex-number", 3, -2.5, 1j, 2 - 3j, 0.0]


def right_operand(kind, cls):
    return cls(3, 4) if kind == "complex-number" else kind


@pytest.mark.parametrize("op", list(OPERATORS))
@pytest.mark.parametrize("left", LEFT)
@pytest.mark.parametrize("right", RIGHT, ids=str)
def test_operators_match_the_reference(vk, op, left, right):
    fn = OPERATORS[op]

    def run(cls):
        try:
            result = fn(cls(*left), right_operand(right, cls))
        except Exception as exc:  # noqa: BLE001 - the exception is the outcome
            return ("raised", type(exc), str(exc))
        return ("returned", type(result).__name__ == cls.__name__, parts(result), str(result))

    assert run(vk.ComplexNumber) == run(Reference)


@pytest.mark.parametrize("real, imag, text", [
    (1, 2, "1 + 2i"), (1, -2, "1 + -2i"), (1.5, 0.0, "1.5 + 0.0i"), ("a", None, "a + Nonei"),
    (1e100, -0.0, "1e+100 + -0.0i"), (1 + 2j, 3, "(1+2j) + 3i"),
])
def test_text_form(vk, real, imag, text):
    assert str(vk.ComplexNumber(real, imag)) == text
    assert str(Reference(real, imag)) == text


@pytest.mark.parametrize("expression, real, imag", [
    (lambda C: C(1, 2) + C(3, 4), 4, 6),
    (lambda C: C(1, 2) * C(3, 4), -5, 10),
    (lambda C: C(1, 2) / C(3, 4), 0.44, 0.08),
    (lambda C: C(4, 2) / C(2, 0), 2.0, 1.0),
    (lambda C: C(1, 2) + 3, 4, 2),
    (lambda C: C(1, 2) * 1j, -2.0, 1.0),
    (lambda C: C(5, 1) - C(2, 3), 3, -2),
])
def test_quoted_results(vk, expression, real, imag):
    result = expression(vk.ComplexNumber)
    assert type(result) is vk.ComplexNumber
    assert (result.real, result.imag) == (real, imag)
    assert (type(result.real), type(result.imag)) == (type(real), type(imag))


def test_number_on_the_left_is_refused(vk):
    c = vk.ComplexNumber(1, 2)
    for left in (3, 2.5, 1j):
        with pytest.raises(TypeError):
            left + c
        with pytest.raises(TypeError):
            left * c


def test_failures(vk):
    C = vk.ComplexNumber
    with pytest.raises(ZeroDivisionError):
        C(1, 2) / C(0, 0)
    with pytest.raises(ZeroDivisionError):
        C(1.0, 2) / 0
    with pytest.raises(AttributeError):
        C(1, 2) + "text"
    with pytest.raises(AttributeError):
        C(1, 2) * None
    with pytest.raises(TypeError):
        C("a", 1) - C(1, 1)
    with pytest.raises(TypeError):
        C(1)
    with pytest.raises(TypeError):
        C(1, 2, 3)
    with pytest.raises(TypeError, match="unexpected keyword argument 'im'"):
        C(real=1, im=2)


def test_class_shape(vk):
    C = vk.ComplexNumber
    assert C.__bases__ == (object,)
    assert C.__doc__ is None
    assert C.__module__ == "velka_code"
    methods = [name for name in vars(C) if name.startswith("__") and callable(vars(C)[name])]
    assert methods == ["__init__", "__add__", "__sub__", "__mul__", "__truediv__", "__str__"]
    for name in methods:
        assert getattr(C, name).__qualname__ == f"ComplexNumber.{name}"
    assert str(inspect.signature(C)) == "(real, imag)"
    c = C(real=1, imag=2)
    assert vars(c) == {"real": 1, "imag": 2}
    c.real = 10
    assert str(c) == "10 + 2i"
    assert repr(c).startswith("<velka_code.ComplexNumber object at ")


def test_equality_is_identity(vk):
    a, b = vk.ComplexNumber(1, 2), vk.ComplexNumber(1, 2)
    assert a != b
    assert a == a
    assert hash(a) != hash(b)


def test_operands_are_not_changed_and_augmented_assignment_rebinds(vk):
    a, b = vk.ComplexNumber(1, 2), vk.ComplexNumber(3, 4)
    first = a
    a += b
    assert a is not first
    assert (first.real, first.imag) == (1, 2) and (b.real, b.imag) == (3, 4)
    assert (a.real, a.imag) == (4, 6)


def test_subclass_gets_plain_results(vk):
    class Tagged(vk.ComplexNumber):
        def __init__(self, real, imag):
            super().__init__(real, imag)
            self.tag = "sub"

    for result in (Tagged(1, 2) + Tagged(3, 4), Tagged(1, 2) * 2, Tagged(1, 2) / Tagged(1, 1), Tagged(1, 2) - 1):
        assert type(result) is vk.ComplexNumber
        assert not hasattr(result, "tag")


def test_results_come_from_the_module_level_name(vk, monkeypatch):
    made = []

    def stand_in(real, imag):
        made.append((real, imag))
        return ("made", real, imag)

    C = vk.ComplexNumber
    a, b = C(1, 2), C(3, 4)
    monkeypatch.setattr(vk, "ComplexNumber", stand_in)
    assert a + b == ("made", 4, 6)
    assert a - b == ("made", -2, -2)
    assert a * b == ("made", -5, 10)
    assert a / b == ("made", 0.44, 0.08)
    assert made == [(4, 6), (-2, -2), (-5, 10), (0.44, 0.08)]
    monkeypatch.delattr(vk, "ComplexNumber")
    with pytest.raises(NameError, match="ComplexNumber"):
        a + b


def test_class_with_changed_init_is_honoured(vk, monkeypatch):
    C = vk.ComplexNumber
    original = C.__init__

    def init(self, real, imag):
        original(self, real, imag)
        self.seen = True

    monkeypatch.setattr(C, "__init__", init)
    result = C(1, 2) + C(3, 4)
    assert result.seen is True
    monkeypatch.undo()
    assert not hasattr(C(1, 2) + C(3, 4), "seen")


@pytest.mark.parametrize("op", list(OPERATORS))
def test_attributes_are_read_at_each_use(vk, op):
    def reads_of(cls):
        reads = []

        class Watched:
            def __getattr__(self, name):
                reads.append(name)
                return 2

        OPERATORS[op](cls(1, 2), Watched())
        return reads

    assert reads_of(vk.ComplexNumber) == reads_of(Reference)
    assert len(reads_of(vk.ComplexNumber)) == {"+": 2, "-": 2, "*": 4, "/": 6}[op]


class Part(str, enum.Enum):
    REAL = "1"


class Label(str):
    def __format__(self, spec):
        return "<" + str.__format__(self, spec) + ">"


@pytest.mark.parametrize("real, imag", [(Part.REAL, 2), (1, Part.REAL), (Label("x"), Label("y"))])
def test_text_form_formats_str_subclasses_as_an_f_string_does(vk, real, imag):
    assert str(vk.ComplexNumber(real, imag)) == f"{real} + {imag}i"
    assert str(vk.ComplexNumber(real, imag)) == str(Reference(real, imag))
