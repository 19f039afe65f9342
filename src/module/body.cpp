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
Ref os_value(const char*) {
  return global("os"_id, interned<Attribute>());
}

// name = ctypes.windll.<name>
Ref library(const char* name) {
  Ref windll = global("ctypes"_id, "windll"_id);
  return windll ? Ref::steal(PyObject_GetAttrString(windll.get(), name)) : Ref();
}

template <long V>
Ref integer(const char*) {
  return Ref::steal(PyLong_FromLong(V));
}

Ref sort_methods(const char*) { return build("{s:(ii),s:(ii),s:(ii)}", "name", 0, 0, "date", 0, 2, "size", 0, 3); }

// os.path.join(os.environ["SystemRoot"], "System32")
Ref system32_path(const char*) {
  Ref environment = global("os"_id, "environ"_id);
  Ref root = environment ? Ref::steal(PyObject_GetItem(environment.get(), "SystemRoot"_id)) : Ref();
  Ref join = root ? global("os"_id, "path"_id, "join"_id) : Ref();
  return join ? call(join.get(), root.get(), "System32"_id) : Ref();
}

// os.path.join(_system32_path, "winspool.drv")
Ref winspool_path(const char*) {
  Ref system32 = global("_system32_path"_id);
  Ref join = system32 ? global("os"_id, "path"_id, "join"_id) : Ref();
  return join ? call(join.get(), system32.get(), "winspool.drv"_id) : Ref();
}

Ref mirror_list(const char*) {
  return build("[ssss]", "https://pypi.tuna.tsinghua.edu.cn/simple - 清华",
               "https://mirrors.aliyun.com/pypi/simple/ - 阿里云",
               "https://pypi.mirrors.ustc.edu.cn/simple/ - 中国科学技术大学",
               "https://pypi.doubanio.com/simple/ - 豆瓣镜像");
}

// Dispatch("WScript.Shell")
Ref shell_object(const char*) {
  Ref dispatch = global("Dispatch"_id);
  return dispatch ? call(dispatch.get(), "WScript.Shell"_id) : Ref();
}

Ref exception_class(const char*) { return Ref::borrow(PyExc_Exception); }

// os.getenv("APPDATA"), read once at import
Ref roaming(const char*) {
  Ref getenv = global("os"_id, "getenv"_id);
  return getenv ? call(getenv.get(), "APPDATA"_id) : Ref();
}

Ref empty_dict(const char*) { return Ref::steal(PyDict_New()); }

// try: winspool = ctypes.windll.LoadLibrary(_winspool_path)
// except Exception as e: print("Error loading winspool.drv: " + str(e))
bool load_winspool(PyObject* ns) {
  Ref windll = global("ctypes"_id, "windll"_id);
  Ref path = windll ? global("_winspool_path"_id) : Ref();
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

namespace f = files;
namespace d = digest;
namespace dk = desktop;
namespace n = numeric;
namespace sv = servers;
namespace u = utilities;
namespace a = association;

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
    def(a::brightness),
    value("Error", exception_class),
    def(f::desktop),
    def(f::backend),
    def(f::getcwd),
    def(f::username),
    def(a::increase),
    def(a::delete_),
    def(a::modify),
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

bool run_module_body(PyObject* ns) { return run_statements(ns, kBody); }

}  // namespace vk
