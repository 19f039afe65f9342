// The module body: one table of statements in the order the module binds
// its names, run top to bottom by run_module_body. A name bound twice keeps
// its later binding.
#include "module/body.hpp"

#include "core/errors.hpp"
#include "core/function.hpp"
#include "core/state.hpp"
#include "desktop/desktop.hpp"
#include "digest/digest.hpp"
#include "files/files.hpp"
#include "numeric/numeric.hpp"
#include "servers/servers.hpp"
#include "system/system.hpp"

#include <string>
#include <string_view>

namespace vk {
namespace {

using namespace literals;

class Body;

// One statement of the body.
struct Row {
  enum class Kind : unsigned char { import, from_import, value, def, class_begin, method, class_end, statement };
  Kind kind;
  const char* name = nullptr;  // module, bound name or class name
  const char* text = nullptr;  // from-import: the attribute; class: the docstring
  const FunctionDef* def = nullptr;
  Ref (*make)(Body&, const char* name) = nullptr;  // value
  bool (*run)(Body&) = nullptr;                     // statement
};

// import a.b  (binds a)
constexpr Row import(const char* dotted) { return {.kind = Row::Kind::import, .name = dotted}; }
// from module import attribute
constexpr Row from_import(const char* module, const char* attribute) {
  return {.kind = Row::Kind::from_import, .name = module, .text = attribute};
}
// name = make(...)
constexpr Row value(const char* name, Ref (*make)(Body&, const char*)) {
  return {.kind = Row::Kind::value, .name = name, .make = make};
}
// def name(...): at module level
constexpr Row def(const FunctionDef& function) { return {.kind = Row::Kind::def, .def = &function}; }
// class name: ... made as type(name, (), namespace); its methods follow
constexpr Row class_begin(const char* name, const char* doc = nullptr) {
  return {.kind = Row::Kind::class_begin, .name = name, .text = doc};
}
constexpr Row method(const FunctionDef& function) { return {.kind = Row::Kind::method, .def = &function}; }
constexpr Row class_end() { return {.kind = Row::Kind::class_end}; }
// Any other statement.
constexpr Row statement(bool (*run)(Body&)) { return {.kind = Row::Kind::statement, .run = run}; }

// The namespace the statements act on, and the class whose body is open.
class Body {
 public:
  explicit Body(PyObject* ns) : ns_(ns) {}

  bool set(const char* name, PyObject* value) { return value && PyDict_SetItemString(ns_, name, value) == 0; }

  // A global lookup as a statement of the body makes it: the namespace,
  // then builtins.
  Ref get(const char* name) {
    PyObject* value = PyDict_GetItemString(ns_, name);
    if (!value) value = PyDict_GetItemString(state().builtins_dict, name);
    if (!value) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return Ref::borrow(value);
  }
  // name.attribute
  Ref get(const char* name, const char* attribute) {
    Ref owner = get(name);
    return owner ? Ref::steal(PyObject_GetAttrString(owner.get(), attribute)) : Ref();
  }

  bool run(const Row& row) {
    switch (row.kind) {
      case Row::Kind::import:
        return import(row.name);
      case Row::Kind::from_import:
        return import_from(row.name, row.text);
      case Row::Kind::value:
        return set(row.name, row.make(*this, row.name).get());
      case Row::Kind::def:
        return set(row.def->name, make_function(*row.def).get());
      case Row::Kind::class_begin:
        return begin_class(row.name, row.text);
      case Row::Kind::method:
        return add_method(*row.def);
      case Row::Kind::class_end:
        return end_class();
      case Row::Kind::statement:
        return row.run(*this);
    }
    return false;
  }

  PyObject* ns() const { return ns_; }

 private:
  bool import(const char* dotted) {
    Ref name = new_str(dotted);
    if (!name) return false;
    Ref top = Ref::steal(PyImport_ImportModuleLevelObject(name.get(), ns_, nullptr, nullptr, 0));
    std::string_view full(dotted);
    return top && set(std::string(full.substr(0, full.find('.'))).c_str(), top.get());
  }

  bool import_from(const char* module, const char* attribute) {
    Ref name = new_str(module);
    Ref fromlist = build("(s)", attribute);
    if (!name || !fromlist) return false;
    Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(name.get(), ns_, nullptr, fromlist.get(), 0));
    if (!mod) return false;
    Ref found = Ref::steal(PyObject_GetAttrString(mod.get(), attribute));
    if (!found) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      std::string sub = std::string(module) + "." + attribute;
      found = Ref::borrow(PyDict_GetItemString(PyImport_GetModuleDict(), sub.c_str()));
      if (!found) return cannot_import(mod.get(), name.get(), attribute);
    }
    return set(attribute, found.get());
  }

  bool cannot_import(PyObject* mod, PyObject* module_name, const char* attribute) {
    Ref path = Ref::steal(PyModule_GetFilenameObject(mod));
    if (!path) PyErr_Clear();
    Ref message = path ? Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from %R (%S)", attribute,
                                                         module_name, path.get()))
                       : Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from %R (unknown location)",
                                                         attribute, module_name));
    if (message) PyErr_SetImportError(message.get(), module_name, path ? path.get() : Py_None);
    return false;
  }

  bool begin_class(const char* name, const char* doc) {
    class_name_ = name;
    class_ns_ = Ref::steal(PyDict_New());
    if (!class_ns_) return false;
    auto put = [this](const char* key, Ref v) { return v && PyDict_SetItemString(class_ns_.get(), key, v.get()) == 0; };
    return put("__module__", Ref::borrow("velka_code"_id)) && put("__qualname__", new_str(name)) &&
           (!doc || put("__doc__", new_str(doc)));
  }

  bool add_method(const FunctionDef& def) {
    const std::string qualname = class_name_ + "." + def.name;
    Ref function = make_function(def, {.qualname = qualname.c_str()});
    return function && PyDict_SetItemString(class_ns_.get(), def.name, function.get()) == 0;
  }

  bool end_class() {
    Ref bases = Ref::steal(PyTuple_New(0));
    Ref name = new_str(class_name_.c_str());
    if (!bases || !name) return false;
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), class_ns_.get());
    class_ns_ = Ref();
    return set(class_name_.c_str(), cls.get());
  }

  PyObject* ns_;
  std::string class_name_;
  Ref class_ns_;
};

// ------------------------------------------------ values the body binds

// name = os.<attribute>
template <FixedString Attribute>
Ref os_value(Body& b, const char*) {
  return b.get("os", Attribute.value);
}

// name = ctypes.windll.<name>
Ref library(Body& b, const char* name) {
  Ref windll = b.get("ctypes", "windll");
  return windll ? Ref::steal(PyObject_GetAttrString(windll.get(), name)) : Ref();
}

template <long V>
Ref integer(Body&, const char*) {
  return Ref::steal(PyLong_FromLong(V));
}

Ref sort_methods(Body&, const char*) {
  return build("{s:(ii),s:(ii),s:(ii)}", "name", 0, 0, "date", 0, 2, "size", 0, 3);
}

// os.path.join(os.environ["SystemRoot"], "System32")
Ref system32_path(Body& b, const char*) {
  Ref environment = b.get("os", "environ");
  Ref root = environment ? Ref::steal(PyObject_GetItem(environment.get(), "SystemRoot"_id)) : Ref();
  Ref path = root ? b.get("os", "path") : Ref();
  return path ? call_method(path.get(), "join"_id, root.get(), "System32"_id) : Ref();
}

// os.path.join(_system32_path, "winspool.drv")
Ref winspool_path(Body& b, const char*) {
  Ref system32 = b.get("_system32_path");
  Ref path = system32 ? b.get("os", "path") : Ref();
  return path ? call_method(path.get(), "join"_id, system32.get(), "winspool.drv"_id) : Ref();
}

Ref mirror_list(Body&, const char*) {
  return build("[ssss]", "https://pypi.tuna.tsinghua.edu.cn/simple - 清华",
               "https://mirrors.aliyun.com/pypi/simple/ - 阿里云",
               "https://pypi.mirrors.ustc.edu.cn/simple/ - 中国科学技术大学",
               "https://pypi.doubanio.com/simple/ - 豆瓣镜像");
}

// Dispatch("WScript.Shell")
Ref shell_object(Body& b, const char*) {
  Ref dispatch = b.get("Dispatch");
  return dispatch ? call(dispatch.get(), "WScript.Shell"_id) : Ref();
}

Ref exception_class(Body&, const char*) { return Ref::borrow(PyExc_Exception); }

// os.getenv("APPDATA"), read once at import
Ref roaming(Body& b, const char*) {
  Ref getenv = b.get("os", "getenv");
  return getenv ? call(getenv.get(), "APPDATA"_id) : Ref();
}

Ref empty_dict(Body&, const char*) { return Ref::steal(PyDict_New()); }

// try: winspool = ctypes.windll.LoadLibrary(_winspool_path)
// except Exception as e: print("Error loading winspool.drv: " + str(e))
bool load_winspool(Body& b) {
  Ref windll = b.get("ctypes", "windll");
  Ref path = windll ? b.get("_winspool_path") : Ref();
  if (!path) return false;
  Ref loaded = call_method(windll.get(), "LoadLibrary"_id, path.get());
  if (loaded) return b.set("winspool", loaded.get());
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  Caught caught;
  if (!b.set("e", caught.value())) return false;
  Ref text = str_of(caught.value());
  const bool printed = text && print_line(concat({"Error loading winspool.drv: "_id, text.get()}).get());
  // `except ... as e` unbinds e on the way out, also when print failed.
  PendingError keep;
  return PyDict_DelItemString(b.ns(), "e") == 0 && printed;
}

namespace f = files;
namespace d = digest;
namespace dk = desktop;
namespace n = numeric;
namespace sv = servers;
namespace u = utilities;

// The module body, statement by statement. The numbers are the steps of
// the body's order.
const Row kBody[] = {
    // 1.
    import("os"),
    import("sys"),
    // 2.
    def(f::getcwd_os),
    def(f::remove),
    def(f::removedir),
    def(f::cmd),
    def(f::psshell),
    def(f::chdir),
    def(f::mkdir),
    def(f::get_encoding),
    def(f::moencoding),
    def(f::exists),
    def(f::abspath),
    def(f::join),
    // 3.
    def(f::vkprint),
    // 4.
    def(f::cwdbytes),
    def(f::dirlist),
    def(f::name),
    def(f::file),
    def(f::idir),
    // 5.
    value("READ", os_value<"R_OK">),
    value("WRITE", os_value<"W_OK">),
    value("RUN", os_value<"X_OK">),
    // 6.
    def(f::pathq),
    def(f::permissions),
    // 7.
    import("winreg"),
    import("ctypes"),
    // 8. SORT_METHODS is bound while the class body runs, into the module
    // namespace rather than the class's.
    class_begin("WinRightCilck"),
    method(dk::auto_arrange),
    method(dk::grid),
    method(dk::icon),
    method(dk::desktop_icons),
    method(dk::icon_size),
    method(dk::defaults),
    value("SORT_METHODS", sort_methods),
    method(dk::sort_order),
    class_end(),
    // 9.
    import("hashlib"),
    def(d::calculate_hash),
    def(d::sha256),
    def(d::sha384),
    def(d::sha224),
    def(d::sha1),
    def(d::sha512),
    def(d::md5),
    def(d::blake2b),
    def(d::sha3_256),
    def(d::shake_128),
    def(d::shake_256),
    def(d::sha3_384),
    def(d::sha3_512),
    def(d::blake2s),
    // 10.
    value("user32", library),
    value("shell32", library),
    value("kernel32", library),
    value("ole32", library),
    value("ws2_32", library),
    value("winmm", library),
    value("gdi32", library),
    value("advapi32", library),
    value("odbc32", library),
    value("msimg32", library),
    // 11.
    value("_system32_path", system32_path),
    value("_winspool_path", winspool_path),
    // 12.
    statement(load_winspool),
    // 13.
    value("setupapi", library),
    value("crypt32", library),
    value("netapi32", library),
    // 14.
    import("http.server"),
    import("socketserver"),
    import("ssl"),
    import("subprocess"),
    import("threading"),
    // 15.
    class_begin("HTTPServer", "创建HTTP服务器"),
    method(sv::http_init),
    method(sv::http_start),
    class_end(),
    class_begin("HTTPSServer", "创建HTTPS服务器,需要证书(测试情况下只用使用自签名证书就行了)"),
    method(sv::https_init),
    method(sv::https_start),
    class_end(),
    class_begin("BackendPythonServer", "停止Python服务器"),
    method(sv::backend_init),
    method(sv::backend_start),
    class_end(),
    // 16.
    from_import("cryptography", "x509"),
    from_import("cryptography.x509.oid", "NameOID"),
    from_import("cryptography.hazmat.primitives", "hashes"),
    from_import("cryptography.hazmat.primitives.asymmetric", "rsa"),
    from_import("cryptography.hazmat.primitives", "serialization"),
    import("datetime"),
    // 17.
    class_begin("SelfSignedCertificateGenerator", "生成自签名证书"),
    method(sv::certificate_init),
    method(sv::certificate_generate),
    class_end(),
    // 18.
    import("wmi"),
    import("ctypes"),
    import("winreg"),
    import("hashlib"),
    import("os"),
    import("sys"),
    import("win32con"),
    import("win32gui"),
    import("win32api"),
    import("subprocess"),
    import("win32clipboard"),
    from_import("win32com.client", "Dispatch"),
    // 19.
    value("FILE_ATTRIBUTE_HIDDEN", integer<2>),
    value("FILE_ATTRIBUTE_READONLY", integer<1>),
    value("FILE_ATTRIBUTE_ARCHIVE", integer<32>),
    value("FILE_ATTRIBUTE_SYSTEM", integer<4>),
    value("FILE_ATTRIBUTE_COMPRESSED", integer<2048>),
    // 20.
    def(u::exit),
    def(u::attributes),
    value("installlist", mirror_list),
    def(u::install),
    def(u::quit),
    def(u::ctrlc),
    def(u::curani),
    def(u::size),
    def(u::copy),
    def(u::system),
    def(u::shortcut),
    // 21.
    value("shell", shell_object),
    // 22.
    value("Error", exception_class),
    def(f::desktop),
    def(f::backend),
    def(f::getcwd),
    def(f::username),
    // 23.
    value("Roaming", roaming),
    def(f::home),
    // 24.
    import("mpmath"),
    def(n::pi),
    def(n::factorial),
    def(n::sin),
    def(n::cos),
    def(n::tan),
    def(n::cot),
    class_begin("ComplexNumber"),
    method(n::complex_init),
    method(n::complex_add),
    method(n::complex_sub),
    method(n::complex_mul),
    method(n::complex_truediv),
    method(n::complex_str),
    class_end(),
    def(n::sqrt),
    def(n::exp),
    def(n::ln),
    def(n::power),
    // 25.
    import("math"),
    def(n::combination_comb),
    def(n::log10),
    def(n::sinh),
    def(n::cosh),
    def(n::tanh),
    def(n::floor),
    def(n::absolute_value),
    def(n::combination),
    // 26.
    value("__test__", empty_dict),
};

}  // namespace

bool run_module_body(PyObject* ns) {
  Body body(ns);
  for (const Row& row : kBody)
    if (!body.run(row)) return false;
  return true;
}

}  // namespace vk
