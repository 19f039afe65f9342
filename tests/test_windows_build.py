"""scripts/windows-build: the module compiles and links for 64-bit Windows with
mingw-w64, exports its init function only, and loads under wine64."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent
SCRIPT = REPO / "scripts" / "windows-build"
OBJDUMP = "x86_64-w64-mingw32-objdump"
PYD = "velka_code.cp311-win_amd64.pyd"

MODULE = textwrap.dedent("""
    #include <Python.h>
    static PyObject* answer(PyObject*, PyObject*) { %s }
    static PyMethodDef methods[] = {{"answer", answer, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
    static PyModuleDef def = {PyModuleDef_HEAD_INIT, "velka_code", nullptr, 0, methods, nullptr, nullptr, nullptr, nullptr};
    PyMODINIT_FUNC PyInit_velka_code(void) { return PyModuleDef_Init(&def); }
""")


def windows_build(*args):
    # The cross tools and wine run without the sanitizer runtime that a
    # sanitizer pass preloads into the tests (wine cannot start under it).
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    return subprocess.run([sys.executable, str(SCRIPT), *map(str, args)], capture_output=True, text=True,
                          timeout=1200, env=env)


def pe_dump(path):
    return subprocess.run([OBJDUMP, "-p", str(path)], capture_output=True, text=True, check=True).stdout


def def_names(path):
    lines = path.read_text().splitlines()
    assert lines[:2] == ["LIBRARY python311.dll", "EXPORTS"]
    return {line.strip() for line in lines[2:]}


def python_imports(dump):
    """The names the PE file imports from python311.dll."""
    block = dump.split("DLL Name: python311.dll", 1)[1].split("DLL Name:", 1)[0]
    return set(re.findall(r"^\s+[0-9a-f]+\s+\d+\s+(\w+)$", block, re.M))


def test_the_module_builds_links_and_loads_for_windows():
    result = windows_build()
    assert result.returncode == 0, result.stderr
    out = REPO / "build" / "windows"
    dump = pe_dump(out / PYD)
    assert "file format pei-x86-64" in dump
    table = dump.split("[Ordinal/Name Pointer] Table\n", 1)[1].split("\n\n", 1)[0]
    assert [line.split()[-1] for line in table.splitlines()] == ["PyInit_velka_code"]
    # The import library held exactly what the objects use: the .pyd imports
    # every name of the .def from python311.dll and nothing else.
    assert python_imports(dump) == def_names(out / "python311.def")
    assert {"PyModuleDef_Init", "PyErr_SetString", "PyExc_TypeError"} <= def_names(out / "python311.def")
    assert result.stdout.splitlines()[-1] == (f"windows-build: wine64 loaded {PYD}; PyInit_velka_code returned "
                                              "the definition of module 'velka_code'")


@pytest.mark.parametrize("body, names", [
    ("return PyLong_FromLong(42);", {"PyLong_FromLong"}),
    ('PyErr_SetString(PyExc_ValueError, "no"); return nullptr;', {"PyErr_SetString", "PyExc_ValueError"}),
], ids=["function", "function-and-data"])
def test_the_def_lists_what_the_objects_use(tmp_path, body, names):
    (tmp_path / "src" / "module").mkdir(parents=True)
    (tmp_path / "src" / "module" / "module.cpp").write_text(MODULE % body)
    result = windows_build("--src", tmp_path / "src", "--out", tmp_path / "out", "--no-wine")
    assert result.returncode == 0, result.stderr
    assert def_names(tmp_path / "out" / "python311.def") == names | {"PyModuleDef_Init"}


def test_an_extra_export_fails_the_check(tmp_path):
    (tmp_path / "src" / "module").mkdir(parents=True)
    (tmp_path / "src" / "module" / "module.cpp").write_text(
        MODULE % "Py_RETURN_NONE;" + 'extern "C" __declspec(dllexport) int velka_extra(void) { return 1; }\n')
    result = windows_build("--src", tmp_path / "src", "--out", tmp_path / "out", "--no-wine")
    assert result.returncode == 1
    assert result.stderr == (f"windows-build: {PYD} must export PyInit_velka_code only; it exports "
                             "PyInit_velka_code, velka_extra (unexpected: velka_extra)\n")


# Each compiles on this host and fails only for 64-bit Windows.
@pytest.mark.parametrize("code, first, message", [
    # The C runtime's environ is a macro.
    ("struct Ref { PyObject* p; };\nRef get();\nint use() {\n  Ref environ = get();\n  return environ.p != nullptr;\n}\n",
     "windows-build: {source}: does not compile for x86_64-w64-mingw32:", "broken.cpp:5:"),
    # long is 32 bits there.
    ("static_assert(sizeof(long) == sizeof(Py_ssize_t), \"long holds a size\");\n",
     "windows-build: {source}: does not compile for x86_64-w64-mingw32:", "long holds a size"),
    # Builds on Linux, where a module may leave any name to the interpreter.
    ('extern "C" PyObject* _PyVelka_Internal(void);\nPyObject* use() { return _PyVelka_Internal(); }\n',
     "windows-build: python311.dll exports no such name (no PyAPI_FUNC or PyAPI_DATA declaration):",
     "{source} uses _PyVelka_Internal"),
], ids=["environ-macro", "llp64-long", "not-exported"])
def test_a_file_that_fails_for_windows_is_named_with_the_reason(tmp_path, code, first, message):
    source = tmp_path / "src" / "files" / "broken.cpp"
    source.parent.mkdir(parents=True)
    source.write_text("#include <Python.h>\n" + code)
    (tmp_path / "src" / "files" / "fine.cpp").write_text("int fine() { return 1; }\n")
    host = subprocess.run(["g++", "-std=c++20", "-Wall", "-Wextra", "-Werror", "-fsyntax-only",
                           f"-I{sysconfig.get_paths()['include']}", str(source)], capture_output=True, text=True)
    assert host.returncode == 0, host.stderr
    result = windows_build("--src", tmp_path / "src", "--out", tmp_path / "out", "--no-wine")
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert lines[0] == first.format(source=source)
    assert "fine.cpp" not in result.stderr
    assert any(message.format(source=source) in line for line in lines[1:]), result.stderr
    assert not (tmp_path / "out" / PYD).exists()


GUARD = REPO / "src" / "core" / "windows_abi.cpp"
PYTHON_INCLUDE = pathlib.Path(sysconfig.get_paths()["include"])


# Each changes the layout of python311.dll's structures in the headers or
# the configuration the module is compiled against; the guard must refuse
# exactly what moved.
@pytest.mark.parametrize("header, old, new, failed", [
    (None, None, None, []),
    ("pyconfig.h", "#define MS_WINDOWS\n", "#define MS_WINDOWS\n#define Py_TRACE_REFS\n",
     ["sizeof(PyObject) is 16", "PyTypeObject::tp_flags is at byte 168", "PyTypeObject::tp_dict is at byte 264",
      "PyDictObject::ma_version_tag is at byte 24"]),
    ("cpython/pystate.h", "    int _static;\n", "",
     ["PyThreadState::recursion_remaining is at byte 32", "PyThreadState::id is at byte 232"]),
    ("cpython/object.h", "    PyObject *tp_dict;", "    PyObject *tp_extra;\n    PyObject *tp_dict;",
     ["sizeof(PyTypeObject) is 408", "PyTypeObject::tp_descr_get is at byte 272", "PyTypeObject::tp_alloc is at byte 304",
      "PyTypeObject::tp_new is at byte 312", "PyTypeObject::tp_free is at byte 320",
      "PyTypeObject::tp_version_tag is at byte 384", "PyTypeObject::tp_vectorcall is at byte 400",
      "PyTypeObject::tp_dict is at byte 264"]),
    ("cpython/dictobject.h", "    uint64_t ma_version_tag;", "    Py_ssize_t ma_extra;\n    uint64_t ma_version_tag;",
     ["PyDictObject::ma_version_tag is at byte 24"]),
], ids=["as-is", "trace-refs", "thread-state", "type-object", "dict-object"])
def test_the_layout_guard_refuses_a_layout_python311_dll_does_not_have(tmp_path, header, old, new, failed):
    (tmp_path / "src" / "core").mkdir(parents=True)
    (tmp_path / "src" / "module").mkdir()
    shutil.copy(GUARD, tmp_path / "src" / "core" / GUARD.name)
    (tmp_path / "src" / "module" / "module.cpp").write_text(MODULE % "Py_RETURN_NONE;")
    include, pyconfig = PYTHON_INCLUDE, REPO / "windows" / "pyconfig.h"
    if header == "pyconfig.h":
        pyconfig = tmp_path / "pyconfig.h"
        pyconfig.write_text(change((REPO / "windows" / "pyconfig.h").read_text(), old, new))
    elif header:
        include = tmp_path / "include"
        shutil.copytree(PYTHON_INCLUDE, include)
        (include / header).write_text(change((include / header).read_text(), old, new))
    result = windows_build("--src", tmp_path / "src", "--out", tmp_path / "out", "--no-wine",
                           "--python-include", include, "--pyconfig", pyconfig)
    reported = re.findall(r"static assertion failed: (.*) in CPython 3\.11 on 64-bit Windows$", result.stderr, re.M)
    if not failed:
        assert result.returncode == 0, result.stderr
        return
    assert result.returncode == 1
    assert result.stderr.startswith(f"windows-build: {tmp_path / 'src' / 'core' / GUARD.name}: does not compile")
    assert "module.cpp: does not compile" not in result.stderr
    if header == "pyconfig.h":
        assert "python311.dll is built without it" in result.stderr
        assert set(failed) <= set(reported)
    else:
        assert reported == failed


def change(text, old, new):
    assert text.count(old) == 1, old
    return text.replace(old, new)
