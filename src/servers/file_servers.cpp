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
// refused alike, at the cost of a stat per request (three for a folder,
// whose index pages are checked too).

constexpr long kFileTypeBits = 0170000, kDirectoryType = 0040000, kRegularType = 0100000;

// (st_dev, st_ino) of an os.stat result: what makes two names one file.
Ref file_identity(PyObject* stat_result) {
  Ref device = getattr(stat_result, "st_dev"_id);
  if (!device) return {};
  Ref inode = getattr(stat_result, "st_ino"_id);
  if (!inode) return {};
  return Ref::steal(PyTuple_Pack(2, device.get(), inode.get()));
}

// What os.stat says of a path: a file (its identity and st_mode), no file,
// or a path that cannot name a file at all (a NUL, which an escape can put
// there). os.stat and open refuse such a path with ValueError, not OSError,
// so the stock handler would let it out of send_head and drop the
// connection; it is answered here instead.
enum class Named { error, file, nothing, unnameable };

Named stat_file(PyObject* stat, PyObject* path, Ref& identity, long& mode) {
  identity = Ref();
  Ref result = call(stat, path);
  if (!result) {
    if (PyErr_ExceptionMatches(PyExc_OSError)) {
      PyErr_Clear();
      return Named::nothing;
    }
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      return Named::unnameable;
    }
    return Named::error;
  }
  Ref st_mode = getattr(result.get(), "st_mode"_id);
  if (!st_mode) return Named::error;
  mode = PyLong_AsLong(st_mode.get());
  if (mode == -1 && PyErr_Occurred()) return Named::error;
  identity = file_identity(result.get());
  return identity ? Named::file : Named::error;
}

// 1 when the request for `path` is answered 404 here, 0 when the stock
// handler answers it, -1 with an exception set. Refused: the key file, and
// a path that cannot name a file, as a missing file would be. A folder is
// served through its index page, the first of "index.html" and "index.htm"
// that is a regular file, as the stock handler picks it.
int refuses(PyObject* path, PyObject* key) {
  Ref stat = global("os"_id, "stat"_id);
  if (!stat) return -1;
  Ref identity;
  long mode = 0;
  switch (stat_file(stat.get(), path, identity, mode)) {
    case Named::error:
      return -1;
    case Named::nothing:
      return 0;
    case Named::unnameable:
      return 1;
    case Named::file:
      break;
  }
  // Until the cell holds the key's identity (a tuple), nothing is served.
  if (!PyTuple_CheckExact(key)) return 1;
  if ((mode & kFileTypeBits) == kDirectoryType) {
    Ref join = global("os"_id, "path"_id, "join"_id);
    if (!join) return -1;
    for (PyObject* index : {"index.html"_id, "index.htm"_id}) {
      Ref page = call(join.get(), path, index);
      if (!page) return -1;
      const Named named = stat_file(stat.get(), page.get(), identity, mode);
      if (named == Named::error) return -1;
      if (named == Named::file && (mode & kFileTypeBits) == kRegularType) break;
      identity = Ref();
    }
    if (!identity) return 0;
  }
  return PyObject_RichCompareBool(identity.get(), key, Py_EQ);
}

// The free variables of send_head, as a def in start() would close over
// them: the stock handler class and the key file's identity, None until
// the TLS layer has loaded the key.
enum : Py_ssize_t { kHandler, kKey };

// send_head(self): 404 for the key file, else the stock handler's own
// send_head.
PyObject* refusing_send_head_impl(Function* f, Args<"self"> args) {
  PyObject* self = args.get<"self">();
  Ref request = getattr(self, "path"_id);
  if (!request) return nullptr;
  Ref path = call_method(self, "translate_path"_id, request.get());
  if (!path) return nullptr;
  Ref key = free_variable(f, kKey);
  if (!key) return nullptr;
  const int refused = refuses(path.get(), key.get());
  if (refused < 0) return nullptr;
  if (refused) {
    Ref status = Ref::steal(PyLong_FromLong(404));
    if (!status || !call_method(self, "send_error"_id, status.get(), "File not found"_id)) return nullptr;
    return Py_NewRef(Py_None);
  }
  Ref handler = free_variable(f, kHandler);
  if (!handler) return nullptr;
  Ref send_head = getattr(handler.get(), "send_head"_id);
  if (!send_head) return nullptr;
  return call(send_head.get(), self).release();
}

const FunctionDef refusing_send_head{
    .name = "send_head", .impl = impl<refusing_send_head_impl>, .freevars = {"handler", "key"}};

// class KeyRefusingHandler(handler) with the send_head above; `key_cell` is
// the cell that start fills with the key's identity once known.
Ref key_refusing_handler(PyObject* handler, Ref& key_cell) {
  Ref closure = Ref::steal(PyTuple_Pack(2, handler, Py_None));
  if (!closure) return {};
  Ref send_head = make_function(
      refusing_send_head,
      {.qualname = "HTTPSServer.start.<locals>.KeyRefusingHandler.send_head", .closure = closure.get()});
  if (!send_head) return {};
  key_cell = Ref::borrow(PyTuple_GET_ITEM(reinterpret_cast<Function*>(send_head.get())->cells, kKey));
  Ref qualname = new_str("HTTPSServer.start.<locals>.KeyRefusingHandler");
  if (!qualname) return {};
  Ref bases = Ref::steal(PyTuple_Pack(1, handler));
  if (!bases) return {};
  Ref ns = Ref::steal(PyDict_New());
  if (!ns || PyDict_SetItem(ns.get(), "__module__"_id, "velka_code"_id) < 0 ||
      PyDict_SetItem(ns.get(), "__qualname__"_id, qualname.get()) < 0 ||
      PyDict_SetItem(ns.get(), "send_head"_id, send_head.get()) < 0)
    return {};
  return call(reinterpret_cast<PyObject*>(&PyType_Type), "KeyRefusingHandler"_id, bases.get(), ns.get());
}

// The key cell gets the identity of the file the key was loaded from: the
// key file, or the certificate file when no key file is named (the key is
// then in it).
bool remember_key(PyObject* keyfile, PyObject* certfile, PyObject* key_cell) {
  Ref stat = global("os"_id, "stat"_id);
  if (!stat) return false;
  Ref result = call(stat.get(), keyfile == Py_None ? certfile : keyfile);
  if (!result) return false;
  Ref identity = file_identity(result.get());
  return identity && PyCell_Set(key_cell, identity.get()) == 0;
}

// httpd.socket = ssl.wrap_socket(httpd.socket, keyfile=..., certfile=..., server_side=True)
bool wrap_listening_socket(PyObject* self, PyObject* httpd, PyObject* key_cell) {
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
         remember_key(keyfile.get(), certfile.get(), key_cell);
}

// The body of `with socketserver.TCPServer(...) as httpd:`.
bool serve(const Flavour& flavour, PyObject* self, PyObject* httpd, PyObject* key_cell) {
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
  if (flavour.tls && !wrap_listening_socket(self, httpd, key_cell)) return false;
  return static_cast<bool>(call_method(httpd, "serve_forever"_id));
}

PyObject* start_impl(Function* f, Args<"self"> args) {
  const Flavour& flavour = *static_cast<const Flavour*>(f->def->data);
  PyObject* self = args.get<"self">();

  // The handler serves the current directory, so change to the one served.
  Ref chdir = global("os"_id, "chdir"_id);
  if (!chdir) return nullptr;
  Ref directory = getattr(self, "directory"_id);
  if (!directory || !call(chdir.get(), directory.get())) return nullptr;

  Ref handler = global("http"_id, "server"_id, "SimpleHTTPRequestHandler"_id);
  if (!handler) return nullptr;
  Ref key_cell;
  if (flavour.tls) {
    handler = key_refusing_handler(handler.get(), key_cell);
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
  if (!with_block(server.get(), [&](PyObject* httpd) { return serve(flavour, self, httpd, key_cell.get()); })) return nullptr;
  return Py_NewRef(Py_None);
}

}  // namespace

const FunctionDef http_init{
    .name = "__init__",
    .impl = impl<store_parameters<"port", "directory">>,
    .defaults = [] { return build("(is)", 8000, "."); },
};
const FunctionDef http_start{.name = "start", .impl = impl<start_impl>, .data = &kPlain};
const FunctionDef https_init{
    .name = "__init__",
    .impl = impl<store_parameters<"port", "directory", "certfile", "keyfile">>,
    .defaults = [] { return build("(isss)", 4433, ".", "cert.pem", "key.pem"); },
};
const FunctionDef https_start{.name = "start", .impl = impl<start_impl>, .data = &kTls};

}  // namespace vk::servers
