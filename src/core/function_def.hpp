// How the module body describes a function: its name, parameters, impl,
// docstring and the builders of its defaults.
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

}  // namespace vk
