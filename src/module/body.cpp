// The module body, statement by statement, in the order the module binds
// its names. Each numbered block below is one step of that order; a name
// bound twice keeps its later binding.
#include "module/body.hpp"

#include "core/errors.hpp"
#include "core/function.hpp"
#include "core/state.hpp"
#include "module/names.hpp"
#include "digest/digest.hpp"
#include "numeric/numeric.hpp"
#include "servers/servers.hpp"

#include <string>
#include <string_view>

namespace vk {
namespace {

using namespace literals;

// The statements a module body is made of, acting on its namespace.
class Body {
 public:
  explicit Body(PyObject* ns) : ns_(ns) {}

  bool set(const char* name, PyObject* value) { return value && PyDict_SetItemString(ns_, name, value) == 0; }
  bool set(const char* name, const Ref& value) { return set(name, value.get()); }

  // A global lookup, as a statement of the body makes it.
  Ref get(const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return key ? global(key.get()) : Ref();
  }
  Ref get(const char* name, const char* attribute) {
    Ref owner = get(name);
    return owner ? Ref::steal(PyObject_GetAttrString(owner.get(), attribute)) : Ref();
  }

  // import a.b  (binds a)
  bool import(const char* dotted) {
    Ref name = new_str(dotted);
    if (!name) return false;
    Ref top = Ref::steal(PyImport_ImportModuleLevelObject(name.get(), ns_, nullptr, nullptr, 0));
    std::string_view full(dotted);
    return top && set(std::string(full.substr(0, full.find('.'))).c_str(), top);
  }

  // from module import attribute
  bool import_from(const char* module, const char* attribute) {
    Ref name = new_str(module);
    Ref fromlist = Ref::steal(Py_BuildValue("(s)", attribute));
    if (!name || !fromlist) return false;
    Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(name.get(), ns_, nullptr, fromlist.get(), 0));
    if (!mod) return false;
    Ref value = Ref::steal(PyObject_GetAttrString(mod.get(), attribute));
    if (!value) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      std::string sub = std::string(module) + "." + attribute;
      value = Ref::borrow(PyDict_GetItemString(PyImport_GetModuleDict(), sub.c_str()));
      if (!value) return cannot_import(mod.get(), name.get(), attribute);
    }
    return set(attribute, value);
  }

  bool def(const FunctionDef& def, const FunctionOptions& options = {}) {
    return set(def.name, make_function(def, options));
  }

  PyObject* ns() const { return ns_; }

 private:
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

  PyObject* ns_;
};

// A class made as `type(name, (), namespace)`, its namespace filled in
// body order.
class ClassBody {
 public:
  ClassBody(const char* name, const char* doc) : name_(name) {
    ns_ = Ref::steal(PyDict_New());
    ok_ = ns_ && put("__module__", "velka_code"_id) && put("__qualname__", new_str(name).get()) &&
          (!doc || put("__doc__", new_str(doc).get()));
  }

  ClassBody& def(const FunctionDef& def, FunctionOptions options = {}) {
    std::string qualname = name_ + "." + def.name;
    options.qualname = qualname.c_str();
    ok_ = ok_ && put(def.name, make_function(def, options).get());
    return *this;
  }

  bool finish(Body& body) {
    if (!ok_) return false;
    Ref bases = Ref::steal(PyTuple_New(0));
    Ref name = new_str(name_.c_str());
    if (!bases || !name) return false;
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), ns_.get());
    return body.set(name_.c_str(), cls);
  }

 private:
  bool put(const char* key, PyObject* value) { return value && PyDict_SetItemString(ns_.get(), key, value) == 0; }

  std::string name_;
  Ref ns_;
  bool ok_ = false;
};

// try: winspool = ctypes.windll.LoadLibrary(_winspool_path)
// except Exception as e: print("Error loading winspool.drv: " + str(e))
bool load_winspool(Body& body) {
  Ref windll = body.get("ctypes", "windll");
  Ref path = body.get("_winspool_path");
  if (!windll || !path) return false;
  Ref library = call_method(windll.get(), "LoadLibrary"_id, path.get());
  if (library) return body.set("winspool", library);
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  Caught caught;
  if (!body.set("e", caught.value())) return false;
  Ref text = Ref::steal(PyObject_Str(caught.value()));
  Ref prefix = new_str("Error loading winspool.drv: ");
  bool printed = text && prefix && print_line(concat({prefix.get(), text.get()}).get());
  // `except ... as e` unbinds e on the way out, also when print failed.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  const bool unbound = PyDict_DelItemString(body.ns(), "e") == 0;
  if (type) {
    PyErr_Restore(type, value, traceback);
    return false;
  }
  return printed && unbound;
}

// name = ctypes.windll.name, for each name in order.
bool bind_libraries(Body& body, std::initializer_list<const char*> libraries) {
  for (const char* library : libraries) {
    Ref windll = body.get("ctypes", "windll");
    if (!windll || !body.set(library, Ref::steal(PyObject_GetAttrString(windll.get(), library)))) return false;
  }
  return true;
}

Ref make_int(long value) { return Ref::steal(PyLong_FromLong(value)); }

Ref sort_methods() {
  return Ref::steal(Py_BuildValue("{s:(ii),s:(ii),s:(ii)}", "name", 0, 0, "date", 0, 2, "size", 0, 3));
}

Ref mirror_list() {
  return Ref::steal(Py_BuildValue("[ssss]", "https://pypi.tuna.tsinghua.edu.cn/simple - 清华",
                                  "https://mirrors.aliyun.com/pypi/simple/ - 阿里云",
                                  "https://pypi.mirrors.ustc.edu.cn/simple/ - 中国科学技术大学",
                                  "https://pypi.doubanio.com/simple/ - 豆瓣镜像"));
}

bool body_steps(Body& b) {
  namespace f = files;
  namespace s = system;
  namespace d = digest;

  // 1. import os, sys
  if (!b.import("os") || !b.import("sys")) return false;

  // 2. paths and commands, first part
  if (!b.def(f::getcwd_os)) return false;
  if (!b.def(f::remove)) return false;
  if (!b.def(f::removedir)) return false;
  if (!b.def(f::cmd)) return false;
  if (!b.def(f::psshell)) return false;
  if (!b.def(f::chdir)) return false;
  if (!b.def(f::mkdir)) return false;
  if (!b.def(f::get_encoding)) return false;
  {
    Ref utf8 = Ref::steal(Py_BuildValue("(s)", "utf-8"));
    if (!utf8 || !b.def(f::moencoding, {.defaults = utf8.get()})) return false;
  }
  if (!b.def(f::exists)) return false;
  if (!b.def(f::abspath)) return false;
  if (!b.def(f::join)) return false;

  // 3. vkprint, whose `file` default is sys.stdout as it is now
  {
    Ref stdout_now = b.get("sys", "stdout");
    if (!stdout_now) return false;
    Ref kwdefaults = Ref::steal(Py_BuildValue("{s:s,s:s,s:O}", "sep", " ", "end", "\n", "file", stdout_now.get()));
    if (!kwdefaults || !b.def(f::vkprint, {.kwdefaults = kwdefaults.get()})) return false;
  }

  // 4.
  if (!b.def(f::cwdbytes)) return false;
  if (!b.def(f::dirlist)) return false;
  if (!b.def(f::name)) return false;
  if (!b.def(f::file)) return false;
  if (!b.def(f::idir)) return false;

  // 5. access modes for pathq
  if (!b.set("READ", b.get("os", "R_OK")) || !b.set("WRITE", b.get("os", "W_OK")) ||
      !b.set("RUN", b.get("os", "X_OK")))
    return false;

  // 6.
  if (!b.def(f::pathq)) return false;
  if (!b.def(f::permissions)) return false;

  // 7. import winreg, ctypes
  if (!b.import("winreg") || !b.import("ctypes")) return false;

  // 8. the desktop settings class; SORT_METHODS is bound while its body
  //    runs, into the module namespace
  if (!b.set("SORT_METHODS", sort_methods())) return false;

  // 9. import hashlib; the digest functions
  if (!b.import("hashlib")) return false;
  if (!b.def(d::calculate_hash)) return false;
  if (!b.def(d::sha256)) return false;
  if (!b.def(d::sha384)) return false;
  if (!b.def(d::sha224)) return false;
  if (!b.def(d::sha1)) return false;
  if (!b.def(d::sha512)) return false;
  if (!b.def(d::md5)) return false;
  if (!b.def(d::blake2b)) return false;
  if (!b.def(d::sha3_256)) return false;
  if (!b.def(d::shake_128)) return false;
  if (!b.def(d::shake_256)) return false;
  if (!b.def(d::sha3_384)) return false;
  if (!b.def(d::sha3_512)) return false;
  if (!b.def(d::blake2s)) return false;

  // 10. library handles
  if (!bind_libraries(b, {"user32", "shell32", "kernel32", "ole32", "ws2_32", "winmm", "gdi32", "advapi32",
                          "odbc32", "msimg32"}))
    return false;

  // 11. paths of the system folder and the print spooler library
  {
    Ref environment = b.get("os", "environ");
    Ref root = environment ? Ref::steal(PyObject_GetItem(environment.get(), "SystemRoot"_id)) : Ref();
    if (!root) return false;
    Ref join = b.get("os", "path");
    join = join ? Ref::steal(PyObject_GetAttrString(join.get(), "join")) : Ref();
    if (!join) return false;
    if (!b.set("_system32_path", call(join.get(), root.get(), new_str("System32").get()))) return false;
    Ref system32 = b.get("_system32_path");
    if (!system32 || !b.set("_winspool_path", call(join.get(), system32.get(), new_str("winspool.drv").get())))
      return false;
  }

  // 12. winspool, the one guarded load
  if (!load_winspool(b)) return false;

  // 13. more library handles
  if (!bind_libraries(b, {"setupapi", "crypt32", "netapi32"})) return false;

  // 14. server modules
  for (const char* module : {"http.server", "socketserver", "ssl", "subprocess", "threading"})
    if (!b.import(module)) return false;

  // 15. the file servers and the backend runner
  {
    namespace sv = servers;
    Ref http_defaults = Ref::steal(Py_BuildValue("(is)", 8000, "."));
    Ref https_defaults = Ref::steal(Py_BuildValue("(isss)", 4433, ".", "cert.pem", "key.pem"));
    Ref backend_defaults = Ref::steal(PyTuple_Pack(1, Py_None));
    if (!http_defaults || !https_defaults || !backend_defaults) return false;
    if (!ClassBody("HTTPServer", "创建HTTP服务器")
             .def(sv::http_init, {.defaults = http_defaults.get()})
             .def(sv::http_start)
             .finish(b))
      return false;
    if (!ClassBody("HTTPSServer", "创建HTTPS服务器,需要证书(测试情况下只用使用自签名证书就行了)")
             .def(sv::https_init, {.defaults = https_defaults.get()})
             .def(sv::https_start)
             .finish(b))
      return false;
    if (!ClassBody("BackendPythonServer", "停止Python服务器")
             .def(sv::backend_init, {.defaults = backend_defaults.get()})
             .def(sv::backend_start)
             .finish(b))
      return false;
  }

  // 16. certificate building blocks
  if (!b.import_from("cryptography", "x509") || !b.import_from("cryptography.x509.oid", "NameOID") ||
      !b.import_from("cryptography.hazmat.primitives", "hashes") ||
      !b.import_from("cryptography.hazmat.primitives.asymmetric", "rsa") ||
      !b.import_from("cryptography.hazmat.primitives", "serialization") || !b.import("datetime"))
    return false;

  // 17. the certificate generator
  {
    Ref defaults = Ref::steal(Py_BuildValue("(ssii)", "private_key.pem", "certificate.pem", 2048, 365));
    if (!defaults) return false;
    if (!ClassBody("SelfSignedCertificateGenerator", "生成自签名证书")
             .def(servers::certificate_init, {.defaults = defaults.get()})
             .def(servers::certificate_generate)
             .finish(b))
      return false;
  }

  // 18. Windows extension modules, and the standard ones again
  for (const char* module : {"wmi", "ctypes", "winreg", "hashlib", "os", "sys", "win32con", "win32gui", "win32api",
                             "subprocess", "win32clipboard"})
    if (!b.import(module)) return false;
  if (!b.import_from("win32com.client", "Dispatch")) return false;

  // 19. file attribute bits
  if (!b.set("FILE_ATTRIBUTE_HIDDEN", make_int(2)) || !b.set("FILE_ATTRIBUTE_READONLY", make_int(1)) ||
      !b.set("FILE_ATTRIBUTE_ARCHIVE", make_int(32)) || !b.set("FILE_ATTRIBUTE_SYSTEM", make_int(4)) ||
      !b.set("FILE_ATTRIBUTE_COMPRESSED", make_int(2048)))
    return false;

  // 20. system utilities
  // exit, attributes
  if (!b.set("installlist", mirror_list())) return false;
  // install, quit, ctrlc, curani, size
  {
    Ref no_overwrite = Ref::steal(PyTuple_Pack(1, Py_False));
    if (!no_overwrite || !b.def(s::copy, {.defaults = no_overwrite.get()})) return false;
  }
  {
    Ref none_default = Ref::steal(PyTuple_Pack(1, Py_None));
    if (!none_default || !b.def(s::system, {.defaults = none_default.get()})) return false;
  }
  // shortcut

  // 21. the shell automation object
  {
    Ref dispatch = b.get("Dispatch");
    if (!dispatch || !b.set("shell", call(dispatch.get(), new_str("WScript.Shell").get()))) return false;
  }

  // 22. display, desktop, commands, the second getcwd, user name, associations
  // brightness
  if (!b.set("Error", PyExc_Exception)) return false;
  if (!b.def(f::desktop)) return false;
  if (!b.def(f::backend)) return false;
  if (!b.def(f::getcwd)) return false;
  if (!b.def(f::username)) return false;
  // increase, delete, modify

  // 23. the roaming profile folder at import time; the user folder
  {
    Ref getenv = b.get("os", "getenv");
    if (!getenv || !b.set("Roaming", call(getenv.get(), new_str("APPDATA").get()))) return false;
    Ref annotations = Ref::steal(Py_BuildValue("{s:s}", "return", "str"));
    if (!annotations || !b.def(f::home, {.annotations = annotations.get()})) return false;
  }

  // 24. import mpmath; pi, factorial, sin, cos, tan, cot; ComplexNumber; sqrt, exp, ln, power
  // num_terms=10 for the series; tolerance=1e-6, max_iterations=100 for the iterations
  auto def_with = [&b](const FunctionDef& def, Ref defaults) {
    return defaults && b.def(def, {.defaults = defaults.get()});
  };
  auto terms = [] { return Ref::steal(Py_BuildValue("(i)", 10)); };
  auto newton = [] { return Ref::steal(Py_BuildValue("(di)", 1e-6, 100)); };
  if (!b.import("mpmath")) return false;
  if (!b.def(numeric::pi)) return false;
  if (!b.def(numeric::factorial)) return false;
  if (!def_with(numeric::sin, terms())) return false;
  if (!def_with(numeric::cos, terms())) return false;
  if (!def_with(numeric::tan, terms())) return false;
  if (!def_with(numeric::cot, terms())) return false;
  if (!ClassBody("ComplexNumber", nullptr)
           .def(numeric::complex_init)
           .def(numeric::complex_add)
           .def(numeric::complex_sub)
           .def(numeric::complex_mul)
           .def(numeric::complex_truediv)
           .def(numeric::complex_str)
           .finish(b))
    return false;
  if (!def_with(numeric::sqrt, newton())) return false;
  if (!def_with(numeric::exp, terms())) return false;
  if (!def_with(numeric::ln, newton())) return false;
  if (!b.def(numeric::power)) return false;

  // 25. import math; combination (first form), log10, sinh, cosh, tanh, floor, absolute_value,
  //     combination (second form)
  if (!b.import("math")) return false;
  if (!b.def(numeric::combination_comb)) return false;
  if (!def_with(numeric::log10, newton())) return false;
  if (!def_with(numeric::sinh, terms())) return false;
  if (!def_with(numeric::cosh, terms())) return false;
  if (!def_with(numeric::tanh, terms())) return false;
  if (!b.def(numeric::floor)) return false;
  if (!b.def(numeric::absolute_value)) return false;
  if (!b.def(numeric::combination)) return false;

  // 26.
  Ref test = Ref::steal(PyDict_New());
  return b.set("__test__", test);
}

}  // namespace

bool run_module_body(PyObject* ns) {
  Body body(ns);
  return body_steps(body);
}

}  // namespace vk
