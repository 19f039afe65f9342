#include "core/state.hpp"

#include "core/lookup.hpp"

namespace vk {

Frame frame;

LookupCache& lookup_cache() {
  static LookupCache cache;
  return cache;
}

Ref module_attribute(PyObject* module, PyObject* name) {
  // Names the module type itself defines (__dict__, __class__, ...) are
  // answered by its descriptors first, as attribute access does.
  if (!_PyType_Lookup(Py_TYPE(module), name)) {
    if (PyObject* value = lookup_cache().find(PyModule_GetDict(module), name)) return Ref::borrow(value);
    if (PyErr_Occurred()) return {};
  }
  return Ref::steal(PyObject_GetAttr(module, name));
}

Ref global(PyObject* name) {
  if (!name) return {};
  if (frame.globals) {
    PyObject* v = lookup_cache().find(frame.globals, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return {};
  }
  if (frame.builtins_dict) {
    PyObject* v = PyDict_GetItemWithError(frame.builtins_dict, name);
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
  PyObject* importer = PyDict_GetItemWithError(frame.builtins_dict, interned<"__import__">());
  if (!importer) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    return {};
  }
  Ref keep = Ref::borrow(importer);
  Ref level = Ref::steal(PyLong_FromLong(0));
  return call(importer, name, frame.globals, Py_None, Py_None, level.get());
}

bool print_line(PyObject* text) {
  if (!text) return false;
  return static_cast<bool>(call(frame.print, text));
}

Ref concat(std::initializer_list<PyObject*> pieces) {
  Ref parts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
  if (!parts) return {};
  Py_ssize_t i = 0;
  for (PyObject* piece : pieces) {
    if (!piece) return {};
    Py_INCREF(piece);
    PyTuple_SET_ITEM(parts.get(), i++, piece);
  }
  Ref empty = Ref::steal(PyUnicode_New(0, 0));
  if (!empty) return {};
  return Ref::steal(PyUnicode_Join(empty.get(), parts.get()));
}

}  // namespace vk
