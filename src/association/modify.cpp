// Replacing a file-type association: the old one is removed as delete
// does (with its own conditions and failure style), then the module-level
// increase registers the new one.
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

using ModifyArgs = Args<"old_file_extension", "old_file_type", "new_file_extension", "new_file_type", "new_icon_path",
                        "new_associated_program">;

// increase(new_file_extension, new_file_type, new_icon_path, new_associated_program)
bool register_new(ModifyArgs args) {
  Ref increase = global("increase"_id);
  return static_cast<bool>(call(increase.get(), args.get<"new_file_extension">(), args.get<"new_file_type">(),
                                args.get<"new_icon_path">(), args.get<"new_associated_program">()));
}

// Both old names are needed; missing keys are fine.
bool replace_windows(ModifyArgs args) {
  PyObject* extension = args.get<"old_file_extension">();
  PyObject* type = args.get<"old_file_type">();
  const int given = both(extension, type);
  if (given < 0) return false;
  if (given && (remove_class_key(extension, false) < 0 || remove_class_key(type, true) < 0)) return false;
  return register_new(args);
}

// The removal on macOS and Linux, which needs the old extension: true to
// go on to the registration.
bool remove_old(int os, PyObject* extension) {
  if (os == 1) {
    if (run_checked({"duti"_id, "-d"_id, extension})) return true;
    if (process_failed() > 0) raise_wrapped("modify Error:");
    return false;
  }
  MimeAnswer answer;
  if (!query_mime_type(extension, answer)) return false;
  // As for delete: only a type that the name gives is removed.
  if (!names_entry_type(answer) || rewrite_without(answer.type.get())) return true;
  raise_wrapped("modify Error:");
  return false;
}

// On Linux the new entry is checked as increase checks it, before the old
// one goes: what increase would refuse is refused before anything is
// removed, so that no call leaves the old association gone and no new
// one. 1 to go on, 0 refused (the reason printed), -1 with an exception
// set. Nothing is asked when increase would ask nothing.
int new_entry_acceptable(ModifyArgs args) {
  PyObject* extension = args.get<"new_file_extension">();
  PyObject* program = args.get<"new_associated_program">();
  const int given = both(extension, program);
  if (given <= 0) return given < 0 ? -1 : 1;
  MimeAnswer answer;
  Ref program_text;
  return check_entry(extension, program, answer, program_text);
}

PyObject* modify_impl(Function*, ModifyArgs args) {
  if (args.get<"new_file_extension">() == Py_None && args.get<"new_file_type">() == Py_None &&
      args.get<"new_icon_path">() == Py_None && args.get<"new_associated_program">() == Py_None) {
    if (!print_line(new_str("Error: 至少需要提供一个新参数进行修改").get())) return nullptr;
    Py_RETURN_NONE;
  }
  const int os = platform({"Windows"_id, "macOS"_id, "Linux"_id});
  if (os == -2) return nullptr;
  if (os == 0) {
    if (replace_windows(args)) Py_RETURN_NONE;
    return raise_wrapped("modify Error:");
  }
  if (os < 0) Py_RETURN_NONE;
  const int given = truthy(args.get<"old_file_extension">());
  if (given < 0) return nullptr;
  if (given && os == 2) {
    const int acceptable = new_entry_acceptable(args);
    if (acceptable <= 0) return acceptable < 0 ? nullptr : Py_NewRef(Py_None);
  }
  if (given && !remove_old(os, args.get<"old_file_extension">())) return nullptr;
  if (!register_new(args)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

const FunctionDef modify{
    .name = "modify",
    .impl = impl<modify_impl>,
    .doc = "修改 文件后缀名的关联 ",
    .defaults = [] { return build("(OOOOOO)", Py_None, Py_None, Py_None, Py_None, Py_None, Py_None); },
};

}  // namespace vk::association
