// Binding a call's arguments to a function's parameters as a def binds
// them, with the module's TypeError wording. Pure: it reads the arguments,
// the defaults and the parameter names, and calls nothing but the
// comparisons of keyword names and the lookups of keyword-only defaults.
#pragma once

#include "core/ref.hpp"

#include <cstdint>

namespace vk {

// A function's parameters: positional-or-keyword ones, then an optional
// *args, then keyword-only ones.
struct Parameters {
  PyObject* names;       // tuple: the positional names, then the keyword-only names
  Py_ssize_t positional;
  bool varargs;
  Py_ssize_t kwonly;

  Py_ssize_t slots() const { return positional + (varargs ? 1 : 0) + kwonly; }
};

// The most slots (parameters and *args) a function may have.
inline constexpr Py_ssize_t kMaxSlots = 16;

// Where the positional defaults sit. A defaults tuple longer than the
// positional parameters gives them its last items, as for a def.
struct DefaultLayout {
  Py_ssize_t required;  // positional parameters without a default
  Py_ssize_t offset;    // parameter i >= required defaults to defaults[offset + i]
};

inline DefaultLayout default_layout(Py_ssize_t positional, PyObject* defaults) {
  const Py_ssize_t given = defaults ? PyTuple_GET_SIZE(defaults) : 0;
  return {positional - (given < positional ? given : positional), given - positional};
}

// The bound arguments of one call, in parameter order: the positional-or-
// keyword parameters, then the *args tuple (when there is one), then the
// keyword-only parameters. Most are borrowed from the caller or from the
// defaults the caller holds; those the binding made or took (the *args
// tuple, keyword-only defaults that their dict may drop meanwhile) are
// owned and released with it. One array, so that a chain of calls through
// the module keeps its stack frames small.
class BoundArguments {
 public:
  explicit BoundArguments(Py_ssize_t n) {
    // Only the slots in use are cleared: zeroing whole arrays costs more
    // than the binding itself.
    for (Py_ssize_t i = 0; i < n; ++i) items_[i] = nullptr;
  }
  BoundArguments(const BoundArguments&) = delete;
  BoundArguments& operator=(const BoundArguments&) = delete;
  ~BoundArguments() {
    for (std::size_t i = 0; owned_ >> i; ++i)
      if ((owned_ >> i) & 1U) Py_DECREF(items_[i]);
  }

  PyObject*& operator[](Py_ssize_t i) { return items_[i]; }
  void own(Py_ssize_t i, PyObject* reference) {
    items_[i] = reference;
    owned_ |= std::uint32_t{1} << i;
  }
  PyObject* const* get() const { return items_; }

 private:
  static_assert(kMaxSlots < 32);
  PyObject* items_[kMaxSlots];
  std::uint32_t owned_ = 0;
};

// Binds args[0:nargs] and the keyword values that follow them (named by
// `kwnames`, or none) to `parameters`, with `defaults` (a tuple or null)
// and `kwdefaults` (a dict or null), which the caller holds for the call.
// `name` names the function in the errors. False with an exception set:
// the TypeError of a call that does not fit, or the error of a keyword
// comparison or a default's lookup.
bool bind(const Parameters& parameters, PyObject* name, PyObject* defaults, PyObject* kwdefaults,
          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArguments& bound);

}  // namespace vk
