// BackendPythonServer: runs a Python script as a child process and prints
// a line from a watcher thread when it ends.
#include "core/errors.hpp"
#include "core/state.hpp"
#include "servers/init.hpp"
#include "servers/servers.hpp"

namespace vk::servers {
namespace {

using namespace literals;

// "The backend Python server (<path>)<tail>", the path read now.
bool print_server_line(PyObject* self, const char* tail) {
  Ref path = getattr(self, "python_file_path"_id);
  if (!path) return false;
  Ref text = format(path.get());
  if (!text) return false;
  return print_line(concat({new_str("The backend Python server (").get(), text.get(), new_str(tail).get()}).get());
}

// monitor_process(): waits for the child, then says it stopped. Its free
// variables, read when it runs, are the process and the instance.
enum : Py_ssize_t { kProcess, kSelf };

PyObject* monitor_impl(Function* f, Args<>) {
  Ref process = free_variable(f, kProcess);
  if (!process || !call_method(process.get(), "wait"_id)) return nullptr;
  Ref self = free_variable(f, kSelf);
  if (!self || !print_server_line(self.get(), ") has stopped")) return nullptr;
  return Py_NewRef(Py_None);
}

const FunctionDef monitor_process{
    .name = "monitor_process", .impl = impl<monitor_impl>, .freevars = {"process", "self"}};

// ["python", path] and, when the port is true, "--port", str(port).
Ref command_line(PyObject* self) {
  Ref path = getattr(self, "python_file_path"_id);
  if (!path) return {};
  Ref command = Ref::steal(PyList_New(2));
  if (!command) return {};
  PyList_SET_ITEM(command.get(), 0, Py_NewRef("python"_id));
  PyList_SET_ITEM(command.get(), 1, path.release());
  Ref port = getattr(self, "port"_id);
  if (!port) return {};
  const int has_port = PyObject_IsTrue(port.get());
  if (has_port < 0) return {};
  if (has_port) {
    port = getattr(self, "port"_id);
    if (!port) return {};
    Ref port_text = Ref::steal(PyObject_Str(port.get()));
    if (!port_text || PyList_Append(command.get(), "--port"_id) < 0 ||
        PyList_Append(command.get(), port_text.get()) < 0)
      return {};
  }
  return command;
}

// The guarded part of start: the child, the start line, the watcher.
bool launch(PyObject* self, PyObject* command) {
  Ref popen = global("subprocess"_id, "Popen"_id);
  if (!popen) return false;
  Ref process = call(popen.get(), command);
  if (!process) return false;
  if (!print_server_line(self, ") has been started")) return false;

  Ref closure = Ref::steal(PyTuple_Pack(2, process.get(), self));
  if (!closure) return false;
  Ref watcher = make_function(monitor_process,
                              {.qualname = "BackendPythonServer.start.<locals>.monitor_process",
                               .closure = closure.get()});
  if (!watcher) return false;
  Ref thread_type = global("threading"_id, "Thread"_id);
  if (!thread_type) return false;
  Ref thread = call_kw(thread_type.get(), 0, kwnames<"target">(), watcher.get());
  return thread && call_method(thread.get(), "start"_id);
}

PyObject* start_impl(Function*, Args<"self"> args) {
  PyObject* self = args.get<"self">();
  Ref command = command_line(self);
  if (!command) return nullptr;
  if (launch(self, command.get())) return Py_NewRef(Py_None);
  return report_exception("An error occurred while starting the backend Python server: "_id, format) ? Py_NewRef(Py_None)
                                                                                                        : nullptr;
}

}  // namespace

const FunctionDef backend_init{
    .name = "__init__",
    .impl = impl<store_parameters<"python_file_path", "port">>,
    .defaults = [] { return build("(O)", Py_None); },
};
const FunctionDef backend_start{.name = "start", .impl = impl<start_impl>};

}  // namespace vk::servers
