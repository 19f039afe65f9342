// Which platform a function takes its branch for, and the platforms' tools run as checked commands.
#pragma once

#include "core/ref.hpp"

#include <initializer_list>

namespace vk {

// Asks the module-level `system` anew for each name, in order, until its
// answer equals one: the index of that name, -1 when none matched, -2 with
// an exception set.
int platform(std::initializer_list<PyObject*> names);

// subprocess.run([args...], check=True), through the module-level subprocess.
Ref run_checked(std::initializer_list<PyObject*> args);

// 1 when the pending exception is a subprocess.CalledProcessError, 0 when
// not (or nothing is pending), -1 when the class could not be found.
int process_failed();

}  // namespace vk
