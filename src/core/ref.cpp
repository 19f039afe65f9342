// The call helpers of ref.hpp that are too long to inline: module attributes and concatenation.
#include "core/ref.hpp"

#include "core/lookup.hpp"

namespace vk {

Ref module_attribute(PyObject* module, PyObject* name) {
  // Names the module type itself defines (__dict__, __class__, ...) are
  // answered by its descriptors first, as attribute access does.
  if (!_PyType_Lookup(Py_TYPE(module), name)) {
    if (PyObject* value = lookup_cache().find(PyModule_GetDict(module), name)) return Ref::borrow(value);
    if (PyErr_Occurred()) return {};
  }
  return Ref::steal(PyObject_GetAttr(module, name));
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
