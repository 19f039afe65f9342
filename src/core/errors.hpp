// Handling a pending Python exception the way an `except` block does.
#pragma once

#include "core/ref.hpp"

namespace vk {

// Takes the pending exception and keeps it as the exception being handled
// (sys.exc_info()) until destroyed, so that an exception raised meanwhile
// gets it as __context__, as inside an `except` clause.
class Caught {
 public:
  Caught() noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    value_ = Ref::steal(value);
    PyObject *old_type, *old_value, *old_traceback;
    PyErr_GetExcInfo(&old_type, &old_value, &old_traceback);
    Py_XDECREF(old_type);
    Py_XDECREF(old_traceback);
    previous_ = Ref::steal(old_value);
    PyErr_SetExcInfo(nullptr, Py_XNewRef(value_.get()), nullptr);
  }
  ~Caught() { PyErr_SetExcInfo(nullptr, previous_.release(), nullptr); }
  Caught(const Caught&) = delete;
  Caught& operator=(const Caught&) = delete;

  PyObject* value() const noexcept { return value_.get(); }
  bool is(PyObject* type) const noexcept { return value_ && PyErr_GivenExceptionMatches(value_.get(), type); }

  // Raises the caught exception again, unchanged (a bare `raise`).
  void restore() noexcept {
    PyObject* v = value_.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(v))), v, PyException_GetTraceback(v));
  }

 private:
  Ref value_;
  Ref previous_;
};

// Raises `type(*args)` as a new exception (its context is whatever is
// being handled at that moment).
template <class... A>
PyObject* raise_new(PyObject* type, A... args) {
  Ref exc = call(type, args...);
  if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

}  // namespace vk
