// Explorer desktop-layout settings kept in the current user's registry.
//
// Every setting runs in the same frame: open its key (never create it),
// write REG_DWORD values through the module-level winreg, report a failure
// in one printed line and return None; the key, once opened, is closed on
// every path.
#include "core/errors.hpp"
#include "core/state.hpp"
#include "desktop/desktop.hpp"

namespace vk::desktop {
namespace {

using namespace literals;

PyObject* desktop_view_key() { return R"(Software\Microsoft\Windows\Shell\Bags\1\Desktop)"_id; }
PyObject* explorer_advanced_key() { return R"(Software\Microsoft\Windows\CurrentVersion\Explorer\Advanced)"_id; }

Ref number(long value) { return Ref::steal(PyLong_FromLong(value)); }

// key = winreg.OpenKey(winreg.HKEY_CURRENT_USER, key_path, 0, winreg.KEY_ALL_ACCESS)
bool open_key(PyObject* key_path, Ref& key) {
  Ref winreg = global("winreg"_id);
  Ref open = getattr(winreg.get(), "OpenKey"_id);
  Ref root = getattr(winreg.get(), "HKEY_CURRENT_USER"_id);
  Ref access = getattr(winreg.get(), "KEY_ALL_ACCESS"_id);
  Ref zero = number(0);
  key = call(open.get(), root.get(), key_path, zero.get(), access.get());
  return static_cast<bool>(key);
}

// winreg.SetValueEx(key, name, 0, winreg.REG_DWORD, data)
bool write(PyObject* key, PyObject* name, PyObject* data) {
  if (!data) return false;
  Ref winreg = global("winreg"_id);
  Ref set = getattr(winreg.get(), "SetValueEx"_id);
  Ref type = getattr(winreg.get(), "REG_DWORD"_id);
  Ref zero = number(0);
  return static_cast<bool>(call(set.get(), key, name, zero.get(), type.get(), data));
}

// Writes when_true or when_false as flag tests true or false.
bool write_flag(PyObject* key, PyObject* name, PyObject* flag, long when_true, long when_false) {
  const int truth = PyObject_IsTrue(flag);
  return truth >= 0 && write(key, name, number(truth ? when_true : when_false).get());
}

// ctypes.windll.shell32.SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_FLUSH, None, None)
bool notify_shell(PyObject* ctypes) {
  Ref windll = getattr(ctypes, "windll"_id);
  Ref shell32 = getattr(windll.get(), "shell32"_id);
  Ref notify = getattr(shell32.get(), "SHChangeNotify"_id);
  Ref assoc_changed = number(0x8000000);
  Ref flush = number(0x1000);
  return static_cast<bool>(call(notify.get(), assoc_changed.get(), flush.get(), Py_None, Py_None));
}

// import ctypes, then the notification through that ctypes.
bool import_and_notify() {
  Ref ctypes = import_local("ctypes"_id);
  return ctypes && notify_shell(ctypes.get());
}

// The except clauses: auto_arrange and grid have their own lines for a
// missing key and refused access; everything else that is an Exception is
// the prefix and the exception's text. False when the exception stays.
bool report(PyObject* prefix, bool own_lines) {
  if (own_lines) {
    PyObject* line = nullptr;
    if (PyErr_ExceptionMatches(PyExc_FileNotFoundError))
      line = "未找到对应的注册表项，请检查路径是否正确。"_id;
    else if (PyErr_ExceptionMatches(PyExc_PermissionError))
      line = "没有足够的权限修改注册表，请以管理员身份运行程序。"_id;
    if (line) {
      Caught caught;
      return print_line(line);
    }
  }
  return report_exception(prefix);
}

// finally: key.Close() when the key was opened. An error of Close takes
// the place of an exception already on its way out, as in a finally block.
bool close_key(Ref& key, bool ok) {
  if (!key) return ok;
  if (ok) return static_cast<bool>(call_method(key.get(), "Close"_id));
  Caught escaping;
  if (!call_method(key.get(), "Close"_id)) return false;
  escaping.restore();
  return false;
}

// The shared frame around steps(key); steps opens the key into `key` and
// returns false with an exception set when a step fails.
template <class Steps>
PyObject* protected_frame(PyObject* prefix, bool own_lines, Steps&& steps) {
  Ref key;
  bool ok = steps(key);
  if (!ok) ok = report(prefix, own_lines);
  if (!close_key(key, ok)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* auto_arrange_impl(Function*, Args<"enable"> args) {
  return protected_frame("修改自动排列图标设置时出错: "_id, true, [&](Ref& key) {
    return open_key(desktop_view_key(), key) && write_flag(key.get(), "AutoArrange"_id, args.get<"enable">(), 0, 1);
  });
}

PyObject* grid_impl(Function*, Args<"enable"> args) {
  return protected_frame("修改将图标与网格对齐设置时出错: "_id, true, [&](Ref& key) {
    return open_key(desktop_view_key(), key) && write_flag(key.get(), "SnapToGrid"_id, args.get<"enable">(), 0, 1);
  });
}

PyObject* icon_impl(Function*, Args<"enable"> args) {
  return protected_frame("修改图标与网格对齐设置时出错: "_id, false, [&](Ref& key) {
    return open_key(desktop_view_key(), key) && write_flag(key.get(), "SnapToGrid"_id, args.get<"enable">(), 1, 0);
  });
}

// Showing the icons means HideIcons = 0.
PyObject* desktop_icons_impl(Function*, Args<"show"> args) {
  return protected_frame("操作桌面图标显示状态时出错: "_id, false, [&](Ref& key) {
    return open_key(explorer_advanced_key(), key) && write_flag(key.get(), "HideIcons"_id, args.get<"show">(), 0, 1) &&
           import_and_notify();
  });
}

PyObject* icon_size_impl(Function*, Args<"size"> args) {
  return protected_frame("设置桌面图标大小出错: "_id, false, [&](Ref& key) {
    return open_key(desktop_view_key(), key) && write(key.get(), "IconSize"_id, args.get<"size">()) &&
           import_and_notify();
  });
}

PyObject* defaults_impl(Function*, Args<>) {
  return protected_frame("恢复桌面图标默认设置时出错: "_id, false, [&](Ref& key) {
    Ref default_icon_size = number(32);
    Ref default_auto_arrange = number(1);
    Ref default_snap_to_grid = number(1);
    return open_key(desktop_view_key(), key) && write(key.get(), "IconSize"_id, default_icon_size.get()) &&
           write(key.get(), "AutoArrange"_id, default_auto_arrange.get()) &&
           write(key.get(), "SnapToGrid"_id, default_snap_to_grid.get()) &&
           print_line("已恢复桌面图标的默认设置。"_id) && import_and_notify();
  });
}

// first, second = value, with the interpreter's messages.
bool unpack_pair(PyObject* value, Ref& first, Ref& second) {
  if (!Py_TYPE(value)->tp_iter && !PySequence_Check(value)) {
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
    return false;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(value));
  if (!iterator) return false;
  Ref* slots[] = {&first, &second};
  int got = 0;
  for (Ref* slot : slots) {
    *slot = Ref::steal(PyIter_Next(iterator.get()));
    if (!*slot) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
      return false;
    }
    ++got;
  }
  Ref extra = Ref::steal(PyIter_Next(iterator.get()));
  if (extra) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return false;
  }
  return !PyErr_Occurred();
}

// print(f"不支持的排序类型: {sort_type}，支持的类型有: {', '.join(SORT_METHODS.keys())}")
bool report_unsupported(PyObject* sort_type) {
  Ref shown = str_of(sort_type);
  if (!shown) return false;
  Ref methods = global("SORT_METHODS"_id);
  if (!methods) return false;
  Ref keys = call_method(methods.get(), "keys"_id);
  if (!keys) return false;
  Ref listed = Ref::steal(PyUnicode_Join(", "_id, keys.get()));
  if (!listed) return false;
  return print_line(concat({"不支持的排序类型: "_id, shown.get(), "，支持的类型有: "_id, listed.get()}).get());
}

PyObject* sort_order_impl(Function*, Args<"sort_type"> args) {
  PyObject* sort_type = args.get<"sort_type">();
  return protected_frame("设置桌面文件排序方式时出错: "_id, false, [&](Ref& key) {
    Ref methods = global("SORT_METHODS"_id);
    if (!methods) return false;
    const int known = PySequence_Contains(methods.get(), sort_type);
    if (known < 0) return false;
    if (!known) return report_unsupported(sort_type);
    if (!open_key(desktop_view_key(), key)) return false;
    methods = global("SORT_METHODS"_id);
    if (!methods) return false;
    Ref entry = Ref::steal(PyObject_GetItem(methods.get(), sort_type));
    Ref sort_direction, sort_column;
    if (!entry || !unpack_pair(entry.get(), sort_direction, sort_column)) return false;
    if (!write(key.get(), "SortDirection"_id, sort_direction.get()) ||
        !write(key.get(), "SortColumn"_id, sort_column.get()))
      return false;
    Ref shown = str_of(sort_type);
    if (!shown || !print_line(concat({"已将桌面文件设置为按 "_id, shown.get(), " 排序。"_id}).get())) return false;
    Ref ctypes = global("ctypes"_id);
    return ctypes && notify_shell(ctypes.get());
  });
}

}  // namespace

const FunctionDef auto_arrange{.name = "auto_arrange", .impl = impl<auto_arrange_impl>};
const FunctionDef grid{.name = "grid", .impl = impl<grid_impl>};
const FunctionDef icon{.name = "icon", .impl = impl<icon_impl>};
const FunctionDef desktop_icons{.name = "desktop_icons", .impl = impl<desktop_icons_impl>};
const FunctionDef icon_size{.name = "icon_size", .impl = impl<icon_size_impl>, .doc = "设置桌面"};
const FunctionDef defaults{.name = "defaults", .impl = impl<defaults_impl>, .doc = "恢复默认"};
const FunctionDef sort_order{
    .name = "sort_order",
    .impl = impl<sort_order_impl>,
    .doc = "排序方式",
};

}  // namespace vk::desktop
