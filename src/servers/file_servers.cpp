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

// httpd.socket = ssl.wrap_socket(httpd.socket, keyfile=..., certfile=..., server_side=True)
bool wrap_listening_socket(PyObject* self, PyObject* httpd) {
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
  return wrapped && PyObject_SetAttr(httpd, "socket"_id, wrapped.get()) == 0;
}

// The body of `with socketserver.TCPServer(...) as httpd:`.
bool serve(const Flavour& flavour, PyObject* self, PyObject* httpd) {
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
  if (flavour.tls && !wrap_listening_socket(self, httpd)) return false;
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
  if (!with_block(server.get(), [&](PyObject* httpd) { return serve(flavour, self, httpd); })) return nullptr;
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
