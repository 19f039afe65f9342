// Exact arithmetic for the numeric shortcuts: each helper reproduces, for
// exact int and float operands, what the interpreter's own operation gives.
#include "numeric/fast.hpp"
#include "numeric/multiply.hpp"

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

namespace vk::numeric {

namespace {

constexpr long long kExactIntLimit = 1LL << 53;  // ints up to this size are exactly floats

// n! in 64 bits for n <= 20.
constexpr std::uint64_t kSmallFactorials[21] = {1ULL,
                                                1ULL,
                                                2ULL,
                                                6ULL,
                                                24ULL,
                                                120ULL,
                                                720ULL,
                                                5040ULL,
                                                40320ULL,
                                                362880ULL,
                                                3628800ULL,
                                                39916800ULL,
                                                479001600ULL,
                                                6227020800ULL,
                                                87178291200ULL,
                                                1307674368000ULL,
                                                20922789888000ULL,
                                                355687428096000ULL,
                                                6402373705728000ULL,
                                                121645100408832000ULL,
                                                2432902008176640000ULL};

bool is_odd_integer(double v) { return std::fmod(v, 2.0) != 0.0; }

}  // namespace

Ref own_function(PyObject* name, const FunctionDef& def) {
  PyObject* globals = state().globals;
  if (!name || !globals) return {};
  // A lookup can run a colliding key's __eq__, which may change the
  // namespace meanwhile: what it returns is held at once and checked only
  // then, so the answer is one the namespace really held.
  Ref value = Ref::borrow(PyDict_GetItemWithError(globals, name));
  if (!value) {
    // The general path looks the name up again and reports what it finds.
    PyErr_Clear();
    return {};
  }
  if (!Py_IS_TYPE(value.get(), state().function_type) ||
      reinterpret_cast<Function*>(value.get())->def != &def)
    return {};
  return value;
}

bool is_own(PyObject* name, const FunctionDef& def) { return static_cast<bool>(own_function(name, def)); }

bool exact_count(PyObject* value, long long& count) {
  if (!PyLong_CheckExact(value)) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow > 0) return false;
  count = overflow < 0 || v < 0 ? 0 : v;
  return true;
}

bool read_real(PyObject* obj, Real& out) {
  if (PyFloat_CheckExact(obj)) {
    out = {false, PyFloat_AS_DOUBLE(obj), true, 0};
    return true;
  }
  if (!PyLong_CheckExact(obj)) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  const bool exact = overflow == 0 && v >= -kExactIntLimit && v <= kExactIntLimit;
  out = {true, exact ? static_cast<double>(v) : 0.0, exact, exact ? v : 0};
  return true;
}

bool read_tolerance(PyObject* obj, double& out) {
  Real r;
  if (!read_real(obj, r) || !r.exact) return false;
  out = r.value;
  return true;
}

const Factorials* factorials() {
  static Factorials* table = nullptr;
  if (table) return table;
  auto made = std::make_unique<Factorials>();
  std::vector<Ref> ints;  // owned here until the whole table is made
  Ref value = Ref::steal(PyLong_FromLong(1));
  for (long long n = 0; n <= kMaxFloatFactorial; ++n) {
    if (n > 0) {
      Ref factor = Ref::steal(PyLong_FromLongLong(n));
      if (!factor) return nullptr;
      value = Ref::steal(PyNumber_Multiply(value.get(), factor.get()));
    }
    if (!value) return nullptr;
    made->as_float[n] = PyLong_AsDouble(value.get());
    if (made->as_float[n] == -1.0 && PyErr_Occurred()) return nullptr;
    ints.push_back(value);
  }
  // Complete: the table keeps its ints for the life of the process.
  for (std::size_t n = 0; n < ints.size(); ++n) made->as_int[n] = ints[n].release();
  table = made.release();
  return table;
}

VK_LINE_ALIGNED bool float_pow(double iv, double iw, double& out) {
  // The special cases the interpreter settles before calling pow().
  if (iw == 0.0) {
    out = 1.0;
    return true;
  }
  if (std::isnan(iv)) {
    out = iv;
    return true;
  }
  if (std::isinf(iv)) {
    out = is_odd_integer(iw) ? iv : std::fabs(iv);
    return true;
  }
  if (iv == 0.0) {
    out = is_odd_integer(iw) ? iv : 0.0;
    return true;
  }
  bool negate = false;
  if (iv < 0.0) {
    iv = -iv;
    negate = is_odd_integer(iw);
  }
  if (iv == 1.0) {
    out = negate ? -1.0 : 1.0;
    return true;
  }
  // The library's pow() itself, never a folded shortcut of it.
  volatile double exponent = iw;
  errno = 0;
  double ix = std::pow(iv, static_cast<double>(exponent));
  if (errno == 0) {
    if (ix == HUGE_VAL || ix == -HUGE_VAL) errno = ERANGE;
  } else if (errno == ERANGE && ix == 0.0) {
    errno = 0;  // underflow to zero is not an error
  }
  if (negate) ix = -ix;
  if (errno != 0) return false;
  out = ix;
  return true;
}

bool exact_in_float(std::uint64_t m) {
  return m == 0 || (m >> std::countr_zero(m)) < (std::uint64_t{1} << 53);
}

bool pow_u64(std::uint64_t base, long long exponent, std::uint64_t& out) {
  std::uint64_t result = 1;
  for (long long i = 0; i < exponent; ++i) {
    if (base != 0 && result > std::numeric_limits<std::uint64_t>::max() / base) return false;
    result *= base;
  }
  out = result;
  return true;
}

namespace {

// A non-negative int from 64-bit limbs, least significant first.
Ref from_limbs(const std::vector<std::uint64_t>& limbs) {
  std::vector<unsigned char> bytes(limbs.size() * 8);
  for (std::size_t i = 0; i < limbs.size(); ++i)
    for (int b = 0; b < 8; ++b) bytes[i * 8 + b] = static_cast<unsigned char>(limbs[i] >> (8 * b));
  return Ref::steal(_PyLong_FromByteArray(bytes.data(), bytes.size(), 1, 0));
}

// The product of lo..hi one factor run at a time: factors are gathered in
// 64 bits, and the growing product is multiplied by each gathered run.
Ref product_run(std::uint64_t lo, std::uint64_t hi) {
  std::vector<std::uint64_t> limbs{1};
  auto multiply = [&limbs](std::uint64_t factor) {
    std::uint64_t carry = 0;
    for (std::uint64_t& limb : limbs) limb = multiply_add(limb, factor, carry, carry);
    if (carry) limbs.push_back(carry);
  };
  std::uint64_t run = 1;
  for (std::uint64_t i = lo;; ++i) {
    if (run > std::numeric_limits<std::uint64_t>::max() / i) {
      multiply(run);
      run = i;
    } else {
      run *= i;
    }
    if (!poll_signals(i)) return {};
    if (i == hi) break;
  }
  multiply(run);
  return from_limbs(limbs);
}

// Ranges longer than this are split in two, so that the large products
// meet in the interpreter's multiplication, which is faster for them.
constexpr std::uint64_t kRunLength = 512;

}  // namespace

Ref product_range(std::uint64_t lo, std::uint64_t hi) {
  if (hi < lo || lo == 0) return Ref::steal(PyLong_FromLong(hi < lo ? 1 : 0));
  if (hi - lo < kRunLength) return product_run(lo, hi);
  const std::uint64_t middle = lo + (hi - lo) / 2;
  Ref left = product_range(lo, middle);
  if (!left) return {};
  Ref right = product_range(middle + 1, hi);
  if (!right || PyErr_CheckSignals() < 0) return {};
  return Ref::steal(PyNumber_Multiply(left.get(), right.get()));
}

Ref factorial_of(std::uint64_t n) {
  if (n <= 20) return Ref::steal(PyLong_FromUnsignedLongLong(kSmallFactorials[n]));
  return product_range(2, n);
}

namespace {

long long power_of_term(Series kind, long long n) {
  switch (kind) {
    case Series::sin:
      return 2 * n + 1;
    case Series::cos:
      return 2 * n;
    case Series::exp:
      return n;
  }
  return n;
}

}  // namespace

VK_LINE_ALIGNED Outcome series_float(Series kind, double x, long long count, Value& out) {
  out = Value{};
  if (count <= 0) return Outcome::value;
  // Past 170! the conversion of the factorial to a float overflows; the
  // general path raises that error (or an earlier one from pow).
  if (!std::isfinite(x) || count > kMaxFloatFactorial + 1 || power_of_term(kind, count - 1) > kMaxFloatFactorial)
    return Outcome::general;
  const Factorials* table = factorials();
  if (!table) return Outcome::error;
  double result = 0.0;  // int 0 + float term converts the 0 to 0.0
  for (long long n = 0; n < count; ++n) {
    const long long k = power_of_term(kind, n);
    double p;
    if (!float_pow(x, static_cast<double>(k), p)) return Outcome::general;
    // (-1) ** n is an int; int * float converts it to a float first.
    double numerator = p;
    if (kind != Series::exp) {
      const double sign = (n & 1) ? -1.0 : 1.0;
      numerator = sign * p;
    }
    result += numerator / table->as_float[k];
  }
  out = Value{false, result};
  return Outcome::value;
}

VK_LINE_ALIGNED Outcome series_exp_pair(double x, long long count, Value& up, Value& down) {
  up = down = Value{};
  if (count <= 0) return Outcome::value;
  if (!std::isfinite(x) || count > kMaxFloatFactorial + 1) return Outcome::general;
  const Factorials* table = factorials();
  if (!table) return Outcome::error;
  // float ** n settles the sign itself and calls pow() with |x|; a zero
  // keeps its sign for odd n. So (+-x) ** n is +-(|x| ** n).
  const double size = std::fabs(x);
  const bool x_negative = std::signbit(x);
  double plus = 0.0, minus = 0.0;
  for (long long n = 0; n < count; ++n) {
    double p;
    if (!float_pow(size, static_cast<double>(n), p)) return Outcome::general;
    const bool odd = n & 1;
    const double divisor = table->as_float[n];
    plus += (odd && x_negative ? -p : p) / divisor;
    minus += (odd && !x_negative ? -p : p) / divisor;
  }
  up = Value{false, plus};
  down = Value{false, minus};
  return Outcome::value;
}

namespace {

// One term (s * x ** k) / k! for an int x, through the interpreter's
// operations: exact ints, then one correctly rounded true division.
bool int_term_slow(Series kind, PyObject* x, long long n, long long k, const Factorials* table, double& term) {
  Ref exponent = Ref::steal(PyLong_FromLongLong(k));
  if (!exponent) return false;
  Ref numerator = Ref::steal(PyNumber_Power(x, exponent.get(), Py_None));
  if (!numerator) return false;
  if (kind != Series::exp && (n & 1)) {
    numerator = Ref::steal(PyNumber_Negative(numerator.get()));
    if (!numerator) return false;
  }
  Ref divisor = k <= kMaxFloatFactorial ? Ref::borrow(table->as_int[k]) : factorial_of(static_cast<std::uint64_t>(k));
  if (!divisor) return false;
  Ref quotient = Ref::steal(PyNumber_TrueDivide(numerator.get(), divisor.get()));
  if (!quotient) return false;
  term = PyFloat_AS_DOUBLE(quotient.get());
  return true;
}

}  // namespace

VK_LINE_ALIGNED Outcome series_sum(Series kind, PyObject* x, bool negate, long long count, Value& out) {
  Real real;
  if (!read_real(x, real)) return Outcome::general;
  if (!real.is_int) return series_float(kind, negate ? -real.value : real.value, count, out);

  out = Value{};
  if (count <= 0) return Outcome::value;
  const Factorials* table = factorials();
  if (!table) return Outcome::error;
  Ref negated;
  if (negate && !real.exact) {
    negated = Ref::steal(PyNumber_Negative(x));
    if (!negated) return Outcome::error;
    x = negated.get();
  }
  const long long value = negate ? -real.small : real.small;
  const std::uint64_t magnitude = static_cast<std::uint64_t>(value < 0 ? -value : value);
  double result = 0.0;
  for (long long n = 0; n < count; ++n) {
    const long long k = power_of_term(kind, n);
    double term;
    std::uint64_t m;
    // When numerator and divisor are both exactly floats, one float
    // division is the correctly rounded quotient that int / int gives.
    if (real.exact && k <= kMaxExactFactorial && pow_u64(magnitude, k, m) && exact_in_float(m)) {
      bool negative = m != 0 && value < 0 && (k & 1);
      if (kind != Series::exp && (n & 1)) negative = !negative && m != 0;
      const double numerator = static_cast<double>(m);
      term = (negative ? -numerator : numerator) / table->as_float[k];
    } else {
      if (negate && real.exact && !negated) {
        negated = Ref::steal(PyLong_FromLongLong(value));
        if (!negated) return Outcome::error;
        x = negated.get();
      }
      // A term of big ints can take long: answer signals after each one.
      if (!int_term_slow(kind, x, n, k, table, term) || PyErr_CheckSignals() < 0) return Outcome::error;
    }
    result += term;
    if (!poll_signals(static_cast<unsigned long long>(n))) return Outcome::error;
  }
  out = Value{false, result};
  return Outcome::value;
}

}  // namespace vk::numeric
