// Paths, the current folder and user folders, commands, encodings and
// vkprint: what this folder offers the module body.
#pragma once

#include "core/function.hpp"

namespace vk::files {

// Path and directory operations. `getcwd_os` is the form the body binds
// first and then replaces with `getcwd`.
extern const FunctionDef getcwd_os, remove, removedir, chdir, mkdir, exists, abspath, join, cwdbytes, dirlist, name,
    file, idir, pathq, permissions, desktop, getcwd, username, home;

// Commands.
extern const FunctionDef cmd, psshell, backend;

// Encodings and output.
extern const FunctionDef get_encoding, moencoding, vkprint;

}  // namespace vk::files
