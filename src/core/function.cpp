// The module's function type, read as CPython's own function type is: the
// slots, the attributes, then the tables and the constructors.
#include "core/function.hpp"

#include "core/call.hpp"
#include "core/like_def.hpp"
#include "core/signature.hpp"
#include "core/state.hpp"

#include <structmember.h>

#include <utility>
#include <vector>

namespace vk {
namespace {

using namespace literals;

// -------------------------------------------------------------------- slots

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
  Py_CLEAR(f->varnames);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->builtins);
  Py_CLEAR(f->cells);
  Py_CLEAR(f->code);
  return 0;
}

// A field can hold another function directly (f.__doc__ = g), so freeing
// a chain of them would nest one call per link: the trashcan defers the
// deeper links once the nesting grows, as the containers do.
void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, function_dealloc)
  if (as_function(self)->weakreflist) PyObject_ClearWeakRefs(self);
  function_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

// --------------------------------------------------------------- attributes

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
    Ref made = Ref::steal(PyDict_New());
    if (!made) return nullptr;
    // The allocation can run a finalizer that asked for them first.
    if (!f->annotations) f->annotations = made.release();
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
  return computed_signature(f).release();
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

PyObject* get_code(PyObject* self, void*) { return Py_XNewRef(code_of(as_function(self))); }

// ------------------------------------------------------------------- tables

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
    {"__class__", function_class, refuse_assignment, nullptr, nullptr},
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

// ------------------------------------------------------------- constructors

// __closure__ of a function made at call time: a cell per free variable,
// each holding its first value, as a nested def holds the names it uses.
Ref closure_cells(PyObject* values) {
  const Py_ssize_t n = PyTuple_GET_SIZE(values);
  // The cells come first and the tuple once all exist: making a cell can
  // run the collector, whose finalizers can reach any tracked tuple.
  std::vector<Ref> made;
  for (Py_ssize_t i = 0; i < n; ++i) {
    made.push_back(Ref::steal(PyCell_New(PyTuple_GET_ITEM(values, i))));
    if (!made.back()) return {};
  }
  Ref cells = Ref::steal(PyTuple_New(n));
  if (!cells) return {};
  Py_ssize_t i = 0;
  for (Ref& cell : made) PyTuple_SET_ITEM(cells.get(), i++, cell.release());
  return cells;
}

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
    if (!name) return nullptr;
    const int present = PyDict_Contains(dict, name);
    if (present < 0 || (present && PyDict_DelItem(dict, name) < 0)) return nullptr;
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
  return reinterpret_cast<PyTypeObject*>(type.release());
}

Ref make_function(const FunctionDef& def, const FunctionOptions& options) {
  const ParameterList& list = def.parameters();
  PyTypeObject* type = state().function_type;
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return {};
  // Out of the collector's sight until every field is set: the allocations
  // below can run finalizers, and gc.get_objects() would hand them a
  // function whose fields are still null.
  PyObject_GC_UnTrack(self.get());
  Function* f = as_function(self.get());
  f->vectorcall = vectorcall_for(def);
  f->impl = def.impl.run;
  f->def = &def;
  f->direct_nargs = list.varargs || list.kwonly.size() ? -1 : static_cast<Py_ssize_t>(list.positional.size());
  f->name = PyUnicode_InternFromString(def.name);
  f->qualname = options.qualname ? PyUnicode_FromString(options.qualname) : Py_XNewRef(f->name);
  f->module = Py_XNewRef("velka_code"_id);
  f->doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
  f->varnames = PyTuple_New(static_cast<Py_ssize_t>(list.positional.size() + list.kwonly.size()));
  if (!f->name || !f->qualname || !f->module || !f->doc || !f->varnames) return {};
  Py_ssize_t i = 0;
  for (auto names : {list.positional, list.kwonly}) {
    for (const char* param : names) {
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
  if (def.freevars.size()) {
    if (!options.closure || !PyTuple_Check(options.closure) ||
        PyTuple_GET_SIZE(options.closure) != static_cast<Py_ssize_t>(def.freevars.size())) {
      PyErr_Format(PyExc_SystemError, "%s needs a value for each of its free variables", def.name);
      return {};
    }
    f->cells = closure_cells(options.closure).release();
    if (!f->cells) return {};
  }
  const ModuleState& s = state();
  f->globals = Py_XNewRef(s.globals);
  f->builtins = Py_XNewRef(s.builtins_dict);
  PyObject_GC_Track(self.get());
  return self;
}

Ref free_variable(Function* f, Py_ssize_t i) {
  // The tuple cannot be replaced or resized (__closure__ is read-only), but
  // its cells can be emptied or given any value.
  if (!f->cells || i < 0 || i >= PyTuple_GET_SIZE(f->cells)) {
    PyErr_Format(PyExc_SystemError, "%U has no free variable %zd", f->qualname, i);
    return {};
  }
  PyObject* cell = PyTuple_GET_ITEM(f->cells, i);
  if (PyObject* value = PyCell_GET(cell)) return Ref::borrow(value);
  auto names = f->def->freevars.begin();
  PyErr_Format(PyExc_NameError,
               "cannot access free variable '%s' where it is not associated with a value in enclosing scope",
               names[i]);
  return {};
}

}  // namespace vk
