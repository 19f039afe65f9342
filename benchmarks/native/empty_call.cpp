// A callable that does nothing but hand back its first argument, called
// through vectorcall: what any callable type the interpreter does not
// specialise costs per call before it does any work. The benchmarks hold
// the module's call overhead against it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

namespace {

struct Empty {
  PyObject_HEAD
  vectorcallfunc vectorcall;
};

PyObject* empty_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject*) {
  return Py_NewRef(PyVectorcall_NARGS(nargsf) ? args[0] : Py_None);
}

PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Empty, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* make(PyObject* module, PyObject*) {
  PyObject* type = PyObject_GetAttrString(module, "Empty");
  if (!type) return nullptr;
  Empty* self = PyObject_New(Empty, reinterpret_cast<PyTypeObject*>(type));
  Py_DECREF(type);
  if (self) self->vectorcall = empty_vectorcall;
  return reinterpret_cast<PyObject*>(self);
}

PyMethodDef methods[] = {{"make", make, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "empty_call", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_empty_call() {
  PyObject* module = PyModule_Create(&module_def);
  if (!module) return nullptr;
  PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)}, {Py_tp_members, members}, {0, nullptr}};
  PyType_Spec spec = {"empty_call.Empty", sizeof(Empty), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (!type || PyModule_AddObject(module, "Empty", type) < 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
