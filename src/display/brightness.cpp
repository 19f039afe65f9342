// The brightness of a notebook's built-in screen, as a percentage: WMI on
// Windows, the kernel's backlight class on Linux, a command-line tool on
// macOS.
#include "core/errors.hpp"
#include "core/platform.hpp"
#include "core/with.hpp"
#include "display/display.hpp"

namespace vk::display {
namespace {

using namespace literals;

// except ...: print("Error: " + str(e)); sys.exit(1). A failure reported is
// a failure for the caller too, so the exit status is 1.
PyObject* report_and_exit() {
  Caught caught;
  Ref text = str_of(caught.value());
  if (!text) return nullptr;
  Ref head = new_str("Error: ");
  if (!head || !print_line(concat({head.get(), text.get()}).get())) return nullptr;
  Ref exit = global("sys"_id, "exit"_id);
  if (!exit) return nullptr;
  Ref status = Ref::steal(PyLong_FromLong(1));
  if (!status || !call(exit.get(), status.get())) return nullptr;
  Py_RETURN_NONE;
}

// wmi.WMI(namespace="wmi").WmiMonitorBrightnessMethods()[0].WmiSetBrightness(value, 0)
bool set_windows(PyObject* value) {
  Ref connect = global("wmi"_id, "WMI"_id);
  if (!connect) return false;
  Ref c = call_kw(connect.get(), 0, kwnames<"namespace">(), "wmi"_id);
  if (!c) return false;
  Ref monitors = call_method(c.get(), "WmiMonitorBrightnessMethods"_id);
  if (!monitors) return false;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return false;
  Ref methods = Ref::steal(PyObject_GetItem(monitors.get(), zero.get()));
  if (!methods) return false;
  return static_cast<bool>(call_method(methods.get(), "WmiSetBrightness"_id, value, zero.get()));
}

// open(path, "r").read().strip() as an int
Ref read_level(PyObject* path) {
  Ref file = call(state().open, path, "r"_id);
  if (!file) return {};
  Ref level;
  const bool read = with_block(file.get(), [&](PyObject* f) {
    Ref text = call_method(f, "read"_id);
    if (!text) return false;
    Ref stripped = call_method(text.get(), "strip"_id);
    if (!stripped) return false;
    level = Ref::steal(PyNumber_Long(stripped.get()));
    return static_cast<bool>(level);
  });
  return read ? level : Ref();
}

// 1 written, 0 no controller (reported), -1 failed with an exception set.
int set_linux(PyObject* value) {
  Ref os = global("os"_id);
  if (!os) return -1;
  PyObject* backlight_dir = "/sys/class/backlight"_id;
  Ref controllers = call_method(os.get(), "listdir"_id, backlight_dir);
  if (!controllers) return -1;
  const int any = PyObject_IsTrue(controllers.get());
  if (any < 0) return -1;
  if (!any) return print_line(new_str("未找到背光控制器").get()) ? 0 : -1;

  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return -1;
  Ref controller = Ref::steal(PyObject_GetItem(controllers.get(), zero.get()));
  if (!controller) return -1;
  Ref join = global("os"_id, "path"_id, "join"_id);
  if (!join) return -1;
  Ref max_brightness_path = call(join.get(), backlight_dir, controller.get(), "max_brightness"_id);
  if (!max_brightness_path) return -1;
  Ref max_brightness = read_level(max_brightness_path.get());
  if (!max_brightness) return -1;

  // int(max_brightness * (brightness / 100)): truncated toward zero.
  Ref hundred = Ref::steal(PyLong_FromLong(100));
  if (!hundred) return -1;
  Ref fraction = Ref::steal(PyNumber_TrueDivide(value, hundred.get()));
  if (!fraction) return -1;
  Ref product = Ref::steal(PyNumber_Multiply(max_brightness.get(), fraction.get()));
  if (!product) return -1;
  Ref brightness_value = Ref::steal(PyNumber_Long(product.get()));
  if (!brightness_value) return -1;
  Ref text = str_of(brightness_value.get());
  if (!text) return -1;

  join = global("os"_id, "path"_id, "join"_id);
  if (!join) return -1;
  Ref brightness_path = call(join.get(), backlight_dir, controller.get(), "brightness"_id);
  if (!brightness_path) return -1;
  Ref file = call(state().open, brightness_path.get(), "w"_id);
  if (!file) return -1;
  const bool written = with_block(file.get(), [&](PyObject* f) {
    return static_cast<bool>(call_method(f, "write"_id, text.get()));
  });
  return written ? 1 : -1;
}

// subprocess.run(["brightness", str(value / 100)], check=True)
bool set_macos(PyObject* value) {
  Ref hundred = Ref::steal(PyLong_FromLong(100));
  if (!hundred) return false;
  Ref fraction = Ref::steal(PyNumber_TrueDivide(value, hundred.get()));
  if (!fraction) return false;
  Ref text = str_of(fraction.get());
  if (!text) return false;
  return static_cast<bool>(run_checked({"brightness"_id, text.get()}));
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

}  // namespace vk::display
