// The code object, the traceback entries and the __class__ that make a module function pass for a def.
#include "core/like_def.hpp"

#include "core/errors.hpp"

#include <frameobject.h>

namespace vk {
namespace {

using namespace literals;

// The file named by the code objects: not a path, so that no file can
// stand for the functions' source.
constexpr const char kCodeFile[] = "<velka_code>";

// A code object describing the function as a def's does (its parameter
// counts, names and flags, its free variables, its name and qualified
// name), so that tools reading __code__ see the real parameters. Its
// bytecode raises AssertionError when run: the function's work is not
// bytecode.
//
// The code of a traceback frame leaves the free variables out: a frame made
// here has no cells in their slots, and reading its f_locals would take the
// value of a cell that is not there.
Ref describe_code(Function* f, bool with_free) {
  const FunctionDef& def = *f->def;
  const ParameterList& list = def.parameters();
  const auto named = static_cast<Py_ssize_t>(list.positional.size() + list.kwonly.size());
  Ref varnames = Ref::steal(PyTuple_New(named + (list.varargs ? 1 : 0)));
  if (!varnames) return {};
  for (Py_ssize_t i = 0; i < named; ++i)
    PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(PyTuple_GET_ITEM(f->varnames, i)));
  if (list.varargs) {
    PyObject* name = PyUnicode_InternFromString(list.varargs);
    if (!name) return {};
    PyTuple_SET_ITEM(varnames.get(), named, name);
  }
  const bool free = with_free && def.freevars.size() > 0;
  Ref freevars = Ref::steal(PyTuple_New(free ? static_cast<Py_ssize_t>(def.freevars.size()) : 0));
  if (!freevars) return {};
  if (free) {
    Py_ssize_t i = 0;
    for (const char* free_name : def.freevars) {
      PyObject* name = PyUnicode_InternFromString(free_name);
      if (!name) return {};
      PyTuple_SET_ITEM(freevars.get(), i++, name);
    }
  }
  // The empty code of the interpreter gives the bytecode and its line table.
  Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kCodeFile, def.name, 0)));
  if (!empty) return {};
  Ref bytecode = Ref::steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(empty.get())));
  Ref lines = getattr(empty.get(), "co_linetable"_id);
  Ref file = getattr(empty.get(), "co_filename"_id);
  Ref nothing = Ref::steal(PyTuple_New(0));
  Ref no_exceptions = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
  Ref name = new_str(def.name);
  if (!bytecode || !lines || !file || !nothing || !no_exceptions || !name) return {};
  const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames.get()));
  // A function with free variables is made inside another, as a nested def.
  const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (list.varargs ? CO_VARARGS : 0) |
                    (def.freevars.size() ? CO_NESTED : 0);
  constexpr int kStackSize = 1;  // the one exception the bytecode raises
  return Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
      static_cast<int>(list.positional.size()), 0, static_cast<int>(list.kwonly.size()), nlocals, kStackSize, flags,
      bytecode.get(), nothing.get(), nothing.get(), varnames.get(), freevars.get(), nothing.get(), file.get(),
      name.get(), f->qualname, 0, lines.get(), no_exceptions.get())));
}

}  // namespace

PyObject* code_of(Function* f) {
  if (!f->code) {
    Ref made = describe_code(f, true);
    if (!made) return nullptr;
    // Building it can run a finalizer that asked for it first.
    if (!f->code) f->code = made.release();
  }
  return f->code;
}

void add_traceback_entry(Function* f) {
  // Without an exception the interpreter reports the missing one; without
  // a namespace (a function made outside any import) there is no frame.
  if (!PyErr_Occurred() || !f->globals) return;
  Ref frame;
  {
    PendingError pending;
    // Made anew for a function with free variables: only its failures pay.
    Ref own = f->cells ? describe_code(f, false) : Ref();
    if (PyObject* code = f->cells ? own.get() : code_of(f))
      frame = Ref::steal(reinterpret_cast<PyObject*>(
          PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), f->globals, nullptr)));
  }
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

PyObject* function_class(PyObject*, void*) { return Py_NewRef(reinterpret_cast<PyObject*>(&PyFunction_Type)); }

}  // namespace vk
