// The numeric functions and classes, for the module body.
#pragma once

#include "core/function.hpp"

namespace vk::numeric {

// Series approximations.
extern const FunctionDef sin, cos, tan, cot, exp, sinh, cosh, tanh;

// Newton iterations.
extern const FunctionDef sqrt, ln, log10;

// Integer and elementary helpers. `combination_comb` is the form the body
// binds first and then replaces with `combination`.
extern const FunctionDef pi, factorial, power, combination_comb, combination, floor, absolute_value;

// The methods of ComplexNumber, in class-body order.
extern const FunctionDef complex_init, complex_add, complex_sub, complex_mul, complex_truediv, complex_str;

}  // namespace vk::numeric
