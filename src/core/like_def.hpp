// What makes the module's functions pass for a def where tools look: a code
// object that describes the parameters, a traceback entry for each call an
// exception leaves, and a __class__ of types.FunctionType.
#pragma once

#include "core/function_layout.hpp"

namespace vk {

// __code__: made on first use and kept. Borrowed; null with an exception
// set when it could not be made.
PyObject* code_of(Function* f);

// Adds the traceback entry of `f` to the pending exception, as the frame
// of a def adds its own.
void add_traceback_entry(Function* f);

// __class__: types.FunctionType, as tools such as unittest.mock ask it to
// decide whether they look at a function.
PyObject* function_class(PyObject* self, void*);

}  // namespace vk
