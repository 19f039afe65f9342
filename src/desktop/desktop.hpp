// Desktop layout settings: what this folder offers the module body.
#pragma once

#include "core/function.hpp"

namespace vk::desktop {

// The functions of WinRightCilck, in the order of its namespace.
extern const FunctionDef auto_arrange, grid, icon, desktop_icons, icon_size, defaults, sort_order;

}  // namespace vk::desktop
