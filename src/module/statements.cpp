// Carries out the rows of a module body in its namespace: imports, values,
// functions, classes and statements of any other kind.
#include "module/statements.hpp"

#include "core/state.hpp"

#include <string>
#include <string_view>

namespace vk {
namespace {

using namespace literals;

// type(name, (), namespace), the namespace holding what a class
// statement's body puts there: __module__, __qualname__, the docstring
// and the methods.
Ref make_class(const char* name, const char* doc, std::span<const FunctionDef* const> methods) {
  Ref ns = Ref::steal(PyDict_New());
  if (!ns) return {};
  auto put = [&ns](const char* key, Ref v) { return v && PyDict_SetItemString(ns.get(), key, v.get()) == 0; };
  if (!put("__module__", Ref::borrow("velka_code"_id)) || !put("__qualname__", new_str(name)) ||
      (doc && !put("__doc__", new_str(doc))))
    return {};
  for (const FunctionDef* method : methods) {
    const std::string qualname = std::string(name) + "." + method->name;
    if (!put(method->name, make_function(*method, {.qualname = qualname.c_str()}))) return {};
  }
  Ref bases = Ref::steal(PyTuple_New(0));
  Ref class_name = new_str(name);
  if (!bases || !class_name) return {};
  return call(reinterpret_cast<PyObject*>(&PyType_Type), class_name.get(), bases.get(), ns.get());
}

// The namespace the statements act on.
class Body {
 public:
  explicit Body(PyObject* ns) : ns_(ns) {}

  bool set(const char* name, PyObject* value) { return value && PyDict_SetItemString(ns_, name, value) == 0; }

  bool run(const Row& row) {
    switch (row.kind) {
      case Row::Kind::import:
        return import(row.name);
      case Row::Kind::from_import:
        return import_from(row.name, row.text);
      case Row::Kind::value:
        return set(row.name, row.make().get());
      case Row::Kind::def:
        return set(row.def->name, make_function(*row.def).get());
      case Row::Kind::class_: {
        const Ref cls = make_class(row.name, row.text, row.methods);
        return cls && (!row.made || row.made(cls.get())) && set(row.name, cls.get());
      }
      case Row::Kind::statement:
        return row.run(ns_);
    }
    return false;
  }

 private:
  bool import(const char* dotted) {
    Ref name = new_str(dotted);
    if (!name) return false;
    Ref top = Ref::steal(PyImport_ImportModuleLevelObject(name.get(), ns_, nullptr, nullptr, 0));
    std::string_view full(dotted);
    return top && set(std::string(full.substr(0, full.find('.'))).c_str(), top.get());
  }

  bool import_from(const char* module, const char* attribute) {
    Ref name = new_str(module);
    Ref fromlist = build("(s)", attribute);
    if (!name || !fromlist) return false;
    Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(name.get(), ns_, nullptr, fromlist.get(), 0));
    if (!mod) return false;
    Ref found = Ref::steal(PyObject_GetAttrString(mod.get(), attribute));
    if (!found) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      std::string sub = std::string(module) + "." + attribute;
      found = Ref::borrow(PyDict_GetItemString(PyImport_GetModuleDict(), sub.c_str()));
      if (!found) return cannot_import(mod.get(), name.get(), attribute);
    }
    return set(attribute, found.get());
  }

  bool cannot_import(PyObject* mod, PyObject* module_name, const char* attribute) {
    Ref path = Ref::steal(PyModule_GetFilenameObject(mod));
    if (!path) PyErr_Clear();
    Ref message = path ? Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from %R (%S)", attribute,
                                                         module_name, path.get()))
                       : Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from %R (unknown location)",
                                                         attribute, module_name));
    if (message) PyErr_SetImportError(message.get(), module_name, path ? path.get() : Py_None);
    return false;
  }

  PyObject* ns_;
};

}  // namespace

bool run_statements(PyObject* ns, std::span<const Row> rows) {
  Body body(ns);
  for (const Row& row : rows)
    if (!body.run(row)) return false;
  return true;
}

}  // namespace vk
