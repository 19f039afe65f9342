// ComplexNumber's shortcuts: building the class without the call, and the
// operators on parts read once.
//
// Reading an attribute the general way costs more than the arithmetic
// itself. Where it can be shown that reading each part once, straight from
// the instance dicts, gives what the methods' attribute reads give, the
// parts are read once and computed unboxed where they are floats or ints
// that fit 64 bits; where it
// cannot, a shortcut answers Outcome::general and the method runs as
// written.
#pragma once

#include "core/dispatch.hpp"
#include "core/function.hpp"

namespace vk::numeric {

enum class ComplexOp { add, sub, mul, div };

// self.real = real; self.imag = imag
bool store_parts(PyObject* self, PyObject* real, PyObject* imag);

// cls(real, imag): made and initialised directly when that is what calling
// the class does (object.__new__, then this module's __init__ setting
// plain attributes), otherwise by the call.
Ref construct(PyObject* cls, PyObject* real, PyObject* imag);

// self op other on parts read once. `cls` is what the module-level name
// ComplexNumber held when add and sub looked it up, first; mul and div
// look it up last themselves (pass nullptr).
Outcome operate_once(ComplexOp op, PyObject* cls, PyObject* self, PyObject* other, Ref& result);

// f"{self.real} + {self.imag}i" on parts read once.
Outcome text_once(PyObject* self, Ref& result);

}  // namespace vk::numeric
