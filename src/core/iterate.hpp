// `for item in iterable:` with the interpreter's error checks, and the
// loops over range(...) the module's routines are written with.
#pragma once

#include "core/state.hpp"

namespace vk {

// What a loop body asks for after one item.
enum class Loop {
  next,  // go on
  stop,  // `break`
  fail,  // an exception is set
};

// Runs body(item) for each item until the iterator ends, the body stops, or
// something fails (false, with the exception set). Pending signals are
// answered between items, as the interpreter's own loops do, so Ctrl+C
// ends a long loop. Inlined: a body that recurses through the module adds
// no loop frame to each level.
template <class Body>
VK_INLINE bool for_each(PyObject* iterable, Body&& body) {
  if (!iterable) return false;
  Ref iterator = Ref::steal(PyObject_GetIter(iterable));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    switch (body(item.get())) {
      case Loop::next:
        break;
      case Loop::stop:
        return true;
      case Loop::fail:
        return false;
    }
    if (PyErr_CheckSignals() < 0) return false;
  }
  return !PyErr_Occurred();
}

// for item in range(*bounds): body(item), with the range builtin fixed at import.
template <class Body, class... Bounds>
VK_INLINE bool for_range(Body&& body, Bounds... bounds) {
  Ref range = call(state().range, bounds...);
  return range && for_each(range.get(), body);
}

}  // namespace vk
