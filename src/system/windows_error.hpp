// The error of the Windows call just made, as the system utilities raise it.
#pragma once

#include "core/state.hpp"

namespace vk::system {

// raise ctypes.WinError(), through the module-level ctypes.
inline PyObject* raise_windows_error() {
  using namespace literals;
  Ref error = global("ctypes"_id, "WinError"_id);
  Ref exc = call(error.get());
  if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

}  // namespace vk::system
