// The servers functions and classes, for the module body.
#pragma once

#include "core/function.hpp"

namespace vk::servers {

}  // namespace vk::servers
