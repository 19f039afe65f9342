// How the module body describes a function, and how its impl reads its arguments by name.
#pragma once

#include "core/binding.hpp"
#include "core/ref.hpp"

#include <array>
#include <initializer_list>
#include <span>

namespace vk {

struct Function;

// What a call runs: the bound arguments, in parameter order (the
// positional-or-keyword parameters, then the *args tuple when there is one,
// then the keyword-only parameters), held by the call until it returns.
using Impl = PyObject* (*)(Function* self, PyObject* const* args);

// A function's parameters in the order a def lists them.
struct ParameterList {
  std::span<const char* const> positional;  // positional-or-keyword
  const char* varargs;                      // name of *args, or none
  std::span<const char* const> kwonly;
};

namespace detail {
// The name a parameter is spelled with, without the "*" of *args.
consteval const char* bare(const char* spelled) { return spelled[0] == '*' ? spelled + 1 : spelled; }

consteval bool same(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

// Where `name` stands among `names`; N when it is not there.
template <std::size_t N>
consteval std::size_t find(const std::array<const char*, N>& names, const char* name) {
  for (std::size_t i = 0; i < N; ++i)
    if (same(bare(names[i]), name)) return i;
  return N;
}

// Where the *args slot stands; N when there is none.
template <std::size_t N>
consteval std::size_t star(const std::array<const char*, N>& names) {
  for (std::size_t i = 0; i < N; ++i)
    if (names[i][0] == '*') return i;
  return N;
}

// Every name is given once, and at most one is *args.
template <std::size_t N>
consteval bool well_formed(const std::array<const char*, N>& names) {
  std::size_t stars = 0;
  for (std::size_t i = 0; i < N; ++i) {
    if (bare(names[i])[0] == '\0' || find(names, bare(names[i])) != i) return false;
    stars += names[i][0] == '*' ? 1 : 0;
  }
  return stars <= 1;
}
}  // namespace detail

// The bound arguments of an impl, named by its parameter list as a def
// spells it: Args<"path", "mode"> for (path, mode), Args<"*objects",
// "sep"> for (*objects, sep), whose names after the *args are
// keyword-only. args.get<"mode">() is the argument of that parameter, one
// load as args[1] would be; a name the list does not hold fails to build.
template <FixedString... Names>
class Args {
  static constexpr std::size_t kCount = sizeof...(Names);
  static constexpr std::array<const char*, kCount> kSpelled{Names.value...};
  static constexpr std::array<const char*, kCount> kNames{detail::bare(Names.value)...};
  static constexpr std::size_t kStar = detail::star(kSpelled);
  static_assert(detail::well_formed(kSpelled), "each parameter has a name of its own, and at most one is *args");
  static_assert(kCount <= kMaxSlots, "more parameters than a call binds");

 public:
  explicit Args(PyObject* const* items) noexcept : items_(items) {}

  template <FixedString Name>
  PyObject* get() const noexcept {
    constexpr std::size_t i = detail::find(kSpelled, Name.value);
    static_assert(i < kCount, "the impl's Args name no parameter of that name");
    return items_[i];
  }

  // Every argument in parameter order, for an impl that passes them all on.
  PyObject* const* all() const noexcept { return items_; }
  static constexpr std::size_t size() noexcept { return kCount; }

  static constexpr ParameterList parameters{
      std::span<const char* const>(kNames.data(), kStar),
      kStar < kCount ? kNames[kStar] : nullptr,
      std::span<const char* const>(kNames.data() + (kStar < kCount ? kStar + 1 : kCount),
                                   kStar < kCount ? kCount - kStar - 1 : 0),
  };

 private:
  PyObject* const* items_;
};

namespace detail {
template <class>
struct ArgsOf;
template <class A>
struct ArgsOf<PyObject* (*)(Function*, A)> {
  using type = A;
};

// The entry the call path calls: the impl, given its arguments by name.
template <auto F>
PyObject* call_impl(Function* self, PyObject* const* args) {
  return F(self, typename ArgsOf<decltype(F)>::type(args));
}
}  // namespace detail

// An impl as a FunctionDef holds it: what a call runs and the parameter
// list the impl's Args spell. Made only by impl<>, so that every def has one.
struct ImplDef {
  constexpr ImplDef(Impl run, const ParameterList& parameters) : run(run), parameters(&parameters) {}
  Impl run;
  const ParameterList* parameters;
};

// .impl = impl<name_impl>, for `PyObject* name_impl(Function*, Args<...>)`.
template <auto F>
inline constexpr ImplDef impl{detail::call_impl<F>, detail::ArgsOf<decltype(F)>::type::parameters};

// Makes a value the body needs when it binds a function (a defaults tuple,
// a dict); null with an exception set on failure.
using Build = Ref (*)();

// A function as the module body defines it, written with designated
// initialisers: {.name = ..., .impl = impl<...>, .defaults = ...}.
struct FunctionDef {
  const char* name;
  ImplDef impl;
  const char* doc = nullptr;
  // Evaluated once, when the body binds the function, as a def's are.
  Build defaults = nullptr;     // tuple for the last positional parameters
  Build kwdefaults = nullptr;   // dict for the keyword-only parameters
  Build annotations = nullptr;  // dict
  const void* data = nullptr;   // per-function constant the impl may read
  // The free variables of a function made at call time, in the order of a
  // def's co_freevars (sorted); FunctionOptions::closure holds their values.
  std::initializer_list<const char*> freevars = {};

  const ParameterList& parameters() const { return *impl.parameters; }
};

// Py_BuildValue as a Ref, for the builders of FunctionDef.
template <class... A>
Ref build(const char* format, A... values) {
  return Ref::steal(Py_BuildValue(format, values...));
}

}  // namespace vk
