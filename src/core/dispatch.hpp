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

// fast(result) first; when it declines, general(). A value outcome whose
// result could not be made (null) reports that failure.
template <class Fast, class General>
PyObject* fast_or_general(Fast&& fast, General&& general) {
  Ref result;
  switch (fast(result)) {
    case Outcome::value:
      return result.release();
    case Outcome::error:
      return nullptr;
    case Outcome::general:
      break;
  }
  return general();
}

}  // namespace vk
