// The brightness of a notebook's built-in screen, as a percentage: WMI on
// Windows, the kernel's backlight class on Linux, a command-line tool on
// macOS.
#include "association/association.hpp"
#include "association/shared.hpp"
#include "core/errors.hpp"
#include "core/state.hpp"
#include "core/with.hpp"

namespace vk::association {
namespace {

using namespace literals;

// except ...: print("Error: " + str(e)); sys.exit(1). A failure reported is
// a failure for the caller too, so the exit status is 1.
PyObject* report_and_exit() {
  Caught caught;
  Ref text = str_of(caught.value());
  Ref head = text ? new_str("Error: ") : Ref();
  if (!head || !print_line(concat({head.get(), text.get()}).get())) return nullptr;
  Ref exit = global("sys"_id, "exit"_id);
  Ref status = exit ? Ref::steal(PyLong_FromLong(1)) : Ref();
  if (!call(exit.get(), status.get())) return nullptr;
  Py_RETURN_NONE;
}

// wmi.WMI(namespace="wmi").WmiMonitorBrightnessMethods()[0].WmiSetBrightness(value, 0)
bool set_windows(PyObject* value) {
  Ref connect = global("wmi"_id, "WMI"_id);
  Ref c = call_kw(connect.get(), 0, kwnames<"namespace">(), "wmi"_id);
  Ref monitors = call_method(c.get(), "WmiMonitorBrightnessMethods"_id);
  Ref zero = monitors ? Ref::steal(PyLong_FromLong(0)) : Ref();
  Ref methods = zero ? Ref::steal(PyObject_GetItem(monitors.get(), zero.get())) : Ref();
  return static_cast<bool>(call_method(methods.get(), "WmiSetBrightness"_id, value, zero.get()));
}

// open(path, "r").read().strip() as an int
Ref read_level(PyObject* path) {
  Ref file = call(state().open, path, "r"_id);
  if (!file) return {};
  Ref level;
  const bool read = with_block(file.get(), [&](PyObject* f) {
    Ref text = call_method(f, "read"_id);
    Ref stripped = call_method(text.get(), "strip"_id);
    level = stripped ? Ref::steal(PyNumber_Long(stripped.get())) : Ref();
    return static_cast<bool>(level);
  });
  return read ? level : Ref();
}

// 1 written, 0 no controller (reported), -1 failed with an exception set.
int set_linux(PyObject* value) {
  Ref os = global("os"_id);
  PyObject* backlight_dir = "/sys/class/backlight"_id;
  Ref controllers = call_method(os.get(), "listdir"_id, backlight_dir);
  const int any = controllers ? PyObject_IsTrue(controllers.get()) : -1;
  if (any <= 0) return any < 0 ? -1 : (print_line(new_str("未找到背光控制器").get()) ? 0 : -1);

  Ref zero = Ref::steal(PyLong_FromLong(0));
  Ref controller = zero ? Ref::steal(PyObject_GetItem(controllers.get(), zero.get())) : Ref();
  Ref join = controller ? global("os"_id, "path"_id, "join"_id) : Ref();
  Ref max_brightness_path = call(join.get(), backlight_dir, controller.get(), "max_brightness"_id);
  Ref max_brightness = max_brightness_path ? read_level(max_brightness_path.get()) : Ref();
  if (!max_brightness) return -1;

  // int(max_brightness * (brightness / 100)): truncated toward zero.
  Ref hundred = Ref::steal(PyLong_FromLong(100));
  Ref fraction = hundred ? Ref::steal(PyNumber_TrueDivide(value, hundred.get())) : Ref();
  Ref product = fraction ? Ref::steal(PyNumber_Multiply(max_brightness.get(), fraction.get())) : Ref();
  Ref brightness_value = product ? Ref::steal(PyNumber_Long(product.get())) : Ref();
  Ref text = brightness_value ? str_of(brightness_value.get()) : Ref();

  join = text ? global("os"_id, "path"_id, "join"_id) : Ref();
  Ref brightness_path = call(join.get(), backlight_dir, controller.get(), "brightness"_id);
  Ref file = brightness_path ? call(state().open, brightness_path.get(), "w"_id) : Ref();
  const bool written = file && with_block(file.get(), [&](PyObject* f) {
    return static_cast<bool>(call_method(f, "write"_id, text.get()));
  });
  return written ? 1 : -1;
}

// subprocess.run(["brightness", str(value / 100)], check=True)
bool set_macos(PyObject* value) {
  Ref hundred = Ref::steal(PyLong_FromLong(100));
  Ref fraction = hundred ? Ref::steal(PyNumber_TrueDivide(value, hundred.get())) : Ref();
  Ref text = fraction ? str_of(fraction.get()) : Ref();
  return text && run_checked({"brightness"_id, text.get()});
}

PyObject* brightness_impl(Function*, Args<"brightness"> args) {
  PyObject* value = args.get<"brightness">();
  switch (platform({"Windows"_id, "Linux"_id, "macOS"_id})) {
    case -2:
      return nullptr;
    case 0:
      if (set_windows(value)) Py_RETURN_NONE;
      break;
    case 1:
      if (set_linux(value) >= 0) Py_RETURN_NONE;
      break;
    case 2: {
      if (set_macos(value)) Py_RETURN_NONE;
      const int failed = process_failed();
      if (failed <= 0) return nullptr;
      return report_and_exit();
    }
    default:
      if (!print_line(new_str("不支持的操作系统").get())) return nullptr;
      Py_RETURN_NONE;
  }
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
  return report_and_exit();
}

}  // namespace

const FunctionDef brightness{
    .name = "brightness",
    .impl = impl<brightness_impl>,
    .doc = "\n    设置笔记本屏幕亮度\n    brightness:设置亮度的百分比\n    ",
};

}  // namespace vk::association
