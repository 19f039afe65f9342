// __init__ methods that store their parameters on the instance.
#pragma once

#include "core/function.hpp"

namespace vk::servers {

// self.<p> = <p> for every parameter after self, in parameter order.
inline PyObject* store_parameters(Function* f, Args args) {
  const Py_ssize_t n = PyTuple_GET_SIZE(f->varnames);
  for (Py_ssize_t i = 1; i < n; ++i)
    if (PyObject_SetAttr(args[0], PyTuple_GET_ITEM(f->varnames, i), args[i]) < 0) return nullptr;
  return Py_NewRef(Py_None);
}

}  // namespace vk::servers
