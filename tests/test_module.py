"""Import behaviour: the create and exec steps and the module body."""

import os
import sys

import pytest

from conftest import REPO, run_python

PRELUDE = "import simwin; simwin.activate(windows=False)\n"


def test_second_import_and_reload_reuse_the_module_silently():
    out = run_python(PRELUDE + """
import contextlib, importlib, io, sys
import velka_code as first
buffer = io.StringIO()
with contextlib.redirect_stdout(buffer):
    del sys.modules["velka_code"]
    import velka_code as second
    third = importlib.reload(second)
print(first is second is third, repr(buffer.getvalue()))
""")
    assert out.returncode == 0, out.stderr
    assert out.stdout == "True ''\n"


def test_failed_winspool_load_prints_one_line_and_leaves_no_e():
    out = run_python(PRELUDE + """
simwin.current().missing_libraries.add("winspool")
import velka_code
print("winspool" in vars(velka_code), "e" in vars(velka_code))
""")
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) == 2
    assert lines[0].startswith("Error loading winspool.drv: Could not find module")
    assert lines[1] == "False False"


def test_missing_dependency_fails_the_import_and_a_later_import_retries():
    out = run_python(PRELUDE + """
import sys, traceback
sys.modules["mpmath"] = None
try:
    import velka_code
except ImportError as exc:
    names = [frame.name for frame in traceback.extract_tb(exc.__traceback__)]
    print(type(exc).__name__, "init velka_code" in names, "velka_code" in sys.modules)
del sys.modules["mpmath"]
import velka_code
print(velka_code.mpmath.__name__, velka_code.__test__)
""")
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["ModuleNotFoundError True False", "mpmath {}"]


@pytest.mark.parametrize("setup, error", [
    ("import os; del os.environ['SystemRoot']", "KeyError: 'SystemRoot'"),
    ("simwin.current().missing_libraries.add('odbc32')", "FileNotFoundError: Could not find module 'odbc32'"),
    ("simwin.current().dispatch_fails = True", "com_error"),
    ("import builtins; del builtins.range", "NameError: name 'range' is not defined"),
    ("import sys; sys.modules['win32com.client'].__dict__.pop('Dispatch')",
     "ImportError: cannot import name 'Dispatch' from 'win32com.client'"),
])
def test_import_fails_with_the_error_of_the_failing_statement(setup, error):
    out = run_python(PRELUDE + setup + "\nimport velka_code\n")
    assert out.returncode == 1
    assert error in out.stderr
    assert 'File "velka_code", line 0, in init velka_code' in out.stderr


def test_second_interpreter_is_refused():
    out = run_python(PRELUDE + f"""
import velka_code, _xxsubinterpreters as interpreters
interp = interpreters.create()
try:
    interpreters.run_string(interp, '''
import sys
sys.path.insert(0, {REPO!r})
import simwin
simwin.activate(windows=False)
import velka_code
''')
except Exception as exc:
    print(exc)
""")
    assert out.returncode == 0, out.stderr
    assert ("ImportError'>: Interpreter change detected - this module can only be loaded into one interpreter "
            "per process.") in out.stdout


def test_module_level_values(vk):
    import http.server
    assert vk.__doc__ is None
    assert vk.__test__ == {}
    assert vk.Error is Exception
    assert vk.http.server is http.server
    assert (vk.READ, vk.WRITE, vk.RUN) == (os.R_OK, os.W_OK, os.X_OK)
    assert list(vk.SORT_METHODS.items()) == [("name", (0, 0)), ("date", (0, 2)), ("size", (0, 3))]
    assert (vk.FILE_ATTRIBUTE_HIDDEN, vk.FILE_ATTRIBUTE_READONLY, vk.FILE_ATTRIBUTE_ARCHIVE,
            vk.FILE_ATTRIBUTE_SYSTEM, vk.FILE_ATTRIBUTE_COMPRESSED) == (2, 1, 32, 4, 2048)
    assert [entry.split(" - ")[1] for entry in vk.installlist] == ["清华", "阿里云", "中国科学技术大学", "豆瓣镜像"]
    assert all(entry.split(" - ")[0].startswith("https://") for entry in vk.installlist)
    assert vk._system32_path == os.path.join(os.environ["SystemRoot"], "System32")
    assert vk._winspool_path == os.path.join(vk._system32_path, "winspool.drv")
    assert vk.Roaming == os.environ.get("APPDATA")
    import ctypes
    for library in ("user32", "shell32", "kernel32", "setupapi", "crypt32", "netapi32"):
        assert getattr(vk, library) is getattr(ctypes.windll, library)
    import cryptography.x509, cryptography.hazmat.primitives.hashes as hashes
    assert vk.x509 is cryptography.x509 and vk.hashes is hashes
    assert vk.getcwd.__doc__ == "get? 获取当前工作目录"


@pytest.mark.parametrize("attribute, from_spec", [
    ("__name__", "name"), ("__file__", "origin"), ("__loader__", "loader"), ("__package__", "parent"),
])
def test_import_attributes_come_from_the_spec(vk, attribute, from_spec):
    assert getattr(vk, attribute) == getattr(vk.__spec__, from_spec)
    assert not hasattr(vk, "__path__")  # a module, not a package: the spec has no search locations


def test_roaming_and_shell_are_fixed_at_import():
    out = run_python(PRELUDE + """
import os
os.environ["APPDATA"] = "C:/Users/me/AppData/Roaming"
import velka_code
os.environ["APPDATA"] = "elsewhere"
print(velka_code.Roaming, type(velka_code.shell).__name__)
del os.environ["APPDATA"]
import importlib; importlib.reload(velka_code)
print(velka_code.Roaming)
""")
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[0].startswith("C:/Users/me/AppData/Roaming ")
    assert out.stdout.splitlines()[1] == "C:/Users/me/AppData/Roaming"


# Module-level names in the order the body binds them first; a name bound
# twice keeps its first place in the namespace.
BODY_ORDER = """
os sys getcwd remove removedir cmd psshell chdir mkdir get_encoding moencoding exists abspath join vkprint
cwdbytes dirlist name file idir READ WRITE RUN pathq permissions winreg ctypes SORT_METHODS WinRightCilck hashlib
_calculate_hash sha256 sha384 sha224 sha1 sha512 md5 blake2b sha3_256 shake_128 shake_256 sha3_384 sha3_512
blake2s user32 shell32 kernel32 ole32 ws2_32 winmm gdi32 advapi32 odbc32 msimg32 _system32_path _winspool_path
winspool setupapi crypt32 netapi32 http socketserver ssl subprocess threading HTTPServer HTTPSServer
BackendPythonServer x509 NameOID hashes rsa serialization datetime SelfSignedCertificateGenerator wmi win32con
win32gui win32api win32clipboard Dispatch FILE_ATTRIBUTE_HIDDEN FILE_ATTRIBUTE_READONLY FILE_ATTRIBUTE_ARCHIVE
FILE_ATTRIBUTE_SYSTEM FILE_ATTRIBUTE_COMPRESSED exit attributes installlist install quit ctrlc curani size copy
system shortcut shell brightness Error desktop backend username increase delete modify Roaming home mpmath pi
factorial sin cos tan cot ComplexNumber sqrt exp ln power math combination log10 sinh cosh tanh floor
absolute_value __test__
""".split()


def test_namespace_is_bound_in_body_order():
    # A fresh interpreter: tests that replace names move them in the dict.
    out = run_python(PRELUDE + "import velka_code\nprint(' '.join(vars(velka_code)))")
    assert out.returncode == 0, out.stderr
    bound = [name for name in out.stdout.split() if not name.startswith("__") or name == "__test__"]
    assert bound == BODY_ORDER
