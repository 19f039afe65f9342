// Newton iterations: sqrt solves x**2 = a; ln solves exp(y) = x with the
// module's own truncated exp; log10 divides two results of ln.
//
// Real arguments (int, float and their subclasses) outside the domain are
// refused before any iteration. Otherwise each function iterates with the
// interpreter's number operations and returns the last iterate, converged
// or not; for exact int and float arguments a shortcut computes the same
// bits while `exp` and `factorial` (and `ln` for log10) are the module's own.
#include <cmath>

#include "numeric/fast.hpp"
#include "numeric/numeric.hpp"

namespace vk::numeric {
namespace {

using namespace literals;

// isinstance(v, (int, float)): 1, 0, or -1 with an exception set. The
// exact types answer at once; anything else asks isinstance, which also
// hears a __class__ of its own.
int is_real(PyObject* v) {
  if (PyLong_CheckExact(v) || PyFloat_CheckExact(v)) return 1;
  const int is_int = PyObject_IsInstance(v, reinterpret_cast<PyObject*>(&PyLong_Type));
  return is_int != 0 ? is_int : PyObject_IsInstance(v, reinterpret_cast<PyObject*>(&PyFloat_Type));
}

// v <op> 0 as the interpreter compares them: 1, 0, or -1 with an exception
// set. An exact int or float is compared by its value, which is what its
// operator does; any other type by its own operator.
int compare_with_zero(PyObject* v, int op) {
  if (PyFloat_CheckExact(v)) {
    const double d = PyFloat_AS_DOUBLE(v);
    return op == Py_LT ? d < 0.0 : op == Py_LE ? d <= 0.0 : d == 0.0;
  }
  if (PyLong_CheckExact(v)) {
    const int sign = _PyLong_Sign(v);
    return op == Py_LT ? sign < 0 : op == Py_LE ? sign <= 0 : sign == 0;
  }
  return PyObject_RichCompareBool(v, small_int<0>(), op);
}

// `isinstance(v, (int, float)) and v <op> 0`: 1, 0, or -1 with an
// exception set.
int real_and(PyObject* v, int op) {
  const int real = is_real(v);
  return real <= 0 ? real : compare_with_zero(v, op);
}

// abs(delta) < tolerance: 1, 0, or -1 with an exception set.
int below_tolerance(PyObject* delta, PyObject* tolerance) {
  Ref size = Ref::steal(PyNumber_Absolute(delta));
  return size ? PyObject_RichCompareBool(size.get(), tolerance, Py_LT) : -1;
}

PyObject* domain_error() {
  PyErr_SetString(PyExc_ValueError, "math domain error");
  return nullptr;
}

// ----------------------------------------------------------------- sqrt

PyObject* sqrt_general(PyObject* a, PyObject* tolerance, PyObject* max_iterations, bool real) {
  Ref x = Ref::borrow(a);
  PyObject* const two = small_int<2>();
  auto step = [&](PyObject*) {
    // For a real argument an iterate at zero can only be the root of
    // a == 0 itself: it is the answer, as a float.
    const int zero = real ? compare_with_zero(x.get(), Py_EQ) : 0;
    if (zero < 0) return Loop::fail;
    if (zero) {
      x = Ref::steal(PyNumber_Float(x.get()));
      return x ? Loop::stop : Loop::fail;
    }
    Ref square = Ref::steal(PyNumber_Power(x.get(), two, Py_None));
    if (!square) return Loop::fail;
    Ref f = Ref::steal(PyNumber_Subtract(square.get(), a));
    if (!f) return Loop::fail;
    Ref f_prime = Ref::steal(PyNumber_Multiply(two, x.get()));
    if (!f_prime) return Loop::fail;
    Ref delta_x = Ref::steal(PyNumber_TrueDivide(f.get(), f_prime.get()));
    if (!delta_x) return Loop::fail;
    x = Ref::steal(PyNumber_InPlaceSubtract(x.get(), delta_x.get()));
    if (!x) return Loop::fail;
    const int small = below_tolerance(delta_x.get(), tolerance);
    return small < 0 ? Loop::fail : (small ? Loop::stop : Loop::next);
  };
  return for_range(step, max_iterations) ? x.release() : nullptr;
}

// The first step from an int a > 0 (int ** 2, int - int, 2 * int, a
// correctly rounded int / int, then int - float).
Outcome sqrt_first_int_step(PyObject* a, const Real& r, double& x, double& delta) {
  constexpr long long kSquareExact = 1LL << 26;  // a * a - a stays exactly a float
  if (r.exact && r.small <= kSquareExact) {
    const long long f = r.small * r.small - r.small;
    delta = static_cast<double>(f) / static_cast<double>(2 * r.small);
    x = r.value - delta;
    return Outcome::value;
  }
  Ref two = Ref::steal(PyLong_FromLong(2));
  if (!two) return Outcome::error;
  Ref square = Ref::steal(PyNumber_Power(a, two.get(), Py_None));
  if (!square) return Outcome::error;
  Ref f = Ref::steal(PyNumber_Subtract(square.get(), a));
  if (!f) return Outcome::error;
  Ref f_prime = Ref::steal(PyNumber_Multiply(two.get(), a));
  if (!f_prime) return Outcome::error;
  Ref delta_x = Ref::steal(PyNumber_TrueDivide(f.get(), f_prime.get()));
  if (!delta_x) return Outcome::error;
  Ref next = Ref::steal(PyNumber_Subtract(a, delta_x.get()));
  if (!next) return Outcome::error;
  delta = PyFloat_AS_DOUBLE(delta_x.get());
  x = PyFloat_AS_DOUBLE(next.get());
  return Outcome::value;
}

// The iteration for an exact int or float a > 0 or a == 0.
Outcome sqrt_fast(PyObject* a, const Real& r, double tolerance, long long count, Ref& result) {
  if (count == 0) {
    result = Ref::borrow(a);
    return Outcome::value;
  }
  double a_value = r.value;
  double x;
  long long step = 0;
  if (r.is_int) {
    if (r.exact && r.small == 0) {
      result = Ref::steal(PyFloat_FromDouble(0.0));
      return result ? Outcome::value : Outcome::error;
    }
    double delta;
    Outcome o = sqrt_first_int_step(a, r, x, delta);
    if (o != Outcome::value) return o;
    if (!r.exact) {
      // float - int converts the int; the first step has done so already.
      a_value = PyLong_AsDouble(a);
      if (a_value == -1.0 && PyErr_Occurred()) return Outcome::error;
    }
    step = 1;
    if (std::fabs(delta) < tolerance) count = step;
  } else {
    if (!std::isfinite(a_value)) return Outcome::general;
    // float(a) of a float is a itself.
    if (a_value == 0.0) {
      result = Ref::borrow(a);
      return Outcome::value;
    }
    x = a_value;
  }
  for (; step < count; ++step) {
    if (x == 0.0) break;  // the root of a == 0
    double square;
    if (!std::isfinite(x) || !float_pow(x, 2.0, square)) return Outcome::general;
    const double f = square - a_value;
    const double f_prime = 2.0 * x;
    const double delta = f / f_prime;
    x -= delta;
    if (std::fabs(delta) < tolerance) break;
    if (!poll_signals(static_cast<unsigned long long>(step))) return Outcome::error;
  }
  result = Ref::steal(PyFloat_FromDouble(x));
  return result ? Outcome::value : Outcome::error;
}

PyObject* sqrt_impl(Function*, Args<"a", "tolerance", "max_iterations"> args) {
  PyObject* a = args.get<"a">();
  const int real = is_real(a);
  const int negative = real > 0 ? compare_with_zero(a, Py_LT) : real;
  if (negative < 0) return nullptr;
  if (negative) return domain_error();
  return fast_or_general(
      [&](Ref& result) {
        Real r;
        double tolerance;
        long long count;
        if (!read_real(a, r) || !read_tolerance(args.get<"tolerance">(), tolerance) ||
            !exact_count(args.get<"max_iterations">(), count))
          return Outcome::general;
        return sqrt_fast(a, r, tolerance, count, result);
      },
      [&] { return sqrt_general(a, args.get<"tolerance">(), args.get<"max_iterations">(), real > 0); });
}

// ------------------------------------------------------------------- ln

PyObject* ln_general(PyObject* x, PyObject* tolerance, PyObject* max_iterations) {
  Ref y = Ref::steal(PyLong_FromLong(1));
  if (!y) return nullptr;
  auto step = [&](PyObject*) {
    Ref exp_fn = global("exp"_id);
    if (!exp_fn) return Loop::fail;
    Ref value = call(exp_fn.get(), y.get());
    if (!value) return Loop::fail;
    Ref f = Ref::steal(PyNumber_Subtract(value.get(), x));
    if (!f) return Loop::fail;
    exp_fn = global("exp"_id);
    if (!exp_fn) return Loop::fail;
    Ref f_prime = call(exp_fn.get(), y.get());
    if (!f_prime) return Loop::fail;
    Ref delta_y = Ref::steal(PyNumber_TrueDivide(f.get(), f_prime.get()));
    if (!delta_y) return Loop::fail;
    y = Ref::steal(PyNumber_Subtract(y.get(), delta_y.get()));
    if (!y) return Loop::fail;
    const int small = below_tolerance(delta_y.get(), tolerance);
    return small < 0 ? Loop::fail : (small ? Loop::stop : Loop::next);
  };
  return for_range(step, max_iterations) ? y.release() : nullptr;
}

// What ln computes when its shortcut runs: the int 1 (no iteration) or a float.
struct LnValue {
  bool one_int = true;
  double value = 1.0;
};

// The settings the ln shortcut runs with.
struct LnSettings {
  double tolerance;
  long long count;  // iterations
  long long terms;  // exp's own default number of terms
};

// `exp` called with one argument uses the number of terms of its current
// default, the last item of its defaults (a longer tuple gives its last
// items, as for a def); the shortcut needs it to be an exact int.
bool exp_default_terms(PyObject* exp_function, long long& terms) {
  const Ref defaults = Ref::borrow(reinterpret_cast<Function*>(exp_function)->defaults);
  if (!defaults || PyTuple_GET_SIZE(defaults.get()) == 0) return false;
  return exact_count(PyTuple_GET_ITEM(defaults.get(), PyTuple_GET_SIZE(defaults.get()) - 1), terms);
}

// The function the name `exp` holds is read once, and its defaults read
// from that same object.
bool ln_settings(PyObject* tolerance, PyObject* max_iterations, LnSettings& s) {
  if (!read_tolerance(tolerance, s.tolerance) || !exact_count(max_iterations, s.count) ||
      !is_own("factorial"_id, factorial))
    return false;
  const Ref exp_function = own_function("exp"_id, exp);
  return exp_function && exp_default_terms(exp_function.get(), s.terms);
}

Outcome ln_fast(PyObject* x, const Real& r, const LnSettings& s, LnValue& out) {
  out = LnValue{};
  if (s.count == 0) return Outcome::value;
  // exp(y) - x converts an int x to a float.
  double x_value = r.value;
  if (r.is_int && !r.exact) {
    x_value = PyLong_AsDouble(x);
    if (x_value == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return Outcome::general;
    }
  }
  if (!std::isfinite(x_value)) return Outcome::general;

  // The first step starts from the int 1.
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!one) return Outcome::error;
  Value value;
  Outcome o = series_sum(Series::exp, one.get(), false, s.terms, value);
  if (o != Outcome::value) return o;
  if (value.zero_int || value.value == 0.0) return Outcome::general;
  double delta = (value.value - x_value) / value.value;
  double y = 1.0 - delta;
  if (!(std::fabs(delta) < s.tolerance)) {
    for (long long step = 1; step < s.count; ++step) {
      if (!std::isfinite(y)) return Outcome::general;
      o = series_float(Series::exp, y, s.terms, value);
      if (o != Outcome::value) return o;
      if (value.value == 0.0) return Outcome::general;
      delta = (value.value - x_value) / value.value;
      y -= delta;
      if (std::fabs(delta) < s.tolerance) break;
      if (!poll_signals(static_cast<unsigned long long>(step))) return Outcome::error;
    }
  }
  out = LnValue{false, y};
  return Outcome::value;
}

PyObject* ln_impl(Function*, Args<"x", "tolerance", "max_iterations"> args) {
  PyObject* x = args.get<"x">();
  const int outside = real_and(x, Py_LE);
  if (outside != 0) return outside > 0 ? domain_error() : nullptr;
  return fast_or_general(
      [&](Ref& result) {
        Real r;
        LnSettings settings;
        LnValue value;
        if (!read_real(x, r) || !ln_settings(args.get<"tolerance">(), args.get<"max_iterations">(), settings))
          return Outcome::general;
        const Outcome o = ln_fast(x, r, settings, value);
        if (o == Outcome::value)
          result = Ref::steal(value.one_int ? PyLong_FromLong(1) : PyFloat_FromDouble(value.value));
        return o;
      },
      [&] { return ln_general(x, args.get<"tolerance">(), args.get<"max_iterations">()); });
}

// ---------------------------------------------------------------- log10

PyObject* log10_impl(Function*, Args<"x", "tolerance", "max_iterations"> args) {
  PyObject* x = args.get<"x">();
  const int outside = real_and(x, Py_LE);
  if (outside != 0) return outside > 0 ? domain_error() : nullptr;
  Ref ten = Ref::steal(PyLong_FromLong(10));
  if (!ten) return nullptr;
  auto fast = [&](Ref& result) {
    Real r, r10;
    LnSettings settings;
    if (!read_real(x, r) || !read_real(ten.get(), r10) || !is_own("ln"_id, ln) ||
        !ln_settings(args.get<"tolerance">(), args.get<"max_iterations">(), settings))
      return Outcome::general;
    LnValue ln_10, ln_x;
    Outcome o = ln_fast(ten.get(), r10, settings, ln_10);
    if (o == Outcome::value) o = ln_fast(x, r, settings, ln_x);
    if (o != Outcome::value) return o;
    // Both are the int 1 (1 / 1 is 1.0) or both floats.
    if (!ln_10.one_int && ln_10.value == 0.0) return Outcome::general;
    result = Ref::steal(PyFloat_FromDouble(ln_10.one_int ? 1.0 : ln_x.value / ln_10.value));
    return Outcome::value;
  };
  // return ln(x, ...) / ln(10, ...), ln(10) first
  auto general = [&]() -> PyObject* {
    Ref ln_fn = global("ln"_id);
    if (!ln_fn) return nullptr;
    Ref ln_10 = call(ln_fn.get(), ten.get(), args.get<"tolerance">(), args.get<"max_iterations">());
    if (!ln_10) return nullptr;
    ln_fn = global("ln"_id);
    if (!ln_fn) return nullptr;
    Ref ln_x = call(ln_fn.get(), x, args.get<"tolerance">(), args.get<"max_iterations">());
    if (!ln_x) return nullptr;
    return PyNumber_TrueDivide(ln_x.get(), ln_10.get());
  };
  return fast_or_general(fast, general);
}

// tolerance=1e-6, max_iterations=100
Ref newton_settings() { return build("(di)", 1e-6, 100); }

}  // namespace

const FunctionDef sqrt{
    .name = "sqrt",
    .impl = impl<sqrt_impl>,
    .defaults = newton_settings,
};
const FunctionDef ln{
    .name = "ln",
    .impl = impl<ln_impl>,
    .defaults = newton_settings,
};
const FunctionDef log10{
    .name = "log10",
    .impl = impl<log10_impl>,
    .doc = "\n    计算以 10 为底的对数 log10(x)\n    :param x: 输入值\n    :param tolerance: 收敛的容差\n"
           "    :param max_iterations: 最大迭代次数\n    :return: log10(x) 的近似值\n    ",
    .defaults = newton_settings,
};

}  // namespace vk::numeric
