// The call path: the vectorcall entries and the direct, defaults, packed and general calls behind them.
#include "core/call.hpp"

#include "core/binding.hpp"
#include "core/function_layout.hpp"
#include "core/like_def.hpp"
#include "core/recursion.hpp"

namespace vk {
namespace {

// The function, its arguments and its keyword names, held for the whole
// call as a def's frame holds them. The caller's array is copied as well:
// its references may be borrowed (a partial passes the items of its own
// tuple), and code that runs inside the call can free them, tuple and all.
class CallFrame {
 public:
  CallFrame(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kwnames) noexcept
      : self_(Py_NewRef(self)), kwnames_(Py_XNewRef(kwnames)), n_(n) {
    if (n > kInline) {
      items_ = static_cast<PyObject**>(PyMem_Malloc(static_cast<std::size_t>(n) * sizeof(PyObject*)));
      if (!items_) {
        n_ = 0;
        PyErr_NoMemory();
        return;
      }
    }
    for (Py_ssize_t i = 0; i < n; ++i) items_[i] = Py_NewRef(args[i]);
  }
  ~CallFrame() {
    for (Py_ssize_t i = 0; i < n_; ++i) Py_DECREF(items_[i]);
    if (items_ != inline_) PyMem_Free(items_);
    Py_XDECREF(kwnames_);
    Py_DECREF(self_);
  }
  CallFrame(const CallFrame&) = delete;
  CallFrame& operator=(const CallFrame&) = delete;

  // Null (with MemoryError set) when the copy could not be made.
  PyObject* const* args() const noexcept { return items_; }

 private:
  static constexpr Py_ssize_t kInline = 6;
  PyObject* self_;
  PyObject* kwnames_;
  Py_ssize_t n_;
  PyObject* inline_[kInline];
  PyObject** items_ = inline_;
};

// The body of a call: the impl, and on failure a traceback entry for this
// function, as the frame of a def adds one.
inline PyObject* run(Function* f, PyObject* const* args) {
  PyObject* result = f->impl(f, args);
  if (!result) [[unlikely]] add_traceback_entry(f);
  return result;
}

// A call that passes keywords, leaves out defaulted parameters or has a
// *args or keyword-only parameter: its arguments are bound first.
VK_NOINLINE PyObject* bind_and_call(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const ParameterList& list = f->def->parameters();
  const Parameters parameters{f->varnames, static_cast<Py_ssize_t>(list.positional.size()), list.varargs != nullptr,
                              static_cast<Py_ssize_t>(list.kwonly.size())};
  // Binding can run Python code (a keyword's __eq__, a key's __hash__ in
  // the keyword defaults) that replaces these fields: each is read once and
  // held until the call returns.
  const Ref name = Ref::borrow(f->name);
  const Ref defaults = Ref::borrow(f->defaults);
  const Ref kwdefaults = Ref::borrow(f->kwdefaults);
  BoundArguments bound(parameters.slots());
  if (!bind(parameters, name.get(), defaults.get(), kwdefaults.get(), args, nargs, kwnames, bound)) return nullptr;
  return run(f, bound.get());
}

// A function whose one parameter is *args, called without keywords: the
// tuple it is given holds the arguments, so there is nothing else to hold
// or bind.
PyObject* packed_call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) {
  const Ref function = Ref::borrow(callable);
  Ref packed = Ref::steal(PyTuple_New(nargs));
  if (!packed) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(packed.get(), i, Py_NewRef(args[i]));
  PyObject* const held[] = {packed.get()};
  return run(as_function(callable), held);
}

// A call that passes keywords, or more arguments than the common case, or
// fewer than the parameters: the arguments are held in a CallFrame and
// bound when they must be.
VK_NOINLINE PyObject* general_call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Function* f = as_function(callable);
  if (kwnames && PyTuple_GET_SIZE(kwnames) == 0) kwnames = nullptr;
  PyThreadState* thread = PyThreadState_Get();
  if (!enter_call(thread, VK_STACK_ADDRESS())) [[unlikely]]
    return nullptr;
  PyObject* result = nullptr;
  const ParameterList& list = f->def->parameters();
  if (!kwnames && list.varargs && list.positional.size() == 0 && list.kwonly.size() == 0) {
    result = packed_call(callable, args, nargs);
  } else {
    const CallFrame frame(callable, args, nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0), kwnames);
    if (PyObject* const* held = frame.args())
      result = !kwnames && nargs == f->direct_nargs ? run(f, held) : bind_and_call(f, held, nargs, kwnames);
  }
  leave_call(thread);
  return result;
}

// The common case, every parameter given by position: nothing to bind.
// The function and its N arguments are held as CallFrame holds them.
template <int N>
PyObject* direct_call(PyObject* callable, PyObject* const* args) {
  PyThreadState* thread = PyThreadState_Get();
  PyObject* held[N > 0 ? N : 1];
  if (!enter_call(thread, reinterpret_cast<std::uintptr_t>(held))) [[unlikely]]
    return nullptr;
  Py_INCREF(callable);
  for (int i = 0; i < N; ++i) held[i] = Py_NewRef(args[i]);
  PyObject* result = run(as_function(callable), held);
  for (int i = 0; i < N; ++i) Py_DECREF(held[i]);
  Py_DECREF(callable);
  leave_call(thread);
  return result;
}

// Every parameter given by position or from the defaults, and N
// parameters in all: nothing to bind either. The defaults tuple is held for
// the call, and with it the values taken from it, so that code run inside
// the call can replace __defaults__ without freeing them.
template <int N>
VK_NOINLINE PyObject* defaults_call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* const defaults = as_function(callable)->defaults;
  const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
  // Missing arguments: the binder reports them.
  if (nargs + ndefaults < N) [[unlikely]]
    return general_call(callable, args, nargs, nullptr);
  PyThreadState* thread = PyThreadState_Get();
  PyObject* held[N];
  if (!enter_call(thread, reinterpret_cast<std::uintptr_t>(held))) [[unlikely]]
    return nullptr;
  Py_INCREF(callable);
  Py_INCREF(defaults);
  for (Py_ssize_t i = 0; i < nargs; ++i) held[i] = Py_NewRef(args[i]);
  // A longer tuple gives its last items, as a def's does.
  for (Py_ssize_t i = nargs; i < N; ++i) held[i] = PyTuple_GET_ITEM(defaults, ndefaults - N + i);
  PyObject* result = run(as_function(callable), held);
  for (Py_ssize_t i = 0; i < nargs; ++i) Py_DECREF(held[i]);
  Py_DECREF(defaults);
  Py_DECREF(callable);
  leave_call(thread);
  return result;
}

// The entries a call arrives at, one per shape of parameter list, chosen
// when the function is made. Every call counts against the recursion limit
// and checks the stack, so that runaway recursion through the module ends
// in RecursionError.

// N parameters, each by position or keyword, none *args or keyword-only:
// a call by position alone binds nothing.
template <int N>
PyObject* positional_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (!kwnames) [[likely]] {
    if (nargs == N) [[likely]]
      return direct_call<N>(callable, args);
    if constexpr (N > 0)
      if (nargs < N) return defaults_call<N>(callable, args, nargs);
  }
  return general_call(callable, args, nargs, kwnames);
}

// Any other parameter list.
PyObject* general_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return general_call(callable, args, PyVectorcall_NARGS(nargsf), kwnames);
}

}  // namespace

vectorcallfunc vectorcall_for(const FunctionDef& def) {
  const ParameterList& list = def.parameters();
  if (list.varargs || list.kwonly.size()) return general_vectorcall;
  switch (list.positional.size()) {
    case 0:
      return positional_vectorcall<0>;
    case 1:
      return positional_vectorcall<1>;
    case 2:
      return positional_vectorcall<2>;
    case 3:
      return positional_vectorcall<3>;
    default:
      return general_vectorcall;
  }
}

}  // namespace vk
