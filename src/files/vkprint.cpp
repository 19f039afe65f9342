// vkprint: objects as text, separated, ended, and written to a stream in
// one write call.
#include "core/state.hpp"
#include "files/files.hpp"

#include <vector>

namespace vk::files {
namespace {

using namespace literals;

// sep.join(<each object as str>): an exact str separator joins the
// converted objects directly (what str.join does with any iterable);
// another separator's join gets a lazy map(str, objects), so each
// conversion happens while join runs.
Ref joined(PyObject* sep, PyObject* objects) {
  if (PyUnicode_CheckExact(sep)) {
    // The texts are gathered first and the list made only when all are
    // there: a __str__ can reach any container the collector tracks.
    const Py_ssize_t n = PyTuple_GET_SIZE(objects);
    Ref few[8];
    std::vector<Ref> many(n > 8 ? static_cast<std::size_t>(n) : 0);
    Ref* texts = n > 8 ? many.data() : few;
    for (Py_ssize_t i = 0; i < n; ++i) {
      texts[i] = Ref::steal(PyObject_Str(PyTuple_GET_ITEM(objects, i)));
      if (!texts[i]) return {};
    }
    Ref list = Ref::steal(PyList_New(n));
    if (!list) return {};
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, texts[i].release());
    return Ref::steal(PyUnicode_Join(sep, list.get()));
  }
  Ref join = getattr(sep, "join"_id);
  if (!join) return {};
  Ref lazy = call(reinterpret_cast<PyObject*>(&PyMap_Type), reinterpret_cast<PyObject*>(&PyUnicode_Type), objects);
  if (!lazy) return {};
  return call(join.get(), lazy.get());
}

PyObject* vkprint_impl(Function*, Args<"*objects", "sep", "end", "file"> args) {
  PyObject* objects = args.get<"objects">();
  PyObject* sep = args.get<"sep">();
  PyObject* end = args.get<"end">();
  PyObject* file = args.get<"file">();
  Ref text = joined(sep, objects);
  if (!text) return nullptr;
  text = Ref::steal(PyNumber_InPlaceAdd(text.get(), end));
  if (!text) return nullptr;
  Ref written = call_method(file, "write"_id, text.get());
  if (!written) return nullptr;
  Py_RETURN_NONE;
}

// `file` defaults to sys.stdout as it is when the body binds vkprint.
Ref vkprint_kwdefaults() {
  Ref stdout_now = global("sys"_id, "stdout"_id);
  if (!stdout_now) return {};
  return build("{s:s,s:s,s:O}", "sep", " ", "end", "\n", "file", stdout_now.get());
}

}  // namespace

const FunctionDef vkprint{
    .name = "vkprint",
    .impl = impl<vkprint_impl>,
    .doc = "\n    类似 print 功能的函数\n    :param objects: 要打印的对象\n    :param sep: 对象之间的分隔符\n"
           "    :param end: 打印结束时的字符\n    :param file: 输出的文件对象，默认为标准输出\n    ",
    .kwdefaults = vkprint_kwdefaults,
};

}  // namespace vk::files
