"""HTTPServer and HTTPSServer: real servers on 127.0.0.1 in child processes,
real clients (urllib, curl, headless Chromium)."""

import base64
import contextlib
import hashlib
import http.client
import inspect
import io
import os
import socket
import socketserver
import ssl
import subprocess
import types
import urllib.error
import urllib.request

import pytest

from servers_support import ServerProcess, chromium, client_env, dump_dom, free_port

PAGE = ("<!doctype html><html><head><title>static</title></head><body>"
        "<script>document.title = 'rendered ' + (40 + 2);</script><p>velka</p></body></html>")


@pytest.fixture
def site(tmp_path):
    root = tmp_path / "site"
    (root / "sub").mkdir(parents=True)
    (root / "hello.txt").write_bytes(b"hello from velka\n")
    (root / "index.html").write_text(PAGE)
    (root / "sub" / "inner.bin").write_bytes(bytes(range(256)) * 300)
    return root


@pytest.fixture
def tls_pair(vk, tmp_path, capsys):
    folder = tmp_path / "tls"
    folder.mkdir()
    key, cert = folder / "key.pem", folder / "cert.pem"
    vk.SelfSignedCertificateGenerator("localhost", str(key), str(cert)).generate()
    capsys.readouterr()
    return key, cert


def get(url, context=None, timeout=30):
    with urllib.request.urlopen(url, context=context, timeout=timeout) as response:
        return response.status, response.read()


# --- the classes -------------------------------------------------------------

@pytest.mark.parametrize("name, doc, params", [
    ("HTTPServer", "创建HTTP服务器", "(self, port=8000, directory='.')"),
    ("HTTPSServer", "创建HTTPS服务器,需要证书(测试情况下只用使用自签名证书就行了)",
     "(self, port=4433, directory='.', certfile='cert.pem', keyfile='key.pem')"),
])
def test_class_shape(vk, name, doc, params):
    cls = getattr(vk, name)
    assert cls.__bases__ == (object,) and type(cls) is type
    assert cls.__doc__ == doc and cls.__module__ == "velka_code" and cls.__qualname__ == name
    assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == ["__init__", "start"]
    assert str(inspect.signature(cls.__init__)) == params
    assert cls.start.__qualname__ == f"{name}.start" and cls.start.__doc__ is None
    assert cls.__init__.__doc__ is None


def test_https_is_not_a_subclass(vk):
    assert not issubclass(vk.HTTPSServer, vk.HTTPServer)


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, {"port": 8000, "directory": "."}),
    (("8080", b"/srv"), {}, {"port": "8080", "directory": b"/srv"}),
    ((), {"directory": None, "port": -1}, {"port": -1, "directory": None}),
])
def test_http_init_stores_as_passed(vk, args, kwargs, expected):
    assert vars(vk.HTTPServer(*args, **kwargs)) == expected
    assert list(vars(vk.HTTPServer(*args, **kwargs))) == ["port", "directory"]


def test_https_init_order_and_defaults(vk):
    s = vk.HTTPSServer()
    assert list(vars(s).items()) == [("port", 4433), ("directory", "."), ("certfile", "cert.pem"),
                                     ("keyfile", "key.pem")]
    s = vk.HTTPSServer(1, "d", keyfile="k")
    assert vars(s) == {"port": 1, "directory": "d", "certfile": "cert.pem", "keyfile": "k"}


@pytest.mark.parametrize("call, message", [
    (lambda vk: vk.HTTPServer(1, 2, 3), "__init__() takes at most 3 positional arguments (4 given)"),
    (lambda vk: vk.HTTPSServer(cert="x"), "__init__() got an unexpected keyword argument 'cert'"),
    (lambda vk: vk.HTTPServer().start(1), "start() takes exactly 1 positional argument (2 given)"),
])
def test_argument_errors(vk, call, message):
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        call(vk)


# --- failures before serving (in this process) -------------------------------

@pytest.mark.parametrize("cls", ["HTTPServer", "HTTPSServer"])
def test_missing_directory_raises_at_chdir_and_prints_nothing(vk, cls, tmp_path, restore_cwd, capsys):
    with pytest.raises(FileNotFoundError):
        getattr(vk, cls)(free_port(), str(tmp_path / "nowhere")).start()
    assert capsys.readouterr().out == ""
    assert os.getcwd() == restore_cwd


@pytest.mark.parametrize("cls", ["HTTPServer", "HTTPSServer"])
def test_taken_port_raises_before_the_line(vk, cls, site, restore_cwd, capsys):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        with pytest.raises(OSError) as info:
            getattr(vk, cls)(port, str(site)).start()
    assert info.value.errno == 98 or "in use" in str(info.value)
    assert capsys.readouterr().out == ""
    assert os.getcwd() == str(site)  # the directory change came first


@pytest.mark.parametrize("port", ["8000", 8000.5, None])
def test_port_that_is_not_an_integer(vk, port, site, restore_cwd, capsys):
    with pytest.raises(TypeError):
        vk.HTTPServer(port, str(site)).start()
    assert capsys.readouterr().out == ""
    assert os.getcwd() == str(site)


class RecordingServer:
    """Stands in for TCPServer: records the with protocol."""
    made = []

    def __init__(self, address, handler, raise_in_serve=KeyboardInterrupt, swallow=False):
        self.address, self.handler = address, handler
        self.socket = object()
        self.raise_in_serve, self.swallow, self.exit_args = raise_in_serve, swallow, None
        RecordingServer.made.append(self)

    def __enter__(self):
        return self

    def serve_forever(self):
        if self.raise_in_serve:
            raise self.raise_in_serve("stop")

    def __exit__(self, *args):
        self.exit_args = args
        self.traceback_was_current = args[1] is not None and args[2] is args[1].__traceback__
        return self.swallow


@pytest.mark.parametrize("raised, swallow, propagates", [
    (KeyboardInterrupt, False, True),
    (ValueError, False, True),
    (KeyboardInterrupt, True, False),  # a true __exit__ swallows, as in a with block
    (None, False, False),
])
def test_start_leaves_the_context_on_every_path(vk, monkeypatch, site, restore_cwd, capsys,
                                                raised, swallow, propagates):
    RecordingServer.made.clear()
    fake = types.SimpleNamespace(TCPServer=lambda address, handler: RecordingServer(
        address, handler, raised, swallow))
    monkeypatch.setattr(vk, "socketserver", fake)
    server = vk.HTTPServer(1234, str(site))
    if propagates:
        with pytest.raises(raised):
            server.start()
    else:
        assert server.start() is None
    made, = RecordingServer.made
    import http.server
    assert made.address == ("", 1234) and made.handler is http.server.SimpleHTTPRequestHandler
    if raised:
        assert made.exit_args[0] is raised and isinstance(made.exit_args[1], raised)
        assert made.traceback_was_current
    else:
        assert made.exit_args == (None, None, None)
    assert capsys.readouterr().out == f"HTTP server is listening on port 1234, serving directory {site}\n"


def test_https_wraps_the_listening_socket_after_the_line(vk, monkeypatch, site, restore_cwd, capsys):
    calls = []

    class Stop(Exception):
        pass

    def wrap_socket(*args, **kwargs):
        calls.append((args, list(kwargs.items()), capsys.readouterr().out))
        raise Stop

    class NeverServes(socketserver.TCPServer):
        # A server that was never wrapped must not block the test.
        def serve_forever(self, poll_interval=0.5):
            raise AssertionError("served before the socket was wrapped")

    monkeypatch.setattr(vk, "ssl", types.SimpleNamespace(wrap_socket=wrap_socket))
    monkeypatch.setattr(vk, "socketserver", types.SimpleNamespace(TCPServer=NeverServes))
    port = free_port()
    with pytest.raises(Stop):
        vk.HTTPSServer(port, str(site), "c.pem", "k.pem").start()
    (args, kwargs, printed_before), = calls
    assert printed_before == f"HTTPS server is listening on port {port}, serving directory {site}\n"
    assert isinstance(args[0], socket.socket) and len(args) == 1
    assert kwargs == [("keyfile", "k.pem"), ("certfile", "c.pem"), ("server_side", True)]
    assert args[0].fileno() == -1  # the context closed the listening socket
    with socket.socket() as again:
        again.bind(("", port))


# --- real servers --------------------------------------------------------------

def test_http_serves_files_and_listings(site):
    with ServerProcess(f"velka_code.HTTPServer(port, {str(site)!r})") as server:
        line = server.wait_listening()
        assert line == f"HTTP server is listening on port {server.port}, serving directory {site}"
        base = f"http://127.0.0.1:{server.port}"
        assert get(base + "/hello.txt") == (200, b"hello from velka\n")
        assert get(base + "/sub/inner.bin")[1] == bytes(range(256)) * 300
        status, listing = get(base + "/sub/")
        assert status == 200 and b"inner.bin" in listing
        with pytest.raises(urllib.error.HTTPError) as missing:
            get(base + "/absent.txt")
        assert missing.value.code == 404
        curl = subprocess.run(["curl", "-sS", "--fail", "--max-time", "30", base + "/hello.txt"],
                              capture_output=True, timeout=60, env=client_env())
        assert curl.returncode == 0 and curl.stdout == b"hello from velka\n"
        rest, stderr = server.interrupt()
    # Ctrl+C reaches the caller, the socket is closed, the directory stays changed.
    assert rest[:2] == ["INTERRUPTED", "CLOSED"] and rest[-1] == f"CWD {site}", stderr


@pytest.mark.parametrize("cls", ["HTTPServer", "HTTPSServer"])
def test_interrupt_closes_the_socket_and_propagates(site, tls_pair, cls):
    key, cert = tls_pair
    args = f"port, {str(site)!r}" + (f", {str(cert)!r}, {str(key)!r}" if cls == "HTTPSServer" else "")
    with ServerProcess(f"velka_code.{cls}({args})") as server:
        server.wait_listening(probe=False)
        rest, stderr = server.interrupt()
    assert rest == ["INTERRUPTED", "CLOSED", "REBOUND", f"CWD {site}"], stderr


def test_http_defaults_serve_the_current_directory_on_8000(site):
    try:
        with socket.socket() as probe:
            probe.bind(("", 8000))
    except OSError:
        pytest.skip("port 8000 is in use on this machine")
    with ServerProcess("velka_code.HTTPServer()", port=8000, cwd=str(site)) as server:
        assert server.wait_listening() == "HTTP server is listening on port 8000, serving directory ."
        assert get("http://127.0.0.1:8000/hello.txt")[1] == b"hello from velka\n"
        rest, _ = server.interrupt()
    assert rest[:2] == ["INTERRUPTED", "CLOSED"]


TRAVERSALS = [
    "/../secret.txt",
    "/../../secret.txt",
    "/%2e%2e/secret.txt",
    "/%2E%2E/secret.txt",
    "/%2e%2e%2fsecret.txt",
    "/..%2fsecret.txt",
    "/..%5csecret.txt",
    "/sub/../../secret.txt",
    "/sub/%2e%2e/%2e%2e/secret.txt",
    "//../secret.txt",
]


def test_requests_never_leave_the_served_folder(site):
    secret = site.parent / "secret.txt"
    marker = b"TOP-SECRET-" + os.urandom(8).hex().encode()
    secret.write_bytes(marker)
    (site / "secret.txt").write_bytes(b"decoy inside the served folder")
    requests = TRAVERSALS + [str(secret), "/" + str(secret), "//" + str(secret).lstrip("/"),
                             "/%2f" + str(secret).lstrip("/"), "/etc/passwd",
                             "http://127.0.0.1/../secret.txt"]
    served = {}
    with ServerProcess(f"velka_code.HTTPServer(port, {str(site)!r})") as server:
        server.wait_listening()
        for path in requests:
            # http.client sends the target as given, unnormalised.
            conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
            conn.putrequest("GET", path, skip_host=True, skip_accept_encoding=True)
            conn.putheader("Host", "127.0.0.1")
            conn.endheaders()
            response = conn.getresponse()
            body = response.read()
            conn.close()
            assert marker not in body, path
            assert b"root:" not in body, path
            served[path] = (response.status, body)
        # The folder itself is still served.
        assert get(f"http://127.0.0.1:{server.port}/hello.txt")[1] == b"hello from velka\n"
        server.interrupt()
    # Dot-dot segments are resolved inside the folder, not above it.
    assert served["/../secret.txt"] == (200, b"decoy inside the served folder")
    assert served["/%2e%2e/secret.txt"] == (200, b"decoy inside the served folder")


def test_https_with_a_generated_certificate(site, tls_pair):
    key, cert = tls_pair
    expression = f"velka_code.HTTPSServer(port, {str(site)!r}, {str(cert)!r}, {str(key)!r})"
    with ServerProcess(expression) as server:
        line = server.wait_listening()
        assert line == f"HTTPS server is listening on port {server.port}, serving directory {site}"
        trusting = ssl.create_default_context(cafile=str(cert))
        assert trusting.check_hostname and trusting.verify_mode == ssl.CERT_REQUIRED
        url = f"https://localhost:{server.port}"
        assert get(url + "/hello.txt", trusting) == (200, b"hello from velka\n")
        assert b"inner.bin" in get(url + "/sub/", trusting)[1]
        # A client that trusts only the system store refuses it ...
        with pytest.raises(urllib.error.URLError) as refused:
            get(url + "/hello.txt", ssl.create_default_context())
        assert isinstance(refused.value.reason, ssl.SSLCertVerificationError)
        # ... and so does one that trusts it but asks for another host name.
        conn = http.client.HTTPSConnection("127.0.0.1", server.port, context=trusting, timeout=30)
        with pytest.raises(ssl.SSLCertVerificationError, match="IP address mismatch|doesn't match"):
            conn.request("GET", "/hello.txt")
        conn.close()
        curl = subprocess.run(["curl", "-sS", "--fail", "--max-time", "30", "--cacert", str(cert),
                               url + "/hello.txt"], capture_output=True, timeout=60, env=client_env())
        assert curl.returncode == 0 and curl.stdout == b"hello from velka\n", curl.stderr
        rest, stderr = server.interrupt()
    assert rest[:2] == ["INTERRUPTED", "CLOSED"] and rest[-1] == f"CWD {site}", stderr


def test_https_relative_certificate_paths_resolve_in_the_served_folder(vk, site, capsys, restore_cwd):
    os.chdir(site)
    vk.SelfSignedCertificateGenerator("localhost", "key.pem", "cert.pem").generate()
    os.chdir(restore_cwd)
    capsys.readouterr()
    with ServerProcess(f"velka_code.HTTPSServer(port, {str(site)!r})", cwd=restore_cwd) as server:
        server.wait_listening()
        context = ssl.create_default_context(cafile=str(site / "cert.pem"))
        assert get(f"https://localhost:{server.port}/hello.txt", context)[1] == b"hello from velka\n"
        server.interrupt()


@pytest.fixture(scope="module")
def keyed_site(tmp_path_factory):
    """A served folder holding its own key and certificate, as the default
    relative paths put them, with other names that reach the key: a link, a
    hard link and a folder whose index page is the key. Yields (site, port)."""
    import velka_code
    root = tmp_path_factory.mktemp("keyed") / "site"
    (root / "sub").mkdir(parents=True)
    (root / "keydir").mkdir()
    (root / "hello.txt").write_bytes(b"hello from velka\n")
    with contextlib.redirect_stdout(io.StringIO()):
        velka_code.SelfSignedCertificateGenerator("localhost", str(root / "key.pem"), str(root / "cert.pem")).generate()
    (root / "sub" / "link.pem").symlink_to("../key.pem")
    os.link(root / "key.pem", root / "hard.pem")
    (root / "keydir" / "index.html").symlink_to("../key.pem")
    with ServerProcess(f"velka_code.HTTPSServer(port, {str(root)!r})") as server:
        server.wait_listening()
        yield root, server.port
        server.interrupt()


def tls_request(port, cafile, method, target):
    """(status, body) of one request whose target is sent exactly as given."""
    context = ssl.create_default_context(cafile=str(cafile))
    conn = http.client.HTTPSConnection("localhost", port, context=context, timeout=30)
    try:
        conn.putrequest(method, target, skip_accept_encoding=True)
        conn.endheaders()
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


def curl_tls(port, cafile, target):
    result = subprocess.run(["curl", "-sS", "--path-as-is", "--max-time", "30", "--cacert", str(cafile),
                             "-w", "\n%{http_code}", f"https://localhost:{port}{target}"],
                            capture_output=True, timeout=60, env=client_env())
    assert result.returncode == 0, result.stderr
    body, _, status = result.stdout.rpartition(b"\n")
    return int(status), body


KEY_REQUESTS = ["/key.pem", "/./key.pem", "/%6Bey.pem", "/%6b%65%79%2epem", "/sub/../key.pem",
                "/sub/%2e%2e/key.pem", "//key.pem", "/sub/link.pem", "/hard.pem", "/key.pem?download=1",
                "/key.pem#part", "/keydir/", "/keydir/index.html"]


@pytest.mark.parametrize("target", KEY_REQUESTS)
def test_https_never_sends_its_private_key(keyed_site, target):
    site, port = keyed_site
    key, cert = (site / "key.pem").read_bytes(), site / "cert.pem"
    secret = key.split(b"\n")[1]  # a line of the key itself
    for method in ("GET", "HEAD"):
        status, body = tls_request(port, cert, method, target)
        assert status == 404 and secret not in body, (method, status)
    status, body = curl_tls(port, cert, target.split("#")[0])
    assert status == 404 and secret not in body and b"File not found" in body


@pytest.mark.parametrize("target, expected", [
    ("/cert.pem", "cert.pem"), ("/hello.txt", "hello.txt"), ("/sub/../cert.pem", "cert.pem"),
    ("/%63ert.pem?x=1", "cert.pem"), ("/sub/", None)])
def test_https_serves_everything_but_the_key(keyed_site, target, expected):
    site, port = keyed_site
    cert = site / "cert.pem"
    for fetch in (lambda: tls_request(port, cert, "GET", target), lambda: curl_tls(port, cert, target)):
        status, body = fetch()
        assert status == 200
        if expected:
            assert body == (site / expected).read_bytes()
        else:
            assert b"link.pem" in body and b"BEGIN" not in body


def test_https_refuses_a_certificate_file_that_holds_the_key(tmp_path, tls_pair):
    key, cert = tls_pair
    site = tmp_path / "combined"
    site.mkdir()
    (site / "both.pem").write_bytes(cert.read_bytes() + key.read_bytes())
    (site / "hello.txt").write_bytes(b"hi\n")
    # Without a key file the TLS layer reads the key from the certificate file.
    with ServerProcess(f"velka_code.HTTPSServer(port, {str(site)!r}, 'both.pem', None)") as server:
        server.wait_listening()
        assert tls_request(server.port, cert, "GET", "/both.pem")[0] == 404
        assert tls_request(server.port, cert, "GET", "/hello.txt") == (200, b"hi\n")
        server.interrupt()


@pytest.mark.parametrize("missing", ["key", "cert"])
def test_https_missing_file_fails_after_the_line_and_closes(site, tls_pair, missing):
    key, cert = tls_pair
    if missing == "key":
        key = site / "absent-key.pem"
    else:
        cert = site / "absent-cert.pem"
    expression = f"velka_code.HTTPSServer(port, {str(site)!r}, {str(cert)!r}, {str(key)!r})"
    with ServerProcess(expression) as server:
        rest, stderr = server.finish()
    assert server.seen[0] == f"HTTPS server is listening on port {server.port}, serving directory {site}"
    assert rest[1] == "FAILED FileNotFoundError [Errno 2] No such file or directory", stderr
    assert rest[2:4] == ["CLOSED", "REBOUND"]


def tls_status(port, cafile, target):
    """The status of one GET whose target is sent byte for byte, as no
    client library would send it (a NUL, a lone control byte)."""
    context = ssl.create_default_context(cafile=str(cafile))
    with socket.create_connection(("127.0.0.1", port), timeout=30) as raw, \
            context.wrap_socket(raw, server_hostname="localhost") as conn:
        conn.sendall(b"GET " + target + b" HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
        answer = b""
        while chunk := conn.recv(65536):
            answer += chunk
    assert answer.startswith(b"HTTP/1."), (target, answer[:80])
    return int(answer.split(b" ", 2)[1])


@pytest.fixture
def keyed_server(site):
    """A new HTTPS server on a folder that holds its key, its output read
    after the test: (site, server)."""
    with contextlib.redirect_stdout(io.StringIO()):
        import velka_code
        velka_code.SelfSignedCertificateGenerator("localhost", str(site / "key.pem"), str(site / "cert.pem")).generate()
    with ServerProcess(f"velka_code.HTTPSServer(port, {str(site)!r})") as server:
        server.wait_listening()
        yield site, server


NUL_TARGETS = [b"/key.pem%00", b"/%00", b"/sub/%00x", b"/%00/", b"/hello.txt%00", b"/sub%00/inner.bin",
               b"/key.pem%00.txt", b"/%00?download=1", b"/key.pem\x00", b"/\x00", b"/sub/\x00x"]


def test_https_answers_a_path_with_a_nul_as_a_missing_file(keyed_server):
    # No file has a NUL in its name: such a path is answered 404, as the
    # stock handler answers any name it cannot open.
    site, server = keyed_server
    statuses = {target: tls_status(server.port, site / "cert.pem", target) for target in NUL_TARGETS}
    assert statuses == dict.fromkeys(NUL_TARGETS, 404)
    assert tls_status(server.port, site / "cert.pem", b"/hello.txt") == 200
    _, log = server.interrupt()
    assert "Traceback" not in log and "Exception occurred" not in log, log
    assert log.count('" 404 -') == len(NUL_TARGETS) and log.count('" 200 -') == 1, log


def test_https_answers_a_path_with_any_byte(keyed_server):
    site, server = keyed_server
    escaped = [b"/%%%02X" % byte for byte in range(256)] + [b"/sub/%%%02xkey.pem" % byte for byte in range(256)]
    # Every byte but the line ends, unescaped; blanks split the request line.
    raw = [b"/" + bytes([byte]) for byte in range(256) if byte not in b"\r\n"]
    statuses = {target: tls_status(server.port, site / "cert.pem", target) for target in escaped + raw}
    assert set(statuses.values()) <= {200, 301, 400, 404}
    assert statuses[b"/?"] == 200 and statuses[b"/%2F"] == 301 and statuses[b"/%00"] == statuses[b"/%6B"] == 404
    _, log = server.interrupt()
    assert "Traceback" not in log and "Exception occurred" not in log, log


# --- a real browser ------------------------------------------------------------

needs_chromium = pytest.mark.skipif(chromium() is None,
                                    reason="headless Chromium is not installed (Debian package chromium)")


def spki_pin(cert_path):
    der = subprocess.run(["openssl", "x509", "-in", str(cert_path), "-pubkey", "-noout"],
                         capture_output=True, check=True).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "der"], input=der,
                         capture_output=True, check=True).stdout
    return base64.b64encode(hashlib.sha256(der).digest()).decode()


@needs_chromium
def test_chromium_renders_a_page_over_http(site, tmp_path):
    with ServerProcess(f"velka_code.HTTPServer(port, {str(site)!r})") as server:
        server.wait_listening()
        dom = dump_dom(f"http://127.0.0.1:{server.port}/index.html", tmp_path / "profile")
        server.interrupt()
    assert "<title>rendered 42</title>" in dom and "<p>velka</p>" in dom


@needs_chromium
def test_chromium_renders_a_page_over_https_with_a_pinned_certificate(site, tls_pair, tmp_path):
    key, cert = tls_pair
    expression = f"velka_code.HTTPSServer(port, {str(site)!r}, {str(cert)!r}, {str(key)!r})"
    with ServerProcess(expression) as server:
        server.wait_listening()
        url = f"https://localhost:{server.port}/index.html"
        untrusted = dump_dom(url, tmp_path / "profile1")
        pinned = dump_dom(url, tmp_path / "profile2", f"--ignore-certificate-errors-spki-list={spki_pin(cert)}")
        server.interrupt()
    assert "rendered 42" not in untrusted  # without the pin the browser refuses the page
    assert "<title>rendered 42</title>" in pinned and "<p>velka</p>" in pinned
