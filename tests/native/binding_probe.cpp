// A test extension around the module's argument binder alone:
// bind(spec, *args, **kwargs) binds the arguments to the parameters that
// spec describes and returns the bound values in parameter order (the
// *args tuple in its place), or raises the binder's error.
#include "core/binding.hpp"

namespace {

// spec: (name, names, positional, varargs, kwonly, defaults, kwdefaults)
PyObject* bind_probe(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject *name, *names, *defaults, *kwdefaults;
  Py_ssize_t positional, kwonly;
  int varargs;
  if (nargs < 1 || !PyArg_ParseTuple(args[0], "UO!npnOO", &name, &PyTuple_Type, &names, &positional, &varargs,
                                     &kwonly, &defaults, &kwdefaults))
    return nullptr;
  const vk::Parameters parameters{names, positional, varargs != 0, kwonly};
  vk::BoundArguments bound(parameters.slots());
  if (!vk::bind(parameters, name, defaults == Py_None ? nullptr : defaults,
                kwdefaults == Py_None ? nullptr : kwdefaults, args + 1, nargs - 1, kwnames, bound))
    return nullptr;
  vk::Ref result = vk::Ref::steal(PyTuple_New(parameters.slots()));
  if (!result) return nullptr;
  for (Py_ssize_t i = 0; i < parameters.slots(); ++i) PyTuple_SET_ITEM(result.get(), i, Py_NewRef(bound.get()[i]));
  return result.release();
}

PyMethodDef methods[] = {
    {"bind", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind_probe)), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "binding_probe", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_binding_probe() { return PyModule_Create(&module); }
