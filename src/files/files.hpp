// Paths, the current folder and user folders, commands, encodings and
// vkprint: what this folder offers the module body.
#pragma once

#include "core/function.hpp"

namespace vk::files {

// Path and directory operations. `getcwd_by_os_getcwd` forwards to
// os.getcwd; the body binds it first and later replaces it with `getcwd`.
extern const FunctionDef getcwd_by_os_getcwd, remove, removedir, chdir, mkdir, exists, abspath, join, cwdbytes,
    dirlist, name, file, idir, pathq, permissions, desktop, getcwd, username, home;

// Commands.
extern const FunctionDef cmd, psshell, backend;

// Encodings and output.
extern const FunctionDef get_encoding, moencoding, vkprint;

}  // namespace vk::files
