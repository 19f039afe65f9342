// The platform question and the commands run through subprocess.
#include "core/platform.hpp"

#include "core/errors.hpp"

namespace vk {

using namespace literals;

int platform(std::initializer_list<PyObject*> names) {
  int index = 0;
  for (PyObject* name : names) {
    // The answer may change between questions, so each one asks again.
    Ref system = global("system"_id);
    if (!system) return -2;
    Ref answer = call(system.get());
    if (!answer || !name) return -2;
    Ref equal = Ref::steal(PyObject_RichCompare(answer.get(), name, Py_EQ));
    if (!equal) return -2;
    const int same = PyObject_IsTrue(equal.get());
    if (same < 0) return -2;
    if (same) return index;
    ++index;
  }
  return -1;
}

Ref run_checked(std::initializer_list<PyObject*> args) {
  Ref run = global("subprocess"_id, "run"_id);
  if (!run) return {};
  Ref argv = list_of(args);
  if (!argv) return {};
  return call_kw(run.get(), 1, kwnames<"check">(), argv.get(), Py_True);
}

int process_failed() {
  if (!PyErr_Occurred()) return 0;
  Caught caught;
  // Looked up while the failure is being handled, as an except clause does.
  Ref type = global("subprocess"_id, "CalledProcessError"_id);
  if (!type) return -1;
  const int matches = caught.is(type.get());
  caught.restore();
  return matches;
}

}  // namespace vk
