// The argument tests and the failure styles of the association functions.
#include "association/styles.hpp"

#include "core/errors.hpp"

namespace vk::association {

using namespace literals;

int truthy(PyObject* value) { return PyObject_IsTrue(value); }

int both(PyObject* a, PyObject* b) {
  const int first = PyObject_IsTrue(a);
  return first <= 0 ? first : PyObject_IsTrue(b);
}

bool report_error() { return report_exception("Error: "_id); }

PyObject* raise_wrapped(const char* prefix) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
  Caught caught;
  Ref text = new_str(prefix);
  if (!text) return nullptr;
  return raise_new(PyExc_Exception, text.get(), caught.value());
}

}  // namespace vk::association
