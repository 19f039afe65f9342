// Running operating-system commands: through the shell on the console,
// with the output captured, or detached in the background.
#include "core/state.hpp"
#include "files/files.hpp"

namespace vk::files {
namespace {

using namespace literals;

PyObject* cmd_impl(Function*, Args<"command"> args) {
  Ref system = global("os"_id, "system"_id);
  if (!system || !call(system.get(), args.get<"command">())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* psshell_impl(Function*, Args<"command"> args) {
  Ref subprocess = import_local("subprocess"_id);
  if (!subprocess) return nullptr;
  Ref platform = import_local("platform"_id);
  if (!platform) return nullptr;
  Ref system = call_method(platform.get(), "system"_id);
  if (!system) return nullptr;

  int posix = PyObject_RichCompareBool(system.get(), "Linux"_id, Py_EQ);
  if (posix == 0) posix = PyObject_RichCompareBool(system.get(), "Darwin"_id, Py_EQ);
  if (posix < 0) return nullptr;
  int windows = 0;
  if (!posix) {
    windows = PyObject_RichCompareBool(system.get(), "Windows"_id, Py_EQ);
    if (windows < 0) return nullptr;
    if (!windows) Py_RETURN_NONE;
  }

  // The whole command is one program name: a one-element argument list.
  Ref argv = Ref::steal(PyList_New(1));
  if (!argv) return nullptr;
  PyList_SET_ITEM(argv.get(), 0, Py_NewRef(args.get<"command">()));
  Ref run = getattr(subprocess.get(), "run"_id);
  if (!run) return nullptr;
  if (posix)
    return call_kw(run.get(), 1, kwnames<"capture_output", "text">(), argv.get(), Py_True, Py_True).release();
  return call_kw(run.get(), 1, kwnames<"shell", "capture_output", "text">(), argv.get(), Py_True, Py_True, Py_True)
      .release();
}

PyObject* backend_impl(Function*, Args<"file"> args) {
  Ref popen = global("subprocess"_id, "Popen"_id);
  if (!popen) return nullptr;
  Ref devnull = global("subprocess"_id, "DEVNULL"_id);
  if (!devnull) return nullptr;
  PyObject* null = devnull.get();
  Ref process = call_kw(popen.get(), 1, kwnames<"shell", "stdout", "stderr", "stdin">(), args.get<"file">(), Py_True,
                        null, null, null);
  if (!process) return nullptr;
  // The process runs on by itself; its handle is dropped without waiting.
  Py_RETURN_NONE;
}

}  // namespace

const FunctionDef cmd{.name = "cmd", .impl = impl<cmd_impl>};
const FunctionDef psshell{.name = "psshell", .impl = impl<psshell_impl>};
const FunctionDef backend{.name = "backend", .impl = impl<backend_impl>, .doc = "将指定的文件在后台运行"};

}  // namespace vk::files
