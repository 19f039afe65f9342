// The screen: what this folder offers the module body.
#pragma once

#include "core/function.hpp"

namespace vk::display {

extern const FunctionDef brightness;

}  // namespace vk::display
