// The module-level functions each subsystem defines, for the module body.
#pragma once

#include "core/function.hpp"

namespace vk {

namespace files {
extern const FunctionDef getcwd_os, remove, removedir, chdir, mkdir, exists, abspath, join, cwdbytes, dirlist, name,
    file, idir, pathq, permissions, desktop, getcwd, username, home;
}  // namespace files

namespace system {
extern const FunctionDef system;
}  // namespace system

}  // namespace vk
