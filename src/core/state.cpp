// The process's one module state, and the global lookups, local imports and printing built on it.
#include "core/state.hpp"

#include "core/lookup.hpp"

namespace vk {

ModuleState detail::process_state;

Ref global(PyObject* name) {
  if (any_null(name)) return {};
  const ModuleState& s = state();
  if (s.globals) {
    PyObject* v = lookup_cache().find(s.globals, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return {};
  }
  if (s.builtins_dict) {
    PyObject* v = PyDict_GetItemWithError(s.builtins_dict, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return {};
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return {};
}

namespace {

std::uint64_t version_of(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }

// A path such as os.path.join whose first name was found in the namespace
// and whose every later name was read from the dict of a plain module,
// remembered with the version tag of each dict on the way. While every tag
// stands, each dict still maps its name to the same object (which it
// holds), so the remembered answer is exactly what a fresh walk gives.
struct PathEntry {
  static constexpr int kMaxNames = 3;
  int count = 0;
  PyObject* names[kMaxNames] = {};
  PyObject* dicts[kMaxNames] = {};  // the namespace, then each module's dict
  std::uint64_t versions[kMaxNames] = {};
  PyObject* modules[kMaxNames - 1] = {};  // held by the dict before each
  PyObject* value = nullptr;              // held by the last dict

  bool is_for(PyObject* const* path, int n) const {
    if (count != n) return false;
    for (int i = 0; i < n; ++i)
      if (names[i] != path[i]) return false;
    return true;
  }

  // Each step is read only once the step before it is known unchanged,
  // which keeps the module it points to alive.
  bool still_holds(PyObject* globals) const {
    if (dicts[0] != globals || version_of(globals) != versions[0]) return false;
    for (int i = 1; i < count; ++i)
      if (!Py_IS_TYPE(modules[i - 1], &PyModule_Type) || version_of(dicts[i]) != versions[i]) return false;
    return true;
  }
};

PathEntry& path_slot(PyObject* const* names, int count) {
  // Names are interned and live for the process: their addresses key the
  // table, as in LookupCache.
  static PathEntry table[64];
  const auto key = (reinterpret_cast<std::uintptr_t>(names[0]) >> 4) ^
                   (reinterpret_cast<std::uintptr_t>(names[count - 1]) >> 6) ^ static_cast<std::uintptr_t>(count);
  return table[key % 64];
}

// The general walk: global(name), then getattr for each later name. The
// dict reads it makes are those of global and getattr for a plain module;
// the version tags are taken before each read, so a dict that user code
// changed meanwhile (a colliding key's __eq__) is never remembered as
// unchanged.
VK_NOINLINE Ref walk_path(PyObject* const* names, int count, PyObject* globals, PathEntry& slot) {
  PathEntry seen;
  bool remember = globals && count <= PathEntry::kMaxNames;
  Ref value;
  if (remember) {
    seen.dicts[0] = globals;
    seen.versions[0] = version_of(globals);
    PyObject* found = lookup_cache().find(globals, names[0]);
    if (!found && PyErr_Occurred()) return {};
    value = found ? Ref::borrow(found) : global(names[0]);
    remember = found != nullptr;
  } else {
    value = global(names[0]);
  }
  for (int i = 1; i < count && value; ++i) {
    PyObject* const object = value.get();
    if (remember && PyModule_CheckExact(object) && !_PyType_Lookup(&PyModule_Type, names[i])) {
      PyObject* const dict = PyModule_GetDict(object);
      seen.modules[i - 1] = object;
      seen.dicts[i] = dict;
      seen.versions[i] = version_of(dict);
      if (PyObject* found = lookup_cache().find(dict, names[i])) {
        value = Ref::borrow(found);
        continue;
      }
      if (PyErr_Occurred()) return {};
    }
    // Anything else (a module's __getattr__, a missing name's error, an
    // object that is not a plain module) takes attribute access as it is.
    remember = false;
    value = getattr(object, names[i]);
  }
  if (value && remember) {
    seen.count = count;
    for (int i = 0; i < count; ++i) seen.names[i] = names[i];
    seen.value = value.get();
    slot = seen;
  }
  return value;
}

}  // namespace

Ref detail::global_path(PyObject* const* names, int count) {
  for (int i = 0; i < count; ++i)
    if (any_null(names[i])) return {};
  PyObject* const globals = state().globals;
  PathEntry& slot = path_slot(names, count);
  if (slot.is_for(names, count) && slot.still_holds(globals)) return Ref::borrow(slot.value);
  return walk_path(names, count, globals, slot);
}

Ref import_local(PyObject* name) {
  if (any_null(name)) return {};
  // As the import statement does: the __import__ of builtins, called with
  // the module's globals, no locals, no from-list and level 0.
  const ModuleState& s = state();
  Ref importer = Ref::borrow(PyDict_GetItemWithError(s.builtins_dict, interned<"__import__">()));
  if (!importer) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    return {};
  }
  Ref level = Ref::steal(PyLong_FromLong(0));
  return call(importer.get(), name, s.globals, Py_None, Py_None, level.get());
}

bool print_line(PyObject* text) {
  if (any_null(text)) return false;
  return static_cast<bool>(call(state().print, text));
}

}  // namespace vk
