// System utilities: what this folder offers the module body.
#pragma once

#include "core/function.hpp"

namespace vk::utilities {

extern const FunctionDef copy, system;

}  // namespace vk::utilities
