// The vectorcall entry of a module function, chosen by its parameter list.
#pragma once

#include "core/function_def.hpp"

namespace vk {

// The entry for functions of `def`'s parameter list: every call counts
// against the recursion limit and checks the stack, binds its arguments
// only when it must, and holds what it uses until the impl returns.
vectorcallfunc vectorcall_for(const FunctionDef& def);

}  // namespace vk
