// Shared pieces of the numeric routines: the exact arithmetic the compiled
// shortcuts rely on, and the checks that decide when a shortcut may run.
//
// Every shortcut computes exactly what the interpreter's own number
// operations give for exact int and float operands. Whenever that cannot be
// guaranteed it answers Outcome::general and the caller runs the general
// path, which performs the operations one by one through the interpreter.
#pragma once

#include "core/dispatch.hpp"
#include "core/function.hpp"
#include "core/iterate.hpp"
#include "core/state.hpp"

#include <cstdint>

namespace vk::numeric {

// The module-level `name` still holds a function made from `def`, so that
// calling it runs the code a shortcut reproduces. Never raises.
bool is_own(PyObject* name, const FunctionDef& def);

// That function, held, or null (nothing set) when `name` holds another.
Ref own_function(PyObject* name, const FunctionDef& def);

// A count from an exact int, clamped at 0 from below: false when `value`
// is not an exact int or is too large for a long long.
bool exact_count(PyObject* value, long long& count);

// The real value of an exact int or float operand, for the shortcuts.
struct Real {
  bool is_int;
  double value;  // the float's value; for an int only when `exact`
  bool exact;    // the int is exactly a float (|value| <= 2**53)
  long long small;  // the int's value when `exact`
};

// Reads an exact int or exact float; false for anything else.
bool read_real(PyObject* obj, Real& out);

// A tolerance an exact float comparison can stand for: an exact float, or
// an exact int that is exactly a float.
bool read_tolerance(PyObject* obj, double& out);

// The largest n for which n! converts to a float.
inline constexpr long long kMaxFloatFactorial = 170;
// The largest n for which n! is exactly a float.
inline constexpr long long kMaxExactFactorial = 22;

struct Factorials {
  double as_float[kMaxFloatFactorial + 1];   // n! rounded as int -> float rounds it
  PyObject* as_int[kMaxFloatFactorial + 1];  // n! as an int (strong, kept for the process)
};

// The table, made on first use; nullptr with an exception set on failure.
const Factorials* factorials();

// The interpreter's float ** float for a finite base and a non-negative
// integral exponent. False when the interpreter would raise (a range error
// of the C library's pow).
bool float_pow(double base, double exponent, double& out);

// True when the integer `m` is exactly a float.
bool exact_in_float(std::uint64_t m);

// base ** exponent in 64 bits; false on overflow.
bool pow_u64(std::uint64_t base, long long exponent, std::uint64_t& out);

// n! as an int for n >= 0.
Ref factorial_of(std::uint64_t n);

// The product lo * (lo + 1) * ... * hi of positive integers as an int
// (1 when hi < lo).
Ref product_range(std::uint64_t lo, std::uint64_t hi);

// Gives pending signals a chance in long loops (every 65536 rounds).
inline bool poll_signals(unsigned long long i) { return (i & 0xFFFF) != 0xFFFF || PyErr_CheckSignals() == 0; }

// A value computed by a shortcut: the integer 0 (an empty sum) or a float.
struct Value {
  bool zero_int = true;
  double value = 0.0;
  PyObject* object() const { return zero_int ? PyLong_FromLong(0) : PyFloat_FromDouble(value); }
};

enum class Series { sin, cos, exp };

// The series sum of `kind` over `count` terms, exactly as the general path
// sums it with the module's own `factorial` (the caller checks that
// `factorial` is still the module's own): for a finite float `x`, and for
// an exact int or float object `x`, negated first when `negate`.
Outcome series_float(Series kind, double x, long long count, Value& out);
Outcome series_sum(Series kind, PyObject* x, bool negate, long long count, Value& out);

// exp(x) and exp(-x) for a finite float x together: x ** n and (-x) ** n
// differ at most in sign, so each power is computed once.
Outcome series_exp_pair(double x, long long count, Value& up, Value& down);

}  // namespace vk::numeric
