// The numeric functions and classes, for the module body.
#pragma once

#include "core/function.hpp"

namespace vk::numeric {

}  // namespace vk::numeric
