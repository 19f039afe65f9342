// A compiled shortcut in front of a general path that computes the same
// result through the interpreter's own operations.
#pragma once

#include "core/ref.hpp"

namespace vk {

enum class Outcome {
  value,    // the result is ready
  error,    // a Python exception is set; it is exactly the general path's
  general,  // no exception set; the general path must run
};

namespace detail {
// The fast half in a frame of its own: its locals are gone before the
// general half runs, which may recurse through the module again.
template <class Fast>
VK_NOINLINE Outcome run_fast(Fast& fast, PyObject*& out) {
  Ref result;
  const Outcome outcome = fast(result);
  out = result.release();
  return outcome;
}
}  // namespace detail

// fast(result) first; when it declines, general(). A value outcome whose
// result could not be made (null) reports that failure. Inlined into the
// caller, so that the general half adds no frame of its own.
template <class Fast, class General>
VK_INLINE PyObject* fast_or_general(Fast&& fast, General&& general) {
  PyObject* result = nullptr;
  switch (detail::run_fast(fast, result)) {
    case Outcome::value:
      return result;
    case Outcome::error:
      Py_XDECREF(result);
      return nullptr;
    case Outcome::general:
      Py_XDECREF(result);
      break;
  }
  return general();
}

}  // namespace vk
