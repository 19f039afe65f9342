// Temporary sibling files: their names, their removal, and the errors that name the target instead.
#include "core/sibling.hpp"

#include "core/errors.hpp"

namespace vk {

using namespace literals;

Ref sibling_name(PyObject* os, PyObject* path) {
  Ref urandom = getattr(os, "urandom"_id);
  if (!urandom) return {};
  Ref count = Ref::steal(PyLong_FromLong(8));
  if (!count) return {};
  Ref token = call(urandom.get(), count.get());
  if (!token) return {};
  Ref hex = call_method(token.get(), "hex"_id);
  if (!hex) return {};
  Ref suffix = concat({"."_id, hex.get(), ".tmp"_id});
  if (!suffix) return {};
  if (PyBytes_Check(path)) {
    Ref encoded = Ref::steal(PyUnicode_AsASCIIString(suffix.get()));
    if (!encoded) return {};
    Ref joined = Ref::borrow(path);
    PyObject* raw = joined.release();
    PyBytes_Concat(&raw, encoded.get());
    return Ref::steal(raw);
  }
  return concat({path, suffix.get()});
}

// os.remove(path), keeping the exception that is on its way out.
void remove_quietly(PyObject* os, PyObject* path) {
  PendingError keep;
  Ref remove = getattr(os, "remove"_id);
  if (!remove || !call(remove.get(), path)) PyErr_Clear();
}

void blame_target(PyObject* staged, PyObject* target) {
  if (!PyErr_ExceptionMatches(PyExc_OSError)) return;
  Caught caught;
  Ref filename = Ref::steal(PyObject_GetAttr(caught.value(), "filename"_id));
  if (filename && PyObject_RichCompareBool(filename.get(), staged, Py_EQ) == 1)
    PyObject_SetAttr(caught.value(), "filename"_id, target);
  PyErr_Clear();  // a failure of the renaming itself leaves the error as it was
  caught.restore();
}

}  // namespace vk
