#include "core/function.hpp"

#include "core/errors.hpp"
#include "core/recursion.hpp"
#include "core/state.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <cstdint>
#include <utility>

// Kept out of the call's fast path, whose frame then stays small.
#if defined(_MSC_VER)
#define VK_NOINLINE __declspec(noinline)
#else
#define VK_NOINLINE __attribute__((noinline))
#endif

namespace vk {
namespace {

using namespace literals;

constexpr std::size_t kMaxSlots = 16;

Function* as_function(PyObject* o) { return reinterpret_cast<Function*>(o); }

Py_ssize_t positional_count(const Function* f) { return static_cast<Py_ssize_t>(f->def->positional.size()); }
Py_ssize_t kwonly_count(const Function* f) { return static_cast<Py_ssize_t>(f->def->kwonly.size()); }
bool has_varargs(const Function* f) { return f->def->varargs != nullptr; }

// Where the positional defaults sit. A defaults tuple longer than the
// positional parameters gives them its last items, as for a def.
struct DefaultLayout {
  Py_ssize_t required;  // positional parameters without a default
  Py_ssize_t offset;    // parameter i >= required defaults to defaults[offset + i]
};

DefaultLayout default_layout(Py_ssize_t npos, PyObject* defaults) {
  const Py_ssize_t given = defaults ? PyTuple_GET_SIZE(defaults) : 0;
  return {npos - std::min(given, npos), given - npos};
}

PyObject* count_error(const Function* f, const char* how, Py_ssize_t expected, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%U() takes %s %zd positional argument%s (%zd given)", f->name, how, expected,
               expected == 1 ? "" : "s", given);
  return nullptr;
}

// Index of a keyword among the named parameters (positional, then
// keyword-only), or -1. Sets nothing on a miss.
Py_ssize_t find_keyword(const Function* f, PyObject* key) {
  const Py_ssize_t n = PyTuple_GET_SIZE(f->varnames);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyTuple_GET_ITEM(f->varnames, i) == key) return i;
  for (Py_ssize_t i = 0; i < n; ++i) {
    int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->varnames, i), key, Py_EQ);
    if (eq < 0) return -2;
    if (eq) return i;
  }
  return -1;
}

// The bound arguments of one call. Most are borrowed from the caller or
// the held defaults; the ones the call owns (the *args tuple, keyword-only
// defaults that the dict may drop meanwhile) are marked and released at
// the end. One array, so that a chain of calls through the module keeps
// its stack frames small.
class Slots {
 public:
  explicit Slots(Py_ssize_t n) {
    // Only the slots this function has are cleared: zeroing whole arrays
    // costs more than the binding itself.
    for (Py_ssize_t i = 0; i < n; ++i) items_[i] = nullptr;
  }
  Slots(const Slots&) = delete;
  Slots& operator=(const Slots&) = delete;
  ~Slots() {
    for (std::size_t i = 0; owned_ >> i; ++i)
      if ((owned_ >> i) & 1U) Py_DECREF(items_[i]);
  }
  PyObject*& operator[](Py_ssize_t i) { return items_[i]; }
  void own(Py_ssize_t i, PyObject* reference) {
    items_[i] = reference;
    owned_ |= std::uint32_t{1} << i;
  }
  Args get() const { return items_; }

 private:
  static_assert(kMaxSlots < 32);
  PyObject* items_[kMaxSlots];
  std::uint32_t owned_ = 0;
};

// The body of a call: the impl, and on failure a traceback entry for this
// function, as the frame of a def adds one.
void add_traceback_entry(Function* f);

inline PyObject* run(Function* f, Args args) {
  PyObject* result = f->def->impl(f, args);
  if (!result) [[unlikely]] add_traceback_entry(f);
  return result;
}

VK_NOINLINE PyObject* bind_and_call(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t npos = positional_count(f);
  const Py_ssize_t nkwonly = kwonly_count(f);
  const bool var = has_varargs(f);
  const Py_ssize_t kwonly_base = npos + (var ? 1 : 0);

  // Binding can run Python code (a keyword's __eq__, a key's __hash__ in
  // the keyword defaults) that replaces these fields: each is read once and
  // held until the call returns.
  const Ref defaults = Ref::borrow(f->defaults);
  const Ref kwdefaults = Ref::borrow(f->kwdefaults);
  const DefaultLayout layout = default_layout(npos, defaults.get());
  const bool exact = layout.required == npos && !var;

  Slots slots(kwonly_base + nkwonly);

  if (nargs > npos && !var) {
    if (npos == 0) {
      PyErr_Format(PyExc_TypeError, "%U() takes no arguments (%zd given)", f->name, nargs);
      return nullptr;
    }
    return count_error(f, exact ? "exactly" : "at most", npos, nargs);
  }
  for (Py_ssize_t i = 0; i < std::min(nargs, npos); ++i) slots[i] = args[i];
  if (var) {
    const Py_ssize_t extra = nargs > npos ? nargs - npos : 0;
    Ref tuple = Ref::steal(PyTuple_New(extra));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < extra; ++i) {
      Py_INCREF(args[npos + i]);
      PyTuple_SET_ITEM(tuple.get(), i, args[npos + i]);
    }
    slots.own(npos, tuple.release());
  }

  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->name);
        return nullptr;
      }
      const Py_ssize_t index = find_keyword(f, key);
      if (index == -2) return nullptr;
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", f->name, key);
        return nullptr;
      }
      const Py_ssize_t slot = index < npos ? index : kwonly_base + (index - npos);
      if (slots[slot]) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for keyword argument '%U'", f->name, key);
        return nullptr;
      }
      slots[slot] = args[nargs + k];
    }
  }

  for (Py_ssize_t i = nargs; i < npos; ++i) {
    if (slots[i]) continue;
    if (i < layout.required) return count_error(f, exact ? "exactly" : "at least", layout.required, nargs);
    slots[i] = PyTuple_GET_ITEM(defaults.get(), layout.offset + i);
  }
  for (Py_ssize_t j = 0; j < nkwonly; ++j) {
    const Py_ssize_t slot = kwonly_base + j;
    if (slots[slot]) continue;
    PyObject* name = PyTuple_GET_ITEM(f->varnames, npos + j);
    PyObject* value = kwdefaults ? PyDict_GetItemWithError(kwdefaults.get(), name) : nullptr;
    if (!value) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "%U() missing 1 required keyword-only argument: '%U'", f->name, name);
      return nullptr;
    }
    slots.own(slot, Py_NewRef(value));
  }
  return run(f, slots.get());
}

// The function, its arguments and its keyword names, held for the whole
// call as a def's frame holds them. The caller's array is copied as well:
// its references may be borrowed (a partial passes the items of its own
// tuple), and code that runs inside the call can free them, tuple and all.
class CallFrame {
 public:
  CallFrame(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kwnames) noexcept
      : self_(Py_NewRef(self)), kwnames_(Py_XNewRef(kwnames)), n_(n) {
    if (n > kInline) {
      items_ = static_cast<PyObject**>(PyMem_Malloc(static_cast<std::size_t>(n) * sizeof(PyObject*)));
      if (!items_) {
        n_ = 0;
        PyErr_NoMemory();
        return;
      }
    }
    for (Py_ssize_t i = 0; i < n; ++i) items_[i] = Py_NewRef(args[i]);
  }
  ~CallFrame() {
    for (Py_ssize_t i = 0; i < n_; ++i) Py_DECREF(items_[i]);
    if (items_ != inline_) PyMem_Free(items_);
    Py_XDECREF(kwnames_);
    Py_DECREF(self_);
  }
  CallFrame(const CallFrame&) = delete;
  CallFrame& operator=(const CallFrame&) = delete;

  // Null (with MemoryError set) when the copy could not be made.
  PyObject* const* args() const noexcept { return items_; }

 private:
  static constexpr Py_ssize_t kInline = 6;
  PyObject* self_;
  PyObject* kwnames_;
  Py_ssize_t n_;
  PyObject* inline_[kInline];
  PyObject** items_ = inline_;
};

// A call that needs binding, or more arguments than the common case.
VK_NOINLINE PyObject* hold_bind_and_call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  Function* f = as_function(callable);
  const CallFrame frame(callable, args, nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0), kwnames);
  PyObject* const* held = frame.args();
  if (!held) [[unlikely]]
    return nullptr;
  return !kwnames && nargs == f->direct_nargs ? run(f, held) : bind_and_call(f, held, nargs, kwnames);
}

constexpr Py_ssize_t kFewArguments = 4;

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Function* f = as_function(callable);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (kwnames && PyTuple_GET_SIZE(kwnames) == 0) kwnames = nullptr;
  // Every call counts against the recursion limit and checks the stack,
  // so that runaway recursion through the module ends in RecursionError.
  PyThreadState* thread = PyThreadState_Get();
  if (!enter_call(thread)) [[unlikely]]
    return nullptr;
  PyObject* result;
  if (!kwnames && nargs == f->direct_nargs && nargs <= kFewArguments) [[likely]] {
    // The common case: every parameter given by position, nothing to
    // bind. The function and the arguments are held as CallFrame holds
    // them.
    PyObject* held[kFewArguments];
    Py_INCREF(callable);
    for (Py_ssize_t i = 0; i < nargs; ++i) held[i] = Py_NewRef(args[i]);
    result = run(f, held);
    for (Py_ssize_t i = 0; i < nargs; ++i) Py_DECREF(held[i]);
    Py_DECREF(callable);
  } else {
    result = hold_bind_and_call(callable, args, nargs, kwnames);
  }
  leave_call(thread);
  return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Function* f = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->dict);
  Py_VISIT(f->closure);
  Py_VISIT(f->varnames);
  Py_VISIT(f->globals);
  Py_VISIT(f->builtins);
  Py_VISIT(f->cells);
  Py_VISIT(f->code);
  return 0;
}

int function_clear(PyObject* self) {
  Function* f = as_function(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->closure);
  Py_CLEAR(f->varnames);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->builtins);
  Py_CLEAR(f->cells);
  Py_CLEAR(f->code);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_function(self)->weakreflist) PyObject_ClearWeakRefs(self);
  function_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// __name__ and __qualname__ must stay str: the error messages use them.
int set_str_field(PyObject** field, PyObject* value, const char* what) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_XSETREF(*field, Py_NewRef(value));
  return 0;
}

// __defaults__, __kwdefaults__ and __annotations__: None or deletion clears
// the field; anything else must be of the field's type.
bool tuple_kind(PyObject* o) { return PyTuple_Check(o); }
bool dict_kind(PyObject* o) { return PyDict_Check(o); }

int set_optional_field(PyObject** field, PyObject* value, bool (*kind)(PyObject*), const char* message) {
  if (value == Py_None) value = nullptr;
  if (value && !kind(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  Py_XSETREF(*field, Py_XNewRef(value));
  return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
  return set_str_field(&as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_str_field(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) {
  PyObject* d = as_function(self)->defaults;
  return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
  return set_optional_field(&as_function(self)->defaults, value, tuple_kind, "__defaults__ must be set to a tuple object");
}

PyObject* get_kwdefaults(PyObject* self, void*) {
  PyObject* d = as_function(self)->kwdefaults;
  return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  return set_optional_field(&as_function(self)->kwdefaults, value, dict_kind, "__kwdefaults__ must be set to a dict object");
}

PyObject* get_annotations(PyObject* self, void*) {
  Function* f = as_function(self);
  if (!f->annotations) {
    f->annotations = PyDict_New();
    if (!f->annotations) return nullptr;
  }
  return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
  return set_optional_field(&as_function(self)->annotations, value, dict_kind, "__annotations__ must be set to a dict object");
}

// A name of the function's __dict__, or nullptr (an exception is set only
// when the lookup failed). The dict is held while a key's __eq__ may run.
Ref dict_item(Function* f, PyObject* name) {
  const Ref dict = Ref::borrow(f->dict);
  if (!dict) return {};
  return Ref::borrow(PyDict_GetItemWithError(dict.get(), name));
}

// inspect.signature() and help() read this for objects that are not
// Python functions: an assigned value, else one built from the current
// defaults and annotations.
PyObject* get_signature(PyObject* self, void*) {
  Function* f = as_function(self);
  if (Ref assigned = dict_item(f, "__signature__"_id)) return assigned.release();
  if (PyErr_Occurred()) return nullptr;

  // Building the parameters runs Python code (lookups in the annotations,
  // the Parameter constructor) that may replace any field: each is read
  // once and held.
  const Ref defaults = Ref::borrow(f->defaults);
  const Ref kwdefaults = Ref::borrow(f->kwdefaults);
  const Ref annotations = Ref::borrow(f->annotations);

  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref parameter = getattr(inspect.get(), "Parameter"_id);
  Ref signature = getattr(inspect.get(), "Signature"_id);
  if (!parameter || !signature) return nullptr;
  Ref empty = getattr(parameter.get(), "empty"_id);
  Ref positional = getattr(parameter.get(), "POSITIONAL_OR_KEYWORD"_id);
  Ref var_positional = getattr(parameter.get(), "VAR_POSITIONAL"_id);
  Ref keyword_only = getattr(parameter.get(), "KEYWORD_ONLY"_id);
  if (!empty || !positional || !var_positional || !keyword_only) return nullptr;

  // The value of `name` in a held dict, or `empty` when it has none.
  auto item_or_empty = [&](PyObject* dict, PyObject* name) -> Ref {
    if (!dict) return empty;
    Ref value = Ref::borrow(PyDict_GetItemWithError(dict, name));
    if (value || PyErr_Occurred()) return value;
    return empty;
  };
  Ref params = Ref::steal(PyList_New(0));
  if (!params) return nullptr;
  auto add = [&](PyObject* name, PyObject* kind, PyObject* default_value) {
    Ref annotation = item_or_empty(annotations.get(), name);
    Ref p = call_kw(parameter.get(), 2, kwnames<"default", "annotation">(), name, kind, default_value, annotation.get());
    return p && PyList_Append(params.get(), p.get()) == 0;
  };

  const Py_ssize_t npos = positional_count(f);
  const DefaultLayout layout = default_layout(npos, defaults.get());
  for (Py_ssize_t i = 0; i < npos; ++i) {
    PyObject* default_value = i < layout.required ? empty.get() : PyTuple_GET_ITEM(defaults.get(), layout.offset + i);
    if (!add(PyTuple_GET_ITEM(f->varnames, i), positional.get(), default_value)) return nullptr;
  }
  if (has_varargs(f)) {
    Ref name = new_str(f->def->varargs);
    if (!name || !add(name.get(), var_positional.get(), empty.get())) return nullptr;
  }
  for (Py_ssize_t j = 0; j < kwonly_count(f); ++j) {
    PyObject* name = PyTuple_GET_ITEM(f->varnames, npos + j);
    Ref default_value = item_or_empty(kwdefaults.get(), name);
    if (!default_value || !add(name, keyword_only.get(), default_value.get())) return nullptr;
  }
  Ref returns = item_or_empty(annotations.get(), "return"_id);
  if (!returns) return nullptr;
  return call_kw(signature.get(), 1, kwnames<"return_annotation">(), params.get(), returns.get()).release();
}

// An assigned __signature__ lives in __dict__, as on a def; deleting it
// brings back the computed one.
int set_signature(PyObject* self, PyObject* value, void*) {
  Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
  if (!dict) return -1;
  if (value) return PyDict_SetItem(dict.get(), "__signature__"_id, value);
  if (PyDict_DelItem(dict.get(), "__signature__"_id) == 0) return 0;
  if (PyErr_ExceptionMatches(PyExc_KeyError)) {
    PyErr_Clear();
    PyErr_SetString(PyExc_AttributeError, "__signature__");
  }
  return -1;
}

// The file named by the code objects: not a path, so that no file can
// stand for the functions' source.
constexpr const char kCodeFile[] = "<velka_code>";

// A code object describing the function as a def's does (its parameter
// counts, names and flags, its name and qualified name), so that tools
// reading __code__ see the real parameters. Its bytecode raises
// AssertionError when run: the function's work is not bytecode.
Ref describe_code(Function* f) {
  const Py_ssize_t npos = positional_count(f);
  const Py_ssize_t nkwonly = kwonly_count(f);
  const bool var = has_varargs(f);
  Ref varnames = Ref::steal(PyTuple_New(npos + nkwonly + (var ? 1 : 0)));
  if (!varnames) return {};
  for (Py_ssize_t i = 0; i < npos + nkwonly; ++i)
    PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(PyTuple_GET_ITEM(f->varnames, i)));
  if (var) {
    PyObject* name = PyUnicode_InternFromString(f->def->varargs);
    if (!name) return {};
    PyTuple_SET_ITEM(varnames.get(), npos + nkwonly, name);
  }
  // The empty code of the interpreter gives the bytecode and its line table.
  Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kCodeFile, f->def->name, 0)));
  if (!empty) return {};
  Ref bytecode = Ref::steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(empty.get())));
  Ref lines = getattr(empty.get(), "co_linetable"_id);
  Ref file = getattr(empty.get(), "co_filename"_id);
  Ref nothing = Ref::steal(PyTuple_New(0));
  Ref no_exceptions = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
  Ref name = new_str(f->def->name);
  if (!bytecode || !lines || !file || !nothing || !no_exceptions || !name) return {};
  const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames.get()));
  const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (var ? CO_VARARGS : 0);
  constexpr int kStackSize = 1;  // the one exception the bytecode raises
  return Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
      static_cast<int>(npos), 0, static_cast<int>(nkwonly), nlocals, kStackSize, flags, bytecode.get(),
      nothing.get(), nothing.get(), varnames.get(), nothing.get(), nothing.get(), file.get(), name.get(),
      f->qualname, 0, lines.get(), no_exceptions.get())));
}

PyObject* code_of(Function* f) {
  if (!f->code) f->code = describe_code(f).release();
  return f->code;
}

VK_NOINLINE void add_traceback_entry(Function* f) {
  // Without an exception the interpreter reports the missing one; without
  // a namespace (a function made outside any import) there is no frame.
  if (!PyErr_Occurred() || !f->globals) return;
  Ref frame;
  {
    PendingError pending;
    if (PyObject* code = code_of(f))
      frame = Ref::steal(reinterpret_cast<PyObject*>(
          PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), f->globals, nullptr)));
  }
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

PyObject* get_code(PyObject* self, void*) { return Py_XNewRef(code_of(as_function(self))); }

// isinstance(f, types.FunctionType) holds, as tools such as unittest.mock
// ask it to decide whether they look at a function (and then read
// __code__, __globals__ and the rest); type(f) stays the module's own.
PyObject* get_class(PyObject*, void*) { return Py_NewRef(reinterpret_cast<PyObject*>(&PyFunction_Type)); }

int refuse_assignment(PyObject*, PyObject*, void*) {
  PyErr_SetString(PyExc_AttributeError, "readonly attribute");
  return -1;
}

// Pickled by reference, like a Python function: module and qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__code__", get_code, refuse_assignment, nullptr, nullptr},
    {"__class__", get_class, refuse_assignment, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {"__builtins__", T_OBJECT, offsetof(Function, builtins), READONLY, nullptr},
    {"__closure__", T_OBJECT, offsetof(Function, cells), READONLY, nullptr},
    // Read by the type's creation only; removed from the type afterwards.
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* make_function_type() {
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
      {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
      {Py_tp_getset, function_getset},
      {Py_tp_members, function_members},
      {Py_tp_methods, function_methods},
      {0, nullptr},
  };
  PyType_Spec spec = {
      "velka_code.function",
      sizeof(Function),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
          Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  Ref type = Ref::steal(PyType_FromSpec(&spec));
  if (!type) return nullptr;
  // The offsets have done their work; read on a function they would give
  // out its internal addresses, and a def has no such attributes.
  PyObject* dict = reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
  for (PyObject* name : {"__vectorcalloffset__"_id, "__dictoffset__"_id, "__weaklistoffset__"_id}) {
    const int present = name ? PyDict_Contains(dict, name) : -1;
    if (present < 0 || (present && PyDict_DelItem(dict, name) < 0)) return nullptr;
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
  return reinterpret_cast<PyTypeObject*>(type.release());
}

namespace {

// __closure__ of a function made at call time: its state in cells, one per
// item of a tuple, as a nested def holds the names it uses.
Ref closure_cells(PyObject* closure) {
  const bool many = PyTuple_Check(closure);
  const Py_ssize_t n = many ? PyTuple_GET_SIZE(closure) : 1;
  Ref cells = Ref::steal(PyTuple_New(n));
  if (!cells) return {};
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* cell = PyCell_New(many ? PyTuple_GET_ITEM(closure, i) : closure);
    if (!cell) return {};
    PyTuple_SET_ITEM(cells.get(), i, cell);
  }
  return cells;
}

}  // namespace

Ref make_function(const FunctionDef& def, const FunctionOptions& options) {
  if (def.positional.size() + def.kwonly.size() + 1 > kMaxSlots) {
    PyErr_Format(PyExc_SystemError, "%s has too many parameters", def.name);
    return {};
  }
  PyTypeObject* type = state().function_type;
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return {};
  Function* f = as_function(self.get());
  f->vectorcall = function_vectorcall;
  f->def = &def;
  f->direct_nargs = def.varargs || def.kwonly.size() ? -1 : static_cast<Py_ssize_t>(def.positional.size());
  f->name = PyUnicode_InternFromString(def.name);
  f->qualname = options.qualname ? PyUnicode_FromString(options.qualname) : Py_XNewRef(f->name);
  f->module = Py_XNewRef("velka_code"_id);
  f->doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
  f->varnames = PyTuple_New(static_cast<Py_ssize_t>(def.positional.size() + def.kwonly.size()));
  if (!f->name || !f->qualname || !f->module || !f->doc || !f->varnames) return {};
  Py_ssize_t i = 0;
  for (auto list : {def.positional, def.kwonly}) {
    for (const char* param : list) {
      PyObject* s = PyUnicode_InternFromString(param);
      if (!s) return {};
      PyTuple_SET_ITEM(f->varnames, i++, s);
    }
  }
  for (auto [field, make] : {std::pair{&f->defaults, def.defaults}, std::pair{&f->kwdefaults, def.kwdefaults},
                             std::pair{&f->annotations, def.annotations}}) {
    if (!make) continue;
    Ref value = make();
    if (!value) return {};
    *field = value.release();
  }
  f->closure = Py_XNewRef(options.closure);
  if (options.closure) {
    f->cells = closure_cells(options.closure).release();
    if (!f->cells) return {};
  }
  const ModuleState& s = state();
  f->globals = Py_XNewRef(s.globals);
  f->builtins = Py_XNewRef(s.builtins_dict);
  return self;
}

}  // namespace vk
