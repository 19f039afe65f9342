// ComplexNumber's shortcuts: the facts known of a class per version tag,
// the class built without the call, the parts of both operands read once,
// and unboxed float and int arithmetic.
#include "numeric/complex_fast.hpp"
#include "core/recursion.hpp"
#include "numeric/fast.hpp"
#include "numeric/numeric.hpp"

#include <charconv>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace vk::numeric {
namespace {

using namespace literals;

// obj.<name> = value. The names here are interned, so for generic
// attribute setting the slot itself is what setattr() calls.
int set_attribute(PyObject* obj, PyObject* name, PyObject* value) {
  if (Py_TYPE(obj)->tp_setattro == PyObject_GenericSetAttr) return PyObject_GenericSetAttr(obj, name, value);
  return PyObject_SetAttr(obj, name, value);
}

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

ClassFacts find_facts(PyTypeObject* type) {
  // _PyType_Lookup runs no code and raises nothing.
  PyObject* init = _PyType_Lookup(type, "__init__"_id);
  ClassFacts facts;
  facts.plain_parts = type->tp_getattro == PyObject_GenericGetAttr && type->tp_dictoffset != 0 &&
                      !_PyType_Lookup(type, "real"_id) && !_PyType_Lookup(type, "imag"_id);
  facts.own_construction = PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
                           !PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT) &&
                           type->tp_new == PyBaseObject_Type.tp_new && init &&
                           Py_IS_TYPE(init, state().function_type) &&
                           reinterpret_cast<Function*>(init)->def == &complex_init;
  facts.plain_construction =
      facts.own_construction && facts.plain_parts && type->tp_setattro == PyObject_GenericSetAttr;
  return facts;
}

struct FactsEntry {
  PyTypeObject* type = nullptr;
  unsigned int version = 0;  // 0 is never a valid tag
  ClassFacts facts;

  bool holds(PyTypeObject* t) const { return type == t && version != 0 && version == t->tp_version_tag; }
};

// The class met last, which is checked first, and a few more by address.
FactsEntry last_class;
FactsEntry facts_cache[8];

#if defined(_MSC_VER)
__declspec(noinline)
#else
__attribute__((noinline))
#endif
ClassFacts facts_of_another(PyTypeObject* type) {
  FactsEntry& entry = facts_cache[(reinterpret_cast<std::uintptr_t>(type) >> 4) % std::size(facts_cache)];
  if (!entry.holds(type)) {
    const ClassFacts facts = find_facts(type);
    // The lookups give the class a tag when tags are still to be had.
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) || type->tp_version_tag == 0) return facts;
    entry = {type, type->tp_version_tag, facts};
  }
  last_class = entry;
  return entry.facts;
}

// The facts of a class, remembered per version tag.
inline ClassFacts facts_of(PyTypeObject* type) {
  return last_class.holds(type) ? last_class.facts : facts_of_another(type);
}

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
constexpr long long kExactInFloat = 1LL << 53;

// Both values as C doubles when float arithmetic is what the interpreter
// does with them: one is a float and the other a float or an exact int,
// which float arithmetic converts first. False (nothing set) when the
// interpreter's own operation must decide, an int too large for a float
// among them.
bool as_doubles(const Num& a, const Num& b, double& x, double& y) {
  if (a.kind != Num::real && b.kind != Num::real) return false;
  const auto convert = [](const Num& n, double& out) {
    if (n.kind == Num::real) {
      out = n.value;
      return true;
    }
    if (n.kind == Num::whole) {
      if (n.integer < -kExactInFloat || n.integer > kExactInFloat) return false;
      out = static_cast<double>(n.integer);
      return true;
    }
    // Parts read once are exact ints or floats, and so is every result
    // of the interpreter's arithmetic between them.
    assert(PyLong_CheckExact(n.held.get()));
    out = PyLong_AsDouble(n.held.get());
    if (out == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();  // the operation itself raises it below
      return false;
    }
    return true;
  };
  return convert(a, x) && convert(b, y);
}

enum class Op { add, sub, mul, div };

// a op b for two ints in 64 bits, as the interpreter's int operators give
// it; false when it does not fit, or for a quotient the interpreter must
// work out itself (a zero divisor, operands past what a float holds
// exactly, where int / int is no longer one float division).
bool whole_arithmetic(Op op, long long x, long long y, Num& out) {
  long long r;
  switch (op) {
    case Op::add:
      if (__builtin_add_overflow(x, y, &r)) return false;
      break;
    case Op::sub:
      if (__builtin_sub_overflow(x, y, &r)) return false;
      break;
    case Op::mul:
      if (__builtin_mul_overflow(x, y, &r)) return false;
      break;
    case Op::div:
      if (y == 0 || x < -kExactInFloat || x > kExactInFloat || y < -kExactInFloat || y > kExactInFloat) return false;
      out = Num::of(static_cast<double>(x) / static_cast<double>(y));
      return true;
  }
  out = Num::whole_of(r);
  return true;
}

// a op b, as the interpreter's operator computes it.
Num apply(Op op, Num a, Num b) {
  Num done;
  if (a.kind == Num::whole && b.kind == Num::whole && whole_arithmetic(op, a.integer, b.integer, done)) return done;
  double x, y;
  if (as_doubles(a, b, x, y)) {
    switch (op) {
      case Op::add:
        return Num::of(x + y);
      case Op::sub:
        return Num::of(x - y);
      case Op::mul:
        return Num::of(x * y);
      case Op::div:
        if (y != 0.0) return Num::of(x / y);
        break;  // the interpreter raises its ZeroDivisionError
    }
  }
  PyObject* left = a.box();
  PyObject* right = left ? b.box() : nullptr;
  if (!right) return {};
  switch (op) {
    case Op::add:
      return Num::of(Ref::steal(PyNumber_Add(left, right)));
    case Op::sub:
      return Num::of(Ref::steal(PyNumber_Subtract(left, right)));
    case Op::mul:
      return Num::of(Ref::steal(PyNumber_Multiply(left, right)));
    case Op::div:
      return Num::of(Ref::steal(PyNumber_TrueDivide(left, right)));
  }
  return {};
}

// value ** 2
Num squared(Num value) {
  if (!value.ok()) return {};
  double square;
  if (value.kind == Num::real && float_pow(value.value, 2.0, square)) return Num::of(square);
  long long whole_square;
  if (value.kind == Num::whole && !__builtin_mul_overflow(value.integer, value.integer, &whole_square))
    return Num::whole_of(whole_square);
  // Not a float, or a range error the interpreter reports itself.
  PyObject* base = value.box();
  if (!base) return {};
  return Num::of(Ref::steal(PyNumber_Power(base, small_int<2>(), Py_None)));
}

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
  static VK_INLINE bool plain_part(PyObject* part, Num& out) {
    if (PyFloat_CheckExact(part)) {
      out.set(PyFloat_AS_DOUBLE(part));
      return true;
    }
    if (!PyLong_CheckExact(part)) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(part, &overflow);
    if (overflow) {
      out.held = Ref::borrow(part);
      out.kind = Num::object;
    } else {
      out.set_whole(v);
    }
    return true;
  }

  // The builtin numbers answer as their attributes do: an int's real part
  // is itself and its imaginary part the int 0, a float's are itself and
  // 0.0, a complex number's are floats.
  static bool read_parts(PyObject* obj, Num& real, Num& imag) {
    if (PyFloat_CheckExact(obj)) {
      real.set(PyFloat_AS_DOUBLE(obj));
      imag.set(0.0);
      return true;
    }
    if (PyLong_CheckExact(obj)) {
      imag.set_whole(0);
      return plain_part(obj, real);
    }
    if (PyComplex_CheckExact(obj)) {
      const Py_complex value = PyComplex_AsCComplex(obj);
      real.set(value.real);
      imag.set(value.imag);
      return true;
    }
    if (Py_TYPE(obj)->tp_dictoffset == 0) return false;
    const Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!dict) {
      PyErr_Clear();
      return false;
    }
    // Judged after getting the dict, which may have run code.
    return facts_of(Py_TYPE(obj)).plain_parts && PyDict_CheckExact(dict.get()) && read_dict(dict.get(), real, imag);
  }

  // The parts in an instance dict, by a scan instead of two lookups: a
  // lookup could compare "real" with a key of another type, which runs
  // that key's __eq__. Names set as attributes are interned.
  static bool read_dict(PyObject* dict, Num& real, Num& imag) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    if (size > kMaxScan) return false;
    PyObject* const real_name = "real"_id;
    PyObject* const imag_name = "imag"_id;
    PyObject* found[2] = {nullptr, nullptr};
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    // What __init__ leaves: the two names it set, in its order. Taken in
    // one straight line, with no branch that goes one way for one key and
    // the other way for the next.
    if (size == 2 && PyDict_Next(dict, &position, &key, &value) && key == real_name) {
      PyObject* second;
      if (PyDict_Next(dict, &position, &second, &found[1]) && second == imag_name)
        return plain_part(value, real) && plain_part(found[1], imag);
      position = 0;
      found[1] = nullptr;
    } else {
      position = 0;
    }
    for (Py_ssize_t seen = 0; seen < size && PyDict_Next(dict, &position, &key, &value); ++seen) {
      if (key == real_name) {
        found[0] = value;
      } else if (key == imag_name) {
        found[1] = value;
      } else if (!PyUnicode_CheckExact(key)) {
        return false;
      } else if (PyUnicode_GET_LENGTH(key) == 4) {
        if (PyUnicode_CompareWithASCIIString(key, "real") == 0) found[0] = value;
        if (PyUnicode_CompareWithASCIIString(key, "imag") == 0) found[1] = value;
      }
    }
    return found[0] && found[1] && plain_part(found[0], real) && plain_part(found[1], imag);
  }

  Num parts_[4];
};

// type(real, imag) for a class whose construction is plain: the instance
// made by object.__new__, and both parts stored as this module's
// __init__ stores them. It stands for two calls (the class, then __init__)
// and goes ahead only where both would be taken; otherwise, or when the
// class is not known to be plain, the call must be made (Outcome::general).
Outcome construct_plainly(PyTypeObject* type, PyObject* real, PyObject* imag, Ref& result) {
  if (!facts_of(type).plain_construction) return Outcome::general;
  if (!calls_would_be_taken(PyThreadState_Get(), 2, VK_STACK_ADDRESS())) return Outcome::general;
  // object.__new__ itself, which also lays out the instance's attribute
  // values; without arguments it checks none.
  static PyObject* const no_arguments = PyTuple_New(0);
  Ref instance = no_arguments ? Ref::steal(type->tp_new(type, no_arguments, nullptr)) : Ref();
  if (!instance) return Outcome::error;
  // Making the instance may have run finalizers: __init__ is judged after
  // it, as calling the class looks it up after making the instance.
  if (facts_of(type).plain_construction) {
    if (!store_parts(instance.get(), real, imag)) return Outcome::error;
  } else {
    Ref arguments = Ref::steal(PyTuple_Pack(2, real, imag));
    if (!arguments || type->tp_init(instance.get(), arguments.get(), nullptr) < 0) return Outcome::error;
  }
  result = std::move(instance);
  return Outcome::value;
}

// Calling the class (ComplexNumber, and the subclasses that call through
// it): with the two parts by position, the plain construction; any other
// call as the interpreter makes it for a class.
PyObject* complex_vectorcall(PyObject* cls, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (!kwnames && nargs == 2 && Py_IS_TYPE(cls, &PyType_Type)) {
    Ref result;
    switch (construct_plainly(reinterpret_cast<PyTypeObject*>(cls), args[0], args[1], result)) {
      case Outcome::value:
        return result.release();
      case Outcome::error:
        return nullptr;
      case Outcome::general:
        break;
    }
  }
  return _PyObject_MakeTpCall(PyThreadState_Get(), cls, args, nargs, kwnames);
}

Ref construct_nums(PyObject* cls, Num& real, Num& imag) {
  PyObject* real_object = real.box();
  PyObject* imag_object = real_object ? imag.box() : nullptr;
  return imag_object ? construct(cls, real_object, imag_object) : Ref();
}

// read(x) op read(y), reading x first.
Num pair(const ReadOnce& read, Part x, Op op, Part y) {
  Num left = read(x);
  if (!left.ok()) return {};
  Num right = read(y);
  if (!right.ok()) return {};
  return apply(op, std::move(left), std::move(right));
}

// (x1 * y1) op (x2 * y2)
Num combined(const ReadOnce& read, Part x1, Part y1, Op op, Part x2, Part y2) {
  Num first = pair(read, x1, Op::mul, y1);
  if (!first.ok()) return {};
  Num second = pair(read, x2, Op::mul, y2);
  if (!second.ok()) return {};
  return apply(op, std::move(first), std::move(second));
}

// ComplexNumber(real, imag) from two floats.
Ref construct_floats(PyObject* cls, double real, double imag) {
  const Ref real_part = Ref::steal(PyFloat_FromDouble(real));
  const Ref imag_part = real_part ? Ref::steal(PyFloat_FromDouble(imag)) : Ref();
  return imag_part ? construct(cls, real_part.get(), imag_part.get()) : Ref();
}

// ComplexNumber(real, imag) from two ints.
Ref construct_wholes(PyObject* cls, long long real, long long imag) {
  const Ref real_part = Ref::steal(PyLong_FromLongLong(real));
  const Ref imag_part = real_part ? Ref::steal(PyLong_FromLongLong(imag)) : Ref();
  return imag_part ? construct(cls, real_part.get(), imag_part.get()) : Ref();
}

// (a * b) op (c * d) in 64 bits; false when a step does not fit.
bool products(long long a, long long b, bool add, long long c, long long d, long long& out) {
  long long first, second;
  return !__builtin_mul_overflow(a, b, &first) && !__builtin_mul_overflow(c, d, &second) &&
         !(add ? __builtin_add_overflow(first, second, &out) : __builtin_sub_overflow(first, second, &out));
}

// return ComplexNumber(real_part, imag_part), the name looked up last.
Ref make(Num& real, Num& imag) {
  Ref cls = global("ComplexNumber"_id);
  return cls ? construct_nums(cls.get(), real, imag) : Ref();
}

Ref componentwise(PyObject* cls, const ReadOnce& read, ComplexOp op) {
  long long w[4], real_w, imag_w;
  if (read.wholes(w) && (op == ComplexOp::add ? !__builtin_add_overflow(w[self_real], w[other_real], &real_w) &&
                                                    !__builtin_add_overflow(w[self_imag], w[other_imag], &imag_w)
                                              : !__builtin_sub_overflow(w[self_real], w[other_real], &real_w) &&
                                                    !__builtin_sub_overflow(w[self_imag], w[other_imag], &imag_w)))
    return construct_wholes(cls, real_w, imag_w);
  const Op how = op == ComplexOp::add ? Op::add : Op::sub;
  Num real = pair(read, self_real, how, other_real);
  if (!real.ok()) return {};
  Num imag = pair(read, self_imag, how, other_imag);
  if (!imag.ok()) return {};
  return construct_nums(cls, real, imag);
}

Ref multiply(const ReadOnce& read) {
  double p[4];
  if (read.floats(p)) {
    const double real_part = p[self_real] * p[other_real] - p[self_imag] * p[other_imag];
    const double imag_part = p[self_real] * p[other_imag] + p[self_imag] * p[other_real];
    Ref cls = global("ComplexNumber"_id);
    return cls ? construct_floats(cls.get(), real_part, imag_part) : Ref();
  }
  long long w[4], real_w, imag_w;
  if (read.wholes(w) && products(w[self_real], w[other_real], false, w[self_imag], w[other_imag], real_w) &&
      products(w[self_real], w[other_imag], true, w[self_imag], w[other_real], imag_w)) {
    Ref cls = global("ComplexNumber"_id);
    return cls ? construct_wholes(cls.get(), real_w, imag_w) : Ref();
  }
  Num real_part = combined(read, self_real, other_real, Op::sub, self_imag, other_imag);
  if (!real_part.ok()) return {};
  Num imag_part = combined(read, self_real, other_imag, Op::add, self_imag, other_real);
  if (!imag_part.ok()) return {};
  return make(real_part, imag_part);
}

Ref divide(const ReadOnce& read) {
  double p[4];
  double real_square, imag_square;
  // A range error of a power or a zero denominator is left to the
  // interpreter's operations, which raise it.
  if (read.floats(p) && float_pow(p[other_real], 2.0, real_square) && float_pow(p[other_imag], 2.0, imag_square) &&
      real_square + imag_square != 0.0) {
    const double denominator = real_square + imag_square;
    const double real_part = (p[self_real] * p[other_real] + p[self_imag] * p[other_imag]) / denominator;
    const double imag_part = (p[self_imag] * p[other_real] - p[self_real] * p[other_imag]) / denominator;
    Ref cls = global("ComplexNumber"_id);
    return cls ? construct_floats(cls.get(), real_part, imag_part) : Ref();
  }
  // int / int is one float division while both are exactly floats.
  long long w[4], denominator_w, real_w, imag_w;
  if (read.wholes(w) && products(w[other_real], w[other_real], true, w[other_imag], w[other_imag], denominator_w) &&
      products(w[self_real], w[other_real], true, w[self_imag], w[other_imag], real_w) &&
      products(w[self_imag], w[other_real], false, w[self_real], w[other_imag], imag_w) && denominator_w != 0 &&
      std::llabs(denominator_w) <= kExactInFloat && std::llabs(real_w) <= kExactInFloat &&
      std::llabs(imag_w) <= kExactInFloat) {
    const double denominator = static_cast<double>(denominator_w);
    Ref cls = global("ComplexNumber"_id);
    return cls ? construct_floats(cls.get(), static_cast<double>(real_w) / denominator,
                                  static_cast<double>(imag_w) / denominator)
               : Ref();
  }
  Num real_square_n = squared(read(other_real));
  if (!real_square_n.ok()) return {};
  Num imag_square_n = squared(read(other_imag));
  if (!imag_square_n.ok()) return {};
  Num denominator = apply(Op::add, std::move(real_square_n), std::move(imag_square_n));
  if (!denominator.ok()) return {};
  Num real_sum = combined(read, self_real, other_real, Op::add, self_imag, other_imag);
  if (!real_sum.ok()) return {};
  Num real_part = apply(Op::div, std::move(real_sum), denominator.share());
  if (!real_part.ok()) return {};
  Num imag_difference = combined(read, self_imag, other_real, Op::sub, self_real, other_imag);
  if (!imag_difference.ok()) return {};
  Num imag_part = apply(Op::div, std::move(imag_difference), std::move(denominator));
  if (!imag_part.ok()) return {};
  return make(real_part, imag_part);
}

// The text of an exact int or float part as an f-string field gives it,
// which for both is str(): the shortest repr for a float. ASCII, kept here
// until the result is made; make() is false with an exception set on
// failure.
class PartText {
 public:
  bool make(Num& part) {
    if (part.kind == Num::real) {
      owned_ = PyOS_double_to_string(part.value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
      if (!owned_) return false;
      text_ = owned_;
      size_ = std::strlen(owned_);
      return true;
    }
    if (part.kind == Num::whole) {
      size_ = static_cast<std::size_t>(std::to_chars(buffer_, buffer_ + sizeof(buffer_), part.integer).ptr - buffer_);
      text_ = buffer_;
      return true;
    }
    // Larger ints keep the interpreter's conversion and its digit limit.
    str_ = Ref::steal(PyObject_Str(part.held.get()));
    Py_ssize_t size = 0;
    text_ = str_ ? PyUnicode_AsUTF8AndSize(str_.get(), &size) : nullptr;
    size_ = static_cast<std::size_t>(size);
    return text_ != nullptr;
  }
  ~PartText() { PyMem_Free(owned_); }

  const char* text() const { return text_; }
  std::size_t size() const { return size_; }

 private:
  char buffer_[24];
  char* owned_ = nullptr;
  Ref str_;
  const char* text_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace

bool store_parts(PyObject* self, PyObject* real, PyObject* imag) {
  return set_attribute(self, "real"_id, real) == 0 && set_attribute(self, "imag"_id, imag) == 0;
}

Ref construct(PyObject* cls, PyObject* real, PyObject* imag) {
  if (Py_IS_TYPE(cls, &PyType_Type)) {
    Ref result;
    switch (construct_plainly(reinterpret_cast<PyTypeObject*>(cls), real, imag, result)) {
      case Outcome::value:
        return result;
      case Outcome::error:
        return {};
      case Outcome::general:
        break;
    }
  }
  return call(cls, real, imag);
}

bool complex_made(PyObject* cls) {
  reinterpret_cast<PyTypeObject*>(cls)->tp_vectorcall = complex_vectorcall;
  return true;
}

Outcome operate_once(ComplexOp op, PyObject* cls, PyObject* self, PyObject* other, Ref& result) {
  ReadOnce once;
  if (!once.read(self, other)) return Outcome::general;
  switch (op) {
    case ComplexOp::add:
    case ComplexOp::sub: {
      double p[4];
      if (once.floats(p)) {
        result = op == ComplexOp::add
                     ? construct_floats(cls, p[self_real] + p[other_real], p[self_imag] + p[other_imag])
                     : construct_floats(cls, p[self_real] - p[other_real], p[self_imag] - p[other_imag]);
      } else {
        result = componentwise(cls, once, op);
      }
      break;
    }
    case ComplexOp::mul:
      result = multiply(once);
      break;
    case ComplexOp::div:
      result = divide(once);
      break;
  }
  return result ? Outcome::value : Outcome::error;
}

Outcome text_once(PyObject* self, Ref& result) {
  ReadOnce once;
  if (!once.read(self)) return Outcome::general;
  Num real = once(self_real);
  Num imag = once(self_imag);
  PartText real_text, imag_text;
  if (!real_text.make(real) || !imag_text.make(imag)) return Outcome::error;
  constexpr char kJoin[] = " + ";
  constexpr std::size_t kJoinSize = sizeof(kJoin) - 1;
  const std::size_t size = real_text.size() + kJoinSize + imag_text.size() + 1;
  result = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
  if (!result) return Outcome::error;
  char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result.get()));
  out = std::copy_n(real_text.text(), real_text.size(), out);
  out = std::copy_n(kJoin, kJoinSize, out);
  out = std::copy_n(imag_text.text(), imag_text.size(), out);
  *out = 'i';
  return Outcome::value;
}

}  // namespace vk::numeric
