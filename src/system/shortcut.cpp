// Windows shortcut files through the "WScript.Shell" automation object.
#include "core/errors.hpp"
#include "core/state.hpp"
#include "system/system.hpp"

namespace vk::system {
namespace {

using namespace literals;

PyObject* shortcut_impl(Function*, Args<"target_path", "shortcut_path", "run_as_admin"> args) {
  PyObject* target_path = args.get<"target_path">();
  Ref dispatch = global("Dispatch"_id);
  if (!dispatch) return nullptr;
  Ref shell = call(dispatch.get(), "WScript.Shell"_id);
  if (!shell) return nullptr;
  Ref link = call_method(shell.get(), "CreateShortCut"_id, args.get<"shortcut_path">());
  if (!link || PyObject_SetAttr(link.get(), "Targetpath"_id, target_path) < 0) return nullptr;
  const int as_admin = PyObject_IsTrue(args.get<"run_as_admin">());
  if (as_admin < 0) return nullptr;
  if (as_admin) {
    Ref dirname = global("os"_id, "path"_id, "dirname"_id);
    if (!dirname) return nullptr;
    Ref folder = call(dirname.get(), target_path);
    if (!folder || PyObject_SetAttr(link.get(), "WorkingDirectory"_id, folder.get()) < 0 ||
        PyObject_SetAttr(link.get(), "RunAsAdmin"_id, Py_True) < 0)
      return nullptr;
  }
  if (!call_method(link.get(), "save"_id)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

const FunctionDef shortcut{
    .name = "shortcut",
    .impl = impl<shortcut_impl>,
    .doc = "\n    创建指定文件的快捷方式\n"
           "    :param target_path: 目标文件路径\n"
           "    :param shortcut_path: 快捷方式保存路径\n"
           "    :param run_as_admin: 是否以管理员权限运行，默认为False\n    ",
    .defaults = [] { return build("(O)", Py_False); },
};

}  // namespace vk::system
