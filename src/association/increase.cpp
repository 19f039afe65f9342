// Registering a file type and tying an extension to it: class keys under
// HKEY_CLASSES_ROOT on Windows, duti on macOS, a mimeapps.list entry on
// Linux.
#include "association/association.hpp"
#include "association/mimeapps.hpp"
#include "association/registry.hpp"
#include "association/styles.hpp"
#include "core/errors.hpp"
#include "core/platform.hpp"
#include "core/state.hpp"
#include "core/with.hpp"

namespace vk::association {
namespace {

using namespace literals;

struct Request {
  PyObject* extension;
  PyObject* type;
  PyObject* icon;
  PyObject* program;
};

// winreg.CreateKey(parent, name) into `handle`, then its default value
// set to `value` as REG_SZ.
bool write_key(PyObject* parent, PyObject* name, PyObject* value, Ref& handle) {
  Ref winreg = global("winreg"_id);
  if (!winreg) return false;
  handle = call_method(winreg.get(), "CreateKey"_id, parent, name);
  if (!handle) return false;
  Ref text_type = getattr(winreg.get(), "REG_SZ"_id);
  if (!text_type) return false;
  return static_cast<bool>(call_method(winreg.get(), "SetValue"_id, handle.get(), ""_id, text_type.get(), value));
}

// The type key, which the other keys hang below. Unset only when the truth
// of file_type changed between two tests; Python would then raise this.
PyObject* type_key(const Ref& key) {
  if (!key)
    PyErr_SetString(PyExc_UnboundLocalError,
                    "cannot access local variable 'key' where it is not associated with a value");
  return key.get();
}

// The four keys in order: type, icon, open command, extension. Each
// needs a type name.
bool write_keys(const Request& r, Ref& key, Ref& icon_key, Ref& shell_key, Ref& ext_key) {
  int given = truthy(r.type);
  if (given < 0) return false;
  if (given) {
    Ref root = global("winreg"_id, "HKEY_CLASSES_ROOT"_id);
    if (!root || !write_key(root.get(), r.type, "Custom File"_id, key)) return false;
  }
  given = both(r.icon, r.type);
  if (given < 0) return false;
  if (given) {
    PyObject* parent = type_key(key);
    if (!parent || !write_key(parent, "DefaultIcon"_id, r.icon, icon_key)) return false;
  }
  given = both(r.program, r.type);
  if (given < 0) return false;
  if (given) {
    PyObject* parent = type_key(key);
    if (!parent) return false;
    Ref program = str_of(r.program);
    if (!program) return false;
    Ref command = concat({"\""_id, program.get(), "\" \"%1\""_id});
    if (!command || !write_key(parent, "shell\\open\\command"_id, command.get(), shell_key)) return false;
  }
  given = both(r.extension, r.type);
  if (given < 0) return false;
  if (given) {
    Ref root = global("winreg"_id, "HKEY_CLASSES_ROOT"_id);
    if (!root || !write_key(root.get(), r.extension, r.type, ext_key)) return false;
  }
  return true;
}

bool register_windows(const Request& r) {
  Ref key, icon_key, shell_key, ext_key;
  // Keys written before a failure stay; the failure is only reported.
  const bool written = write_keys(r, key, icon_key, shell_key, ext_key) || report_error();
  const bool closed = close_keys({&key, &icon_key, &shell_key, &ext_key});
  return written && closed;
}

bool register_macos(const Request& r) {
  const int given = both(r.extension, r.program);
  if (given <= 0) return given == 0;
  if (run_checked({"duti"_id, "-s"_id, r.program, r.extension})) return true;
  const int failed = process_failed();
  return failed > 0 && report_error();
}

// 1 when the open list is empty or its last byte is "\n", 0 when not, -1
// with an exception set. A block appended after a last line without its
// line end would glue the header onto that line and lose its entry.
int ends_in_line_end(PyObject* file) {
  Ref os = global("os"_id);
  if (!os) return -1;
  Ref fd = call_method(file, "fileno"_id);
  if (!fd) return -1;
  Ref status = call_method(os.get(), "fstat"_id, fd.get());
  if (!status) return -1;
  Ref size = getattr(status.get(), "st_size"_id);
  if (!size) return -1;
  const int empty = PyObject_Not(size.get());
  if (empty != 0) return empty;
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!one) return -1;
  Ref offset = Ref::steal(PyNumber_Subtract(size.get(), one.get()));
  if (!offset) return -1;
  Ref last = call_method(os.get(), "pread"_id, fd.get(), one.get(), offset.get());
  if (!last) return -1;
  return PyBytes_Check(last.get()) && PyBytes_GET_SIZE(last.get()) == 1 && PyBytes_AS_STRING(last.get())[0] == '\n';
}

// The entry for the extension's MIME type, appended with its own header.
bool register_linux(const Request& r) {
  const int given = both(r.extension, r.program);
  if (given <= 0) return given == 0;
  MimeAnswer answer;
  Ref program;
  const int usable = check_entry(r.extension, r.program, answer, program);
  if (usable <= 0) return usable == 0;
  PyObject* mime_type = answer.type.get();
  Ref path = mimeapps_path();
  if (!path) return report_error();
  Ref entry = concat({"[Default Applications]\n"_id, mime_type, "="_id, program.get(), "\n"_id});
  if (!entry) return report_error();
  // Opened for reading too, to see how the list ends.
  Ref file = call(state().open, path.get(), "a+"_id);
  if (!file) return report_error();
  const bool written = with_block(file.get(), [&](PyObject* f) {
    const int ended = ends_in_line_end(f);
    if (ended < 0) return false;
    Ref text = ended ? entry : concat({"\n"_id, entry.get()});
    return text && call_method(f, "write"_id, text.get());
  });
  return written || report_error();
}

PyObject* increase_impl(Function*, Args<"file_extension", "file_type", "icon_path", "associated_program"> args) {
  const Request r{args.get<"file_extension">(), args.get<"file_type">(), args.get<"icon_path">(),
                  args.get<"associated_program">()};
  if (r.extension == Py_None && r.type == Py_None && r.icon == Py_None && r.program == Py_None) {
    if (!print_line(new_str("Error: 至少需要提供一个参数").get())) return nullptr;
    Py_RETURN_NONE;
  }
  bool done = false;
  switch (platform({"Windows"_id, "macOS"_id, "Linux"_id})) {
    case 0:
      done = register_windows(r);
      break;
    case 1:
      done = register_macos(r);
      break;
    case 2:
      done = register_linux(r);
      break;
    case -1:
      done = true;
      break;
  }
  if (done) Py_RETURN_NONE;
  return raise_wrapped("increase Error:");
}

}  // namespace

const FunctionDef increase{
    .name = "increase",
    .impl = impl<increase_impl>,
    .doc = "\n    :param file_extension 自定义后缀名\n    :param file_type 自定义文件类型名称\n"
           "    :param icon_path 图标文件路径，确保图标文件存在\n    :param associated_program 关联的程序路径\n    ",
    .defaults = [] { return build("(OOOO)", Py_None, Py_None, Py_None, Py_None); },
};

}  // namespace vk::association
