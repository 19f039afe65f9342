// Handling a pending Python exception the way an `except` block does.
#pragma once

#include "core/state.hpp"

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

// Sets the pending exception aside while clean-up runs and puts it back
// when the scope ends; an error of the clean-up then gives way to it. With
// nothing pending at the start, an error of the clean-up stays set.
class PendingError {
 public:
  PendingError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~PendingError() {
    if (!type_) return;
    PyErr_Clear();
    PyErr_Restore(type_, value_, traceback_);
  }
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;

 private:
  PyObject* type_;
  PyObject* value_;
  PyObject* traceback_;
};

// The text of an exception as `str(e)` gives it.
inline Ref str_of(PyObject* value) { return Ref::steal(PyObject_Str(value)); }

// except Exception as e: print(prefix + text(e))
// True when the pending exception was an Exception and its line printed;
// false with an exception set otherwise (the original one when it is not an
// Exception, else whatever failed while reporting it).
inline bool report_exception(PyObject* prefix, Ref (*text)(PyObject*) = str_of) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  Caught caught;
  Ref shown = text(caught.value());
  return shown && print_line(concat({prefix, shown.get()}).get());
}

// Raises `type(*args)` as a new exception (its context is whatever is
// being handled at that moment).
template <class... A>
PyObject* raise_new(PyObject* type, A... args) {
  Ref exc = call(type, args...);
  if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

}  // namespace vk
