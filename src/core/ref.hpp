// Owning references to Python objects, and the few call helpers built on them.
//
// Ref owns a reference: it is made with Ref::steal (take over a new
// reference) or Ref::borrow (add one), and releases it when it goes out of
// scope, on error paths too. Outside Ref, references are released only in
// src/core (where an object's own fields, a call's held arguments and the
// saved exception of errors.hpp are managed by hand) and in the module
// frame. Functions return nullptr with a Python exception set on failure.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <utility>

// VK_NOINLINE keeps the slow half of a fast path out of line, so that the
// fast half's frame stays small; VK_INLINE folds a small helper into its
// caller's frame.
#if defined(_MSC_VER)
#define VK_NOINLINE __declspec(noinline)
#define VK_INLINE __forceinline
#else
#define VK_NOINLINE __attribute__((noinline))
#define VK_INLINE inline __attribute__((always_inline))
#endif

// VK_LINE_ALIGNED starts a hot loop's function at a cache line, so that
// where the loop falls does not depend on the code linked before it.
#if defined(__GNUC__) || defined(__clang__)
#define VK_LINE_ALIGNED __attribute__((aligned(64)))
#else
#define VK_LINE_ALIGNED
#endif

namespace vk {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~Ref() { Py_XDECREF(p_); }

  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A compile-time string, so that names can be template arguments.
template <std::size_t N>
struct FixedString {
  char value[N];
  constexpr FixedString(const char (&s)[N]) { std::copy_n(s, N, value); }
};

// An interned str made once per process on first use and kept for good,
// like the names the interpreter interns for code objects.
template <FixedString S>
PyObject* interned() noexcept {
  static PyObject* s = nullptr;
  if (!s) s = PyUnicode_InternFromString(S.value);
  return s;
}

// A tuple of interned keyword names for vectorcall, made once per process.
template <FixedString... S>
PyObject* kwnames() noexcept {
  static PyObject* t = nullptr;
  if (!t) {
    PyObject* items[] = {interned<S>()...};
    for (PyObject* item : items)
      if (!item) return nullptr;
    t = PyTuple_New(sizeof...(S));
    if (!t) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
      Py_INCREF(item);
      PyTuple_SET_ITEM(t, i++, item);
    }
  }
  return t;
}

namespace literals {
// "os"_id is the interned str "os".
template <FixedString S>
PyObject* operator""_id() noexcept {
  return interned<S>();
}
}  // namespace literals

// A name of a plain module, its dict answering first (see getattr).
Ref module_attribute(PyObject* module, PyObject* name);

// Attribute access and calls, returning owning references. A null argument
// means an earlier step failed with an exception set: the call is not made
// and that exception stays, so calls can be nested safely.
template <class... A>
bool any_null(A... args) {
  const bool missing = ((args == nullptr) || ...);
  // A null stands for an earlier step's failure, which left its exception
  // set: a null without one is a fault where it was made. Checked in debug
  // and sanitizer builds.
  assert(!missing || PyErr_Occurred());
  return missing;
}

inline Ref getattr(PyObject* obj, PyObject* name) {
  if (any_null(obj, name)) return {};
  // A plain module's own names live in its dict, which answers first for
  // any name the module type does not define. Names it lacks take the
  // full route (module __getattr__, the error text).
  if (PyModule_CheckExact(obj)) return module_attribute(obj, name);
  return Ref::steal(PyObject_GetAttr(obj, name));
}

template <class... A>
Ref call(PyObject* callable, A... args) {
  if (any_null(callable, args...)) return {};
  PyObject* argv[] = {nullptr, args...};
  return Ref::steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls callable with positional arguments followed by keyword values,
// whose names are in the kwnames tuple `names`.
template <class... A>
Ref call_kw(PyObject* callable, std::size_t npositional, PyObject* names, A... args) {
  if (any_null(callable, names, args...)) return {};
  PyObject* argv[] = {nullptr, args...};
  return Ref::steal(PyObject_Vectorcall(callable, argv + 1, npositional | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
  if (any_null(obj, name, args...)) return {};
  PyObject* argv[] = {obj, args...};
  return Ref::steal(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The text of the pieces, one after the other (an f-string of fixed parts
// and already formatted values). A null piece is an earlier step's
// failure, as for the calls above.
Ref concat(std::initializer_list<PyObject*> pieces);

// [items...] as a new list; a null item as for concat.
Ref list_of(std::initializer_list<PyObject*> items);

// format(value, ""): what an f-string field without a spec produces.
inline Ref format(PyObject* value) {
  if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
  return Ref::steal(PyObject_Format(value, nullptr));
}

inline Ref new_str(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }

// One of the interpreter's small ints, which it keeps for the life of the
// process: a borrowed reference that stays valid, made without failing.
template <long V>
PyObject* small_int() {
  static_assert(-5 <= V && V <= 256, "only the small ints are kept");
  static PyObject* const value = PyLong_FromLong(V);
  return value;
}

}  // namespace vk
