// The call helper of ref.hpp that is too long to inline: concatenation.
#include "core/ref.hpp"

namespace vk {

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
