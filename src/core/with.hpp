// The `with` statement: __enter__, a block, and __exit__ on every path.
#pragma once

#include "core/errors.hpp"

namespace vk {

// The special method `name` of obj, bound, looked up on its type as the
// interpreter does for `with`. Null without an exception set when absent.
inline Ref special_method(PyObject* obj, PyObject* name) {
  if (!name) return {};
  Ref descr = Ref::borrow(_PyType_Lookup(Py_TYPE(obj), name));
  if (!descr) return {};
  descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
  if (!get) return descr;
  return Ref::steal(get(descr.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

// with manager as value: block(value)
// block returns false with an exception set when it fails; __exit__ then
// gets that exception and may swallow it by returning a true value.
template <class Block>
bool with_block(PyObject* manager, Block&& block) {
  using namespace literals;
  Ref enter = special_method(manager, "__enter__"_id);
  if (!enter) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                   Py_TYPE(manager)->tp_name);
    return false;
  }
  Ref exit = special_method(manager, "__exit__"_id);
  if (!exit) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_TypeError,
                   "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                   Py_TYPE(manager)->tp_name);
    return false;
  }
  Ref value = call(enter.get());
  if (!value) return false;
  if (block(value.get())) return static_cast<bool>(call(exit.get(), Py_None, Py_None, Py_None));

  Caught caught;
  PyObject* exc = caught.value();
  Ref traceback = Ref::steal(PyException_GetTraceback(exc));
  Ref swallow = call(exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc,
                     traceback ? traceback.get() : Py_None);
  if (!swallow) return false;
  const int truth = PyObject_IsTrue(swallow.get());
  if (truth < 0) return false;
  if (truth) return true;
  caught.restore();
  return false;
}

}  // namespace vk
