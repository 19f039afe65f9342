// System utilities: what this folder offers the module body.
#pragma once

#include "core/function.hpp"

namespace vk::system {

extern const FunctionDef exit, attributes, install, quit, ctrlc, curani, size, copy, system, shortcut;

}  // namespace vk::system
