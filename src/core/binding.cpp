// The argument binder: a call's arguments bound to a function's parameters.
#include "core/binding.hpp"

#include <algorithm>

namespace vk {
namespace {

bool count_error(PyObject* name, const char* how, Py_ssize_t expected, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%U() takes %s %zd positional argument%s (%zd given)", name, how, expected,
               expected == 1 ? "" : "s", given);
  return false;
}

// Index of a keyword among the named parameters (positional, then
// keyword-only); -1 on a miss, -2 with an exception set when a comparison
// failed. The same object is found first; then equal names, compared as
// the interpreter compares them (a str subclass's __eq__ runs).
Py_ssize_t find_keyword(PyObject* names, PyObject* key) {
  const Py_ssize_t n = PyTuple_GET_SIZE(names);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyTuple_GET_ITEM(names, i) == key) return i;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(names, i), key, Py_EQ);
    if (eq < 0) return -2;
    if (eq) return i;
  }
  return -1;
}

}  // namespace

bool bind(const Parameters& p, PyObject* name, PyObject* defaults, PyObject* kwdefaults, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, BoundArguments& bound) {
  const Py_ssize_t npos = p.positional;
  const Py_ssize_t kwonly_base = npos + (p.varargs ? 1 : 0);
  const DefaultLayout layout = default_layout(npos, defaults);
  const bool exact = layout.required == npos && !p.varargs;

  if (nargs > npos && !p.varargs) {
    if (npos == 0) {
      PyErr_Format(PyExc_TypeError, "%U() takes no arguments (%zd given)", name, nargs);
      return false;
    }
    return count_error(name, exact ? "exactly" : "at most", npos, nargs);
  }
  for (Py_ssize_t i = 0; i < std::min(nargs, npos); ++i) bound[i] = args[i];
  if (p.varargs) {
    const Py_ssize_t extra = nargs > npos ? nargs - npos : 0;
    PyObject* tuple = PyTuple_New(extra);
    if (!tuple) return false;
    for (Py_ssize_t i = 0; i < extra; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[npos + i]));
    bound.own(npos, tuple);
  }

  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", name);
        return false;
      }
      const Py_ssize_t index = find_keyword(p.names, key);
      if (index == -2) return false;
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", name, key);
        return false;
      }
      const Py_ssize_t slot = index < npos ? index : kwonly_base + (index - npos);
      if (bound[slot]) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for keyword argument '%U'", name, key);
        return false;
      }
      bound[slot] = args[nargs + k];
    }
  }

  for (Py_ssize_t i = nargs; i < npos; ++i) {
    if (bound[i]) continue;
    if (i < layout.required) return count_error(name, exact ? "exactly" : "at least", layout.required, nargs);
    bound[i] = PyTuple_GET_ITEM(defaults, layout.offset + i);
  }
  for (Py_ssize_t j = 0; j < p.kwonly; ++j) {
    const Py_ssize_t slot = kwonly_base + j;
    if (bound[slot]) continue;
    PyObject* parameter = PyTuple_GET_ITEM(p.names, npos + j);
    // Taken at once: a lookup can run a colliding key's __eq__, and the
    // dict may drop the value before the call is over.
    PyObject* value = kwdefaults ? PyDict_GetItemWithError(kwdefaults, parameter) : nullptr;
    if (!value) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "%U() missing 1 required keyword-only argument: '%U'", name, parameter);
      return false;
    }
    bound.own(slot, Py_NewRef(value));
  }
  return true;
}

}  // namespace vk
