// The module's function type: vectorcall, Python's argument binding, method
// binding through __get__, and the attributes of a Python-defined function.
#pragma once

#include "core/ref.hpp"

#include <initializer_list>

namespace vk {

struct Function;

// The bound arguments, in parameter order: the positional-or-keyword
// parameters, then the *args tuple (when there is one), then the
// keyword-only parameters. All borrowed for the duration of the call.
using Args = PyObject* const*;
using Impl = PyObject* (*)(Function* self, Args args);

struct FunctionDef {
  const char* name;
  std::initializer_list<const char*> positional;  // positional-or-keyword
  Impl impl;
  const char* doc = nullptr;
  const char* varargs = nullptr;  // name of *args, or none
  std::initializer_list<const char*> kwonly = {};
  const void* data = nullptr;  // per-function constant the impl may read
};

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* def;
  Py_ssize_t direct_nargs;  // a call with exactly this many positionals needs no binding; -1 for none
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;     // tuple or nullptr
  PyObject* kwdefaults;   // dict or nullptr
  PyObject* annotations;  // dict or nullptr (made on first read)
  PyObject* dict;
  PyObject* closure;   // state of a function made at call time, or nullptr
  PyObject* varnames;  // tuple of interned parameter names
  PyObject* weakreflist;
};

// Creates the function type; called once per process by the exec step.
PyTypeObject* make_function_type();

struct FunctionOptions {
  PyObject* defaults = nullptr;     // tuple for the last positional parameters
  PyObject* kwdefaults = nullptr;   // dict for the keyword-only parameters
  PyObject* annotations = nullptr;  // dict
  const char* qualname = nullptr;   // defaults to the name
  PyObject* closure = nullptr;
};

// A new function object for `def`. Defaults are stored as given (they are
// evaluated once, by the caller, when the body binds the function).
Ref make_function(const FunctionDef& def, const FunctionOptions& options = {});

}  // namespace vk
