// Removing a file-type association: the extension and type keys under
// HKEY_CLASSES_ROOT on Windows, the duti handler on macOS, the lines of the
// extension's MIME type in mimeapps.list on Linux.
#include "association/association.hpp"
#include "association/mimeapps.hpp"
#include "association/registry.hpp"
#include "association/styles.hpp"
#include "core/errors.hpp"
#include "core/platform.hpp"
#include "core/state.hpp"

namespace vk::association {
namespace {

using namespace literals;

// A missing extension key is fine; a missing type key is an error. The
// type key goes with the keys increase writes below it.
bool remove_windows(PyObject* extension, PyObject* type) {
  if (remove_class_key(extension, false) < 0) return false;
  const int removed = remove_class_key(type, true);
  if (removed == 0) PyErr_SetString(PyExc_Exception, "delete Error: 文件不存在");
  return removed > 0;
}

PyObject* delete_impl(Function*, Args<"file_extension", "file_type"> args) {
  PyObject* extension = args.get<"file_extension">();
  PyObject* type = args.get<"file_type">();
  const int os = platform({"Windows"_id, "macOS"_id, "Linux"_id});
  if (os == -2) return nullptr;
  if (os == 0) {
    if (remove_windows(extension, type) || report_error()) Py_RETURN_NONE;
    return nullptr;
  }
  if (os < 0) Py_RETURN_NONE;

  const int given = truthy(extension);
  if (given <= 0) return given == 0 ? Py_NewRef(Py_None) : nullptr;
  if (os == 1) {
    if (run_checked({"duti"_id, "-d"_id, extension})) Py_RETURN_NONE;
    const int failed = process_failed();
    return failed > 0 ? raise_wrapped("delete Error:") : nullptr;
  }
  MimeAnswer answer;
  if (!query_mime_type(extension, answer)) return nullptr;
  // Only a type that the name gives is the extension's own: an answer
  // from content (text/plain for an unknown name) would remove the user's
  // entries for that type, and an answer that cannot head an entry
  // matches no line worth removing.
  if (!names_entry_type(answer) || rewrite_without(answer.type.get())) Py_RETURN_NONE;
  return raise_wrapped("delete Error:");
}

}  // namespace

const FunctionDef delete_{
    .name = "delete",
    .impl = impl<delete_impl>,
    .doc = "\n    删除文件扩展名关联的函数\n    :param file_extension: 要删除关联的文件扩展名\n"
           "    :param file_type: 要删除关联的文件类型\n    ",
};

}  // namespace vk::association
