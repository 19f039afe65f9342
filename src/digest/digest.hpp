// The digest functions and classes, for the module body.
#pragma once

#include "core/function.hpp"

namespace vk::digest {

}  // namespace vk::digest
