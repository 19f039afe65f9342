// The class keys under HKEY_CLASSES_ROOT: their handles closed, a key removed with the keys below it.
#pragma once

#include "core/ref.hpp"

#include <initializer_list>

namespace vk::association {

// Closes the registry handles that are set, in order, through the
// module-level winreg, whatever happens: an exception pending before stays
// the one that is raised, else the first failure to close. False when an
// exception is set at the end.
bool close_keys(std::initializer_list<const Ref*> handles);

// Deletes the key `name` under HKEY_CLASSES_ROOT (opened with full access,
// deleted, closed); with `subkeys`, the keys below it first, deepest first.
// 1 deleted, 0 absent (a FileNotFoundError on the way, dropped), -1 failed.
int remove_class_key(PyObject* name, bool subkeys);

}  // namespace vk::association
