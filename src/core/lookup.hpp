// Remembered dict lookups for the names functions read on every call.
//
// Every change to a dict gives it a new version tag, drawn from one counter
// for all dicts, so a dict whose tag is the one seen at the last lookup
// still maps the name to the same value: the remembered answer is exactly
// what a fresh lookup would give. This is the interpreter's own trick for
// global and module-attribute reads, applied to ours.
#pragma once

#include "core/ref.hpp"

#include <cassert>
#include <cstdint>

namespace vk {

class LookupCache {
 public:
  // dict[name] as a borrowed reference, or nullptr (an exception is set
  // only when the lookup itself failed).
  //
  // Entries are keyed by the name's address, so `name` must be an interned
  // str kept for the life of the process (the module's names are made by
  // interned<>() and never released): an address can then never be reused
  // by another name while an entry remembers it.
  PyObject* find(PyObject* dict, PyObject* name) {
    assert(PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name));
    const std::uint64_t version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    const std::uintptr_t slot = (reinterpret_cast<std::uintptr_t>(name) >> 4) ^
                                (reinterpret_cast<std::uintptr_t>(dict) >> 6);
    Entry& e = entries_[slot % kEntries];
    if (e.dict == dict && e.name == name && e.version == version) return e.value;
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value) e = Entry{dict, name, version, value};
    return value;
  }

 private:
  struct Entry {
    PyObject* dict = nullptr;
    PyObject* name = nullptr;
    std::uint64_t version = 0;
    PyObject* value = nullptr;  // borrowed: the dict holds it while the tag stands
  };
  static constexpr std::size_t kEntries = 256;
  Entry entries_[kEntries];
};

// The one cache of the process; only touched with the interpreter lock held.
inline LookupCache& lookup_cache() {
  static LookupCache cache;
  return cache;
}

}  // namespace vk
