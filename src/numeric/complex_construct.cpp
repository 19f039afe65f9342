// ComplexNumber's class facts, and its instances made directly where calling the class does just that.
#include "core/recursion.hpp"
#include "core/state.hpp"
#include "numeric/complex_facts.hpp"
#include "numeric/complex_fast.hpp"
#include "numeric/numeric.hpp"

#include <cstdint>
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

// A few classes besides the last one, by address.
FactsEntry facts_cache[8];

}  // namespace

FactsEntry detail::last_class;

VK_NOINLINE ClassFacts detail::facts_of_another(PyTypeObject* type) {
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

namespace {

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
  // The interpreter's shared empty tuple; were it ever missing, every
  // construction would take the general call rather than fail.
  static PyObject* const no_arguments = [] {
    PyObject* empty = PyTuple_New(0);
    if (!empty) PyErr_Clear();
    return empty;
  }();
  if (!no_arguments) return Outcome::general;
  Ref instance = Ref::steal(type->tp_new(type, no_arguments, nullptr));
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

}  // namespace vk::numeric
