"""Call recipes for every public function and method of velka_code.

The list of names comes from the module itself (`public_names`); this table
says how to call each one on its success paths and on its own failure
paths. The generic argument errors (count, unknown and duplicate keywords)
are derived from the signature by `argument_errors`. A name the module has
and the table lacks, or a recipe for a name the module lacks, is an error of
the tests that use the table (`missing_recipe` says what to add).

Recipes are built against a `Sandbox`: a temporary folder that is also the
current folder, with the files the calls read, and a bin folder first on
PATH with stand-ins for the external programs ("python", "pip").
"""

import contextlib
import hashlib
import inspect
import io
import os
import socketserver
import stat
import sys
from dataclasses import dataclass, field
from decimal import Decimal
from fractions import Fraction

import cursors
import velka_code

FUNCTION = type(velka_code.sqrt)
ANY = object()  # either outcome is accepted (the simulated platform decides)


def public_names(module=velka_code):
    """`name` for each function and `Class.name` for each method of a class
    the module defines, as the module holds them now."""
    names = []
    for name, value in vars(module).items():
        if isinstance(value, FUNCTION):
            names.append(name)
        elif isinstance(value, type) and value.__module__ == module.__name__:
            names.extend(f"{name}.{attribute}" for attribute, member in vars(value).items()
                         if isinstance(member, FUNCTION))
    return names


def missing_recipe(name):
    return f"velka_code.{name} has no recipe in tests/recipes.py: add one"


def resolve(name, module=velka_code):
    target = module
    for part in name.split("."):
        target = getattr(target, part) if isinstance(target, type) else vars(target)[part]
    return target


@dataclass
class Call:
    args: tuple = ()
    kwargs: dict = field(default_factory=dict)
    raises: object = None      # None: returns; an exception class; or ANY
    before: object = None      # run before each call (re-creates what the call consumes)

    def invoke(self, function):
        if self.before:
            self.before()
        return function(*self.args, **self.kwargs)

    def check(self, function):
        """Calls once and checks the outcome; returns a description on mismatch."""
        try:
            self.invoke(function)
        except BaseException as error:  # noqa: BLE001 - any outcome is examined
            if self.raises is ANY or (isinstance(self.raises, type) and isinstance(error, self.raises)):
                return None
            return f"raised {type(error).__name__}: {error}"
        if self.raises is None or self.raises is ANY:
            return None
        return f"returned instead of raising {self.raises.__name__}"


def ok(*args, **kwargs):
    return Call(args, kwargs)


def fails(exception, *args, **kwargs):
    return Call(args, kwargs, raises=exception)


def prepared(call, before):
    call.before = before
    return call


@dataclass
class Recipe:
    ok: list
    fail: list = field(default_factory=list)
    patch: dict = field(default_factory=dict)  # module-level names replaced during the calls
    windows: bool = False                      # run on the simulated Windows branch
    cost: int = 1                              # relative cost of one call; leak rounds shrink with it


class OneShotTCPServer(socketserver.TCPServer):
    """A TCPServer whose serve_forever answers pending requests once and
    returns, so that start() runs its whole success path and comes back."""

    allow_reuse_address = True

    def serve_forever(self, poll_interval=0.5):
        self.timeout = 0
        self.handle_request()


class OneShotSocketserver:
    TCPServer = OneShotTCPServer


class NtOs:
    """os as a Windows interpreter shows it."""

    name = "nt"

    def __getattr__(self, attribute):
        return getattr(os, attribute)


class Raising:
    """An object whose truth test and text raise."""

    def __bool__(self):
        raise RuntimeError("no truth")

    def __str__(self):
        raise RuntimeError("no text")


class StrSubclass(str):
    pass


class Discard:
    """A stream that keeps nothing (a buffered file would hold its writes)."""

    def write(self, text):
        return len(text)


class FailingFile:
    def write(self, text):
        raise OSError("write refused")


class Sandbox:
    """A temporary folder, current while the recipes run."""

    def __init__(self, root):
        self.root = str(root)
        self.bin = self.path("bin")
        os.makedirs(self.bin, exist_ok=True)
        self.write_program("python", f'exec {sys.executable} "$@"\n')
        # pip stand-in: installs anything except the package "broken".
        self.write_program("pip", 'for a; do last=$a; done\n'
                                  'if [ "$last" = broken ]; then echo "no such package" >&2; exit 1; fi\n'
                                  'echo "Successfully installed $last"\n')
        with open(self.path("text.txt"), "w", encoding="utf-8") as f:
            f.write("línea uno\nzweite Zeile\n第三行\n" * 20)
        with open(self.path("app.py"), "w") as f:
            f.write("import sys\n")
        with open(self.path("cursor.cur"), "wb") as f:
            f.write(cursors.cursor_file())
        os.makedirs(self.path("site"), exist_ok=True)
        self.sink = Discard()
        self._certificates = None

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def write_program(self, name, body):
        program = os.path.join(self.bin, name)
        with open(program, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(program, 0o755)

    @contextlib.contextmanager
    def active(self):
        """Current folder, PATH with the stand-ins first, HOME inside."""
        saved_cwd = os.getcwd()
        saved = {name: os.environ.get(name) for name in ("PATH", "HOME")}
        os.chdir(self.root)
        os.environ["PATH"] = self.bin + os.pathsep + os.environ.get("PATH", "")
        os.environ["HOME"] = self.root
        try:
            yield self
        finally:
            os.chdir(saved_cwd)
            for name, value in saved.items():
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value

    def certificates(self):
        """(certificate, key) made once by the module's own generator."""
        if self._certificates is None:
            cert, key = self.path("cert.pem"), self.path("key.pem")
            generator = velka_code.SelfSignedCertificateGenerator("localhost", key, cert)
            with contextlib.redirect_stdout(io.StringIO()):
                generator.generate()
            self._certificates = cert, key
        return self._certificates

    # Helpers for calls that consume what they are given.
    def fresh_file(self, name):
        path = self.path(name)

        def make():
            with open(path, "w") as f:
                f.write("x")
        return path, make

    def no_dir(self, name):
        path = self.path(name)

        def clear():
            with contextlib.suppress(FileNotFoundError):
                os.rmdir(path)
        return path, clear

    def fresh_dir(self, name):
        path = self.path(name)
        return path, lambda: os.makedirs(path, exist_ok=True)

    def deleted_cwd(self):
        """Makes the current folder one that no longer exists; undo with `back`."""
        gone = self.path("gone")

        def enter():
            os.chdir(self.root)
            os.makedirs(gone, exist_ok=True)
            os.chdir(gone)
            os.rmdir(gone)
        return enter

    def back(self):
        os.chdir(self.root)


def _instance(cls, *args):
    obj = cls.__new__(cls)
    obj.__init__(*args)
    return obj


def _series(s):
    return Recipe(ok=[ok(0.5), ok(1, 30), ok(Fraction(1, 3)), ok(Decimal("0.25"), 5), ok(0.5j)],
                  fail=[fails(TypeError, "x"), fails(TypeError, 0.5, "10"), fails(OverflowError, 1e300, 40)])


def _digest(s):
    return Recipe(ok=[ok("text ü"), ok(b"x" * 3000), ok(memoryview(b"bytes")), ok(bytearray(b"a"))],
                  fail=[fails(TypeError, 5), fails(UnicodeEncodeError, "\udcff")])


def _newton(s):
    return Recipe(ok=[ok(2.0), ok(10, 1e-9, 50), ok(Fraction(3, 2), 1e-3, 5), ok(2 + 1j)],
                  fail=[fails(ValueError, -1.0), fails(TypeError, "x"), fails(TypeError, 2.0, 1e-6, 2.5),
                        Call((Decimal(5), 1e-3, 5), raises=ANY)])


def _desktop(argument, *reported):
    return lambda s: Recipe(ok=[ok(argument)], fail=[ok(x) for x in reported], windows=True)


def _build(s):
    v = velka_code
    text = s.path("text.txt")
    missing = s.path("missing")
    sink = s.sink
    removable, make_removable = s.fresh_file("removable.txt")
    new_dir, clear_dir = s.no_dir("new_dir")
    old_dir, make_old_dir = s.fresh_dir("old_dir")
    renamed_from, make_renamed = s.fresh_file("from.txt")
    cert, key = s.certificates()
    target = s.path("app.py")
    recipes = {
        "getcwd": Recipe(ok=[ok()], fail=[prepared(fails(FileNotFoundError), s.deleted_cwd())]),
        "cwdbytes": Recipe(ok=[ok()], fail=[prepared(fails(FileNotFoundError), s.deleted_cwd())]),
        "remove": Recipe(ok=[prepared(ok(removable), make_removable)],
                         fail=[fails(FileNotFoundError, missing), fails(TypeError, 5.5)]),
        "removedir": Recipe(ok=[prepared(ok(old_dir), make_old_dir)],
                            fail=[fails(FileNotFoundError, missing), fails(TypeError, 5.5)]),
        "mkdir": Recipe(ok=[prepared(ok(new_dir), clear_dir)],
                        fail=[fails(FileExistsError, s.root), fails(TypeError, 5.5)]),
        "chdir": Recipe(ok=[ok(s.root)], fail=[fails(FileNotFoundError, missing), fails(TypeError, 5.5)]),
        "name": Recipe(ok=[prepared(ok(renamed_from, s.path("to.txt")), make_renamed)],
                       fail=[fails(FileNotFoundError, missing, "x"), fails(TypeError, text, 5.5)]),
        "cmd": Recipe(ok=[ok("true"), ok("false")], fail=[fails(TypeError, 5), fails(ValueError, "a\0b")], cost=20),
        "psshell": Recipe(ok=[ok("true")], fail=[fails(FileNotFoundError, "no-such-program-vk"),
                                                 fails(TypeError, 5)], cost=20),
        "backend": Recipe(ok=[ok("true")], fail=[fails(TypeError, 5)], cost=20),
        "get_encoding": Recipe(ok=[ok(text)], fail=[fails(FileNotFoundError, missing), fails(TypeError, 5.5)]),
        "moencoding": Recipe(ok=[ok(text, s.path("out.txt")), ok(text, s.path("out16.txt"), "utf-16")],
                             fail=[ok(text, text), ok(missing, s.path("out.txt")), ok(text, s.path("o.txt"), "nope"),
                                   ok(5.5, s.path("out.txt"))]),
        "exists": Recipe(ok=[ok(text), ok(missing.encode())], fail=[fails(TypeError, 5.5)]),
        "abspath": Recipe(ok=[ok("x"), ok(b"y")], fail=[fails(TypeError, 5)]),
        "join": Recipe(ok=[ok("a", "b"), ok(b"a", b"b")], fail=[fails(TypeError, "a", 5), fails(TypeError, "a", b"b")]),
        "vkprint": Recipe(ok=[ok("a", 1, file=sink), ok("a", "b", sep=StrSubclass("-"), end="", file=sink)],
                          fail=[fails(AttributeError, "a", sep=5, file=sink), fails(OSError, "a", file=FailingFile()),
                                fails(RuntimeError, Raising(), file=sink)]),
        "dirlist": Recipe(ok=[ok(s.root)], fail=[fails(FileNotFoundError, missing), fails(TypeError, 5.5)]),
        "file": Recipe(ok=[ok(text), ok(missing)], fail=[fails(TypeError, 5.5)]),
        "idir": Recipe(ok=[ok(s.root), ok(missing)], fail=[fails(TypeError, 5.5)]),
        "pathq": Recipe(ok=[ok(text, os.R_OK)], fail=[fails(TypeError, text, "r"), fails(TypeError, 5.5, os.R_OK)]),
        "permissions": Recipe(ok=[ok(text, 0o644)], fail=[fails(FileNotFoundError, missing, 0o644),
                                                          fails(TypeError, text, "rw")]),
        "_calculate_hash": Recipe(ok=[ok("text", hashlib.sha256), ok(b"x" * 3000, hashlib.md5)],
                                  fail=[fails(TypeError, "x", "sha256"), fails(TypeError, 5, hashlib.sha1)]),
        "HTTPServer.__init__": Recipe(ok=[ok(v.HTTPServer.__new__(v.HTTPServer), 0, s.root)],
                                      fail=[fails(AttributeError, object(), 0, ".")]),
        "HTTPServer.start": Recipe(ok=[ok(_instance(v.HTTPServer, 0, s.path("site")))],
                                   fail=[fails(FileNotFoundError, _instance(v.HTTPServer, 0, missing)),
                                         fails(OverflowError, _instance(v.HTTPServer, 70000, s.path("site"))),
                                         fails(AttributeError, object())],
                                   patch={"socketserver": OneShotSocketserver}, cost=4),
        "HTTPSServer.__init__": Recipe(ok=[ok(v.HTTPSServer.__new__(v.HTTPSServer), 0, s.root, cert, key)],
                                       fail=[fails(AttributeError, object(), 0)]),
        "HTTPSServer.start": Recipe(ok=[ok(_instance(v.HTTPSServer, 0, s.path("site"), cert, key))],
                                    fail=[fails(FileNotFoundError, _instance(v.HTTPSServer, 0, s.path("site"),
                                                                              missing, key)),
                                          fails(AttributeError, object())],
                                    patch={"socketserver": OneShotSocketserver}, cost=6),
        "BackendPythonServer.__init__": Recipe(ok=[ok(v.BackendPythonServer.__new__(v.BackendPythonServer), "app.py")],
                                               fail=[fails(AttributeError, object(), "app.py")]),
        "BackendPythonServer.start": Recipe(ok=[ok(_instance(v.BackendPythonServer, "app.py", 5000))],
                                            fail=[ok(_instance(v.BackendPythonServer, 5)),
                                                  fails(AttributeError, object())], cost=40),
        "SelfSignedCertificateGenerator.__init__": Recipe(
            ok=[ok(v.SelfSignedCertificateGenerator.__new__(v.SelfSignedCertificateGenerator), "localhost")],
            fail=[fails(AttributeError, object(), "localhost")]),
        "SelfSignedCertificateGenerator.generate": Recipe(
            ok=[ok(_instance(v.SelfSignedCertificateGenerator, "localhost", s.path("k.pem"), s.path("c.pem"), 1024))],
            fail=[fails(ValueError, _instance(v.SelfSignedCertificateGenerator, "h", s.path("same"), s.path("same"))),
                  fails(ValueError, _instance(v.SelfSignedCertificateGenerator, "h", s.path("k2"), s.path("c2"), 100)),
                  fails(TypeError, _instance(v.SelfSignedCertificateGenerator, 5, s.path("k3"), s.path("c3"), 1024)),
                  fails(AttributeError, object())], cost=60),
        "copy": Recipe(ok=[ok(text, s.path("copy.txt"), True), ok(text, text)],
                       fail=[fails(Exception, missing, s.path("copy2.txt")), fails(Exception, 5.5, s.path("c3.txt"))]),
        "system": Recipe(ok=[ok(), ok(none=1)], fail=[], cost=10),
        "desktop": Recipe(ok=[ok()], fail=[]),
        "username": Recipe(ok=[ok()], fail=[], cost=10),
        "home": Recipe(ok=[ok()], fail=[], cost=10),
        "pi": Recipe(ok=[ok(15)], fail=[fails(ValueError, "x"), fails(TypeError, None)]),
        "factorial": Recipe(ok=[ok(20), ok(600), ok(True)],
                            fail=[fails(ValueError, -1), fails(TypeError, 1.5), fails(TypeError, "5")]),
        "sin": _series, "cos": _series, "exp": _series, "sinh": _series, "cosh": _series, "tanh": _series,
        "tan": lambda s: Recipe(ok=[ok(0.5), ok(1, 30), ok(Fraction(1, 3))],
                                fail=[fails(TypeError, "x"), fails(OverflowError, 1e300, 40)]),
        "cot": lambda s: Recipe(ok=[ok(0.5), ok(Fraction(1, 3))],
                                fail=[fails(TypeError, "x"), fails(OverflowError, 10 ** 400)]),
        "sqrt": _newton, "ln": _newton, "log10": _newton,
        "power": Recipe(ok=[ok(2, 10), ok(2.0, -3), ok(Fraction(1, 2), 5), ok(1j, 7), ok(3, 200)],
                        fail=[fails(ZeroDivisionError, 0, -1), fails(TypeError, "x", 2), fails(TypeError, 2, 1.5)]),
        "combination": Recipe(ok=[ok(10, 3), ok(200, 100), ok(-1, 2)], fail=[fails(TypeError, 3.5, 2), fails(TypeError, "x", 2)]),
        "floor": Recipe(ok=[ok(2.5), ok(-3), ok(Fraction(-5, 2))], fail=[fails(TypeError, "x"), fails(ValueError, float("nan"))]),
        "absolute_value": Recipe(ok=[ok(-3), ok(-2.5), ok(Decimal(-1))], fail=[fails(TypeError, "x")]),
        "ComplexNumber.__init__": Recipe(ok=[ok(v.ComplexNumber.__new__(v.ComplexNumber), 1, 2)],
                                         fail=[fails(AttributeError, object(), 1, 2)]),
        "ComplexNumber.__str__": Recipe(ok=[ok(v.ComplexNumber(1, -2)), ok(v.ComplexNumber(StrSubclass("a"), 0.5))],
                                        fail=[fails(AttributeError, object()), fails(RuntimeError, v.ComplexNumber(Raising(), 1))]),
        "WinRightCilck.auto_arrange": _desktop(True, False, Raising()),
        "WinRightCilck.grid": _desktop(True, False, Raising()),
        "WinRightCilck.icon": _desktop(True, False, Raising()),
        "WinRightCilck.desktop_icons": _desktop(True, False, Raising()),
        "WinRightCilck.icon_size": _desktop(48, "48", 2 ** 40),
        "WinRightCilck.defaults": lambda s: Recipe(ok=[ok()], windows=True),
        "WinRightCilck.sort_order": _desktop("date", "Name", [], "size"),
        "exit": lambda s: Recipe(ok=[fails(SystemExit, 0)], fail=[fails(SystemExit, "text"), fails(SystemExit, None)]),
        "quit": lambda s: Recipe(ok=[fails(SystemExit, 0)], fail=[fails(SystemExit, "text")]),
        "attributes": lambda s: Recipe(
            ok=[ok(text), ok(text, True, True, True, True, True)],
            fail=[fails(SystemExit, s.path("missing")), fails(TypeError, 5.5)],
            patch={"os": NtOs()}, windows=True),
        "install": lambda s: Recipe(ok=[ok(["pkg"]), ok("pkg"), ok(["a", "b"], None), ok([])],
                                    fail=[ok(["broken"]), fails(TypeError, 5), fails(TypeError, [5])], cost=20),
        "ctrlc": lambda s: Recipe(ok=[ok("文本"), ok("")], fail=[Call((object(),), raises=ANY)], windows=True),
        "curani": lambda s: Recipe(ok=[Call((s.path("cursor.cur"),), raises=ANY)],
                                   fail=[Call((s.path("missing.ani"),), raises=ANY), Call((5,), raises=ANY)],
                                   windows=True),
        "size": lambda s: Recipe(ok=[ok()], windows=True),
        # The simulated shortcut object, like pywin32's, refuses the unknown
        # RunAsAdmin property.
        "shortcut": lambda s: Recipe(ok=[ok(target, s.path("a.lnk"))],
                                     fail=[fails(AttributeError, target, s.path("b.lnk"), True),
                                           Call((target, 5), raises=ANY), Call((5.5, s.path("c.lnk"), True), raises=ANY)],
                                     windows=True),
        "increase": lambda s: Recipe(ok=[ok(".vkx", "VkType", s.path("i.ico"), target), ok(".vky")],
                                     fail=[ok(), Call((".vkz", "Vk\0Bad", None, target), raises=ANY),
                                           Call((Raising(), "VkType"), raises=ANY)], windows=True),
        "delete": lambda s: Recipe(ok=[ok(".vkx", "VkType")],
                                   fail=[Call((".none", "NoType"), raises=ANY), Call((5, 6), raises=ANY)],
                                   windows=True),
        "modify": lambda s: Recipe(ok=[ok(".vkx", "VkType", ".vky", "VkType2", None, target)],
                                   fail=[ok(), Call((5, 6, ".vky", "VkType2"), raises=ANY)], windows=True),
        "brightness": lambda s: Recipe(ok=[ok(50), ok(12.5)], fail=[Call((object(),), raises=ANY)], windows=True),
    }
    for digest in ("sha256", "sha384", "sha224", "sha1", "sha512", "md5", "blake2b", "sha3_256", "shake_128",
                   "shake_256", "sha3_384", "sha3_512", "blake2s"):
        recipes[digest] = _digest
    for operator, zero in (("__add__", None), ("__sub__", None), ("__mul__", None), ("__truediv__", ZeroDivisionError)):
        failing = [fails(AttributeError, v.ComplexNumber(1, 2), "x"), fails(AttributeError, object(), 2)]
        if zero:
            failing.append(fails(zero, v.ComplexNumber(1, 2), 0))
        recipes[f"ComplexNumber.{operator}"] = Recipe(ok=[ok(v.ComplexNumber(1, 2), 3), ok(v.ComplexNumber(1.5, 2), 0.5j)],
                                                      fail=failing)
    return recipes

def recipes(sandbox):
    """name -> Recipe for this sandbox."""
    built = {}
    for name, entry in _build(sandbox).items():
        built[name] = entry(sandbox) if callable(entry) else entry
    return built


def argument_errors(function, call):
    """The argument-error calls the signature allows, built from a success
    call: too many positional arguments, too few, an unexpected keyword and
    a keyword that repeats a positional argument."""
    signature = inspect.signature(function)
    parameters = list(signature.parameters.values())
    bound = signature.bind(*call.args, **call.kwargs)
    bound.apply_defaults()
    positional = [p for p in parameters if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    keywords = {p.name: bound.arguments[p.name] for p in parameters if p.kind == p.KEYWORD_ONLY}
    values = [bound.arguments[p.name] for p in positional]
    errors = [Call(tuple(call.args), {**call.kwargs, "no_such_parameter": 1}, TypeError)]
    if not any(p.kind == p.VAR_POSITIONAL for p in parameters):
        errors.append(Call(tuple(values) + (None,), keywords, TypeError))
    if any(p.default is p.empty for p in positional):
        errors.append(Call((), {}, TypeError))
    named = [p for p in positional[:len(call.args)] if p.kind == p.POSITIONAL_OR_KEYWORD]
    if named:
        errors.append(Call(tuple(call.args), {**call.kwargs, named[0].name: call.args[0]}, TypeError))
    return errors
