// The methods of ComplexNumber: a real and an imaginary part kept as
// instance attributes, four arithmetic operators and a text form. The
// operands' parts are read anew at every use, and results are built by
// calling the module-level name ComplexNumber at the time of the call.
#include "numeric/fast.hpp"
#include "numeric/numeric.hpp"

namespace vk::numeric {
namespace {

using namespace literals;

// self.real = real; self.imag = imag
PyObject* init_impl(Function*, Args args) {
  if (PyObject_SetAttr(args[0], "real"_id, args[1]) < 0) return nullptr;
  if (PyObject_SetAttr(args[0], "imag"_id, args[2]) < 0) return nullptr;
  Py_RETURN_NONE;
}

using BinaryOp = PyObject* (*)(PyObject*, PyObject*);

// a.<name> op b.<name>
Ref part(PyObject* a, PyObject* b, PyObject* name, BinaryOp op) {
  Ref left = getattr(a, name);
  if (!left) return {};
  Ref right = getattr(b, name);
  if (!right) return {};
  return Ref::steal(op(left.get(), right.get()));
}

// a.<x> * b.<y>
Ref product(PyObject* a, PyObject* x, PyObject* b, PyObject* y) {
  Ref left = getattr(a, x);
  if (!left) return {};
  Ref right = getattr(b, y);
  if (!right) return {};
  return Ref::steal(PyNumber_Multiply(left.get(), right.get()));
}

// (a.<x1> * b.<y1>) op (a.<x2> * b.<y2>)
Ref combined(PyObject* a, PyObject* b, PyObject* x1, PyObject* y1, BinaryOp op, PyObject* x2, PyObject* y2) {
  Ref first = product(a, x1, b, y1);
  if (!first) return {};
  Ref second = product(a, x2, b, y2);
  if (!second) return {};
  return Ref::steal(op(first.get(), second.get()));
}

// cls(real, imag). For a plain class made by `type` whose instances come
// from object.__new__ and whose __init__ is this module's own, the
// instance is made and initialised directly, which is what calling the
// class does then.
PyObject* construct(PyObject* cls, PyObject* real, PyObject* imag) {
  if (Py_IS_TYPE(cls, &PyType_Type)) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && type->tp_new == PyBaseObject_Type.tp_new) {
      PyObject* init = _PyType_Lookup(type, "__init__"_id);
      if (init && Py_IS_TYPE(init, frame.function_type) && reinterpret_cast<Function*>(init)->def == &complex_init) {
        Ref no_arguments = Ref::steal(PyTuple_New(0));
        if (!no_arguments) return nullptr;
        Ref instance = Ref::steal(type->tp_new(type, no_arguments.get(), nullptr));
        if (!instance) return nullptr;
        PyObject* args[] = {instance.get(), real, imag};
        Ref none = Ref::steal(init_impl(reinterpret_cast<Function*>(init), args));
        return none ? instance.release() : nullptr;
      }
    }
  }
  return call(cls, real, imag).release();
}

// return ComplexNumber(self.real op other.real, self.imag op other.imag)
PyObject* componentwise(Args args, BinaryOp op) {
  Ref cls = global("ComplexNumber"_id);
  if (!cls) return nullptr;
  Ref real = part(args[0], args[1], "real"_id, op);
  if (!real) return nullptr;
  Ref imag = part(args[0], args[1], "imag"_id, op);
  if (!imag) return nullptr;
  return construct(cls.get(), real.get(), imag.get());
}

PyObject* add_impl(Function*, Args args) { return componentwise(args, PyNumber_Add); }
PyObject* sub_impl(Function*, Args args) { return componentwise(args, PyNumber_Subtract); }

PyObject* make(PyObject* real, PyObject* imag) {
  Ref cls = global("ComplexNumber"_id);
  return cls ? construct(cls.get(), real, imag) : nullptr;
}

PyObject* mul_impl(Function*, Args args) {
  PyObject* self = args[0];
  PyObject* other = args[1];
  Ref real_part = combined(self, other, "real"_id, "real"_id, PyNumber_Subtract, "imag"_id, "imag"_id);
  if (!real_part) return nullptr;
  Ref imag_part = combined(self, other, "real"_id, "imag"_id, PyNumber_Add, "imag"_id, "real"_id);
  if (!imag_part) return nullptr;
  return make(real_part.get(), imag_part.get());
}

// other.<name> ** 2
Ref squared(PyObject* other, PyObject* name, PyObject* two) {
  Ref value = getattr(other, name);
  return value ? Ref::steal(PyNumber_Power(value.get(), two, Py_None)) : Ref();
}

PyObject* truediv_impl(Function*, Args args) {
  PyObject* self = args[0];
  PyObject* other = args[1];
  Ref two = Ref::steal(PyLong_FromLong(2));
  if (!two) return nullptr;
  Ref real_square = squared(other, "real"_id, two.get());
  if (!real_square) return nullptr;
  Ref imag_square = squared(other, "imag"_id, two.get());
  if (!imag_square) return nullptr;
  Ref denominator = Ref::steal(PyNumber_Add(real_square.get(), imag_square.get()));
  if (!denominator) return nullptr;
  Ref real_sum = combined(self, other, "real"_id, "real"_id, PyNumber_Add, "imag"_id, "imag"_id);
  if (!real_sum) return nullptr;
  Ref real_part = Ref::steal(PyNumber_TrueDivide(real_sum.get(), denominator.get()));
  if (!real_part) return nullptr;
  Ref imag_difference = combined(self, other, "imag"_id, "real"_id, PyNumber_Subtract, "real"_id, "imag"_id);
  if (!imag_difference) return nullptr;
  Ref imag_part = Ref::steal(PyNumber_TrueDivide(imag_difference.get(), denominator.get()));
  if (!imag_part) return nullptr;
  return make(real_part.get(), imag_part.get());
}

// f"{self.real} + {self.imag}i"
PyObject* str_impl(Function*, Args args) {
  Ref real = getattr(args[0], "real"_id);
  Ref real_text = real ? format(real.get()) : Ref();
  if (!real_text) return nullptr;
  Ref imag = getattr(args[0], "imag"_id);
  Ref imag_text = imag ? format(imag.get()) : Ref();
  if (!imag_text) return nullptr;
  return concat({real_text.get(), " + "_id, imag_text.get(), "i"_id}).release();
}

}  // namespace

const FunctionDef complex_init{"__init__", {"self", "real", "imag"}, init_impl};
const FunctionDef complex_add{"__add__", {"self", "other"}, add_impl};
const FunctionDef complex_sub{"__sub__", {"self", "other"}, sub_impl};
const FunctionDef complex_mul{"__mul__", {"self", "other"}, mul_impl};
const FunctionDef complex_truediv{"__truediv__", {"self", "other"}, truediv_impl};
const FunctionDef complex_str{"__str__", {"self"}, str_impl};

}  // namespace vk::numeric
