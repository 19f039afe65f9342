// Integer and elementary helpers: pi at a chosen precision, factorial,
// power, combination (two forms), floor and absolute_value.
#include <cmath>
#include <limits>
#include <numeric>

#include "numeric/fast.hpp"
#include "numeric/numeric.hpp"

namespace vk::numeric {
namespace {

using namespace literals;

// mpmath.mp.dps = numbers; return mpmath.pi
PyObject* pi_impl(Function*, Args<"numbers"> args) {
  Ref mpmath = global("mpmath"_id);
  if (!mpmath) return nullptr;
  Ref mp = getattr(mpmath.get(), "mp"_id);
  if (!mp || PyObject_SetAttr(mp.get(), "dps"_id, args.get<"numbers">()) < 0) return nullptr;
  mpmath = global("mpmath"_id);
  return mpmath ? PyObject_GetAttr(mpmath.get(), "pi"_id) : nullptr;
}

// ------------------------------------------------------------ factorial

// isinstance(n, int) and n < 0: an exact int by its sign, anything else
// as isinstance and its own operator answer. 1, 0, or -1 with an
// exception set.
int negative_int(PyObject* n) {
  if (PyLong_CheckExact(n)) return _PyLong_Sign(n) < 0;
  const int is_int = PyObject_IsInstance(n, reinterpret_cast<PyObject*>(&PyLong_Type));
  return is_int <= 0 ? is_int : PyObject_RichCompareBool(n, small_int<0>(), Py_LT);
}

PyObject* factorial_impl(Function*, Args<"n"> args) {
  PyObject* n = args.get<"n">();
  const int negative = negative_int(n);
  if (negative < 0) return nullptr;
  if (negative) {
    PyErr_SetString(PyExc_ValueError, "factorial() not defined for negative values");
    return nullptr;
  }
  if (PyLong_CheckExact(n)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (!overflow) return factorial_of(static_cast<std::uint64_t>(value)).release();
  }
  // result = 1; for i in range(1, n + 1): result *= i
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!one) return nullptr;
  Ref stop = Ref::steal(PyNumber_Add(n, one.get()));
  if (!stop) return nullptr;
  Ref result = one;
  auto multiply = [&](PyObject* i) {
    result = Ref::steal(PyNumber_InPlaceMultiply(result.get(), i));
    return result ? Loop::next : Loop::fail;
  };
  return for_range(multiply, one.get(), stop.get()) ? result.release() : nullptr;
}

// ---------------------------------------------------------------- power

// `times` more rounds of r = r * x (or r / x) in floats. Once r is a NaN,
// a zero or an infinity, or x is +-1, every further round keeps the size
// and at most flips the sign, so the rounds left are settled at once.
// False when a signal handler raised meanwhile.
bool repeat_rounds(double& r, double x, unsigned long long times, bool divide) {
  for (unsigned long long i = 0; i < times; ++i) {
    if (std::isnan(r)) return true;
    if (!std::isnan(x) &&
        (std::fabs(x) == 1.0 || (r == 0.0 && !std::isinf(x)) || (std::isinf(r) && x != 0.0))) {
      if (std::signbit(x) && ((times - i) & 1)) r = -r;
      return true;
    }
    r = divide ? r / x : r * x;
    if (!poll_signals(i)) return false;
  }
  return true;
}

Outcome power_fast(PyObject* x, PyObject* n, Ref& result) {
  if (!PyLong_CheckExact(n)) return Outcome::general;
  int overflow = 0;
  const long long rounds = PyLong_AsLongLongAndOverflow(n, &overflow);
  if (overflow) return Outcome::general;
  if (rounds == 0) {
    result = Ref::steal(PyLong_FromLong(1));
    return result ? Outcome::value : Outcome::error;
  }
  // Rounds after the first: n - 1, or -n - 1 without overflowing.
  const auto more = static_cast<unsigned long long>(rounds > 0 ? rounds - 1 : -(rounds + 1));
  double r;
  if (PyFloat_CheckExact(x)) {
    const double xv = PyFloat_AS_DOUBLE(x);
    if (rounds > 0) {
      r = 1.0 * xv;  // 1 * x converts the 1
    } else {
      if (xv == 0.0) return Outcome::general;  // float division by zero
      r = 1.0 / xv;
    }
    if (!repeat_rounds(r, xv, more, rounds < 0)) return Outcome::error;
  } else if (PyLong_CheckExact(x)) {
    // Repeated int multiplication is exactly the int power.
    if (rounds > 0) {
      result = Ref::steal(PyNumber_Power(x, n, Py_None));
      return result ? Outcome::value : Outcome::error;
    }
    Real real;
    if (!read_real(x, real)) return Outcome::general;
    if (real.exact && real.small == 0) return Outcome::general;  // division by zero
    if (real.exact) {
      r = 1.0 / real.value;  // both exactly floats: the correctly rounded 1 / x
    } else {
      Ref one = Ref::steal(PyLong_FromLong(1));
      if (!one) return Outcome::error;
      Ref first = Ref::steal(PyNumber_TrueDivide(one.get(), x));
      if (!first) return Outcome::error;
      r = PyFloat_AS_DOUBLE(first.get());
    }
    if (more > 0) {
      // float / int converts the int, which may overflow.
      const double xv = real.exact ? real.value : PyLong_AsDouble(x);
      if (xv == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return Outcome::general;
      }
      if (!repeat_rounds(r, xv, more, true)) return Outcome::error;
    }
  } else {
    return Outcome::general;
  }
  result = Ref::steal(PyFloat_FromDouble(r));
  return result ? Outcome::value : Outcome::error;
}

// result = 1; for _ in range(n or -n): result *= x (or /= x)
PyObject* power_general(PyObject* x, PyObject* n) {
  Ref result = Ref::steal(PyLong_FromLong(1));
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!result || !zero) return nullptr;
  int non_negative = PyObject_RichCompareBool(n, zero.get(), Py_GE);
  if (non_negative < 0) return nullptr;
  Ref count = non_negative ? Ref::borrow(n) : Ref::steal(PyNumber_Negative(n));
  if (!count) return nullptr;
  auto one_round = [&](PyObject*) {
    result = Ref::steal(non_negative ? PyNumber_InPlaceMultiply(result.get(), x)
                                     : PyNumber_InPlaceTrueDivide(result.get(), x));
    return result ? Loop::next : Loop::fail;
  };
  return for_range(one_round, count.get()) ? result.release() : nullptr;
}

PyObject* power_impl(Function*, Args<"x", "n"> args) {
  return fast_or_general([&](Ref& result) { return power_fast(args.get<"x">(), args.get<"n">(), result); },
                         [&] { return power_general(args.get<"x">(), args.get<"n">()); });
}

// ---------------------------------------------------------- combination

// k > n or k < 0, tested in that order: 1 when outside, 0 inside, -1 on error.
int outside(PyObject* n, PyObject* k) {
  int greater = PyObject_RichCompareBool(k, n, Py_GT);
  if (greater != 0) return greater;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  return zero ? PyObject_RichCompareBool(k, zero.get(), Py_LT) : -1;
}

// C(n, k) for 0 <= k <= n, exact.
Ref binomial(std::uint64_t n, std::uint64_t k) {
  k = std::min(k, n - k);
  // r = r * (n - k + i) / i stays whole; dividing out the common factor
  // of r and i first keeps every step inside 64 bits while the result fits.
  std::uint64_t r = 1;
  bool fits = true;
  for (std::uint64_t i = 1; i <= k && fits; ++i) {
    std::uint64_t m = n - k + i;
    const std::uint64_t g = std::gcd(r, i);
    r /= g;
    m /= i / g;
    if (r > std::numeric_limits<std::uint64_t>::max() / m)
      fits = false;
    else
      r *= m;
  }
  if (fits) return Ref::steal(PyLong_FromUnsignedLongLong(r));
  Ref top = product_range(n - k + 1, n);
  if (!top) return {};
  Ref bottom = factorial_of(k);
  if (!bottom) return {};
  return Ref::steal(PyNumber_FloorDivide(top.get(), bottom.get()));
}

// if k > n or k < 0: return 0; return factorial(n) // (factorial(k) * factorial(n - k))
PyObject* combination_impl(Function*, Args<"n", "k"> args) {
  PyObject* n = args.get<"n">();
  PyObject* k = args.get<"k">();
  if (PyLong_CheckExact(n) && PyLong_CheckExact(k) && is_own("factorial"_id, factorial)) {
    int overflow_n = 0, overflow_k = 0;
    const long long nv = PyLong_AsLongLongAndOverflow(n, &overflow_n);
    const long long kv = PyLong_AsLongLongAndOverflow(k, &overflow_k);
    if (!overflow_n && !overflow_k) {
      if (kv > nv || kv < 0) return PyLong_FromLong(0);
      return binomial(static_cast<std::uint64_t>(nv), static_cast<std::uint64_t>(kv)).release();
    }
  }
  int out = outside(n, k);
  if (out < 0) return nullptr;
  if (out) return PyLong_FromLong(0);
  Ref fn = global("factorial"_id);
  if (!fn) return nullptr;
  Ref n_factorial = call(fn.get(), n);
  if (!n_factorial) return nullptr;
  fn = global("factorial"_id);
  if (!fn) return nullptr;
  Ref k_factorial = call(fn.get(), k);
  if (!k_factorial) return nullptr;
  fn = global("factorial"_id);
  if (!fn) return nullptr;
  Ref rest = Ref::steal(PyNumber_Subtract(n, k));
  if (!rest) return nullptr;
  Ref rest_factorial = call(fn.get(), rest.get());
  if (!rest_factorial) return nullptr;
  Ref divisor = Ref::steal(PyNumber_Multiply(k_factorial.get(), rest_factorial.get()));
  if (!divisor) return nullptr;
  return PyNumber_FloorDivide(n_factorial.get(), divisor.get());
}

// The form bound first: the same range test, then math.comb.
PyObject* combination_by_math_comb_impl(Function*, Args<"n", "k"> args) {
  int out = outside(args.get<"n">(), args.get<"k">());
  if (out < 0) return nullptr;
  if (out) return PyLong_FromLong(0);
  Ref math = global("math"_id);
  if (!math) return nullptr;
  Ref comb = getattr(math.get(), "comb"_id);
  if (!comb) return nullptr;
  return call(comb.get(), args.get<"n">(), args.get<"k">()).release();
}

// ------------------------------------------------- floor, absolute_value

// The mathematical floor: int(x) for x >= 0; below zero int(x) truncates
// toward zero, so one is taken off unless x was already whole.
PyObject* floor_impl(Function*, Args<"x"> args) {
  PyObject* x = args.get<"x">();
  if (PyLong_CheckExact(x)) return Py_NewRef(x);  // int(x) is x itself
  if (PyFloat_CheckExact(x) && std::isfinite(PyFloat_AS_DOUBLE(x)))
    return PyLong_FromDouble(std::floor(PyFloat_AS_DOUBLE(x)));
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return nullptr;
  int non_negative = PyObject_RichCompareBool(x, zero.get(), Py_GE);
  if (non_negative < 0) return nullptr;
  Ref whole = Ref::steal(PyNumber_Long(x));
  if (!whole || non_negative) return whole.release();
  int same = PyObject_RichCompareBool(whole.get(), x, Py_EQ);
  if (same < 0) return nullptr;
  if (same) return whole.release();
  Ref one = Ref::steal(PyLong_FromLong(1));
  return one ? PyNumber_Subtract(whole.get(), one.get()) : nullptr;
}

PyObject* absolute_value_impl(Function*, Args<"x"> args) {
  PyObject* x = args.get<"x">();
  // The exact types answer -x as their own negation would, without the
  // dispatch: the size's sign is an int's sign, and one digit is its value.
  if (PyFloat_CheckExact(x)) {
    double value = PyFloat_AS_DOUBLE(x);
    return value >= 0.0 ? Py_NewRef(x) : PyFloat_FromDouble(-value);
  }
  if (PyLong_CheckExact(x)) {
    if (Py_SIZE(x) >= 0) return Py_NewRef(x);
    if (Py_SIZE(x) == -1)
      return PyLong_FromLong(static_cast<long>(reinterpret_cast<PyLongObject*>(x)->ob_digit[0]));
    return PyNumber_Negative(x);
  }
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return nullptr;
  int non_negative = PyObject_RichCompareBool(x, zero.get(), Py_GE);
  if (non_negative < 0) return nullptr;
  return non_negative ? Py_NewRef(x) : PyNumber_Negative(x);
}

}  // namespace

const FunctionDef pi{.name = "pi", .impl = impl<pi_impl>};
const FunctionDef factorial{.name = "factorial", .impl = impl<factorial_impl>, .doc = "计算阶乘"};
const FunctionDef power{.name = "power", .impl = impl<power_impl>};
const FunctionDef combination_by_math_comb{
    .name = "combination", .impl = impl<combination_by_math_comb_impl>};
const FunctionDef combination{.name = "combination", .impl = impl<combination_impl>};
const FunctionDef floor{.name = "floor", .impl = impl<floor_impl>};
const FunctionDef absolute_value{.name = "absolute_value", .impl = impl<absolute_value_impl>};

}  // namespace vk::numeric
