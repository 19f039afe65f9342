#include "core/function.hpp"

#include "core/state.hpp"

#include <structmember.h>

#include <utility>


namespace vk {
namespace {

using namespace literals;

constexpr std::size_t kMaxSlots = 16;

Function* as_function(PyObject* o) { return reinterpret_cast<Function*>(o); }

Py_ssize_t positional_count(const Function* f) { return static_cast<Py_ssize_t>(f->def->positional.size()); }
Py_ssize_t kwonly_count(const Function* f) { return static_cast<Py_ssize_t>(f->def->kwonly.size()); }
bool has_varargs(const Function* f) { return f->def->varargs != nullptr; }

Py_ssize_t default_count(const Function* f) {
  if (!f->defaults) return 0;
  return std::min(PyTuple_GET_SIZE(f->defaults), positional_count(f));
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

// References the bound arguments need while the call runs (the *args tuple,
// keyword-only defaults that the dict may drop meanwhile).
class Held {
 public:
  Held() = default;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    for (std::size_t i = 0; i < count_; ++i) Py_DECREF(items_[i]);
  }
  void keep(PyObject* owned) { items_[count_++] = owned; }

 private:
  PyObject* items_[kMaxSlots];
  std::size_t count_ = 0;
};

PyObject* bind_and_call(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t npos = positional_count(f);
  const Py_ssize_t nkwonly = kwonly_count(f);
  const bool var = has_varargs(f);
  const Py_ssize_t kwonly_base = npos + (var ? 1 : 0);

  // The defaults may be replaced while the body runs; hold what we use.
  Ref defaults = Ref::borrow(f->defaults);
  const Py_ssize_t ndefaults = default_count(f);
  const Py_ssize_t required = npos - ndefaults;
  const bool exact = ndefaults == 0 && !var;

  // Only the slots this function has are cleared: zeroing whole arrays
  // costs more than the binding itself.
  const Py_ssize_t nslots = kwonly_base + nkwonly;
  PyObject* slots[kMaxSlots];
  for (Py_ssize_t i = 0; i < nslots; ++i) slots[i] = nullptr;
  Held held;

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
    slots[npos] = tuple.get();
    held.keep(tuple.release());
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
    if (i < required) return count_error(f, exact ? "exactly" : "at least", required, nargs);
    slots[i] = PyTuple_GET_ITEM(defaults.get(), i - required);
  }
  for (Py_ssize_t j = 0; j < nkwonly; ++j) {
    const Py_ssize_t slot = kwonly_base + j;
    if (slots[slot]) continue;
    PyObject* name = PyTuple_GET_ITEM(f->varnames, npos + j);
    PyObject* value = f->kwdefaults ? PyDict_GetItemWithError(f->kwdefaults, name) : nullptr;
    if (!value) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "%U() missing 1 required keyword-only argument: '%U'", f->name, name);
      return nullptr;
    }
    held.keep(Py_NewRef(value));
    slots[slot] = value;
  }
  return f->def->impl(f, slots);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Function* f = as_function(callable);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (kwnames && PyTuple_GET_SIZE(kwnames) == 0) kwnames = nullptr;
  // The common case needs no binding: every parameter given by position.
  if (!kwnames && nargs == f->direct_nargs) return f->def->impl(f, args);
  return bind_and_call(f, args, nargs, kwnames);
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

// inspect.signature() and help() read this for objects that are not
// Python functions; it is built from the current defaults each time.
PyObject* get_signature(PyObject* self, void*) {
  Function* f = as_function(self);
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

  PyObject* annotations = f->annotations;
  auto annotation_of = [&](PyObject* name) -> PyObject* {
    if (!annotations) return empty.get();
    PyObject* a = PyDict_GetItemWithError(annotations, name);
    return a ? a : (PyErr_Occurred() ? nullptr : empty.get());
  };
  auto make = [&](PyObject* name, PyObject* kind, PyObject* default_value) -> Ref {
    PyObject* annotation = annotation_of(name);
    if (!annotation) return {};
    return call_kw(parameter.get(), 2, kwnames<"default", "annotation">(), name, kind, default_value, annotation);
  };

  Ref params = Ref::steal(PyList_New(0));
  if (!params) return nullptr;
  const Py_ssize_t npos = positional_count(f);
  const Py_ssize_t required = npos - default_count(f);
  for (Py_ssize_t i = 0; i < npos; ++i) {
    PyObject* default_value = i < required ? empty.get() : PyTuple_GET_ITEM(f->defaults, i - required);
    Ref p = make(PyTuple_GET_ITEM(f->varnames, i), positional.get(), default_value);
    if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
  }
  if (has_varargs(f)) {
    Ref name = new_str(f->def->varargs);
    if (!name) return nullptr;
    Ref p = make(name.get(), var_positional.get(), empty.get());
    if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
  }
  for (Py_ssize_t j = 0; j < kwonly_count(f); ++j) {
    PyObject* name = PyTuple_GET_ITEM(f->varnames, npos + j);
    PyObject* default_value = f->kwdefaults ? PyDict_GetItemWithError(f->kwdefaults, name) : nullptr;
    if (!default_value) {
      if (PyErr_Occurred()) return nullptr;
      default_value = empty.get();
    }
    Ref p = make(name, keyword_only.get(), default_value);
    if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
  }
  Ref returns = Ref::borrow(annotation_of("return"_id));
  if (!returns) return nullptr;
  return call_kw(signature.get(), 1, kwnames<"return_annotation">(), params.get(), returns.get()).release();
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
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
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
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

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
  return self;
}

}  // namespace vk
