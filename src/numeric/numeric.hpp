// The numeric functions and the methods of ComplexNumber: what this folder
// offers the module body, which makes the class.
#pragma once

#include "core/function.hpp"

namespace vk::numeric {

// Series approximations.
extern const FunctionDef sin, cos, tan, cot, exp, sinh, cosh, tanh;

// Newton iterations.
extern const FunctionDef sqrt, ln, log10;

// Integer and elementary helpers. `combination_by_math_comb` asks math.comb;
// the body binds it first and later replaces it with `combination`, which
// divides factorials.
extern const FunctionDef pi, factorial, power, combination_by_math_comb, combination, floor, absolute_value;

// The methods of ComplexNumber, in class-body order.
extern const FunctionDef complex_init, complex_add, complex_sub, complex_mul, complex_truediv, complex_str;
// What the class needs once made: calling it builds an instance directly
// when that is what calling it would do.
bool complex_made(PyObject* cls);

}  // namespace vk::numeric
