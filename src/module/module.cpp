// The module definition and the two import steps the interpreter drives.
#include "core/function.hpp"
#include "core/state.hpp"
#include "module/body.hpp"

namespace vk {
namespace {

using namespace literals;

constexpr const char kModuleName[] = "velka_code";

// Copies one attribute of the import spec into the namespace; a missing
// attribute is skipped.
bool copy_spec_attribute(PyObject* spec, const char* from, PyObject* ns, const char* to, bool skip_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      return true;
    }
    return false;
  }
  if (skip_none && value.get() == Py_None) return true;
  return PyDict_SetItemString(ns, to, value.get()) == 0;
}

PyObject* create_step(PyObject* spec, PyModuleDef*) {
  ModuleState& s = state();
  const std::int64_t current = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
  if (s.interpreter_id == -1) {
    if (current == -1) return nullptr;
    s.interpreter_id = current;
  } else if (s.interpreter_id != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  if (s.module) return Py_NewRef(s.module);

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* ns = PyModule_GetDict(module.get());
  if (!copy_spec_attribute(spec, "loader", ns, "__loader__", false) ||
      !copy_spec_attribute(spec, "origin", ns, "__file__", false) ||
      !copy_spec_attribute(spec, "parent", ns, "__package__", false) ||
      !copy_spec_attribute(spec, "submodule_search_locations", ns, "__path__", true))
    return nullptr;
  return module.release();
}

bool resolve_builtin(PyObject* builtins, const char* name, PyObject** slot) {
  PyObject* value = PyDict_GetItemString(builtins, name);
  if (!value) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return false;
  }
  Py_XSETREF(*slot, Py_NewRef(value));
  return true;
}

bool prepare(PyObject* module) {
  ModuleState& s = state();
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) return false;

  if (((Py_Version >> 24) & 0xFF) != 3 || ((Py_Version >> 16) & 0xFF) != 11) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 11,
                         kModuleName, "does not match", static_cast<int>((Py_Version >> 24) & 0xFF),
                         static_cast<int>((Py_Version >> 16) & 0xFF)) < 0)
      return false;
  }

  if (!s.function_type) {
    s.function_type = make_function_type();
    if (!s.function_type) return false;
  }

  PyObject* modules = PyImport_GetModuleDict();
  int present = PyDict_Contains(modules, "velka_code"_id);
  if (present < 0) return false;
  if (!present && PyDict_SetItemString(modules, kModuleName, module) < 0) return false;

  PyObject* builtins_dict = PyModule_GetDict(builtins.get());
  Py_XSETREF(s.builtins_dict, Py_NewRef(builtins_dict));
  return resolve_builtin(builtins_dict, "print", &s.print) &&
         resolve_builtin(builtins_dict, "open", &s.open) &&
         resolve_builtin(builtins_dict, "SystemExit", &s.SystemExit) &&
         resolve_builtin(builtins_dict, "range", &s.range);
}

#ifndef MS_WINDOWS
// Elsewhere the Windows modules the body imports come from the simulated
// platform; a note on the import error says how to reach it. The exception
// keeps its type, text and name: only its traceback shows the note.
void note_simulated_platform() {
  if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref kind = Ref::steal(type), error = Ref::steal(value), trace = Ref::steal(traceback);
  Ref name = error ? getattr(error.get(), "name"_id) : Ref();
  bool windows_module = false;
  if (name && PyUnicode_Check(name.get())) {
    for (const char* module : {"winreg", "wmi", "win32con", "win32gui", "win32api", "win32clipboard", "win32com",
                               "win32com.client", "pywintypes"})
      windows_module = windows_module || PyUnicode_CompareWithASCIIString(name.get(), module) == 0;
  }
  if (windows_module)
    call_method(error.get(), "add_note"_id,
                new_str("velka_code needs Windows; on Linux and macOS run the script on the simulated Windows "
                        "platform that comes with it: python -m simwin script.py (or call simwin.activate() "
                        "before importing velka_code)")
                    .get());
  // The import error stands, whether or not the note could be added.
  PyErr_Clear();
  if (trace) PyException_SetTraceback(error.get(), trace.get());
  PyErr_Restore(kind.release(), error.release(), trace.release());
}
#endif

int exec_step(PyObject* module) {
  ModuleState& s = state();
  if (s.module) {
    if (s.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'velka_code' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  s.module = Py_NewRef(module);
  s.globals = PyModule_GetDict(module);

  if (prepare(module) && run_module_body(s.globals)) return 0;

  _PyTraceback_Add("init velka_code", "<velka_code>", 0);
  s.globals = nullptr;
  Py_CLEAR(s.module);
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init velka_code");
#ifndef MS_WINDOWS
  note_simulated_platform();
#endif
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_step)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_step)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    nullptr,  // no module docstring
    0,        // state is process-wide
    nullptr,  // functions are bound by the body, not a method table
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vk

PyMODINIT_FUNC PyInit_velka_code(void) { return PyModuleDef_Init(&vk::module_def); }
