// ComplexNumber's operators on parts read once, in unboxed float and int arithmetic where it is exact.
#include "numeric/complex_fast.hpp"
#include "numeric/complex_parts.hpp"
#include "numeric/fast.hpp"


namespace vk::numeric {
namespace {

using namespace literals;

// Both values as C doubles when float arithmetic is what the interpreter
// does with them: one is a float and the other a float or an exact int,
// which float arithmetic converts first. False (nothing set) when the
// interpreter's own operation must decide, an int too large for a float
// among them.
bool as_doubles(const Num& a, const Num& b, double& x, double& y) {
  if (a.kind != Num::real && b.kind != Num::real) return false;
  const auto convert = [](const Num& n, double& out) {
    if (n.kind == Num::real) {
      out = n.value;
      return true;
    }
    if (n.kind == Num::whole) {
      if (!exact_in_float(n.integer)) return false;
      out = static_cast<double>(n.integer);
      return true;
    }
    // Parts read once are exact ints or floats, and so is every result
    // of the interpreter's arithmetic between them.
    assert(PyLong_CheckExact(n.held.get()));
    out = PyLong_AsDouble(n.held.get());
    if (out == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();  // the operation itself raises it below
      return false;
    }
    return true;
  };
  return convert(a, x) && convert(b, y);
}

enum class Op { add, sub, mul, div };

// a op b for two ints in 64 bits, as the interpreter's int operators give
// it; false when it does not fit, or for a quotient the interpreter must
// work out itself (a zero divisor, operands past what a float holds
// exactly, where int / int is no longer one float division).
bool whole_arithmetic(Op op, long long x, long long y, Num& out) {
  long long r;
  switch (op) {
    case Op::add:
      if (__builtin_add_overflow(x, y, &r)) return false;
      break;
    case Op::sub:
      if (__builtin_sub_overflow(x, y, &r)) return false;
      break;
    case Op::mul:
      if (__builtin_mul_overflow(x, y, &r)) return false;
      break;
    case Op::div:
      if (y == 0 || !exact_in_float(x) || !exact_in_float(y)) return false;
      out = Num::of(static_cast<double>(x) / static_cast<double>(y));
      return true;
  }
  out = Num::whole_of(r);
  return true;
}

// a op b, as the interpreter's operator computes it.
Num apply(Op op, Num a, Num b) {
  Num done;
  if (a.kind == Num::whole && b.kind == Num::whole && whole_arithmetic(op, a.integer, b.integer, done)) return done;
  double x, y;
  if (as_doubles(a, b, x, y)) {
    switch (op) {
      case Op::add:
        return Num::of(x + y);
      case Op::sub:
        return Num::of(x - y);
      case Op::mul:
        return Num::of(x * y);
      case Op::div:
        if (y != 0.0) return Num::of(x / y);
        break;  // the interpreter raises its ZeroDivisionError
    }
  }
  PyObject* left = a.box();
  if (!left) return {};
  PyObject* right = b.box();
  if (!right) return {};
  switch (op) {
    case Op::add:
      return Num::of(Ref::steal(PyNumber_Add(left, right)));
    case Op::sub:
      return Num::of(Ref::steal(PyNumber_Subtract(left, right)));
    case Op::mul:
      return Num::of(Ref::steal(PyNumber_Multiply(left, right)));
    case Op::div:
      return Num::of(Ref::steal(PyNumber_TrueDivide(left, right)));
  }
  return {};
}

// value ** 2
Num squared(Num value) {
  if (!value.ok()) return {};
  double square;
  if (value.kind == Num::real && float_pow(value.value, 2.0, square)) return Num::of(square);
  long long whole_square;
  if (value.kind == Num::whole && !__builtin_mul_overflow(value.integer, value.integer, &whole_square))
    return Num::whole_of(whole_square);
  // Not a float, or a range error the interpreter reports itself.
  PyObject* base = value.box();
  if (!base) return {};
  return Num::of(Ref::steal(PyNumber_Power(base, small_int<2>(), Py_None)));
}

Ref construct_nums(PyObject* cls, Num& real, Num& imag) {
  PyObject* real_object = real.box();
  if (!real_object) return {};
  PyObject* imag_object = imag.box();
  if (!imag_object) return {};
  return construct(cls, real_object, imag_object);
}

// read(x) op read(y), reading x first.
Num pair(const ReadOnce& read, Part x, Op op, Part y) {
  Num left = read(x);
  if (!left.ok()) return {};
  Num right = read(y);
  if (!right.ok()) return {};
  return apply(op, std::move(left), std::move(right));
}

// (x1 * y1) op (x2 * y2)
Num combined(const ReadOnce& read, Part x1, Part y1, Op op, Part x2, Part y2) {
  Num first = pair(read, x1, Op::mul, y1);
  if (!first.ok()) return {};
  Num second = pair(read, x2, Op::mul, y2);
  if (!second.ok()) return {};
  return apply(op, std::move(first), std::move(second));
}

// ComplexNumber(real, imag) from two floats.
Ref construct_floats(PyObject* cls, double real, double imag) {
  const Ref real_part = Ref::steal(PyFloat_FromDouble(real));
  if (!real_part) return {};
  const Ref imag_part = Ref::steal(PyFloat_FromDouble(imag));
  if (!imag_part) return {};
  return construct(cls, real_part.get(), imag_part.get());
}

// ComplexNumber(real, imag) from two ints.
Ref construct_wholes(PyObject* cls, long long real, long long imag) {
  const Ref real_part = Ref::steal(PyLong_FromLongLong(real));
  if (!real_part) return {};
  const Ref imag_part = Ref::steal(PyLong_FromLongLong(imag));
  if (!imag_part) return {};
  return construct(cls, real_part.get(), imag_part.get());
}

// (a * b) op (c * d) in 64 bits; false when a step does not fit.
bool products(long long a, long long b, bool add, long long c, long long d, long long& out) {
  long long first, second;
  return !__builtin_mul_overflow(a, b, &first) && !__builtin_mul_overflow(c, d, &second) &&
         !(add ? __builtin_add_overflow(first, second, &out) : __builtin_sub_overflow(first, second, &out));
}

// return ComplexNumber(real_part, imag_part), the name looked up last.
Ref make(Num& real, Num& imag) {
  Ref cls = global("ComplexNumber"_id);
  if (!cls) return {};
  return construct_nums(cls.get(), real, imag);
}

Ref componentwise(PyObject* cls, const ReadOnce& read, ComplexOp op) {
  long long w[4], real_w, imag_w;
  if (read.wholes(w) && (op == ComplexOp::add ? !__builtin_add_overflow(w[self_real], w[other_real], &real_w) &&
                                                    !__builtin_add_overflow(w[self_imag], w[other_imag], &imag_w)
                                              : !__builtin_sub_overflow(w[self_real], w[other_real], &real_w) &&
                                                    !__builtin_sub_overflow(w[self_imag], w[other_imag], &imag_w)))
    return construct_wholes(cls, real_w, imag_w);
  const Op how = op == ComplexOp::add ? Op::add : Op::sub;
  Num real = pair(read, self_real, how, other_real);
  if (!real.ok()) return {};
  Num imag = pair(read, self_imag, how, other_imag);
  if (!imag.ok()) return {};
  return construct_nums(cls, real, imag);
}

Ref multiply(const ReadOnce& read) {
  double p[4];
  if (read.floats(p)) {
    const double real_part = p[self_real] * p[other_real] - p[self_imag] * p[other_imag];
    const double imag_part = p[self_real] * p[other_imag] + p[self_imag] * p[other_real];
    Ref cls = global("ComplexNumber"_id);
    if (!cls) return {};
    return construct_floats(cls.get(), real_part, imag_part);
  }
  long long w[4], real_w, imag_w;
  if (read.wholes(w) && products(w[self_real], w[other_real], false, w[self_imag], w[other_imag], real_w) &&
      products(w[self_real], w[other_imag], true, w[self_imag], w[other_real], imag_w)) {
    Ref cls = global("ComplexNumber"_id);
    if (!cls) return {};
    return construct_wholes(cls.get(), real_w, imag_w);
  }
  Num real_part = combined(read, self_real, other_real, Op::sub, self_imag, other_imag);
  if (!real_part.ok()) return {};
  Num imag_part = combined(read, self_real, other_imag, Op::add, self_imag, other_real);
  if (!imag_part.ok()) return {};
  return make(real_part, imag_part);
}

Ref divide(const ReadOnce& read) {
  double p[4];
  double real_square, imag_square;
  // A range error of a power or a zero denominator is left to the
  // interpreter's operations, which raise it.
  if (read.floats(p) && float_pow(p[other_real], 2.0, real_square) && float_pow(p[other_imag], 2.0, imag_square) &&
      real_square + imag_square != 0.0) {
    const double denominator = real_square + imag_square;
    const double real_part = (p[self_real] * p[other_real] + p[self_imag] * p[other_imag]) / denominator;
    const double imag_part = (p[self_imag] * p[other_real] - p[self_real] * p[other_imag]) / denominator;
    Ref cls = global("ComplexNumber"_id);
    if (!cls) return {};
    return construct_floats(cls.get(), real_part, imag_part);
  }
  // int / int is one float division while both are exactly floats.
  long long w[4], denominator_w, real_w, imag_w;
  if (read.wholes(w) && products(w[other_real], w[other_real], true, w[other_imag], w[other_imag], denominator_w) &&
      products(w[self_real], w[other_real], true, w[self_imag], w[other_imag], real_w) &&
      products(w[self_imag], w[other_real], false, w[self_real], w[other_imag], imag_w) && denominator_w != 0 &&
      exact_in_float(denominator_w) && exact_in_float(real_w) && exact_in_float(imag_w)) {
    const double denominator = static_cast<double>(denominator_w);
    Ref cls = global("ComplexNumber"_id);
    if (!cls) return {};
    return construct_floats(cls.get(), static_cast<double>(real_w) / denominator,
                            static_cast<double>(imag_w) / denominator);
  }
  Num real_square_n = squared(read(other_real));
  if (!real_square_n.ok()) return {};
  Num imag_square_n = squared(read(other_imag));
  if (!imag_square_n.ok()) return {};
  Num denominator = apply(Op::add, std::move(real_square_n), std::move(imag_square_n));
  if (!denominator.ok()) return {};
  Num real_sum = combined(read, self_real, other_real, Op::add, self_imag, other_imag);
  if (!real_sum.ok()) return {};
  Num real_part = apply(Op::div, std::move(real_sum), denominator.share());
  if (!real_part.ok()) return {};
  Num imag_difference = combined(read, self_imag, other_real, Op::sub, self_real, other_imag);
  if (!imag_difference.ok()) return {};
  Num imag_part = apply(Op::div, std::move(imag_difference), std::move(denominator));
  if (!imag_part.ok()) return {};
  return make(real_part, imag_part);
}

}  // namespace

Outcome operate_once(ComplexOp op, PyObject* cls, PyObject* self, PyObject* other, Ref& result) {
  ReadOnce once;
  if (!once.read(self, other)) return Outcome::general;
  switch (op) {
    case ComplexOp::add:
    case ComplexOp::sub: {
      double p[4];
      if (once.floats(p)) {
        result = op == ComplexOp::add
                     ? construct_floats(cls, p[self_real] + p[other_real], p[self_imag] + p[other_imag])
                     : construct_floats(cls, p[self_real] - p[other_real], p[self_imag] - p[other_imag]);
      } else {
        result = componentwise(cls, once, op);
      }
      break;
    }
    case ComplexOp::mul:
      result = multiply(once);
      break;
    case ComplexOp::div:
      result = divide(once);
      break;
  }
  return result ? Outcome::value : Outcome::error;
}

}  // namespace vk::numeric
