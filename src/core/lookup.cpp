// A plain module's attributes read through the remembered lookups, for getattr.
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

}  // namespace vk
