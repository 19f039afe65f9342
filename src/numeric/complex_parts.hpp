// ComplexNumber's operands read once: each part a C double, a C integer or a held object.
#pragma once

#include "core/ref.hpp"
#include "numeric/complex_facts.hpp"

#include <utility>

namespace vk::numeric {

// An intermediate value of the operators: an exact float kept as a C
// double, an exact int that fits 64 bits kept as a C integer, or any other
// object. Arithmetic on ints and floats has no side effects, so a number
// that is only an intermediate result never needs an object.
struct Num {
  enum Kind : unsigned char { object, real, whole };
  Ref held;  // an object: a larger int, or what the interpreter computed
  union {
    double value;        // a real
    long long integer;   // a whole
  };
  Kind kind = object;

  Num() : integer(0) {}

  static Num of(Ref o) {
    Num n;
    if (o && PyFloat_CheckExact(o.get())) return of(PyFloat_AS_DOUBLE(o.get()));
    if (o && PyLong_CheckExact(o.get())) {
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(o.get(), &overflow);
      if (!overflow) return whole_of(v);
    }
    n.held = std::move(o);
    return n;
  }
  static Num of(double v) {
    Num n;
    n.value = v;
    n.kind = real;
    return n;
  }
  static Num whole_of(long long v) {
    Num n;
    n.integer = v;
    n.kind = whole;
    return n;
  }
  // In place, for the parts as they are read.
  void set(double v) {
    value = v;
    kind = real;
  }
  void set_whole(long long v) {
    integer = v;
    kind = whole;
  }
  bool ok() const { return kind != object || held; }
  // The same value again; an object is shared.
  Num share() const {
    Num n;
    n.held = held;
    n.integer = integer;
    n.kind = kind;
    return n;
  }
  PyObject* box() {
    if (kind == real) held = Ref::steal(PyFloat_FromDouble(value));
    if (kind == whole) held = Ref::steal(PyLong_FromLongLong(integer));
    kind = object;
    return held.get();
  }
};

// The ints up to this size are exactly floats.
inline constexpr long long kExactInFloat = 1LL << 53;
// Compared as it stands: the negation of LLONG_MIN does not exist.
inline bool exact_in_float(long long v) { return v >= -kExactInFloat && v <= kExactInFloat; }

// The parts the operators read.
enum Part : unsigned char { self_real, self_imag, other_real, other_imag };

// The parts of the operands read once, where that gives what reading them
// at every use gives: the reads run no code (builtin numbers, or plain
// reads of an exact dict whose keys are all exact str) and the parts are
// exact ints or floats, so the arithmetic between two reads runs no code
// either. Except signal handlers: the interpreter's big-int arithmetic
// answers pending signals, and a handler may rebind a part, so the int
// parts are held until the operation is over.
class ReadOnce {
 public:
  // False, with nothing changed that an attribute read would not change,
  // when the parts must be read at each use.
  bool read(PyObject* self) { return read_all(&self, 1); }
  bool read(PyObject* self, PyObject* other) {
    PyObject* objects[] = {self, other};
    return read_all(objects, 2);
  }

  Num operator()(Part part) const { return parts_[part].share(); }

  // All four parts as C integers, when all of them are ints that fit.
  bool wholes(long long (&out)[4]) const {
    for (int i = 0; i < 4; ++i) {
      if (parts_[i].kind != Num::whole) return false;
      out[i] = parts_[i].integer;
    }
    return true;
  }

  // All four parts as C doubles, when all of them are floats.
  bool floats(double (&out)[4]) const {
    for (int i = 0; i < 4; ++i) {
      if (parts_[i].kind != Num::real) return false;
      out[i] = parts_[i].value;
    }
    return true;
  }

 private:
  static constexpr Py_ssize_t kMaxScan = 8;  // larger dicts are left to attribute access

  bool read_all(PyObject* const* objects, int count) {
    // Getting an instance dict may make it (until then attribute access
    // reads the parts from the object itself), and any allocation may run
    // the garbage collector and with it finalizers, which can change
    // anything. So every dict but the last one read is made first, and the
    // parts are read last to first: after the last allocation, with none
    // in between.
    for (int i = 0; i + 1 < count; ++i)
      if (!builtin_number(objects[i]) && !make_dict(objects[i])) return false;
    for (int i = count - 1; i >= 0; --i)
      if (!read_parts(objects[i], parts_[2 * i], parts_[2 * i + 1])) return false;
    return true;
  }

  static bool make_dict(PyObject* obj) {
    if (!facts_of(Py_TYPE(obj)).plain_parts) return false;
    if (Ref::steal(PyObject_GenericGetDict(obj, nullptr))) return true;
    PyErr_Clear();
    return false;
  }

  static bool builtin_number(PyObject* obj) {
    return PyFloat_CheckExact(obj) || PyLong_CheckExact(obj) || PyComplex_CheckExact(obj);
  }

  // An exact int or float: its value, or a larger int held.
  static bool plain_part(PyObject* part, Num& out);
  // The builtin numbers answer as their attributes do: an int's real part
  // is itself and its imaginary part the int 0, a float's are itself and
  // 0.0, a complex number's are floats.
  static bool read_parts(PyObject* obj, Num& real, Num& imag);
  // The parts in an instance dict, by a scan instead of two lookups.
  static bool read_dict(PyObject* dict, Num& real, Num& imag);

  Num parts_[4];
};

}  // namespace vk::numeric
