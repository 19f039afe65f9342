// The inspect.Signature of a module function, built from its parameters
// and its current defaults and annotations, for inspect.signature(), help()
// and tools that read __signature__.
#pragma once

#include "core/function_layout.hpp"

namespace vk {

// A new inspect.Signature for `f`; null with an exception set on failure.
Ref computed_signature(Function* f);

}  // namespace vk
