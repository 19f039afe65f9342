// The fields of a function object of the module's function type.
#pragma once

#include "core/function_def.hpp"

namespace vk {

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  Impl impl;  // def->impl.run, one load nearer the call
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
  PyObject* varnames;  // tuple of interned parameter names
  PyObject* weakreflist;
  PyObject* globals;   // the module's namespace, as a def's __globals__
  PyObject* builtins;  // the builtins dict a def of the module sees
  PyObject* cells;     // __closure__: a cell per free variable, or nullptr
  PyObject* code;      // __code__, made on first use; also its traceback frames' without cells
};

inline Function* as_function(PyObject* o) { return reinterpret_cast<Function*>(o); }

}  // namespace vk
