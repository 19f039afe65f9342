// File associations: what this folder offers the module body.
#pragma once

#include "core/function.hpp"

namespace vk::association {

// `delete_` is the module's `delete` (a C++ keyword).
extern const FunctionDef increase, delete_, modify;

}  // namespace vk::association
