// The `with` statement over a context manager already made (the files the
// builtin open returns): enter, then leave once, with or without the
// exception that ended the block.
#pragma once

#include "core/errors.hpp"
#include "core/ref.hpp"

namespace vk {

class WithBlock {
 public:
  // Looks up __enter__ and __exit__ and calls __enter__; false with an
  // exception set when that fails (the block is then not entered).
  bool enter(PyObject* manager) {
    using namespace literals;
    Ref enter = getattr(manager, "__enter__"_id);
    if (!enter) return false;
    exit_ = getattr(manager, "__exit__"_id);
    if (!exit_) return false;
    value_ = call(enter.get());
    if (!value_) {
      exit_ = Ref();
      return false;
    }
    return true;
  }

  // What __enter__ returned (the `as` target).
  PyObject* value() const { return value_.get(); }

  // Leaves the block. `ok` says whether the block ended normally; when not,
  // an exception is pending and __exit__ gets it while it is being handled,
  // then it is raised again (a file's __exit__ never suppresses). Returns
  // false with an exception set when the block ends with one.
  bool leave(bool ok) {
    Ref exit = std::move(exit_);
    value_ = Ref();
    if (!exit) return ok;
    if (ok) return static_cast<bool>(call(exit.get(), Py_None, Py_None, Py_None));
    Caught caught;
    PyObject* value = caught.value();
    Ref traceback = Ref::steal(PyException_GetTraceback(value));
    Ref result = call(exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(value)), value,
                      traceback ? traceback.get() : Py_None);
    if (result) caught.restore();
    return false;
  }

  // A block left by an early return without leave() still closes.
  ~WithBlock() {
    if (exit_) {
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      Ref ignored = call(exit_.get(), Py_None, Py_None, Py_None);
      if (!ignored) PyErr_Clear();
      PyErr_Restore(type, value, traceback);
    }
  }

 private:
  Ref exit_;
  Ref value_;
};

}  // namespace vk
