// Truncated Taylor series: sin, cos and exp sum their series; tan and cot
// are quotients of sin and cos; sinh, cosh and tanh are built from exp.
//
// Each function has a general path, which performs the interpreter's number
// operations in order and reaches the other functions (and `factorial`)
// through their module-level names, and a shortcut for exact int and float
// arguments that runs only while those names still hold this module's own
// functions and computes the same bits.
#include <cmath>

#include "numeric/fast.hpp"
#include "numeric/numeric.hpp"

namespace vk::numeric {
namespace {

using namespace literals;

// result = 0; for n in range(num_terms): result += term(n); return result
PyObject* series_general(Series kind, PyObject* x, PyObject* num_terms) {
  Ref result = Ref::steal(PyLong_FromLong(0));
  if (!result) return nullptr;
  // term = (-1) ** n * x ** k / factorial(k), k = 2n + 1, 2n or n; exp has no sign.
  auto term = [&](PyObject* n) {
    Ref sign;
    Ref k = Ref::borrow(n);
    if (kind != Series::exp) {
      sign = Ref::steal(PyNumber_Power(small_int<-1>(), n, Py_None));
      if (!sign) return Loop::fail;
      k = Ref::steal(PyNumber_Multiply(small_int<2>(), n));
      if (k && kind == Series::sin) k = Ref::steal(PyNumber_Add(k.get(), small_int<1>()));
      if (!k) return Loop::fail;
    }
    Ref numerator = Ref::steal(PyNumber_Power(x, k.get(), Py_None));
    if (numerator && sign) numerator = Ref::steal(PyNumber_Multiply(sign.get(), numerator.get()));
    if (!numerator) return Loop::fail;
    sign = Ref();
    Ref divisor = global("factorial"_id);
    if (!divisor) return Loop::fail;
    divisor = call(divisor.get(), k.get());
    if (!divisor) return Loop::fail;
    Ref quotient = Ref::steal(PyNumber_TrueDivide(numerator.get(), divisor.get()));
    if (!quotient) return Loop::fail;
    result = Ref::steal(PyNumber_InPlaceAdd(result.get(), quotient.get()));
    return result ? Loop::next : Loop::fail;
  };
  return for_range(term, num_terms) ? result.release() : nullptr;
}

// Every series takes (x, num_terms).
using SeriesArgs = Args<"x", "num_terms">;

// The arguments a shortcut accepts: an exact int or float x and an exact
// int count.
bool fast_arguments(SeriesArgs args, long long& count) {
  PyObject* x = args.get<"x">();
  return (PyLong_CheckExact(x) || PyFloat_CheckExact(x)) && exact_count(args.get<"num_terms">(), count);
}

PyObject* series_impl(Series kind, SeriesArgs args) {
  return fast_or_general(
      [&](Ref& result) {
        long long count;
        if (!fast_arguments(args, count) || !is_own("factorial"_id, factorial)) return Outcome::general;
        Value value;
        const Outcome o = series_sum(kind, args.get<"x">(), false, count, value);
        if (o == Outcome::value) result = Ref::steal(value.object());
        return o;
      },
      [&] { return series_general(kind, args.get<"x">(), args.get<"num_terms">()); });
}

PyObject* sin_impl(Function*, SeriesArgs args) { return series_impl(Series::sin, args); }
PyObject* cos_impl(Function*, SeriesArgs args) { return series_impl(Series::cos, args); }
PyObject* exp_impl(Function*, SeriesArgs args) { return series_impl(Series::exp, args); }

// Calls the module-level function `name` with (x, num_terms).
Ref call_named(PyObject* name, PyObject* x, PyObject* num_terms) {
  Ref fn = global(name);
  if (!fn) return {};
  return call(fn.get(), x, num_terms);
}

// tan: cos first; an equal-to-zero cosine gives +inf before sin is asked.
Outcome tan_fast(PyObject* x, long long count, double& out) {
  Value cos_value, sin_value;
  Outcome o = series_sum(Series::cos, x, false, count, cos_value);
  if (o != Outcome::value) return o;
  if (cos_value.zero_int || cos_value.value == 0.0) {
    out = HUGE_VAL;
    return Outcome::value;
  }
  o = series_sum(Series::sin, x, false, count, sin_value);
  if (o != Outcome::value) return o;
  out = sin_value.value / cos_value.value;
  return Outcome::value;
}

bool tan_names_own() { return is_own("factorial"_id, factorial) && is_own("cos"_id, cos) && is_own("sin"_id, sin); }

PyObject* tan_general(PyObject* x, PyObject* num_terms) {
  Ref cos_value = call_named("cos"_id, x, num_terms);
  if (!cos_value) return nullptr;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return nullptr;
  int is_zero = PyObject_RichCompareBool(cos_value.get(), zero.get(), Py_EQ);
  if (is_zero < 0) return nullptr;
  if (is_zero) return PyFloat_FromDouble(HUGE_VAL);
  Ref sin_value = call_named("sin"_id, x, num_terms);
  if (!sin_value) return nullptr;
  return PyNumber_TrueDivide(sin_value.get(), cos_value.get());
}

PyObject* tan_impl(Function*, SeriesArgs args) {
  return fast_or_general(
      [&](Ref& result) {
        long long count;
        double value;
        if (!fast_arguments(args, count) || !tan_names_own()) return Outcome::general;
        const Outcome o = tan_fast(args.get<"x">(), count, value);
        if (o == Outcome::value) result = Ref::steal(PyFloat_FromDouble(value));
        return o;
      },
      [&] { return tan_general(args.get<"x">(), args.get<"num_terms">()); });
}

PyObject* cot_general(PyObject* x, PyObject* num_terms) {
  Ref tan_value = call_named("tan"_id, x, num_terms);
  if (!tan_value) return nullptr;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!zero || !one) return nullptr;
  int is_zero = PyObject_RichCompareBool(tan_value.get(), zero.get(), Py_EQ);
  if (is_zero < 0) return nullptr;
  if (is_zero) return PyFloat_FromDouble(HUGE_VAL);
  return PyNumber_TrueDivide(one.get(), tan_value.get());
}

PyObject* cot_impl(Function*, SeriesArgs args) {
  return fast_or_general(
      [&](Ref& result) {
        long long count;
        double value;
        if (!fast_arguments(args, count) || !is_own("tan"_id, tan) || !tan_names_own())
          return Outcome::general;
        const Outcome o = tan_fast(args.get<"x">(), count, value);
        // tan gives a float: +inf, or a quotient of two floats.
        if (o == Outcome::value) result = Ref::steal(PyFloat_FromDouble(value == 0.0 ? HUGE_VAL : 1.0 / value));
        return o;
      },
      [&] { return cot_general(args.get<"x">(), args.get<"num_terms">()); });
}

// exp(x) and exp(-x), as the hyperbolic functions use them.
Outcome exp_both(PyObject* x, long long count, Value& up, Value& down) {
  if (PyFloat_CheckExact(x)) return series_exp_pair(PyFloat_AS_DOUBLE(x), count, up, down);
  Outcome o = series_sum(Series::exp, x, false, count, up);
  return o == Outcome::value ? series_sum(Series::exp, x, true, count, down) : o;
}

// (exp(x) -/+ exp(-x)) / 2 for sinh (minus) and cosh (plus).
double hyperbolic(bool plus, const Value& up, const Value& down) {
  // Two empty sums are ints: 0 -/+ 0 is 0, and 0 / 2 is 0.0.
  if (up.zero_int) return 0.0;
  return (plus ? up.value + down.value : up.value - down.value) / 2.0;
}

bool exp_names_own() { return is_own("factorial"_id, factorial) && is_own("exp"_id, exp); }

PyObject* hyperbolic_general(bool plus, PyObject* x, PyObject* num_terms) {
  Ref up = call_named("exp"_id, x, num_terms);
  if (!up) return nullptr;
  Ref exp_fn = global("exp"_id);
  if (!exp_fn) return nullptr;
  Ref negated = Ref::steal(PyNumber_Negative(x));
  if (!negated) return nullptr;
  Ref down = call(exp_fn.get(), negated.get(), num_terms);
  if (!down) return nullptr;
  Ref both = Ref::steal(plus ? PyNumber_Add(up.get(), down.get()) : PyNumber_Subtract(up.get(), down.get()));
  if (!both) return nullptr;
  Ref two = Ref::steal(PyLong_FromLong(2));
  if (!two) return nullptr;
  return PyNumber_TrueDivide(both.get(), two.get());
}

PyObject* hyperbolic_impl(bool plus, SeriesArgs args) {
  return fast_or_general(
      [&](Ref& result) {
        long long count;
        if (!fast_arguments(args, count) || !exp_names_own()) return Outcome::general;
        Value up, down;
        const Outcome o = exp_both(args.get<"x">(), count, up, down);
        if (o == Outcome::value) result = Ref::steal(PyFloat_FromDouble(hyperbolic(plus, up, down)));
        return o;
      },
      [&] { return hyperbolic_general(plus, args.get<"x">(), args.get<"num_terms">()); });
}

PyObject* sinh_impl(Function*, SeriesArgs args) { return hyperbolic_impl(false, args); }
PyObject* cosh_impl(Function*, SeriesArgs args) { return hyperbolic_impl(true, args); }

PyObject* tanh_general(PyObject* x, PyObject* num_terms) {
  Ref sinh_val = call_named("sinh"_id, x, num_terms);
  if (!sinh_val) return nullptr;
  Ref cosh_val = call_named("cosh"_id, x, num_terms);
  if (!cosh_val) return nullptr;
  return PyNumber_TrueDivide(sinh_val.get(), cosh_val.get());
}

PyObject* tanh_impl(Function*, SeriesArgs args) {
  return fast_or_general(
      [&](Ref& result) {
        long long count;
        if (!fast_arguments(args, count) || !exp_names_own() || !is_own("sinh"_id, sinh) ||
            !is_own("cosh"_id, cosh))
          return Outcome::general;
        // sinh and cosh sum the same two exponentials.
        Value up, down;
        const Outcome o = exp_both(args.get<"x">(), count, up, down);
        if (o != Outcome::value) return o;
        const double cosh_val = hyperbolic(true, up, down);
        // A zero cosh (an empty sum) leaves the ZeroDivisionError to the general path.
        if (cosh_val == 0.0) return Outcome::general;
        result = Ref::steal(PyFloat_FromDouble(hyperbolic(false, up, down) / cosh_val));
        return Outcome::value;
      },
      [&] { return tanh_general(args.get<"x">(), args.get<"num_terms">()); });
}

// num_terms=10
Ref ten_terms() { return build("(i)", 10); }

}  // namespace

const FunctionDef sin{
    .name = "sin",
    .impl = impl<sin_impl>,
    .doc = "使用泰勒级数展开计算正弦函数",
    .defaults = ten_terms,
};
const FunctionDef cos{
    .name = "cos",
    .impl = impl<cos_impl>,
    .doc = "使用泰勒级数展开计算余弦函数",
    .defaults = ten_terms,
};
const FunctionDef tan{
    .name = "tan",
    .impl = impl<tan_impl>,
    .doc = "计算正切函数",
    .defaults = ten_terms,
};
const FunctionDef cot{
    .name = "cot",
    .impl = impl<cot_impl>,
    .doc = "计算余切函数",
    .defaults = ten_terms,
};
const FunctionDef exp{
    .name = "exp",
    .impl = impl<exp_impl>,
    .defaults = ten_terms,
};
const FunctionDef sinh{
    .name = "sinh",
    .impl = impl<sinh_impl>,
    .doc = "\n    计算双曲正弦函数 sinh(x) 的近似值\n    :param x: 输入值\n"
           "    :param num_terms: 计算指数函数时泰勒级数展开的项数\n"
           "    :return: sinh(x) 的近似值\n    ",
    .defaults = ten_terms,
};
const FunctionDef cosh{
    .name = "cosh",
    .impl = impl<cosh_impl>,
    .doc = "\n    计算双曲余弦函数 cosh(x) 的近似值\n    :param x: 输入值\n"
           "    :param num_terms: 计算指数函数时泰勒级数展开的项数\n"
           "    :return: cosh(x) 的近似值\n    ",
    .defaults = ten_terms,
};
const FunctionDef tanh{
    .name = "tanh",
    .impl = impl<tanh_impl>,
    .doc = "\n    计算双曲正切函数 tanh(x) 的近似值\n    :param x: 输入值\n"
           "    :param num_terms: 计算指数函数时泰勒级数展开的项数\n"
           "    :return: tanh(x) 的近似值\n    ",
    .defaults = ten_terms,
};

}  // namespace vk::numeric
