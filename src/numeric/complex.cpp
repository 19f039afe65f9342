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

// An intermediate value of the operators: an exact float kept as a C
// double, or any other object. Operations on floats have no side effects,
// so a float that is only an intermediate result never needs an object.
struct Num {
  Ref object;
  double value = 0.0;
  bool unboxed = false;

  static Num of(Ref o) {
    if (o && PyFloat_CheckExact(o.get())) return {Ref(), PyFloat_AS_DOUBLE(o.get()), true};
    return {std::move(o)};
  }
  static Num of(double v) { return {Ref(), v, true}; }
  bool ok() const { return unboxed || object; }
  PyObject* box() {
    if (unboxed) {
      object = Ref::steal(PyFloat_FromDouble(value));
      unboxed = false;
    }
    return object.get();
  }
};

enum class Op { add, sub, mul, div };

// a op b, as the interpreter's operator computes it.
Num apply(Op op, Num a, Num b) {
  if (a.unboxed && b.unboxed) {
    switch (op) {
      case Op::add:
        return Num::of(a.value + b.value);
      case Op::sub:
        return Num::of(a.value - b.value);
      case Op::mul:
        return Num::of(a.value * b.value);
      case Op::div:
        if (b.value != 0.0) return Num::of(a.value / b.value);
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

Num read(PyObject* obj, PyObject* name) { return Num::of(getattr(obj, name)); }

// a.<x> op b.<y>, reading a.<x> first.
Num pair(PyObject* a, PyObject* x, Op op, PyObject* b, PyObject* y) {
  Num left = read(a, x);
  if (!left.ok()) return {};
  Num right = read(b, y);
  if (!right.ok()) return {};
  return apply(op, std::move(left), std::move(right));
}

// (a.<x1> * b.<y1>) op (a.<x2> * b.<y2>)
Num combined(PyObject* a, PyObject* b, PyObject* x1, PyObject* y1, Op op, PyObject* x2, PyObject* y2) {
  Num first = pair(a, x1, Op::mul, b, y1);
  if (!first.ok()) return {};
  Num second = pair(a, x2, Op::mul, b, y2);
  if (!second.ok()) return {};
  return apply(op, std::move(first), std::move(second));
}

// other.<name> ** 2
Num squared(PyObject* other, PyObject* name) {
  Num value = read(other, name);
  if (!value.ok()) return {};
  double square;
  if (value.unboxed && float_pow(value.value, 2.0, square)) return Num::of(square);
  // Not a float, or a range error the interpreter reports itself.
  PyObject* base = value.box();
  Ref two = Ref::steal(PyLong_FromLong(2));
  if (!base || !two) return {};
  return Num::of(Ref::steal(PyNumber_Power(base, two.get(), Py_None)));
}

// cls(real, imag). For a plain class made by `type` whose instances come
// from object.__new__ and whose __init__ is this module's own, the
// instance is made and initialised directly, which is what calling the
// class does then.
PyObject* construct(PyObject* cls, PyObject* real, PyObject* imag) {
  if (Py_IS_TYPE(cls, &PyType_Type)) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && type->tp_new == PyBaseObject_Type.tp_new) {
      // Held: setting the attributes can run a class's __setattr__, which
      // may replace __init__ meanwhile.
      const Ref init = Ref::borrow(_PyType_Lookup(type, "__init__"_id));
      if (init && Py_IS_TYPE(init.get(), state().function_type) &&
          reinterpret_cast<Function*>(init.get())->def == &complex_init) {
        Ref no_arguments = Ref::steal(PyTuple_New(0));
        if (!no_arguments) return nullptr;
        Ref instance = Ref::steal(type->tp_new(type, no_arguments.get(), nullptr));
        if (!instance) return nullptr;
        PyObject* args[] = {instance.get(), real, imag};
        Ref none = Ref::steal(init_impl(reinterpret_cast<Function*>(init.get()), args));
        return none ? instance.release() : nullptr;
      }
    }
  }
  return call(cls, real, imag).release();
}

PyObject* construct(PyObject* cls, Num& real, Num& imag) {
  PyObject* real_object = real.box();
  PyObject* imag_object = real_object ? imag.box() : nullptr;
  return imag_object ? construct(cls, real_object, imag_object) : nullptr;
}

// return ComplexNumber(self.real op other.real, self.imag op other.imag)
PyObject* componentwise(Args args, Op op) {
  Ref cls = global("ComplexNumber"_id);
  if (!cls) return nullptr;
  Num real = pair(args[0], "real"_id, op, args[1], "real"_id);
  if (!real.ok()) return nullptr;
  Num imag = pair(args[0], "imag"_id, op, args[1], "imag"_id);
  if (!imag.ok()) return nullptr;
  return construct(cls.get(), real, imag);
}

PyObject* add_impl(Function*, Args args) { return componentwise(args, Op::add); }
PyObject* sub_impl(Function*, Args args) { return componentwise(args, Op::sub); }

// return ComplexNumber(real_part, imag_part), the name looked up last.
PyObject* make(Num& real, Num& imag) {
  Ref cls = global("ComplexNumber"_id);
  return cls ? construct(cls.get(), real, imag) : nullptr;
}

PyObject* mul_impl(Function*, Args args) {
  PyObject* self = args[0];
  PyObject* other = args[1];
  Num real_part = combined(self, other, "real"_id, "real"_id, Op::sub, "imag"_id, "imag"_id);
  if (!real_part.ok()) return nullptr;
  Num imag_part = combined(self, other, "real"_id, "imag"_id, Op::add, "imag"_id, "real"_id);
  if (!imag_part.ok()) return nullptr;
  return make(real_part, imag_part);
}

PyObject* truediv_impl(Function*, Args args) {
  PyObject* self = args[0];
  PyObject* other = args[1];
  Num real_square = squared(other, "real"_id);
  if (!real_square.ok()) return nullptr;
  Num imag_square = squared(other, "imag"_id);
  if (!imag_square.ok()) return nullptr;
  Num denominator = apply(Op::add, std::move(real_square), std::move(imag_square));
  if (!denominator.ok()) return nullptr;
  Num real_sum = combined(self, other, "real"_id, "real"_id, Op::add, "imag"_id, "imag"_id);
  if (!real_sum.ok()) return nullptr;
  // The denominator is used twice; a boxed one is shared, not moved.
  auto divide = [&denominator](Num numerator) {
    Num copy = denominator.unboxed ? Num::of(denominator.value) : Num{denominator.object};
    return apply(Op::div, std::move(numerator), std::move(copy));
  };
  Num real_part = divide(std::move(real_sum));
  if (!real_part.ok()) return nullptr;
  Num imag_difference = combined(self, other, "imag"_id, "real"_id, Op::sub, "real"_id, "imag"_id);
  if (!imag_difference.ok()) return nullptr;
  Num imag_part = divide(std::move(imag_difference));
  if (!imag_part.ok()) return nullptr;
  return make(real_part, imag_part);
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

const FunctionDef complex_init{.name = "__init__", .positional = {"self", "real", "imag"}, .impl = init_impl};
const FunctionDef complex_add{.name = "__add__", .positional = {"self", "other"}, .impl = add_impl};
const FunctionDef complex_sub{.name = "__sub__", .positional = {"self", "other"}, .impl = sub_impl};
const FunctionDef complex_mul{.name = "__mul__", .positional = {"self", "other"}, .impl = mul_impl};
const FunctionDef complex_truediv{.name = "__truediv__", .positional = {"self", "other"}, .impl = truediv_impl};
const FunctionDef complex_str{.name = "__str__", .positional = {"self"}, .impl = str_impl};

}  // namespace vk::numeric
