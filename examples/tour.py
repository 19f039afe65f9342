"""A tour of velka_code: every subsystem, one call after another.

Run it on the simulated Windows platform with `scripts/tour` (or
`python -m simwin --report examples/tour.py` once the module is built).
Each step prints the call and what it did.
"""

import hashlib
import io
import os
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import types
import unicodedata
import urllib.request

import velka_code as vk


CALL_COLUMNS = 48


def animated_cursor():
    """A one-frame .ani file whose frame is a blank 32x32 cursor."""
    def chunk(ident, body):
        return ident + struct.pack("<I", len(body)) + body + b"\0" * (len(body) & 1)
    pixels = bytes(128) + b"\xff" * 128  # colour bits, then the mask: all transparent
    bitmap = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 1, 0, len(pixels), 0, 0, 2, 0) + b"\0\0\0\0\xff\xff\xff\0"
    frame = struct.pack("<HHHBBBBHHII", 0, 2, 1, 32, 32, 0, 0, 1, 1, len(bitmap) + len(pixels), 22) + bitmap + pixels
    header = struct.pack("<9I", 36, 1, 1, 0, 0, 0, 0, 10, 1)
    body = b"ACON" + chunk(b"anih", header) + chunk(b"LIST", b"fram" + chunk(b"icon", frame))
    return b"RIFF" + struct.pack("<I", len(body)) + body


def columns(text):
    """The width of text on a terminal: wide and full-width characters
    (Chinese among them) take two columns."""
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def show(call, result, did=""):
    padding = " " * max(CALL_COLUMNS - columns(call), 0)
    print(f"{call}{padding} -> {result!r}" + (f"   ({did})" if did else ""))


def section(title):
    print()
    print(f"== {title} ==")


def paths_and_platform(work):
    section("platform and paths")
    show("system()", vk.system(), "asked the shell: ver, then uname")
    show("system(5)", vk.system(5), "an argument other than None comes back as it is")
    show("username()", vk.username(), "USERNAME on Windows, USER elsewhere")
    show("home()", vk.home(), "USERPROFILE on Windows")
    show("desktop()", vk.desktop(), "the profile folder joined with Desktop")
    with open(vk.join(work, "keep"), "w"):
        pass  # keeps the work folder when removedir clears emptied parents
    folder = vk.join(work, "made")
    show("mkdir(folder)", vk.mkdir(folder), "created " + folder)
    show("exists(folder)", vk.exists(folder))
    show("idir(folder)", vk.idir(folder))
    show("chdir(folder)", vk.chdir(folder), "changed the current folder")
    show("getcwd()", vk.getcwd(), "kernel32 GetCurrentDirectoryW on Windows")
    show("cwdbytes()", vk.cwdbytes())
    with open("note.txt", "w") as f:
        f.write("hello\n")
    show("file('note.txt')", vk.file("note.txt"))
    show("pathq('note.txt', READ)", vk.pathq("note.txt", vk.READ))
    show("permissions('note.txt', 0o644)", vk.permissions("note.txt", 0o644))
    show("name('note.txt', 'renamed.txt')", vk.name("note.txt", "renamed.txt"))
    show("dirlist('.')", vk.dirlist("."))
    show("abspath('renamed.txt')", vk.abspath("renamed.txt"))
    show("remove('renamed.txt')", vk.remove("renamed.txt"))
    vk.chdir(work)
    show("removedir(folder)", vk.removedir(folder), "removed the folder; its parent still holds 'keep'")
    show("SORT_METHODS", vk.SORT_METHODS)
    show("installlist[0]", vk.installlist[0])
    show("winspool", type(vk.winspool).__name__, "loaded from " + vk._winspool_path)


def commands_and_files(folder):
    section("commands, encodings, vkprint, digests, verified copy")
    show("cmd('echo hello from the shell')", vk.cmd("echo hello from the shell"), "the shell printed to the console")
    done = vk.psshell("pwd")
    show("psshell('pwd')", (done.args, done.returncode, done.stdout), "this host: no shell, one program name")
    real_platform = sys.modules["platform"]
    sys.modules["platform"] = types.SimpleNamespace(system=lambda: "Windows")
    try:
        done = vk.psshell("echo through the shell")
        show("psshell(...) with platform 'Windows'", (done.args, done.returncode, done.stdout), "through the shell")
    finally:
        sys.modules["platform"] = real_platform
    flag = os.path.join(folder, "backend-ran")
    show("backend('echo detached > flag')", vk.backend(f"echo detached > {flag}"), "started in the background")

    gbk = os.path.join(folder, "gbk.txt")
    with open(gbk, "w", encoding="gbk") as f:
        f.write("春天来了，公园里的花都开了。孩子们在草地上奔跑，老人们坐在长椅上聊天。\n" * 5)
    show("get_encoding('gbk.txt')", vk.get_encoding(gbk), "chardet's guess for the whole file")
    utf8 = os.path.join(folder, "utf8.txt")
    show("moencoding('gbk.txt', 'utf8.txt')", vk.moencoding(gbk, utf8),
         "utf8.txt starts " + repr(open(utf8, encoding="utf-8").read(8)))
    show("moencoding('gbk.txt', 'gbk.txt')", vk.moencoding(gbk, gbk), "refused; the file is untouched")

    buffer = io.StringIO()
    vk.vkprint("vkprint:", 1, 2.5, None, sep=" | ", end=" <end>\n", file=buffer)
    show("vkprint(..., sep=' | ', file=buffer)", None, "wrote " + repr(buffer.getvalue()) + " in one write")
    vk.vkprint("vkprint to the stdout of import time")

    show("sha256('数字')", vk.sha256("数字"))
    show("md5(b'abc')", vk.md5(b"abc"))
    show("shake_128(bytearray(b'abc'))", vk.shake_128(bytearray(b"abc")), "16 bytes")
    show("_calculate_hash(b'abc', hashlib.sha1)", vk._calculate_hash(b"abc", hashlib.sha1))
    for name in ("sha384", "sha224", "sha1", "sha512", "blake2b", "sha3_256", "shake_256", "sha3_384",
                 "sha3_512", "blake2s"):
        show(f"{name}('velka')", getattr(vk, name)("velka")[:24] + "...")

    copied = os.path.join(folder, "copy.txt")
    show("copy('gbk.txt', 'copy.txt')", vk.copy(gbk, copied),
         "verified by SHA-256; same bytes: " + str(open(gbk, "rb").read() == open(copied, "rb").read()))
    show("copy('gbk.txt', 'copy.txt')", vk.copy(gbk, copied), "exists and may not be replaced: skipped")
    try:
        vk.copy(os.path.join(folder, "absent.txt"), copied, True)
    except Exception as e:
        show("copy('absent.txt', 'copy.txt', True)", e.args, "raised")
    show("files in the folder", sorted(n for n in os.listdir(folder) if n != "backend-ran"), "no temporary left")


def servers_and_certificates(work):
    section("servers and certificates")
    site = os.path.join(work, "site")
    os.mkdir(site)
    with open(os.path.join(site, "hello.txt"), "w") as f:
        f.write("hello over TLS\n")
    # The certificate is public and may be served; the key stays outside the
    # folder that the server opens to every interface.
    key, cert = os.path.join(work, "key.pem"), os.path.join(site, "cert.pem")
    generator = vk.SelfSignedCertificateGenerator("localhost", key, cert, 2048, 30)
    show("SelfSignedCertificateGenerator(...).generate()", generator.generate(),
         "key file mode " + oct(os.stat(key).st_mode & 0o777) + ", outside the served folder")

    with socket.socket() as s:  # a free port on this machine
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    child = ("import simwin; simwin.activate(windows=True); import velka_code; "
             f"velka_code.HTTPSServer({port}, {site!r}, 'cert.pem', '../key.pem').start()")
    # The child imports what this process imported, from wherever it is.
    import simwin
    paths = [os.path.dirname(os.path.dirname(os.path.abspath(simwin.__file__))),
             os.path.dirname(os.path.abspath(vk.__file__))]
    env = dict(os.environ, PYTHONUNBUFFERED="1", PYTHONPATH=os.pathsep.join(paths))
    server = subprocess.Popen([sys.executable, "-W", "ignore::DeprecationWarning", "-c", child],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        line = server.stdout.readline().strip()
        if not line:
            raise RuntimeError("the server did not start: " + server.stderr.read())
        show("HTTPSServer(port, site, ...).start()", line, "in a child process")
        context = ssl.create_default_context(cafile=cert)  # trusts this certificate only
        for _ in range(100):
            try:
                with urllib.request.urlopen(f"https://localhost:{port}/hello.txt", context=context) as r:
                    show("GET https://localhost/hello.txt", r.read().decode(), "verified against cert.pem")
                break
            except OSError:
                time.sleep(0.1)
    finally:
        server.send_signal(signal.SIGINT)  # Ctrl+C: the server closes its socket
        server.wait(30)
    show("server stopped by Ctrl+C", server.returncode)

    script = os.path.join(site, "backend.py")
    with open(script, "w") as f:
        f.write("import sys; open(sys.argv[0] + '.ran', 'w').write(' '.join(sys.argv[1:]))\n")
    show("BackendPythonServer(script, 5000).start()", vk.BackendPythonServer(script, 5000).start(),
         "runs `python backend.py --port 5000`")
    for thread in threading.enumerate():
        if thread is not threading.main_thread():
            thread.join(30)  # the watcher prints its line when the script ends
    show("the script received", open(script + ".ran").read())


def numeric_routines():
    section("numeric routines")
    import mpmath
    for call in ("sin(0.5)", "cos(0.5)", "tan(0.5)", "cot(0.5)", "exp(1)", "sinh(1)", "cosh(1)", "tanh(1)",
                 "sin(1.5, num_terms=3)", "exp(1j)", "sqrt(2)", "sqrt(0)", "ln(10)", "log10(100)",
                 "factorial(20)", "power(2, 10)", "power(2, -2)", "combination(5, 2)", "combination(5, 6)",
                 "floor(-2.5)", "floor(-3)", "absolute_value(-4)"):
        show(call, eval("vk." + call))
    try:
        vk.sqrt(-4)
    except ValueError as exc:
        show("sqrt(-4)", exc, "raised ValueError")
    saved = mpmath.mp.dps
    show("pi(30)", str(vk.pi(30)), f"mpmath.mp.dps is now {mpmath.mp.dps}")
    mpmath.mp.dps = saved
    a, b = vk.ComplexNumber(1, 2), vk.ComplexNumber(3, 4)
    for text, value in (("a + b", a + b), ("a - b", a - b), ("a * b", a * b), ("a / b", a / b)):
        show(f"ComplexNumber(1, 2) {text[2]} ComplexNumber(3, 4)", str(value))


def desktop_and_system(work):
    section("desktop settings and system utilities")
    desk = vk.WinRightCilck
    for call in ("auto_arrange(True)", "grid(False)", "icon(True)", "desktop_icons(True)", "icon_size(48)",
                 "icon_size('48')", "sort_order('date')", "sort_order('Name')", "defaults()"):
        show("WinRightCilck." + call, eval("desk." + call))
    print("(the registry values and shell notifications are in the report at the end)")

    target = os.path.join(work, "notes.txt")
    with open(target, "w") as f:
        f.write("notes\n")
    try:
        vk.attributes(target, hidden=True)
    except SystemExit as exc:
        show("attributes(file, hidden=True)", exc.code, "this host's os.name is not 'nt': SystemExit")
    real_os = vk.os

    class WindowsOs:  # the module's os as Windows shows it
        name = "nt"

        def __getattr__(self, attribute):
            return getattr(real_os, attribute)

    vk.os = WindowsOs()
    try:
        show("attributes(file, hidden=True, readonly=True)", vk.attributes(target, hidden=True, readonly=True),
             "with os.name 'nt': kernel32 SetFileAttributesW")
    finally:
        vk.os = real_os
    try:
        vk.quit(0)
    except SystemExit as exc:
        show("quit(0)", exc.code, "raised SystemExit through the module's exit")

    show("install([])", vk.install([]), "no package, no pip run")
    empty_index = os.path.join(work, "index")
    os.mkdir(empty_index)
    output = vk.install(["velka-tour-absent"], mirror_url="file://" + empty_index)
    show("install(['velka-tour-absent'], mirror_url=...)", output[:output.index(":") + 1] + " ... " +
         output.splitlines()[-1], "pip's error text; an empty local index has no such package")

    show("ctrlc('你好, velka')", vk.ctrlc("你好, velka"), "the clipboard holds Unicode text")
    cursor = os.path.join(work, "busy.ani")
    with open(cursor, "wb") as f:
        f.write(animated_cursor())
    show("curani('busy.ani')", vk.curani(cursor), "the normal pointer is now busy.ani")
    show("size()", vk.size(), "GetSystemMetrics(0), GetSystemMetrics(1)")
    link = os.path.join(work, "notes.lnk")
    show("shortcut(file, 'notes.lnk')", vk.shortcut(target, link), "wrote the shortcut file")
    try:
        vk.shortcut(target, os.path.join(work, "admin.lnk"), run_as_admin=True)
    except AttributeError as exc:
        show("shortcut(..., run_as_admin=True)", str(exc), "the shortcut object has no RunAsAdmin")

def associations_and_brightness(work):
    section("file-type associations and brightness")
    show("increase('.velka', 'VelkaFile', icon, program)",
         vk.increase(".velka", "VelkaFile", "C:/Velka/velka.ico", "C:/Velka/velka.exe"),
         "type, icon, open command and extension keys, each closed again")
    show("modify('.velka', 'VelkaFile', '.vk', 'VelkaDoc', ...)",
         vk.modify(".velka", "VelkaFile", ".vk", "VelkaDoc", None, "C:/Velka/velka.exe"),
         "old keys removed with their sub-keys, new ones written")
    show("delete('.vk', 'VelkaDoc')", vk.delete(".vk", "VelkaDoc"), "the type key goes with its sub-keys")
    show("delete('.vk', 'VelkaDoc')", vk.delete(".vk", "VelkaDoc"), "printed: nothing left to remove")
    show("brightness(70)", vk.brightness(70), "WmiSetBrightness(70, 0) of the first monitor")

    # The same calls for real on this host: system() answers with its own
    # name while `ver` is off the PATH, and HOME is a temporary folder.
    import simwin
    machine = simwin.current()
    home = os.path.join(work, "home")
    listing = os.path.join(home, ".local", "share", "applications", "mimeapps.list")
    os.makedirs(os.path.dirname(listing))
    saved_home = os.environ.get("HOME")
    os.environ["HOME"] = home
    machine.set_windows(False)
    try:
        if vk.system() != "Linux":
            show("system()", vk.system(), "not Linux: the mimeapps.list part is skipped")
            return
        vk.increase(".txt", None, None, "/usr/bin/velka-editor")
        vk.increase(".png", None, None, "/usr/bin/velka-viewer")
        show("increase('.txt' / '.png', ..., program)", None, "asked xdg-mime about test.txt and test.png")
        show("mimeapps.list", open(listing).read().splitlines(),
             "a header per registration: increase appends its section without reading the file")
        vk.modify(".png", None, ".png", None, None, "/usr/bin/velka-paint")
        vk.delete(".txt", None)
        show("after modify('.png', ...) and delete('.txt')", open(listing).read().splitlines(),
             "rewritten through a temporary file; the type's lines go, the headers stay")
    finally:
        machine.set_windows(True)
        if saved_home is None:
            del os.environ["HOME"]
        else:
            os.environ["HOME"] = saved_home


def main():
    work = tempfile.mkdtemp(prefix="velka-tour-")
    start = os.getcwd()
    try:
        paths_and_platform(work)
        commands_and_files(work)
        servers_and_certificates(work)
        numeric_routines()
        desktop_and_system(work)
        associations_and_brightness(work)
    finally:
        os.chdir(start)
        shutil.rmtree(work, ignore_errors=True)
    print()
    print("tour finished")


if __name__ == "__main__":
    sys.exit(main())
