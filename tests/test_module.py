"""Import behaviour: the create and exec steps and the module body."""

import ast
import os
import sys

import pytest

from conftest import REPO, run_python, stub_parts

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
    assert 'File "<velka_code>", line 0, in init velka_code' in out.stderr


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


def stub_order():
    """The module attributes velka_code.pyi declares, in its order."""
    names = []
    for node in stub_parts()[1].body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            bound = [node.name]
        elif isinstance(node, ast.AnnAssign):
            bound = [node.target.id]
        elif isinstance(node, ast.Import):
            bound = [alias.asname or alias.name.partition(".")[0] for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            bound = [alias.asname or alias.name for alias in node.names]
        else:
            raise AssertionError(f"velka_code.pyi line {node.lineno}: not a declaration of a module attribute")
        names.extend(name for name in bound if name not in names)
    return names


def test_namespace_is_bound_in_the_order_the_stub_declares():
    # A fresh interpreter: tests that replace names move them in the dict.
    # A name bound twice keeps its first place in the namespace.
    out = run_python(PRELUDE + "import velka_code\nprint(' '.join(vars(velka_code)))")
    assert out.returncode == 0, out.stderr
    bound = [name for name in out.stdout.split() if not name.startswith("__") or name == "__test__"]
    declared = stub_order()
    undeclared = [f"velka_code.{name} has no declaration in velka_code.pyi: add one after "
                  f"{bound[i - 1] if i else 'the helpers'}" for i, name in enumerate(bound) if name not in declared]
    unbound = [f"velka_code.pyi declares {name}, which the module does not bind: add its row to "
               "src/module/body.cpp or remove it from the stub" for name in declared if name not in bound]
    assert not undeclared + unbound, "\n".join(undeclared + unbound)
    assert bound == declared, "the stub declares the attributes in another order than src/module/body.cpp binds them"


NOTE = ("velka_code needs Windows; on Linux and macOS run the script on the simulated Windows platform that comes "
        "with it: python -m simwin script.py (or call simwin.activate() before importing velka_code)")


@pytest.mark.parametrize("prelude, missing, noted", [
    ("", "winreg", True),
    ("import simwin, sys; simwin.activate(); sys.modules['win32com.client'] = None\n", "win32com.client", True),
    # A missing dependency is no matter for the simulated platform.
    ("import simwin, sys; simwin.activate(); sys.modules['mpmath'] = None\n", "mpmath", False),
])
def test_a_failed_import_of_a_windows_module_names_the_simulated_platform(prelude, missing, noted):
    out = run_python(prelude + """
try:
    import velka_code
except ModuleNotFoundError as error:
    print(error.name, getattr(error, "__notes__", []))
    raise
""")
    assert out.returncode == 1
    assert out.stdout == f"{missing} {[NOTE] if noted else []}\n"
    # The exception is the interpreter's own; the traceback shows the note after it.
    assert out.stderr.splitlines()[-2 if noted else -1].startswith("ModuleNotFoundError: ")
    assert out.stderr.endswith(f"\n{NOTE}\n") == noted
