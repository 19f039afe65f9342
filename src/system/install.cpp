// Installing packages one by one with the "pip" program on the PATH.
#include "core/errors.hpp"
#include "core/iterate.hpp"
#include "core/state.hpp"
#include "system/system.hpp"

namespace vk::system {
namespace {

using namespace literals;

// What the runs need from the module-level subprocess, looked up once per
// call when first needed: an empty list looks up nothing, and the error
// class is only asked for when a run raised.
struct Runner {
  Ref run, pipe, failed;

  bool ready() {
    if (run) return true;
    Ref subprocess = global("subprocess"_id);
    if (!subprocess) return false;
    Ref found = getattr(subprocess.get(), "run"_id);
    if (!found) return false;
    pipe = getattr(subprocess.get(), "PIPE"_id);
    if (!pipe) return false;
    run = found;
    return true;
  }

  // True when the pending exception is a subprocess.CalledProcessError.
  int run_failed() {
    if (!failed) {
      Caught raised;  // the lookup happens while the run's error is being handled
      failed = global("subprocess"_id, "CalledProcessError"_id);
      if (!failed) return -1;
      raised.restore();
    }
    return PyErr_ExceptionMatches(failed.get());
  }
};

// ["pip", "install", ("-i", mirror_url,) module]
Ref command_line(PyObject* mirror_url, PyObject* module) {
  const int mirrored = PyObject_IsTrue(mirror_url);
  if (mirrored < 0) return {};
  return mirrored ? build("[OOOOO]", "pip"_id, "install"_id, "-i"_id, mirror_url, module)
                  : build("[OOO]", "pip"_id, "install"_id, module);
}

// The output of one run, or the "安装 " line of a failed one; null with an
// exception set for any other failure.
Ref install_one(Runner& runner, PyObject* mirror_url, PyObject* module) {
  Ref command = command_line(mirror_url, module);
  if (!command || !runner.ready()) return {};
  Ref result = call_kw(runner.run.get(), 1, kwnames<"stdout", "stderr", "text", "check">(), command.get(),
                       runner.pipe.get(), runner.pipe.get(), Py_True, Py_True);
  if (result) {
    Ref out = getattr(result.get(), "stdout"_id);
    if (!out) return {};
    Ref err = getattr(result.get(), "stderr"_id);
    if (!err) return {};
    return Ref::steal(PyNumber_Add(out.get(), err.get()));
  }
  if (runner.run_failed() <= 0) return {};
  Caught caught;
  Ref shown = format(module);
  if (!shown) return {};
  Ref stderr_text = getattr(caught.value(), "stderr"_id);
  if (!stderr_text) return {};
  Ref error_shown = format(stderr_text.get());
  if (!error_shown) return {};
  return concat({"安装 "_id, shown.get(), " 时出现错误: "_id, error_shown.get()});
}

PyObject* install_impl(Function*, Args<"modules", "mirror_url"> args) {
  PyObject* mirror_url = args.get<"mirror_url">();
  Ref output = Ref::steal(PyList_New(0));
  if (!output) return nullptr;
  Runner runner;
  auto install_each = [&](PyObject* module) {
    Ref text = install_one(runner, mirror_url, module);
    return text && PyList_Append(output.get(), text.get()) == 0 ? Loop::next : Loop::fail;
  };
  // A string is one package name: iterated, "requests" would install the
  // packages "r", "e", "q", ... from the index.
  PyObject* modules = args.get<"modules">();
  const bool done = PyUnicode_Check(modules) ? install_each(modules) == Loop::next : for_each(modules, install_each);
  if (!done) return nullptr;
  return PyUnicode_Join("\n"_id, output.get());
}

}  // namespace

const FunctionDef install{
    .name = "install",
    .impl = impl<install_impl>,
    .doc = "\n    依次安装指定的多个模块，可以指定镜像源，并返回安装输出\n"
           "    :param modules: 要安装的模块列表\n"
           "    :param mirror_url: 可选的镜像源 URL\n"
           "    :return: 安装过程的输出信息\n    ",
    .defaults = [] { return build("(s)", "https://pypi.tuna.tsinghua.edu.cn/simple"); },
};

}  // namespace vk::system
