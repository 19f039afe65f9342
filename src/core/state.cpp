// The process's one module state, and the global lookups, local imports and printing built on it.
#include "core/state.hpp"

#include "core/lookup.hpp"

namespace vk {

ModuleState detail::process_state;

Ref global(PyObject* name) {
  if (!name) return {};
  const ModuleState& s = state();
  if (s.globals) {
    PyObject* v = lookup_cache().find(s.globals, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return {};
  }
  if (s.builtins_dict) {
    PyObject* v = PyDict_GetItemWithError(s.builtins_dict, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return {};
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return {};
}

Ref import_local(PyObject* name) {
  if (!name) return {};
  // As the import statement does: the __import__ of builtins, called with
  // the module's globals, no locals, no from-list and level 0.
  const ModuleState& s = state();
  Ref importer = Ref::borrow(PyDict_GetItemWithError(s.builtins_dict, interned<"__import__">()));
  if (!importer) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    return {};
  }
  Ref level = Ref::steal(PyLong_FromLong(0));
  return call(importer.get(), name, s.globals, Py_None, Py_None, level.get());
}

bool print_line(PyObject* text) {
  if (!text) return false;
  return static_cast<bool>(call(state().print, text));
}

}  // namespace vk
