#include "core/sibling.hpp"

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
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  Ref remove = getattr(os, "remove"_id);
  if (!remove || !call(remove.get(), path)) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
}

}  // namespace vk
