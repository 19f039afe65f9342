// The module body: binds every module-level name in order.
#pragma once

#include "core/ref.hpp"

namespace vk {

// Runs the body in the namespace `ns`; false with an exception set when a
// statement fails.
bool run_module_body(PyObject* ns);

}  // namespace vk
