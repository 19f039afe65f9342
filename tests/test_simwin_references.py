"""The simulated platform held against references from outside this project:
the stubs of typeshed (shipped with mypy) and of types-pywin32, read by
mypy's stubtest for every name a stand-in shares with the real module, and
the values that Windows documents for the constants and error codes the
module relies on."""

import importlib.metadata
import pathlib
import re
import sys

import pytest

import simwin
from simwin import _errors

stubtest = pytest.importorskip("mypy.stubtest", reason="scripts/setup installs mypy")
from mypy.options import Options  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parent.parent

# Stand-in module -> the module whose stub describes it.
STUBS = {"winreg": "winreg", "win32api": "win32api", "win32con": "win32con", "win32gui": "win32gui",
         "win32clipboard": "win32clipboard", "pywintypes": "pywintypes", "win32com.client": "win32com.client",
         "ctypes": "ctypes"}

# Where the stand-ins knowingly differ from the stubs, with the reason.
ACCEPTED = {
    # The stub makes the format required; pywin32's own source has
    # `int format = CF_TEXT` with "|i" (optional), as the stand-in does.
    "win32clipboard.GetClipboardData": "has a default value but stub parameter does not",
    # CPython's is the foreign function kernel32.GetLastError; the stand-in's
    # is a plain function. The module only calls WinError, which reads it.
    "ctypes.GetLastError": "variable differs from runtime type",
}
# Names the module calls that the real module does not have; the stand-in
# must not offer them either.
NOT_IN_THE_REAL_MODULE = set()


@pytest.fixture(scope="module")
def stubs(tmp_path_factory):
    if not any(True for _ in importlib.metadata.distributions(name="types-pywin32")):
        pytest.skip("types-pywin32 is missing: scripts/setup installs it")
    options = Options()
    options.platform = "win32"
    options.python_version = (3, 11)
    options.incremental = False
    options.cache_dir = str(tmp_path_factory.mktemp("mypy-cache"))
    stubtest.build_stubs([*STUBS.values(), "winerror"], options)
    return stubtest.get_stub


def stand_in(module):
    """The stand-in module and its public names."""
    runtime = sys.modules[module]
    if module == "ctypes":
        return runtime, set(simwin.CTYPES_NAMES)
    assert runtime.__name__.startswith("simwin."), runtime
    return runtime, {name for name in vars(runtime) if not name.startswith("_")
                     and getattr(getattr(runtime, name), "__module__", module) != "builtins"
                     and not isinstance(getattr(runtime, name), type(sys))}


def names_the_module_uses():
    """Every name the C++ sources look up that is a name of a stand-in module."""
    looked_up = set()
    for path in (REPO / "src").rglob("*.[ch]pp"):
        looked_up.update(re.findall(r'"([A-Za-z_]\w*)"_id', path.read_text()))
    return {f"{module}.{name}" for module in STUBS for name in stand_in(module)[1] & looked_up}


def public_stub_names(stub):
    return {name for name, symbol in stub.names.items() if symbol.module_public and not name.startswith("_")}


@pytest.mark.parametrize("module", STUBS)
def test_the_stand_ins_have_the_interfaces_of_the_stubs(stubs, module):
    runtime, names = stand_in(module)
    stub = stubs(STUBS[module])
    stub_names = public_stub_names(stub)
    used = {name.split(".")[-1] for name in names_the_module_uses() if name.rpartition(".")[0] == module}
    missing = {f"{module}.{name}" for name in used - stub_names}
    assert missing == {name for name in NOT_IN_THE_REAL_MODULE if name.startswith(module + ".")}
    differences = {}
    for name in sorted((names & stub_names) | (used & stub_names)):
        for error in stubtest.verify(stub.names[name].node, getattr(runtime, name), [module, name]):
            differences[".".join(error.object_path)] = error.message
    expected = {path: reason for path, reason in ACCEPTED.items() if path.startswith(module + ".")}
    assert set(differences) == set(expected), differences
    for path, reason in expected.items():
        assert reason in differences[path]


def test_the_names_the_module_uses_are_found_in_its_sources():
    used = names_the_module_uses()
    assert {"winreg.OpenKey", "winreg.SetValueEx", "winreg.KEY_ALL_ACCESS", "win32clipboard.SetClipboardData",
            "win32con.OCR_NORMAL", "win32gui.LoadImage", "win32com.client.Dispatch", "ctypes.WinError",
            "win32api.GetSystemMetrics"} <= used


# The values Windows documents (winreg.h, winnt.h, winuser.h) for what the
# module passes. pywin32's win32con holds the predefined keys as signed
# 32-bit numbers, winreg as unsigned ones.
DOCUMENTED = [
    ("winreg", "HKEY_CLASSES_ROOT", 0x80000000), ("winreg", "HKEY_CURRENT_USER", 0x80000001),
    ("winreg", "HKEY_LOCAL_MACHINE", 0x80000002), ("winreg", "HKEY_USERS", 0x80000003),
    ("winreg", "HKEY_PERFORMANCE_DATA", 0x80000004), ("winreg", "HKEY_CURRENT_CONFIG", 0x80000005),
    ("winreg", "KEY_QUERY_VALUE", 0x1), ("winreg", "KEY_SET_VALUE", 0x2), ("winreg", "KEY_CREATE_SUB_KEY", 0x4),
    ("winreg", "KEY_ENUMERATE_SUB_KEYS", 0x8), ("winreg", "KEY_NOTIFY", 0x10), ("winreg", "KEY_CREATE_LINK", 0x20),
    ("winreg", "KEY_WOW64_64KEY", 0x100), ("winreg", "KEY_WOW64_32KEY", 0x200), ("winreg", "KEY_READ", 0x20019),
    ("winreg", "KEY_WRITE", 0x20006), ("winreg", "KEY_EXECUTE", 0x20019), ("winreg", "KEY_ALL_ACCESS", 0xF003F),
    ("winreg", "REG_NONE", 0), ("winreg", "REG_SZ", 1), ("winreg", "REG_EXPAND_SZ", 2), ("winreg", "REG_BINARY", 3),
    ("winreg", "REG_DWORD", 4), ("winreg", "REG_DWORD_LITTLE_ENDIAN", 4), ("winreg", "REG_DWORD_BIG_ENDIAN", 5),
    ("winreg", "REG_LINK", 6), ("winreg", "REG_MULTI_SZ", 7), ("winreg", "REG_RESOURCE_LIST", 8),
    ("winreg", "REG_FULL_RESOURCE_DESCRIPTOR", 9), ("winreg", "REG_RESOURCE_REQUIREMENTS_LIST", 10),
    ("winreg", "REG_QWORD", 11), ("winreg", "REG_QWORD_LITTLE_ENDIAN", 11),
    ("win32con", "HKEY_CLASSES_ROOT", 0x80000000 - 2**32), ("win32con", "HKEY_CURRENT_USER", 0x80000001 - 2**32),
    ("win32con", "HKEY_LOCAL_MACHINE", 0x80000002 - 2**32), ("win32con", "HKEY_USERS", 0x80000003 - 2**32),
    ("win32con", "CF_TEXT", 1), ("win32con", "CF_UNICODETEXT", 13), ("win32clipboard", "CF_TEXT", 1),
    ("win32clipboard", "CF_UNICODETEXT", 13), ("win32con", "OCR_NORMAL", 32512), ("win32con", "OCR_IBEAM", 32513),
    ("win32con", "OCR_WAIT", 32514), ("win32con", "OCR_CROSS", 32515), ("win32con", "OCR_UP", 32516),
    ("win32con", "OCR_HAND", 32649), ("win32con", "IMAGE_BITMAP", 0), ("win32con", "IMAGE_ICON", 1),
    ("win32con", "IMAGE_CURSOR", 2), ("win32con", "LR_DEFAULTCOLOR", 0), ("win32con", "LR_LOADFROMFILE", 0x10),
    ("win32con", "LR_DEFAULTSIZE", 0x40), ("win32con", "LR_SHARED", 0x8000), ("win32con", "SM_CXSCREEN", 0),
    ("win32con", "SM_CYSCREEN", 1), ("win32con", "SPI_SETCURSORS", 0x57),
]


@pytest.mark.parametrize("module, name, value", DOCUMENTED, ids=[f"{m}.{n}" for m, n, _ in DOCUMENTED])
def test_constants_have_the_values_windows_documents(stubs, module, name, value):
    assert getattr(sys.modules[module], name) == value
    # Where the stub gives a value too, it is the same one.
    node = stubs(STUBS[module]).names[name].node
    assert getattr(node, "final_value", None) in (None, value)


# Codes the module and the stand-ins rely on, with the system's text
# (FormatMessage, English) and their winerror names.
ERRORS = [(2, "ERROR_FILE_NOT_FOUND", "The system cannot find the file specified."),
          (5, "ERROR_ACCESS_DENIED", "Access is denied."),
          (259, "ERROR_NO_MORE_ITEMS", "No more data is available.")]


@pytest.mark.parametrize("code, name, text", ERRORS, ids=[name for _, name, _ in ERRORS])
def test_error_codes_and_texts_are_those_of_windows(stubs, code, name, text):
    assert stubs("winerror").names[name].node.final_value == code
    assert _errors.message(code) == text
    error = _errors.win_oserror(code)
    # PyErr_SetFromWindowsErr drops the final dot.
    assert (error.winerror, str(error)) == (code, f"[WinError {code}] {text.rstrip('.')}")
