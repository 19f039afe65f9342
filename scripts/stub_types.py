"""The types of velka_code's stub, kept apart from its signatures.

scripts/make_stub.py takes names, parameters, their order, kinds and
defaults from the built module and the types from the tables below. Every
module-level function, class and method needs an entry here, and every entry
must name parameters the function really has; the generator stops with the
list of what is missing or stale.

A function entry maps each parameter name to its type and "return" to the
result type. A list of entries writes overloads, in order; an overload may
list in "required" parameters that it declares without their default.
A class entry has "methods" (entries as above, without `self`); its instance
attributes are its `__init__` parameters with the same types. "namespace"
marks a class whose functions take no instance: they are written under
`@_namespace_function` (see the preamble).
"""

PATH = "str | os.PathLike[str]"
DATA = "str | Buffer"

# Imports and helper types of the stub. Plain imports are private to a stub;
# the names bound here must not clash with module attributes.
PREAMBLE = '''\
import types
from collections.abc import Callable, Iterable
from typing import Any, Generic, Literal, NoReturn, ParamSpec, Protocol, SupportsInt, TypeVar, final, overload

from _typeshed import SupportsWrite
from typing_extensions import Buffer

_T = TypeVar("_T")
_P = ParamSpec("_P")
_R = TypeVar("_R")

# An exponent that power() certainly multiplies by: an int base then gives an
# int. Any other int exponent may be negative, which divides (power(2, -2) is
# 0.25), so an int base with it gives a float.
_Multiplies = Literal[''' + ", ".join(str(n) for n in range(65)) + ''']

@final
class _NotCallableThroughAnInstance:
    """A WinRightCilck function reached through an instance: the call would
    pass the instance as the function's first argument and fail."""

class _NamespaceFunction(Generic[_P, _R]):
    """A plain function stored in a class and called through the class.

    @staticmethod cannot say this: it makes the call through an instance
    valid too, while at run time that call passes the instance along."""

    @overload
    def __get__(self, instance: None, owner: type[Any], /) -> Callable[_P, _R]: ...
    @overload
    def __get__(self, instance: object, owner: type[Any], /) -> _NotCallableThroughAnInstance: ...

def _namespace_function(function: Callable[_P, _R], /) -> _NamespaceFunction[_P, _R]: ...

class _Number(Protocol):
    """A number of another type than float or complex: Fraction, Decimal, ..."""

    def __add__(self, other: Any, /) -> Any: ...
    def __sub__(self, other: Any, /) -> Any: ...
    def __mul__(self, other: Any, /) -> Any: ...
    def __truediv__(self, other: Any, /) -> Any: ...
    def __pow__(self, other: int, /) -> Any: ...
    def __neg__(self) -> Any: ...

class _Ordered(Protocol):
    """A number that compares with 0 and can be negated."""

    def __ge__(self, other: int, /) -> bool: ...
    def __neg__(self) -> Any: ...

class _Parts(Protocol):
    """What ComplexNumber's operators read from their right operand."""

    @property
    def real(self) -> float: ...
    @property
    def imag(self) -> float: ...

class _HexDigest(Protocol):
    def hexdigest(self) -> str: ...
'''

# Module-level values: a type, or the import line that binds the name.
# Plain numbers and texts, and standard modules, need no entry.
VALUES = {
    "SORT_METHODS": "dict[str, tuple[int, int]]",
    "installlist": "list[str]",
    "__test__": "dict[str, Any]",
    "Error": "type[Exception]",
    # APPDATA at import, None when unset.
    "Roaming": "str | None",
    # Library handles: WinDLL objects on Windows, and WinDLL is a CDLL.
    **{handle: "ctypes.CDLL" for handle in (
        "user32", "shell32", "kernel32", "ole32", "ws2_32", "winmm", "gdi32", "advapi32", "odbc32",
        "msimg32", "winspool", "setupapi", "crypt32", "netapi32")},
    # The pywin32 and wmi modules exist on Windows only, and mpmath has no
    # type information: their attributes are Any through ModuleType.
    **{module: "types.ModuleType" for module in (
        "wmi", "win32con", "win32gui", "win32api", "win32clipboard", "mpmath")},
    # win32com.client.Dispatch and the COM object it made: dynamic by nature.
    "Dispatch": "Callable[..., Any]",
    "shell": "Any",
    # Bound by importing http.server, which stays reachable as http.server.
    "http": "import http as http\nimport http.server",
    "x509": "from cryptography import x509 as x509",
    "NameOID": "from cryptography.x509.oid import NameOID as NameOID",
    "hashes": "from cryptography.hazmat.primitives import hashes as hashes",
    "rsa": "from cryptography.hazmat.primitives.asymmetric import rsa as rsa",
    "serialization": "from cryptography.hazmat.primitives import serialization as serialization",
}


def path_functions(result, *names):
    return {name: {"path": PATH, "return": result} for name in names}


def digests(*names):
    return {name: {"data": DATA, "return": "str"} for name in names}


def numeric(first, *names, **parameters):
    """Float in, float out; complex in, complex out; any other number."""
    return {name: [{first: argument, **parameters, "return": result}
                   for argument, result in (("float", "float"), ("complex", "complex"), ("_Number", "Any"))]
            for name in names}


SERIES = numeric("x", "sin", "cos", "tan", "cot", "exp", "sinh", "cosh", "tanh", num_terms="int")
NEWTON = {**numeric("a", "sqrt", tolerance="float", max_iterations="int"),
          **numeric("x", "ln", "log10", tolerance="float", max_iterations="int")}

FUNCTIONS = {
    **path_functions("None", "remove", "removedir", "chdir", "mkdir"),
    **path_functions("bool", "exists", "file", "idir"),
    "abspath": {"path": PATH, "return": "str"},
    "dirlist": {"path": PATH, "return": "list[str]"},
    "join": {"paths": PATH, "return": "str"},
    "name": {"oldpath": PATH, "newpath": PATH, "return": "None"},
    "pathq": {"filepath": PATH, "r": "int", "return": "bool"},
    "permissions": {"path": PATH, "r": "int", "return": "None"},
    "getcwd": {"return": "str"},
    "cwdbytes": {"return": "bytes"},
    "username": {"return": "str | None"},
    "home": {"return": "str | None"},
    "desktop": {"return": "str"},
    "cmd": {"command": "str", "return": "None"},
    "psshell": {"command": "str", "return": "subprocess.CompletedProcess[str] | None"},
    "backend": {"file": "str", "return": "None"},
    "get_encoding": {"file_path": PATH, "return": "tuple[str | None, float]"},
    "moencoding": {"input_file_path": PATH, "output_file_path": PATH, "new_encoding": "str",
                   "return": "None"},
    "vkprint": {"objects": "object", "sep": "str", "end": "str", "file": "SupportsWrite[str]",
                "return": "None"},
    "_calculate_hash": {"data": DATA, "algorithm": "Callable[[Buffer], _HexDigest]", "return": "str"},
    **digests("sha256", "sha384", "sha224", "sha1", "sha512", "md5", "blake2b", "sha3_256",
              "shake_128", "shake_256", "sha3_384", "sha3_512", "blake2s"),
    "copy": {"source_file": PATH, "destination_file": PATH, "TrueorFalse": "bool", "return": "None"},
    # An argument other than None comes back unchanged.
    "system": [{"none": "None", "return": "str"},
               {"none": "_T", "return": "_T", "required": ["none"]}],
    "pi": {"numbers": "int", "return": "Any"},
    "factorial": {"n": "int", "return": "int"},
    **SERIES,
    **NEWTON,
    # A negative n divides, so an int x gives an int only for an exponent
    # known not to be negative.
    "power": [{"x": "int", "n": "_Multiplies", "return": "int"},
              {"x": "float", "n": "int", "return": "float"},
              {"x": "complex", "n": "int", "return": "complex"},
              {"x": "_Number", "n": "int", "return": "Any"}],
    "combination": {"n": "int", "k": "int", "return": "int"},
    "floor": {"x": "SupportsInt", "return": "int"},
    "absolute_value": [{"x": "int", "return": "int"},
                       {"x": "float", "return": "float"},
                       {"x": "_Ordered", "return": "Any"}],
}

SERVER = {"start": {"return": "None"}}

CLASSES = {
    "HTTPServer": {"methods": {
        "__init__": {"port": "int", "directory": PATH, "return": "None"}, **SERVER}},
    "HTTPSServer": {"methods": {
        "__init__": {"port": "int", "directory": PATH, "certfile": PATH, "keyfile": PATH,
                     "return": "None"}, **SERVER}},
    "BackendPythonServer": {"methods": {
        "__init__": {"python_file_path": PATH, "port": "int | None", "return": "None"}, **SERVER}},
    "SelfSignedCertificateGenerator": {"methods": {
        "__init__": {"common_name": "str", "private_key_path": PATH, "certificate_path": PATH,
                     "key_size": "int", "validity_days": "int", "return": "None"},
        "generate": {"return": "None"}}},
    "ComplexNumber": {"methods": {
        "__init__": {"real": "float", "imag": "float", "return": "None"},
        **{operator: {"other": "_Parts", "return": "ComplexNumber"}
           for operator in ("__add__", "__sub__", "__mul__", "__truediv__")},
        "__str__": {"return": "str"}}},
}

# Functions and classes that the module does not have yet. Their entries are
# used as soon as it has them and skipped until then.
PENDING_FUNCTIONS = {
    "exit": {"code": "object", "return": "NoReturn"},
    "quit": {"code": "object", "return": "NoReturn"},
    "attributes": {"file_path": "str", "hidden": "bool", "readonly": "bool", "archive": "bool",
                   "system": "bool", "compressed": "bool", "return": "None"},
    "install": {"modules": "str | Iterable[str]", "mirror_url": "str | None", "return": "str"},
    "ctrlc": {"text": "str", "return": "None"},
    "curani": {"cursor_path": "str", "return": "None"},
    "size": {"return": "tuple[int, int]"},
    "shortcut": {"target_path": "str", "shortcut_path": "str", "run_as_admin": "bool",
                 "return": "None"},
    "increase": {"file_extension": "str | None", "file_type": "str | None",
                 "icon_path": "str | None", "associated_program": "str | None", "return": "None"},
    "delete": {"file_extension": "str", "file_type": "str", "return": "None"},
    "modify": {**{name: "str | None" for name in (
        "old_file_extension", "old_file_type", "new_file_extension", "new_file_type",
        "new_icon_path", "new_associated_program")}, "return": "None"},
    # A percentage; the Linux path accepts fractions.
    "brightness": {"brightness": "float", "return": "None"},
}

PENDING_CLASSES = {
    "WinRightCilck": {"namespace": True, "methods": {
        **{name: {"enable": "bool", "return": "None"} for name in ("auto_arrange", "grid", "icon")},
        "desktop_icons": {"show": "bool", "return": "None"},
        "icon_size": {"size": "int", "return": "None"},
        "defaults": {"return": "None"},
        "sort_order": {"sort_type": "str", "return": "None"}}},
}
