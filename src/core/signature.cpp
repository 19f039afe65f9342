// The inspect.Signature builder of the module's functions.
#include "core/signature.hpp"

#include "core/binding.hpp"

namespace vk {

using namespace literals;

Ref computed_signature(Function* f) {
  // Building the parameters runs Python code (lookups in the annotations,
  // the Parameter constructor) that may replace any field: each is read
  // once and held.
  const Ref defaults = Ref::borrow(f->defaults);
  const Ref kwdefaults = Ref::borrow(f->kwdefaults);
  const Ref annotations = Ref::borrow(f->annotations);

  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return {};
  Ref parameter = getattr(inspect.get(), "Parameter"_id);
  Ref signature = getattr(inspect.get(), "Signature"_id);
  if (!parameter || !signature) return {};
  Ref empty = getattr(parameter.get(), "empty"_id);
  Ref positional = getattr(parameter.get(), "POSITIONAL_OR_KEYWORD"_id);
  Ref var_positional = getattr(parameter.get(), "VAR_POSITIONAL"_id);
  Ref keyword_only = getattr(parameter.get(), "KEYWORD_ONLY"_id);
  if (!empty || !positional || !var_positional || !keyword_only) return {};

  // The value of `name` in a held dict, or `empty` when it has none.
  auto item_or_empty = [&](PyObject* dict, PyObject* name) -> Ref {
    if (!dict) return empty;
    Ref value = Ref::borrow(PyDict_GetItemWithError(dict, name));
    if (value || PyErr_Occurred()) return value;
    return empty;
  };
  Ref params = Ref::steal(PyList_New(0));
  if (!params) return {};
  auto add = [&](PyObject* name, PyObject* kind, PyObject* default_value) {
    Ref annotation = item_or_empty(annotations.get(), name);
    Ref p = call_kw(parameter.get(), 2, kwnames<"default", "annotation">(), name, kind, default_value, annotation.get());
    return p && PyList_Append(params.get(), p.get()) == 0;
  };

  const ParameterList& list = f->def->parameters();
  const auto npos = static_cast<Py_ssize_t>(list.positional.size());
  const DefaultLayout layout = default_layout(npos, defaults.get());
  for (Py_ssize_t i = 0; i < npos; ++i) {
    PyObject* default_value = i < layout.required ? empty.get() : PyTuple_GET_ITEM(defaults.get(), layout.offset + i);
    if (!add(PyTuple_GET_ITEM(f->varnames, i), positional.get(), default_value)) return {};
  }
  if (list.varargs) {
    Ref name = new_str(list.varargs);
    if (!name || !add(name.get(), var_positional.get(), empty.get())) return {};
  }
  for (Py_ssize_t j = 0; j < static_cast<Py_ssize_t>(list.kwonly.size()); ++j) {
    PyObject* name = PyTuple_GET_ITEM(f->varnames, npos + j);
    Ref default_value = item_or_empty(kwdefaults.get(), name);
    if (!default_value || !add(name, keyword_only.get(), default_value.get())) return {};
  }
  Ref returns = item_or_empty(annotations.get(), "return"_id);
  if (!returns) return {};
  return call_kw(signature.get(), 1, kwnames<"return_annotation">(), params.get(), returns.get());
}

}  // namespace vk
