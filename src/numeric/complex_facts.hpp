// What ComplexNumber's shortcuts know of a class, remembered while the class keeps its version tag.
#pragma once

#include "core/ref.hpp"

namespace vk::numeric {

// What the shortcuts need to know about a class. Any change to a class or
// to one of its bases (an attribute set or deleted, __bases__ assigned)
// takes away its version tag, and a class never gets the same tag twice:
// facts found under one tag hold while the class keeps it. The
// interpreter's own method cache rests on the same rule.
struct ClassFacts {
  // instance.real and instance.imag are plain reads of the instance dict:
  // generic attribute access and no class attribute of either name.
  bool plain_parts = false;
  // Calling the class runs object.__new__ and then this module's __init__.
  bool own_construction = false;
  // ... and that __init__ stores both parts with plain attribute setting,
  // which runs no code of the class's.
  bool plain_construction = false;
};

struct FactsEntry {
  PyTypeObject* type = nullptr;
  unsigned int version = 0;  // 0 is never a valid tag
  ClassFacts facts;

  bool holds(PyTypeObject* t) const { return type == t && version != 0 && version == t->tp_version_tag; }
};

namespace detail {
// The class met last, which is checked first.
extern FactsEntry last_class;
// Any other class: found, or remembered by address.
ClassFacts facts_of_another(PyTypeObject* type);
}  // namespace detail

// The facts of a class, remembered per version tag.
inline ClassFacts facts_of(PyTypeObject* type) {
  return detail::last_class.holds(type) ? detail::last_class.facts : detail::facts_of_another(type);
}

}  // namespace vk::numeric
