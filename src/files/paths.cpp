// One-word names for path, directory and user-folder operations.
#include <cerrno>

#include "core/state.hpp"
#include "files/files.hpp"

namespace vk::files {
namespace {

using namespace literals;

using Name = PyObject* (*)() noexcept;

// os.<attribute> or os.path.<attribute>, looked up when called.
struct Target {
  Name attribute;
  bool in_path;   // os.path rather than os
  bool returns;   // hand back the result, or None
};

// Every argument passed on to the target, in parameter order.
template <FixedString... Names>
PyObject* forward(Function* self, Args<Names...> args) {
  const auto& target = *static_cast<const Target*>(self->def->data);
  Ref callable = target.in_path ? global("os"_id, "path"_id, target.attribute()) : global("os"_id, target.attribute());
  if (!callable) return nullptr;
  Ref result = Ref::steal(PyObject_Vectorcall(callable.get(), args.all(), args.size(), nullptr));
  if (!result) return nullptr;
  return target.returns ? result.release() : Py_NewRef(Py_None);
}

PyObject* join_impl(Function*, Args<"*paths"> args) {
  Ref join = global("os"_id, "path"_id, "join"_id);
  if (!join) return nullptr;
  PyObject* paths = args.get<"paths">();
  return PyObject_Vectorcall(join.get(), &PyTuple_GET_ITEM(paths, 0), static_cast<size_t>(PyTuple_GET_SIZE(paths)),
                             nullptr);
}

constexpr Target kGetcwd{&interned<"getcwd">, false, true};
constexpr Target kRemove{&interned<"remove">, false, false};
constexpr Target kRemovedirs{&interned<"removedirs">, false, false};
constexpr Target kChdir{&interned<"chdir">, false, false};
constexpr Target kMkdir{&interned<"mkdir">, false, false};
constexpr Target kExists{&interned<"exists">, true, true};
constexpr Target kAbspath{&interned<"abspath">, true, true};
constexpr Target kGetcwdb{&interned<"getcwdb">, false, true};
constexpr Target kListdir{&interned<"listdir">, false, true};
constexpr Target kRename{&interned<"rename">, false, false};
constexpr Target kIsfile{&interned<"isfile">, true, true};
constexpr Target kIsdir{&interned<"isdir">, true, true};
constexpr Target kAccess{&interned<"access">, false, true};
constexpr Target kChmod{&interned<"chmod">, false, false};

// system() == "Windows", asking the module's own `system` anew.
int on_windows() {
  Ref system = global("system"_id);
  if (!system) return -1;
  Ref answer = call(system.get());
  if (!answer) return -1;
  return PyObject_RichCompareBool(answer.get(), "Windows"_id, Py_EQ);
}

// GetCurrentDirectoryW into a buffer that grows to the size the call asks
// for, so that long current folders come back whole.
PyObject* getcwd_windows(PyObject* ctypes) {
  Ref windll_ctor = getattr(ctypes, "WinDLL"_id);
  Ref make_buffer = getattr(ctypes, "create_unicode_buffer"_id);
  if (!windll_ctor || !make_buffer) return nullptr;
  Ref kernel32 = call(windll_ctor.get(), "kernel32"_id);
  if (!kernel32) return nullptr;
  Ref getter = getattr(kernel32.get(), "GetCurrentDirectoryW"_id);
  if (!getter) return nullptr;
  Ref size = Ref::steal(PyLong_FromLong(260));
  for (;;) {
    if (!size) return nullptr;
    Ref buffer = call(make_buffer.get(), size.get());
    if (!buffer) return nullptr;
    Ref needed = call(getter.get(), size.get(), buffer.get());
    if (!needed) return nullptr;
    // A result larger than the buffer is the size it needs; the buffer
    // was left untouched.
    int too_small = PyObject_RichCompareBool(needed.get(), size.get(), Py_GT);
    if (too_small < 0) return nullptr;
    if (!too_small) return PyObject_GetAttr(buffer.get(), "value"_id);
    size = needed;
  }
}

// libc's getcwd through ctypes; a failure raises the OSError of its errno.
PyObject* getcwd_posix(PyObject* ctypes) {
  Ref util = Ref::steal(PyImport_ImportModule("ctypes.util"));
  if (!util) return nullptr;
  util = getattr(ctypes, "util"_id);
  if (!util) return nullptr;
  Ref find_library = getattr(util.get(), "find_library"_id);
  Ref cdll = getattr(ctypes, "CDLL"_id);
  Ref make_buffer = getattr(ctypes, "create_string_buffer"_id);
  Ref void_p = getattr(ctypes, "c_void_p"_id);
  Ref get_errno = getattr(ctypes, "get_errno"_id);
  if (!find_library || !cdll || !make_buffer || !void_p || !get_errno) return nullptr;
  Ref path = call(find_library.get(), "c"_id);
  if (!path) return nullptr;
  Ref libc = call_kw(cdll.get(), 1, kwnames<"use_errno">(), path.get(), Py_True);
  if (!libc) return nullptr;
  Ref getcwd = getattr(libc.get(), "getcwd"_id);
  if (!getcwd || PyObject_SetAttr(getcwd.get(), "restype"_id, void_p.get()) < 0) return nullptr;
  Ref size = Ref::steal(PyLong_FromLong(4096));
  if (!size) return nullptr;
  Ref buffer = call(make_buffer.get(), size.get());
  if (!buffer) return nullptr;
  Ref pointer = call(getcwd.get(), buffer.get(), size.get());
  if (!pointer) return nullptr;
  if (pointer.get() == Py_None) {
    Ref code = call(get_errno.get());
    if (!code) return nullptr;
    errno = static_cast<int>(PyLong_AsLong(code.get()));
    if (PyErr_Occurred()) return nullptr;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  Ref value = getattr(buffer.get(), "value"_id);
  if (!value) return nullptr;
  char* bytes;
  Py_ssize_t length;
  if (PyBytes_AsStringAndSize(value.get(), &bytes, &length) < 0) return nullptr;
  return PyUnicode_DecodeFSDefaultAndSize(bytes, length);
}

PyObject* getcwd_impl(Function*, Args<>) {
  int windows = on_windows();
  if (windows < 0) return nullptr;
  Ref ctypes = global("ctypes"_id);
  if (!ctypes) return nullptr;
  return windows ? getcwd_windows(ctypes.get()) : getcwd_posix(ctypes.get());
}

PyObject* username_impl(Function*, Args<>) {
  int windows = on_windows();
  if (windows < 0) return nullptr;
  Ref getenv = global("os"_id, "getenv"_id);
  if (!getenv) return nullptr;
  return call(getenv.get(), windows ? "USERNAME"_id : "USER"_id).release();
}

Ref expand_home() {
  Ref expanduser = global("os"_id, "path"_id, "expanduser"_id);
  if (!expanduser) return {};
  return call(expanduser.get(), "~"_id);
}

PyObject* home_impl(Function*, Args<>) {
  int windows = on_windows();
  if (windows < 0) return nullptr;
  if (!windows) return expand_home().release();
  Ref environment = global("os"_id, "environ"_id);
  if (!environment) return nullptr;
  return call_method(environment.get(), "get"_id, "USERPROFILE"_id).release();
}

PyObject* desktop_impl(Function*, Args<>) {
  Ref home = expand_home();
  if (!home) return nullptr;
  Ref join = global("os"_id, "path"_id, "join"_id);
  if (!join) return nullptr;
  return call(join.get(), home.get(), "Desktop"_id).release();
}

}  // namespace

const FunctionDef getcwd_by_os_getcwd{.name = "getcwd", .impl = impl<forward<>>, .data = &kGetcwd};
const FunctionDef remove{.name = "remove", .impl = impl<forward<"path">>, .data = &kRemove};
const FunctionDef removedir{.name = "removedir", .impl = impl<forward<"path">>, .data = &kRemovedirs};
const FunctionDef chdir{.name = "chdir", .impl = impl<forward<"path">>, .data = &kChdir};
const FunctionDef mkdir{.name = "mkdir", .impl = impl<forward<"path">>, .data = &kMkdir};
const FunctionDef exists{.name = "exists", .impl = impl<forward<"path">>, .data = &kExists};
const FunctionDef abspath{.name = "abspath", .impl = impl<forward<"path">>, .data = &kAbspath};
const FunctionDef join{.name = "join", .impl = impl<join_impl>, };
const FunctionDef cwdbytes{.name = "cwdbytes", .impl = impl<forward<>>, .data = &kGetcwdb};
const FunctionDef dirlist{.name = "dirlist", .impl = impl<forward<"path">>, .data = &kListdir};
const FunctionDef name{.name = "name", .impl = impl<forward<"oldpath", "newpath">>, .data = &kRename};
const FunctionDef file{.name = "file", .impl = impl<forward<"path">>, .data = &kIsfile};
const FunctionDef idir{.name = "idir", .impl = impl<forward<"path">>, .data = &kIsdir};
const FunctionDef pathq{.name = "pathq", .impl = impl<forward<"filepath", "r">>, .data = &kAccess};
const FunctionDef permissions{.name = "permissions", .impl = impl<forward<"path", "r">>, .data = &kChmod};

const FunctionDef getcwd{.name = "getcwd", .impl = impl<getcwd_impl>, .doc = "get? 获取当前工作目录"};
const FunctionDef username{.name = "username", .impl = impl<username_impl>, .doc = "获取用户名"};
const FunctionDef home{
    .name = "home",
    .impl = impl<home_impl>,
    .doc = "获取用户文件夹路径",
    .annotations = [] { return build("{s:s}", "return", "str"); },
};
const FunctionDef desktop{.name = "desktop", .impl = impl<desktop_impl>, .doc = "获取桌面位置(Desktop)"};

}  // namespace vk::files
