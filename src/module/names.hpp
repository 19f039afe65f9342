// The module-level functions each subsystem defines, for the module body.
#pragma once

#include "core/function.hpp"

namespace vk {

namespace files {
extern const FunctionDef getcwd_os, remove, removedir, chdir, mkdir, exists, abspath, join, cwdbytes, dirlist, name,
    file, idir, pathq, permissions, desktop, getcwd, username, home;
extern const FunctionDef cmd, psshell, backend, get_encoding, moencoding, vkprint;
}  // namespace files

namespace system {
extern const FunctionDef system;
extern const FunctionDef copy;
}  // namespace system

}  // namespace vk
