// What the module keeps for the life of the process: the one module object,
// its namespace, and the builtins it resolved once at import.
#pragma once

#include "core/ref.hpp"

#include <cstdint>

namespace vk {

struct ModuleState {
  std::int64_t interpreter_id = -1;
  PyObject* module = nullptr;         // strong; set while the module lives
  PyObject* globals = nullptr;        // the module's __dict__, borrowed from module
  PyObject* builtins_dict = nullptr;  // strong; consulted after the namespace
  // Resolved once by the exec step; later changes to builtins do not reach us.
  PyObject* print = nullptr;
  PyObject* open = nullptr;
  PyObject* SystemExit = nullptr;
  PyObject* range = nullptr;
  PyTypeObject* function_type = nullptr;  // strong
};

namespace detail {
extern ModuleState process_state;
}

// The one copy of the module's state; only touched with the interpreter
// lock held.
inline ModuleState& state() noexcept { return detail::process_state; }

// The lookups, the import and print below take a null (an interned name
// that could not be made, text that an earlier step failed to make) as
// the calls of ref.hpp do: nothing is done and that step's exception stays.

// A module-level name as a global lookup inside the module's own code sees
// it: the namespace first, then builtins, else NameError.
Ref global(PyObject* name);

namespace detail {
// The walk behind global(name, attribute, ...); names are interned.
Ref global_path(PyObject* const* names, int count);
}

// global(name) followed by an attribute path: global("os"_id, "path"_id,
// "join"_id) is os.path.join as a statement of the module reads it. Paths
// through plain modules are remembered while nothing on the way changes.
template <class... A>
Ref global(PyObject* name, PyObject* attribute, A... more) {
  PyObject* const names[] = {name, attribute, more...};
  return detail::global_path(names, 2 + static_cast<int>(sizeof...(A)));
}

// `import name` inside a function: through the import system, so that
// whatever sys.modules holds under that name is what the call gets.
Ref import_local(PyObject* name);

// print(text) through the builtin print cached at import.
bool print_line(PyObject* text);

}  // namespace vk
