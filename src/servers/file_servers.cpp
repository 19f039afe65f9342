// HTTPServer and HTTPSServer: the standard library's file handler served
// from the process's current directory by a TCPServer.
#include "core/state.hpp"
#include "servers/init.hpp"
#include "servers/servers.hpp"
#include "core/with.hpp"

namespace vk::servers {
namespace {

using namespace literals;

struct Flavour {
  const char* listening;  // the text before the port
  bool tls;
};

constexpr Flavour kPlain{"HTTP server is listening on port ", false};
constexpr Flavour kTls{"HTTPS server is listening on port ", true};

// The HTTPS handler never sends the private key. Relative key paths are
// read from the served folder, so the key usually sits among the files
// served to anyone who connects. Every request whose file is the key file
// is answered 404, as a missing file is. The key is known by its file
// identity (st_dev, st_ino), taken once the TLS layer has loaded it, so
// each name that reaches it (./, %-escapes, .., links, a query string) is
// refused alike, and a request costs one stat.

constexpr long kFileTypeBits = 0170000, kDirectoryType = 0040000, kRegularType = 0100000;

// (st_dev, st_ino) of an os.stat result: what makes two names one file.
Ref file_identity(PyObject* stat_result) {
  Ref device = getattr(stat_result, "st_dev"_id);
  Ref inode = getattr(device ? stat_result : nullptr, "st_ino"_id);
  return inode ? Ref::steal(PyTuple_Pack(2, device.get(), inode.get())) : Ref();
}

// os.stat(path): its identity and st_mode. A path that cannot be stat-ed
// leaves `identity` empty; the stock handler then answers for it as before.
bool stat_file(PyObject* stat, PyObject* path, Ref& identity, long& mode) {
  identity = Ref();
  Ref result = call(stat, path);
  if (!result) {
    // ValueError: a NUL in the path, which an escape can put there.
    if (!PyErr_ExceptionMatches(PyExc_OSError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return false;
    PyErr_Clear();
    return true;
  }
  Ref st_mode = getattr(result.get(), "st_mode"_id);
  mode = st_mode ? PyLong_AsLong(st_mode.get()) : -1;
  if (mode == -1 && PyErr_Occurred()) return false;
  identity = file_identity(result.get());
  return static_cast<bool>(identity);
}

// 1 when serving `path` would send the key file, 0 when not, -1 with an
// exception set. A folder is served through its index page, the first of
// "index.html" and "index.htm" that is a regular file, as the stock handler
// picks it.
int serves_key(PyObject* path, PyObject* key) {
  Ref stat = global("os"_id, "stat"_id);
  if (!stat) return -1;
  Ref identity;
  long mode = 0;
  if (!stat_file(stat.get(), path, identity, mode)) return -1;
  if (!identity) return 0;
  if ((mode & kFileTypeBits) == kDirectoryType) {
    Ref join = global("os"_id, "path"_id, "join"_id);
    if (!join) return -1;
    for (PyObject* index : {"index.html"_id, "index.htm"_id}) {
      Ref page = call(join.get(), path, index);
      if (!page || !stat_file(stat.get(), page.get(), identity, mode)) return -1;
      if (identity && (mode & kFileTypeBits) == kRegularType) break;
    }
    if (!identity || (mode & kFileTypeBits) != kRegularType) return 0;
  }
  return PyObject_RichCompareBool(identity.get(), key, Py_EQ);
}

// send_head(self), closure (handler class, [key identity]): 404 for the
// key file, else the handler class's own send_head. Until the identity is
// known every request is refused.
PyObject* refusing_send_head_impl(Function* f, Args args) {
  PyObject* self = args[0];
  Ref base = Ref::borrow(PyTuple_GET_ITEM(f->closure, 0));
  // The slot is reachable as send_head.__closure__[1].cell_contents, so
  // code that got hold of the handler class may have emptied it.
  Ref key = Ref::borrow(PyList_GetItem(PyTuple_GET_ITEM(f->closure, 1), 0));
  if (!key) return nullptr;
  Ref request = getattr(self, "path"_id);
  Ref path = call_method(self, "translate_path"_id, request.get());
  if (!path) return nullptr;
  const int refused = key.get() == Py_None ? 1 : serves_key(path.get(), key.get());
  if (refused < 0) return nullptr;
  if (refused) {
    Ref status = Ref::steal(PyLong_FromLong(404));
    if (!status || !call_method(self, "send_error"_id, status.get(), "File not found"_id)) return nullptr;
    return Py_NewRef(Py_None);
  }
  Ref send_head = getattr(base.get(), "send_head"_id);
  return call(send_head.get(), self).release();
}

const FunctionDef refusing_send_head{.name = "send_head", .positional = {"self"}, .impl = refusing_send_head_impl};

// class KeyRefusingHandler(handler): send_head refusing the key, whose
// identity goes into `key_slot` (a one-item list) once known.
Ref key_refusing_handler(PyObject* handler, PyObject* key_slot) {
  Ref closure = Ref::steal(PyTuple_Pack(2, handler, key_slot));
  if (!closure) return {};
  Ref send_head = make_function(
      refusing_send_head,
      {.qualname = "HTTPSServer.start.<locals>.KeyRefusingHandler.send_head", .closure = closure.get()});
  Ref qualname = send_head ? new_str("HTTPSServer.start.<locals>.KeyRefusingHandler") : Ref();
  Ref bases = qualname ? Ref::steal(PyTuple_Pack(1, handler)) : Ref();
  Ref ns = bases ? Ref::steal(PyDict_New()) : Ref();
  if (!ns || PyDict_SetItem(ns.get(), "__module__"_id, "velka_code"_id) < 0 ||
      PyDict_SetItem(ns.get(), "__qualname__"_id, qualname.get()) < 0 ||
      PyDict_SetItem(ns.get(), "send_head"_id, send_head.get()) < 0)
    return {};
  return call(reinterpret_cast<PyObject*>(&PyType_Type), "KeyRefusingHandler"_id, bases.get(), ns.get());
}

// key_slot[0] = the identity of the file the key was loaded from: the key
// file, or the certificate file when no key file is named (the key is then
// in it).
bool remember_key(PyObject* keyfile, PyObject* certfile, PyObject* key_slot) {
  Ref stat = global("os"_id, "stat"_id);
  Ref result = call(stat.get(), keyfile == Py_None ? certfile : keyfile);
  Ref identity = result ? file_identity(result.get()) : Ref();
  return identity && PyList_SetItem(key_slot, 0, identity.release()) == 0;
}

// httpd.socket = ssl.wrap_socket(httpd.socket, keyfile=..., certfile=..., server_side=True)
bool wrap_listening_socket(PyObject* self, PyObject* httpd, PyObject* key_slot) {
  Ref wrap_socket = global("ssl"_id, "wrap_socket"_id);
  if (!wrap_socket) return false;
  Ref sock = getattr(httpd, "socket"_id);
  if (!sock) return false;
  Ref keyfile = getattr(self, "keyfile"_id);
  if (!keyfile) return false;
  Ref certfile = getattr(self, "certfile"_id);
  if (!certfile) return false;
  Ref wrapped = call_kw(wrap_socket.get(), 1, kwnames<"keyfile", "certfile", "server_side">(), sock.get(),
                        keyfile.get(), certfile.get(), Py_True);
  return wrapped && PyObject_SetAttr(httpd, "socket"_id, wrapped.get()) == 0 &&
         remember_key(keyfile.get(), certfile.get(), key_slot);
}

// The body of `with socketserver.TCPServer(...) as httpd:`.
bool serve(const Flavour& flavour, PyObject* self, PyObject* httpd, PyObject* key_slot) {
  Ref port = getattr(self, "port"_id);
  if (!port) return false;
  Ref port_text = format(port.get());
  if (!port_text) return false;
  Ref directory = getattr(self, "directory"_id);
  if (!directory) return false;
  Ref directory_text = format(directory.get());
  if (!directory_text) return false;
  Ref line = concat({new_str(flavour.listening).get(), port_text.get(), ", serving directory "_id,
                     directory_text.get()});
  if (!print_line(line.get())) return false;
  if (flavour.tls && !wrap_listening_socket(self, httpd, key_slot)) return false;
  return static_cast<bool>(call_method(httpd, "serve_forever"_id));
}

PyObject* start_impl(Function* f, Args args) {
  const Flavour& flavour = *static_cast<const Flavour*>(f->def->data);
  PyObject* self = args[0];

  // The handler serves the current directory, so change to the one served.
  Ref chdir = global("os"_id, "chdir"_id);
  if (!chdir) return nullptr;
  Ref directory = getattr(self, "directory"_id);
  if (!directory || !call(chdir.get(), directory.get())) return nullptr;

  Ref handler = global("http"_id, "server"_id, "SimpleHTTPRequestHandler"_id);
  if (!handler) return nullptr;
  Ref key_slot;
  if (flavour.tls) {
    key_slot = build("[O]", Py_None);
    handler = key_slot ? key_refusing_handler(handler.get(), key_slot.get()) : Ref();
    if (!handler) return nullptr;
  }
  Ref tcp_server = global("socketserver"_id, "TCPServer"_id);
  if (!tcp_server) return nullptr;
  Ref port = getattr(self, "port"_id);
  if (!port) return nullptr;
  Ref address = Ref::steal(PyTuple_Pack(2, ""_id, port.get()));
  if (!address) return nullptr;
  Ref server = call(tcp_server.get(), address.get(), handler.get());
  if (!server) return nullptr;

  // Leaving the block closes the listening socket, also when serve_forever
  // ends by an exception such as KeyboardInterrupt, which then goes on.
  if (!with_block(server.get(), [&](PyObject* httpd) { return serve(flavour, self, httpd, key_slot.get()); })) return nullptr;
  return Py_NewRef(Py_None);
}

}  // namespace

const FunctionDef http_init{
    .name = "__init__",
    .positional = {"self", "port", "directory"},
    .impl = store_parameters,
    .defaults = [] { return build("(is)", 8000, "."); },
};
const FunctionDef http_start{.name = "start", .positional = {"self"}, .impl = start_impl, .data = &kPlain};
const FunctionDef https_init{
    .name = "__init__",
    .positional = {"self", "port", "directory", "certfile", "keyfile"},
    .impl = store_parameters,
    .defaults = [] { return build("(isss)", 4433, ".", "cert.pem", "key.pem"); },
};
const FunctionDef https_start{.name = "start", .positional = {"self"}, .impl = start_impl, .data = &kTls};

}  // namespace vk::servers
