// The helpers of ref.hpp that are too long to inline: concatenation and lists.
#include "core/ref.hpp"

namespace vk {

Ref concat(std::initializer_list<PyObject*> pieces) {
  for (PyObject* piece : pieces)
    if (any_null(piece)) return {};
  Ref parts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
  if (!parts) return {};
  Py_ssize_t i = 0;
  for (PyObject* piece : pieces) {
    Py_INCREF(piece);
    PyTuple_SET_ITEM(parts.get(), i++, piece);
  }
  Ref empty = Ref::steal(PyUnicode_New(0, 0));
  if (!empty) return {};
  return Ref::steal(PyUnicode_Join(empty.get(), parts.get()));
}

Ref list_of(std::initializer_list<PyObject*> items) {
  for (PyObject* item : items)
    if (any_null(item)) return {};
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return {};
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyList_SET_ITEM(list.get(), i++, Py_NewRef(item));
  return list;
}

}  // namespace vk
