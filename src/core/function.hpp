// The module's function type and how the module body describes a function:
// the object every function and method of the module is.
#pragma once

#include "core/ref.hpp"

#include <initializer_list>

namespace vk {

struct Function;

// The bound arguments, in parameter order: the positional-or-keyword
// parameters, then the *args tuple (when there is one), then the
// keyword-only parameters. The call holds them until the impl returns.
using Args = PyObject* const*;
using Impl = PyObject* (*)(Function* self, Args args);

// Makes a value the body needs when it binds a function (a defaults tuple,
// a dict); null with an exception set on failure.
using Build = Ref (*)();

// A function as the module body defines it, written with designated
// initialisers: {.name = ..., .positional = {...}, .impl = ..., .defaults = ...}.
struct FunctionDef {
  const char* name;
  std::initializer_list<const char*> positional = {};  // positional-or-keyword
  Impl impl = nullptr;
  const char* doc = nullptr;
  const char* varargs = nullptr;  // name of *args, or none
  std::initializer_list<const char*> kwonly = {};
  // Evaluated once, when the body binds the function, as a def's are.
  Build defaults = nullptr;     // tuple for the last positional parameters
  Build kwdefaults = nullptr;   // dict for the keyword-only parameters
  Build annotations = nullptr;  // dict
  const void* data = nullptr;   // per-function constant the impl may read
  // The free variables of a function made at call time, in the order of a
  // def's co_freevars (sorted); FunctionOptions::closure holds their values.
  std::initializer_list<const char*> freevars = {};
};

// Py_BuildValue as a Ref, for the builders of FunctionDef.
template <class... A>
Ref build(const char* format, A... values) {
  return Ref::steal(Py_BuildValue(format, values...));
}

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  Impl impl;  // def->impl, one load nearer the call
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
