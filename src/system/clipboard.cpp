// The clipboard, the system mouse pointer and the screen size, through the
// module-level pywin32 modules. Nothing is caught.
#include "core/errors.hpp"
#include "core/state.hpp"
#include "system/system.hpp"

namespace vk::utilities {
namespace {

using namespace literals;

// win32clipboard.<name>(...)
template <class... A>
Ref clipboard(PyObject* name, A... args) {
  Ref function = global("win32clipboard"_id, name);
  return call(function.get(), args...);
}

// Once the clipboard is open it is closed again on every path; an error
// while filling it stays the one raised.
PyObject* ctrlc_impl(Function*, Args args) {
  if (!clipboard("OpenClipboard"_id)) return nullptr;
  bool filled = static_cast<bool>(clipboard("EmptyClipboard"_id));
  if (filled) {
    Ref format = global("win32clipboard"_id, "CF_UNICODETEXT"_id);
    filled = static_cast<bool>(clipboard("SetClipboardData"_id, format.get(), args[0]));
  }
  if (!filled) {
    PendingError keep;
    clipboard("CloseClipboard"_id);
    return nullptr;
  }
  if (!clipboard("CloseClipboard"_id)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* curani_impl(Function*, Args args) {
  Ref load = global("win32gui"_id, "LoadImage"_id);
  Ref image_cursor = global("win32con"_id, "IMAGE_CURSOR"_id);
  Ref from_file = global("win32con"_id, "LR_LOADFROMFILE"_id);
  Ref zero = Ref::steal(PyLong_FromLong(0));
  Ref cursor = call(load.get(), zero.get(), args[0], image_cursor.get(), zero.get(), zero.get(), from_file.get());
  const int loaded = cursor ? PyObject_IsTrue(cursor.get()) : -1;
  if (loaded < 0) return nullptr;
  if (loaded) {
    Ref set = global("win32api"_id, "SetSystemCursor"_id);
    Ref normal = global("win32con"_id, "OCR_NORMAL"_id);
    if (!call(set.get(), cursor.get(), normal.get())) return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* size_impl(Function*, Args) {
  Ref zero = Ref::steal(PyLong_FromLong(0));
  Ref one = Ref::steal(PyLong_FromLong(1));
  Ref metrics = global("win32api"_id, "GetSystemMetrics"_id);
  Ref width = call(metrics.get(), zero.get());
  if (!width) return nullptr;
  metrics = global("win32api"_id, "GetSystemMetrics"_id);
  Ref height = call(metrics.get(), one.get());
  if (!height) return nullptr;
  return PyTuple_Pack(2, width.get(), height.get());
}

}  // namespace

const FunctionDef ctrlc{.name = "ctrlc", .positional = {"text"}, .impl = ctrlc_impl, .doc = "复制指定的内容"};
const FunctionDef curani{
    .name = "curani",
    .positional = {"cursor_path"},
    .impl = curani_impl,
    .doc = "设置鼠标指针(.cur,.ani)",
};
const FunctionDef size{.name = "size", .impl = size_impl, .doc = "获取屏幕分辨率"};

}  // namespace vk::utilities
