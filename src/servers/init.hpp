// __init__ methods that store their parameters on the instance.
#pragma once

#include "core/function.hpp"

namespace vk::servers {

// self.<p> = <p> for every parameter after self, in parameter order.
template <FixedString... Names>
PyObject* store_parameters(Function*, Args<"self", Names...> args) {
  PyObject* self = args.template get<"self">();
  auto store = [self](PyObject* name, PyObject* value) { return name && PyObject_SetAttr(self, name, value) == 0; };
  if (!(store(interned<Names>(), args.template get<Names>()) && ...)) return nullptr;
  return Py_NewRef(Py_None);
}

}  // namespace vk::servers
