// The clipboard, the system mouse pointer and the screen size, through the
// module-level pywin32 modules. Nothing is caught.
#include "core/errors.hpp"
#include "core/state.hpp"
#include "system/system.hpp"
#include "system/windows_error.hpp"

namespace vk::system {
namespace {

using namespace literals;

// win32clipboard.<name>(...)
template <class... A>
Ref clipboard(PyObject* name, A... args) {
  Ref function = global("win32clipboard"_id, name);
  if (!function) return {};
  return call(function.get(), args...);
}

// Once the clipboard is open it is closed again on every path; an error
// while filling it stays the one raised.
PyObject* ctrlc_impl(Function*, Args<"text"> args) {
  if (!clipboard("OpenClipboard"_id)) return nullptr;
  bool filled = static_cast<bool>(clipboard("EmptyClipboard"_id));
  if (filled) {
    Ref format = global("win32clipboard"_id, "CF_UNICODETEXT"_id);
    filled = format && clipboard("SetClipboardData"_id, format.get(), args.get<"text">());
  }
  if (!filled) {
    PendingError keep;
    clipboard("CloseClipboard"_id);
    return nullptr;
  }
  if (!clipboard("CloseClipboard"_id)) return nullptr;
  Py_RETURN_NONE;
}

// obj.<name> into `out`, which stays empty when obj has no such attribute;
// false with an exception set when the lookup failed otherwise.
bool optional_attribute(PyObject* obj, PyObject* name, Ref& out) {
  out = getattr(obj, name);
  if (out || !PyErr_ExceptionMatches(PyExc_AttributeError)) return static_cast<bool>(out) || !PyErr_Occurred();
  PyErr_Clear();
  return true;
}

// pywin32's win32api has no SetSystemCursor: where it is missing, user32's
// own is called through ctypes with the same handle and id. The system
// then owns the cursor, so a pywin32 handle object is detached from it;
// a refusal raises the Windows error.
bool set_system_cursor(PyObject* cursor, PyObject* id) {
  Ref win32api = global("win32api"_id);
  if (!win32api) return false;
  Ref set;
  if (!optional_attribute(win32api.get(), "SetSystemCursor"_id, set)) return false;
  if (set) return static_cast<bool>(call(set.get(), cursor, id));

  Ref address = Ref::steal(PyNumber_Index(cursor));
  if (!address) return false;
  Ref pointer = global("ctypes"_id, "c_void_p"_id);
  if (!pointer) return false;
  Ref handle = call(pointer.get(), address.get());
  if (!handle) return false;
  Ref user32_set = global("user32"_id, "SetSystemCursor"_id);
  if (!user32_set) return false;
  Ref done = call(user32_set.get(), handle.get(), id);
  if (!done) return false;
  const int refused = PyObject_Not(done.get());
  if (refused < 0) return false;
  if (refused) return raise_windows_error() != nullptr;
  Ref detach;
  if (!optional_attribute(cursor, "Detach"_id, detach)) return false;
  return !detach || call(detach.get());
}

PyObject* curani_impl(Function*, Args<"cursor_path"> args) {
  Ref load = global("win32gui"_id, "LoadImage"_id);
  if (!load) return nullptr;
  Ref image_cursor = global("win32con"_id, "IMAGE_CURSOR"_id);
  if (!image_cursor) return nullptr;
  Ref from_file = global("win32con"_id, "LR_LOADFROMFILE"_id);
  if (!from_file) return nullptr;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return nullptr;
  Ref cursor = call(load.get(), zero.get(), args.get<"cursor_path">(), image_cursor.get(), zero.get(), zero.get(),
                    from_file.get());
  if (!cursor) return nullptr;
  const int loaded = PyObject_IsTrue(cursor.get());
  if (loaded < 0) return nullptr;
  if (loaded) {
    Ref normal = global("win32con"_id, "OCR_NORMAL"_id);
    if (!normal || !set_system_cursor(cursor.get(), normal.get())) return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* size_impl(Function*, Args<>) {
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return nullptr;
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!one) return nullptr;
  Ref metrics = global("win32api"_id, "GetSystemMetrics"_id);
  if (!metrics) return nullptr;
  Ref width = call(metrics.get(), zero.get());
  if (!width) return nullptr;
  metrics = global("win32api"_id, "GetSystemMetrics"_id);
  if (!metrics) return nullptr;
  Ref height = call(metrics.get(), one.get());
  if (!height) return nullptr;
  return PyTuple_Pack(2, width.get(), height.get());
}

}  // namespace

const FunctionDef ctrlc{.name = "ctrlc", .impl = impl<ctrlc_impl>, .doc = "复制指定的内容"};
const FunctionDef curani{
    .name = "curani",
    .impl = impl<curani_impl>,
    .doc = "设置鼠标指针(.cur,.ani)",
};
const FunctionDef size{.name = "size", .impl = impl<size_impl>, .doc = "获取屏幕分辨率"};

}  // namespace vk::system
