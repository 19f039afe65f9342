// The statements a module body is made of, as rows of a table, and the
// runner that carries them out in a namespace.
#pragma once

#include "core/function.hpp"

#include <span>

namespace vk {

// One statement of the body.
struct Row {
  enum class Kind : unsigned char { import, from_import, value, def, class_begin, method, class_end, statement };
  Kind kind;
  const char* name = nullptr;  // module, bound name or class name
  const char* text = nullptr;  // from-import: the attribute; class: the docstring
  const FunctionDef* def = nullptr;
  Ref (*make)(const char* name) = nullptr;  // value
  bool (*run)(PyObject* ns) = nullptr;      // statement
};

// import a.b  (binds a)
constexpr Row import(const char* dotted) { return {.kind = Row::Kind::import, .name = dotted}; }
// from module import attribute
constexpr Row from_import(const char* module, const char* attribute) {
  return {.kind = Row::Kind::from_import, .name = module, .text = attribute};
}
// name = make(...)
constexpr Row value(const char* name, Ref (*make)(const char*)) {
  return {.kind = Row::Kind::value, .name = name, .make = make};
}
// def name(...): at module level
constexpr Row def(const FunctionDef& function) { return {.kind = Row::Kind::def, .def = &function}; }
// class name: ... made as type(name, (), namespace); its methods follow
constexpr Row class_begin(const char* name, const char* doc = nullptr) {
  return {.kind = Row::Kind::class_begin, .name = name, .text = doc};
}
constexpr Row method(const FunctionDef& function) { return {.kind = Row::Kind::method, .def = &function}; }
constexpr Row class_end() { return {.kind = Row::Kind::class_end}; }
// Any other statement.
constexpr Row statement(bool (*run)(PyObject* ns)) { return {.kind = Row::Kind::statement, .run = run}; }

// Runs the rows in order in the namespace `ns`; false with an exception set
// when a statement fails.
bool run_statements(PyObject* ns, std::span<const Row> rows);

}  // namespace vk
