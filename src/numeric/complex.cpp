// The methods of ComplexNumber as they are written: a real and an
// imaginary part kept as instance attributes, four arithmetic operators
// and a text form. The operands' parts are read by attribute access at
// every use, and results are built by calling the module-level name
// ComplexNumber at the time of the call. Each method first offers its work
// to a shortcut (complex_fast.hpp), which declines whenever it cannot show
// that it gives the same.
#include "core/state.hpp"
#include "numeric/complex_fast.hpp"
#include "numeric/numeric.hpp"

namespace vk::numeric {
namespace {

using namespace literals;

// The operators take (self, other).
using Operands = Args<"self", "other">;

// self.real = real; self.imag = imag
PyObject* init_impl(Function*, Args<"self", "real", "imag"> args) {
  if (!store_parts(args.get<"self">(), args.get<"real">(), args.get<"imag">())) return nullptr;
  Py_RETURN_NONE;
}

// a.<x> op b.<y>, reading a.<x> first.
Ref read_op(binaryfunc op, PyObject* a, PyObject* x, PyObject* b, PyObject* y) {
  const Ref left = getattr(a, x);
  if (!left) return {};
  const Ref right = getattr(b, y);
  if (!right) return {};
  return Ref::steal(op(left.get(), right.get()));
}

// (self.<x1> * other.<y1>) op (self.<x2> * other.<y2>)
Ref products(binaryfunc op, PyObject* self, PyObject* other, PyObject* x1, PyObject* y1, PyObject* x2,
             PyObject* y2) {
  const Ref first = read_op(PyNumber_Multiply, self, x1, other, y1);
  if (!first) return {};
  const Ref second = read_op(PyNumber_Multiply, self, x2, other, y2);
  if (!second) return {};
  return Ref::steal(op(first.get(), second.get()));
}

// other.<part> ** 2
Ref squared(PyObject* other, PyObject* part) {
  const Ref value = getattr(other, part);
  if (!value) return {};
  const Ref two = Ref::steal(PyLong_FromLong(2));
  if (!two) return {};
  return Ref::steal(PyNumber_Power(value.get(), two.get(), Py_None));
}

// return ComplexNumber(real_part, imag_part), the name looked up last.
PyObject* make(const Ref& real_part, const Ref& imag_part) {
  const Ref cls = global("ComplexNumber"_id);
  return cls ? construct(cls.get(), real_part.get(), imag_part.get()).release() : nullptr;
}

// The shortcut's answer, or null with nothing set when the method must run
// as written.
PyObject* taken(Outcome outcome, Ref& result, bool& done) {
  done = outcome != Outcome::general;
  return outcome == Outcome::value ? result.release() : nullptr;
}

// return ComplexNumber(self.real op other.real, self.imag op other.imag),
// the name looked up first.
PyObject* componentwise(Operands args, ComplexOp which, binaryfunc op) {
  const Ref cls = global("ComplexNumber"_id);
  if (!cls) return nullptr;
  // The lookup can run code (a namespace key's __eq__), so the parts are
  // judged after it.
  Ref result;
  bool done;
  PyObject* answer =
      taken(operate_once(which, cls.get(), args.get<"self">(), args.get<"other">(), result), result, done);
  if (done) return answer;
  const Ref real = read_op(op, args.get<"self">(), "real"_id, args.get<"other">(), "real"_id);
  if (!real) return nullptr;
  const Ref imag = read_op(op, args.get<"self">(), "imag"_id, args.get<"other">(), "imag"_id);
  if (!imag) return nullptr;
  return construct(cls.get(), real.get(), imag.get()).release();
}

PyObject* add_impl(Function*, Operands args) { return componentwise(args, ComplexOp::add, PyNumber_Add); }
PyObject* sub_impl(Function*, Operands args) { return componentwise(args, ComplexOp::sub, PyNumber_Subtract); }

// real_part = self.real * other.real - self.imag * other.imag
// imag_part = self.real * other.imag + self.imag * other.real
PyObject* mul_impl(Function*, Operands args) {
  PyObject* const self = args.get<"self">();
  PyObject* const other = args.get<"other">();
  Ref result;
  bool done;
  PyObject* answer = taken(operate_once(ComplexOp::mul, nullptr, self, other, result), result, done);
  if (done) return answer;
  const Ref real_part = products(PyNumber_Subtract, self, other, "real"_id, "real"_id, "imag"_id, "imag"_id);
  if (!real_part) return nullptr;
  const Ref imag_part = products(PyNumber_Add, self, other, "real"_id, "imag"_id, "imag"_id, "real"_id);
  if (!imag_part) return nullptr;
  return make(real_part, imag_part);
}

// denominator = other.real ** 2 + other.imag ** 2
// real_part = (self.real * other.real + self.imag * other.imag) / denominator
// imag_part = (self.imag * other.real - self.real * other.imag) / denominator
PyObject* truediv_impl(Function*, Operands args) {
  PyObject* const self = args.get<"self">();
  PyObject* const other = args.get<"other">();
  Ref result;
  bool done;
  PyObject* answer = taken(operate_once(ComplexOp::div, nullptr, self, other, result), result, done);
  if (done) return answer;
  const Ref real_square = squared(other, "real"_id);
  if (!real_square) return nullptr;
  const Ref imag_square = squared(other, "imag"_id);
  if (!imag_square) return nullptr;
  const Ref denominator = Ref::steal(PyNumber_Add(real_square.get(), imag_square.get()));
  if (!denominator) return nullptr;
  const Ref real_sum = products(PyNumber_Add, self, other, "real"_id, "real"_id, "imag"_id, "imag"_id);
  if (!real_sum) return nullptr;
  const Ref real_part = Ref::steal(PyNumber_TrueDivide(real_sum.get(), denominator.get()));
  if (!real_part) return nullptr;
  const Ref imag_difference = products(PyNumber_Subtract, self, other, "imag"_id, "real"_id, "real"_id, "imag"_id);
  if (!imag_difference) return nullptr;
  const Ref imag_part = Ref::steal(PyNumber_TrueDivide(imag_difference.get(), denominator.get()));
  if (!imag_part) return nullptr;
  return make(real_part, imag_part);
}

// f"{self.real} + {self.imag}i"
PyObject* str_impl(Function*, Args<"self"> args) {
  Ref result;
  bool done;
  PyObject* answer = taken(text_once(args.get<"self">(), result), result, done);
  if (done) return answer;
  const Ref real = getattr(args.get<"self">(), "real"_id);
  if (!real) return nullptr;
  const Ref real_text = format(real.get());
  if (!real_text) return nullptr;
  const Ref imag = getattr(args.get<"self">(), "imag"_id);
  if (!imag) return nullptr;
  const Ref imag_text = format(imag.get());
  if (!imag_text) return nullptr;
  return concat({real_text.get(), " + "_id, imag_text.get(), "i"_id}).release();
}

}  // namespace

const FunctionDef complex_init{.name = "__init__", .impl = impl<init_impl>};
const FunctionDef complex_add{.name = "__add__", .impl = impl<add_impl>};
const FunctionDef complex_sub{.name = "__sub__", .impl = impl<sub_impl>};
const FunctionDef complex_mul{.name = "__mul__", .impl = impl<mul_impl>};
const FunctionDef complex_truediv{.name = "__truediv__", .impl = impl<truediv_impl>};
const FunctionDef complex_str{.name = "__str__", .impl = impl<str_impl>};

}  // namespace vk::numeric
