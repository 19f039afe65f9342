// ComplexNumber's parts read once: each operand's parts taken from a builtin number or its instance dict.
#include "numeric/complex_parts.hpp"

namespace vk::numeric {

using namespace literals;

VK_INLINE bool ReadOnce::plain_part(PyObject* part, Num& out) {
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

// A lookup could compare "real" with a key of another type, which runs
// that key's __eq__: the keys are scanned instead. Names set as attributes
// are interned.
VK_INLINE bool ReadOnce::read_dict(PyObject* dict, Num& real, Num& imag) {
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

bool ReadOnce::read_parts(PyObject* obj, Num& real, Num& imag) {
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

}  // namespace vk::numeric
