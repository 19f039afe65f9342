// Ending the program, and the file-attribute setter that ends it when it
// cannot run.
#include "core/errors.hpp"
#include "core/state.hpp"
#include "system/system.hpp"
#include "system/windows_error.hpp"

namespace vk::system {
namespace {

using namespace literals;

// raise SystemExit(code), with the SystemExit fixed at import.
PyObject* exit_impl(Function*, Args<"code"> args) { return raise_new(state().SystemExit, args.get<"code">()); }

// exit(code) through the module-level name.
PyObject* quit_impl(Function*, Args<"code"> args) {
  Ref exit = global("exit"_id);
  if (!exit) return nullptr;
  Ref result = call(exit.get(), args.get<"code">());
  return result ? Py_NewRef(Py_None) : nullptr;
}

// print(text); exit(1)
PyObject* refuse(PyObject* text) {
  if (!print_line(text)) return nullptr;
  Ref exit = global("exit"_id);
  if (!exit) return nullptr;
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!one) return nullptr;
  Ref result = call(exit.get(), one.get());
  return result ? Py_NewRef(Py_None) : nullptr;
}

// GetFileAttributesW reports failure with the all-ones word, which ctypes
// hands back as -1 (or 0xFFFFFFFF with an unsigned result type).
int invalid_attributes(PyObject* word) {
  if (!PyLong_Check(word)) return 0;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(word, &overflow);
  if (value == -1 && !overflow && PyErr_Occurred()) return -1;
  return !overflow && (value == -1 || value == 0xFFFFFFFFLL);
}

// word | kernel32.<constant> when `flag` is true, else word & ~constant.
bool apply_flag(Ref& word, PyObject* flag, PyObject* constant_name) {
  const int on = PyObject_IsTrue(flag);
  if (on < 0) return false;
  Ref constant = global(constant_name);
  if (!constant) return false;
  if (on) {
    word = Ref::steal(PyNumber_InPlaceOr(word.get(), constant.get()));
    return static_cast<bool>(word);
  }
  Ref mask = Ref::steal(PyNumber_Invert(constant.get()));
  if (!mask) return false;
  word = Ref::steal(PyNumber_InPlaceAnd(word.get(), mask.get()));
  return static_cast<bool>(word);
}

PyObject* attributes_impl(Function*,
                          Args<"file_path", "hidden", "readonly", "archive", "system", "compressed"> args) {
  PyObject* file_path = args.get<"file_path">();
  Ref os_name = global("os"_id, "name"_id);
  if (!os_name) return nullptr;
  const int other_system = PyObject_RichCompareBool(os_name.get(), "nt"_id, Py_NE);
  if (other_system < 0) return nullptr;
  if (other_system) return refuse(new_str("attributes: 此功能只支持Windows系统! ").get());

  Ref exists = global("os"_id, "path"_id, "exists"_id);
  if (!exists) return nullptr;
  Ref found = call(exists.get(), file_path);
  if (!found) return nullptr;
  const int present = PyObject_IsTrue(found.get());
  if (present < 0) return nullptr;
  if (!present) return refuse(new_str("文件未找着").get());

  Ref get = global("ctypes"_id, "windll"_id, "kernel32"_id, "GetFileAttributesW"_id);
  if (!get) return nullptr;
  Ref word = call(get.get(), file_path);
  if (!word) return nullptr;
  const int invalid = invalid_attributes(word.get());
  if (invalid < 0) return nullptr;
  if (invalid) return raise_windows_error();

  // Every call decides all five bits, in this order: a false flag clears its bit.
  if (!apply_flag(word, args.get<"hidden">(), "FILE_ATTRIBUTE_HIDDEN"_id) ||
      !apply_flag(word, args.get<"readonly">(), "FILE_ATTRIBUTE_READONLY"_id) ||
      !apply_flag(word, args.get<"archive">(), "FILE_ATTRIBUTE_ARCHIVE"_id) ||
      !apply_flag(word, args.get<"system">(), "FILE_ATTRIBUTE_SYSTEM"_id) ||
      !apply_flag(word, args.get<"compressed">(), "FILE_ATTRIBUTE_COMPRESSED"_id))
    return nullptr;

  Ref set = global("ctypes"_id, "windll"_id, "kernel32"_id, "SetFileAttributesW"_id);
  if (!set) return nullptr;
  Ref written = call(set.get(), file_path, word.get());
  if (!written) return nullptr;
  const int refused = PyObject_Not(written.get());
  if (refused < 0) return nullptr;
  if (refused) return raise_windows_error();
  Py_RETURN_NONE;
}

}  // namespace

const FunctionDef exit{.name = "exit", .impl = impl<exit_impl>};
const FunctionDef quit{.name = "quit", .impl = impl<quit_impl>};

const FunctionDef attributes{
    .name = "attributes",
    .impl = impl<attributes_impl>,
    .doc = "\n    设置指定文件的属性为隐藏、只读、存档、系统或压缩\n"
           "    :param file_path: 文件路径\n"
           "    :param hidden: 是否设置为隐藏，默认为False\n"
           "    :param readonly: 是否设置为只读，默认为False\n"
           "    :param archive: 是否设置为存档，默认为False\n"
           "    :param system: 是否设置为系统，默认为False\n"
           "    :param compressed: 是否设置为压缩，默认为False\n    ",
    .defaults = [] { return build("(OOOOO)", Py_False, Py_False, Py_False, Py_False, Py_False); },
};

}  // namespace vk::system
