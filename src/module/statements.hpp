// The statements a module body is made of, as rows of a table, and the
// runner that carries them out in a namespace.
#pragma once

#include "core/function.hpp"

#include <span>

namespace vk {

// One statement of the body.
struct Row {
  enum class Kind : unsigned char { import, from_import, value, def, class_, statement };
  Kind kind;
  const char* name = nullptr;  // module, bound name or class name
  const char* text = nullptr;  // from-import: the attribute; class: the docstring
  const FunctionDef* def = nullptr;
  std::span<const FunctionDef* const> methods = {};  // class
  Ref (*make)() = nullptr;                           // value
  bool (*run)(PyObject* ns) = nullptr;               // statement
  bool (*made)(PyObject* cls) = nullptr;             // class: its own set-up, once made
};

// The methods of one class, in the order its body defines them; one array
// per list, for the life of the process.
template <const FunctionDef&... Methods>
inline constexpr const FunctionDef* kMethods[] = {&Methods...};

// import a.b  (binds a)
constexpr Row import(const char* dotted) { return {.kind = Row::Kind::import, .name = dotted}; }
// from module import attribute
constexpr Row from_import(const char* module, const char* attribute) {
  return {.kind = Row::Kind::from_import, .name = module, .text = attribute};
}
// name = make()
constexpr Row value(const char* name, Ref (*make)()) { return {.kind = Row::Kind::value, .name = name, .make = make}; }
// def name(...): at module level
constexpr Row def(const FunctionDef& function) { return {.kind = Row::Kind::def, .def = &function}; }
// class name: with the methods given, in order; made as
// type(name, (), namespace), given `made` when there is one, and bound once
// the class is complete.
template <const FunctionDef&... Methods>
constexpr Row class_(const char* name, const char* doc = nullptr, bool (*made)(PyObject* cls) = nullptr) {
  return {.kind = Row::Kind::class_, .name = name, .text = doc, .methods = kMethods<Methods...>, .made = made};
}
// Any other statement.
constexpr Row statement(bool (*run)(PyObject* ns)) { return {.kind = Row::Kind::statement, .run = run}; }

// Runs the rows in order in the namespace `ns`; false with an exception set
// when a statement fails.
bool run_statements(PyObject* ns, std::span<const Row> rows);

}  // namespace vk
