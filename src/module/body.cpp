// The module body: one table of statements in the order the module binds
// its names, run top to bottom by run_module_body. A name bound twice keeps
// its later binding.
#include "module/body.hpp"
#include "module/statements.hpp"

#include "association/association.hpp"
#include "core/errors.hpp"
#include "core/state.hpp"
#include "desktop/desktop.hpp"
#include "digest/digest.hpp"
#include "display/display.hpp"
#include "files/files.hpp"
#include "numeric/numeric.hpp"
#include "servers/servers.hpp"
#include "system/system.hpp"

namespace vk {
namespace {

using namespace literals;

// ------------------------------------------------ values the body binds

// name = os.<attribute>
template <FixedString Attribute>
Ref os_value() {
  return global("os"_id, interned<Attribute>());
}

// ctypes.windll.<Name>
template <FixedString Name>
Ref windll_library() {
  Ref windll = global("ctypes"_id, "windll"_id);
  if (!windll) return {};
  return getattr(windll.get(), interned<Name>());
}

// Name = ctypes.windll.<Name>
template <FixedString Name>
constexpr Row library() {
  return value(Name.value, windll_library<Name>);
}

template <long V>
Ref integer() {
  return Ref::steal(PyLong_FromLong(V));
}

Ref sort_methods() { return build("{s:(ii),s:(ii),s:(ii)}", "name", 0, 0, "date", 0, 2, "size", 0, 3); }

// os.path.join(os.environ["SystemRoot"], "System32")
Ref system32_path() {
  Ref environment = global("os"_id, "environ"_id);
  if (!environment) return {};
  Ref root = Ref::steal(PyObject_GetItem(environment.get(), "SystemRoot"_id));
  if (!root) return {};
  Ref join = global("os"_id, "path"_id, "join"_id);
  if (!join) return {};
  return call(join.get(), root.get(), "System32"_id);
}

// os.path.join(_system32_path, "winspool.drv")
Ref winspool_path() {
  Ref system32 = global("_system32_path"_id);
  if (!system32) return {};
  Ref join = global("os"_id, "path"_id, "join"_id);
  if (!join) return {};
  return call(join.get(), system32.get(), "winspool.drv"_id);
}

Ref mirror_list() {
  return build("[ssss]", "https://pypi.tuna.tsinghua.edu.cn/simple - 清华",
               "https://mirrors.aliyun.com/pypi/simple/ - 阿里云",
               "https://pypi.mirrors.ustc.edu.cn/simple/ - 中国科学技术大学",
               "https://pypi.doubanio.com/simple/ - 豆瓣镜像");
}

// Dispatch("WScript.Shell")
Ref shell_object() {
  Ref dispatch = global("Dispatch"_id);
  if (!dispatch) return {};
  return call(dispatch.get(), "WScript.Shell"_id);
}

Ref exception_class() { return Ref::borrow(PyExc_Exception); }

// os.getenv("APPDATA"), read once at import
Ref roaming() {
  Ref getenv = global("os"_id, "getenv"_id);
  if (!getenv) return {};
  return call(getenv.get(), "APPDATA"_id);
}

Ref empty_dict() { return Ref::steal(PyDict_New()); }

// try: winspool = ctypes.windll.LoadLibrary(_winspool_path)
// except Exception as e: print("Error loading winspool.drv: " + str(e))
bool load_winspool(PyObject* ns) {
  Ref windll = global("ctypes"_id, "windll"_id);
  if (!windll) return false;
  Ref path = global("_winspool_path"_id);
  if (!path) return false;
  Ref loaded = call_method(windll.get(), "LoadLibrary"_id, path.get());
  if (loaded) return PyDict_SetItemString(ns, "winspool", loaded.get()) == 0;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  Caught caught;
  if (PyDict_SetItemString(ns, "e", caught.value()) < 0) return false;
  Ref text = str_of(caught.value());
  const bool printed = text && print_line(concat({"Error loading winspool.drv: "_id, text.get()}).get());
  // `except ... as e` unbinds e on the way out, also when print failed.
  PendingError keep;
  return PyDict_DelItemString(ns, "e") == 0 && printed;
}

// The module body, statement by statement, in the order it binds its names.
const Row kBody[] = {
    // The standard modules the path functions use.
    import("os"),
    import("sys"),
    // Paths, commands and encodings; this getcwd is replaced further down.
    def(files::getcwd_by_os_getcwd),
    def(files::remove),
    def(files::removedir),
    def(files::cmd),
    def(files::psshell),
    def(files::chdir),
    def(files::mkdir),
    def(files::get_encoding),
    def(files::moencoding),
    def(files::exists),
    def(files::abspath),
    def(files::join),
    // Output.
    def(files::vkprint),
    // Folder contents and file tests.
    def(files::cwdbytes),
    def(files::dirlist),
    def(files::name),
    def(files::file),
    def(files::idir),
    // The access modes pathq takes, and the functions that take them.
    value("READ", os_value<"R_OK">),
    value("WRITE", os_value<"W_OK">),
    value("RUN", os_value<"X_OK">),
    def(files::pathq),
    def(files::permissions),
    // The desktop settings. The class body binds SORT_METHODS in the module
    // namespace, not the class's, before the class itself is bound.
    import("winreg"),
    import("ctypes"),
    value("SORT_METHODS", sort_methods),
    class_<desktop::auto_arrange, desktop::grid, desktop::icon, desktop::desktop_icons, desktop::icon_size,
           desktop::defaults, desktop::sort_order>("WinRightCilck"),
    // Digests.
    import("hashlib"),
    def(digest::calculate_hash),
    def(digest::sha256),
    def(digest::sha384),
    def(digest::sha224),
    def(digest::sha1),
    def(digest::sha512),
    def(digest::md5),
    def(digest::blake2b),
    def(digest::sha3_256),
    def(digest::shake_128),
    def(digest::shake_256),
    def(digest::sha3_384),
    def(digest::sha3_512),
    def(digest::blake2s),
    // Windows libraries, winspool loaded from System32 with a printed line
    // instead of an error when it is missing.
    library<"user32">(),
    library<"shell32">(),
    library<"kernel32">(),
    library<"ole32">(),
    library<"ws2_32">(),
    library<"winmm">(),
    library<"gdi32">(),
    library<"advapi32">(),
    library<"odbc32">(),
    library<"msimg32">(),
    value("_system32_path", system32_path),
    value("_winspool_path", winspool_path),
    statement(load_winspool),
    library<"setupapi">(),
    library<"crypt32">(),
    library<"netapi32">(),
    // The servers.
    import("http.server"),
    import("socketserver"),
    import("ssl"),
    import("subprocess"),
    import("threading"),
    class_<servers::http_init, servers::http_start>("HTTPServer", "创建HTTP服务器"),
    class_<servers::https_init, servers::https_start>("HTTPSServer",
                                                       "创建HTTPS服务器,需要证书(测试情况下只用使用自签名证书就行了)"),
    class_<servers::backend_init, servers::backend_start>("BackendPythonServer", "停止Python服务器"),
    // The certificate generator.
    from_import("cryptography", "x509"),
    from_import("cryptography.x509.oid", "NameOID"),
    from_import("cryptography.hazmat.primitives", "hashes"),
    from_import("cryptography.hazmat.primitives.asymmetric", "rsa"),
    from_import("cryptography.hazmat.primitives", "serialization"),
    import("datetime"),
    class_<servers::certificate_init, servers::certificate_generate>("SelfSignedCertificateGenerator",
                                                                     "生成自签名证书"),
    // The modules of the system utilities; the repeated imports bind the
    // same modules again.
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
    // The file attribute bits attributes() sets.
    value("FILE_ATTRIBUTE_HIDDEN", integer<2>),
    value("FILE_ATTRIBUTE_READONLY", integer<1>),
    value("FILE_ATTRIBUTE_ARCHIVE", integer<32>),
    value("FILE_ATTRIBUTE_SYSTEM", integer<4>),
    value("FILE_ATTRIBUTE_COMPRESSED", integer<2048>),
    // The system utilities.
    def(system::exit),
    def(system::attributes),
    value("installlist", mirror_list),
    def(system::install),
    def(system::quit),
    def(system::ctrlc),
    def(system::curani),
    def(system::size),
    def(system::copy),
    def(system::system),
    def(system::shortcut),
    value("shell", shell_object),
    // Brightness, the user's folders and the file associations; getcwd
    // here replaces the one bound at the top.
    def(display::brightness),
    value("Error", exception_class),
    def(files::desktop),
    def(files::backend),
    def(files::getcwd),
    def(files::username),
    def(association::increase),
    def(association::delete_),
    def(association::modify),
    value("Roaming", roaming),
    def(files::home),
    // The numeric routines; combination here is replaced at the end.
    import("mpmath"),
    def(numeric::pi),
    def(numeric::factorial),
    def(numeric::sin),
    def(numeric::cos),
    def(numeric::tan),
    def(numeric::cot),
    class_<numeric::complex_init, numeric::complex_add, numeric::complex_sub, numeric::complex_mul,
           numeric::complex_truediv, numeric::complex_str>("ComplexNumber", nullptr, numeric::complex_made),
    def(numeric::sqrt),
    def(numeric::exp),
    def(numeric::ln),
    def(numeric::power),
    import("math"),
    def(numeric::combination_by_math_comb),
    def(numeric::log10),
    def(numeric::sinh),
    def(numeric::cosh),
    def(numeric::tanh),
    def(numeric::floor),
    def(numeric::absolute_value),
    def(numeric::combination),
    // The table of extra doctests, empty.
    value("__test__", empty_dict),
};

}  // namespace

bool run_module_body(PyObject* ns) { return run_statements(ns, kBody); }

}  // namespace vk
