// The module's function type, and the function objects made from a FunctionDef.
#pragma once

#include "core/function_layout.hpp"

namespace vk {

// Creates the function type; called once per process by the exec step.
PyTypeObject* make_function_type();

// Where a function is defined, when it is not at module level.
struct FunctionOptions {
  const char* qualname = nullptr;  // defaults to the name
  PyObject* closure = nullptr;     // tuple: the first value of each free variable
};

// A new function object for `def`, its defaults built now.
Ref make_function(const FunctionDef& def, const FunctionOptions& options = {});

// Free variable i of `f`, read from its cell now, as a def reads it: a
// script may have assigned the cell since. Null with NameError set when the
// cell was emptied.
Ref free_variable(Function* f, Py_ssize_t i);

}  // namespace vk
