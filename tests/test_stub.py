"""The committed type stub matches the module, and its generator misses nothing."""

import importlib.util
import os
import subprocess
import sys
import types

import pytest

import velka_code
from conftest import REPO, run_python

spec = importlib.util.spec_from_file_location("make_stub", os.path.join(REPO, "scripts", "make_stub.py"))
make_stub = importlib.util.module_from_spec(spec)
spec.loader.exec_module(make_stub)


def test_stub_is_up_to_date():
    out = run_python(f"import runpy, sys; sys.argv = ['make_stub', '--print']; "
                     f"runpy.run_path({os.path.join(REPO, 'scripts', 'make_stub.py')!r}, run_name='__main__')")
    assert out.returncode == 0, out.stderr
    with open(os.path.join(REPO, "velka_code.pyi")) as f:
        committed = f.read()
    assert out.stdout == committed, "run scripts/make_stub.py to update velka_code.pyi"
    compile(committed, "velka_code.pyi", "exec")


def drop(table, *keys):
    for key in keys[:-1]:
        table = table[key]
    del table[keys[-1]]


@pytest.mark.parametrize("change, message", [
    (lambda t: drop(t.FUNCTIONS, "sin"), "sin: no entry in FUNCTIONS"),
    (lambda t: drop(t.FUNCTIONS, "moencoding", "new_encoding"), "moencoding(new_encoding): no type"),
    (lambda t: drop(t.FUNCTIONS, "cmd", "return"), "cmd: no return type"),
    (lambda t: drop(t.FUNCTIONS["exp"][1], "num_terms"), "exp(num_terms): no type"),
    (lambda t: drop(t.CLASSES, "ComplexNumber"), "ComplexNumber: no entry in CLASSES"),
    (lambda t: drop(t.CLASSES, "HTTPServer", "methods", "start"), "HTTPServer.start: no entry in HTTPServer's methods"),
    (lambda t: drop(t.CLASSES, "SelfSignedCertificateGenerator", "methods", "__init__", "key_size"),
     "SelfSignedCertificateGenerator.__init__(key_size): no type"),
    (lambda t: drop(t.VALUES, "installlist"), "installlist: no entry in VALUES for this list"),
    (lambda t: t.FUNCTIONS["cmd"].update(commmand="str"), "cmd: a type for commmand, which is no parameter of it"),
    (lambda t: t.FUNCTIONS.update(sine={"return": "None"}), "sine: an entry, but the module has no such name"),
    (lambda t: t.CLASSES["HTTPServer"]["methods"].update(stop={"return": "None"}),
     "HTTPServer.stop: an entry, but the module has no such name"),
    (lambda t: t.PENDING_FUNCTIONS.update(sin=t.FUNCTIONS["sin"]), "sin: both an entry and a pending entry"),
])
def test_generator_names_what_the_tables_miss(change, message):
    tables = make_stub.load_tables()
    change(tables)
    with pytest.raises(make_stub.StubError) as raised:
        make_stub.stub_text(velka_code, tables)
    assert f"  {message}" in str(raised.value).splitlines()


def test_pending_entries_wait_for_the_module_and_then_serve():
    tables = make_stub.load_tables()
    expected = make_stub.stub_text(velka_code, tables)
    tables.PENDING_FUNCTIONS["not_yet"] = {"return": "None"}
    tables.PENDING_CLASSES["NotYet"] = {"methods": {}}
    assert make_stub.stub_text(velka_code, tables) == expected
    tables.PENDING_FUNCTIONS["sin"] = tables.FUNCTIONS.pop("sin")
    tables.PENDING_CLASSES["ComplexNumber"] = tables.CLASSES.pop("ComplexNumber")
    assert make_stub.stub_text(velka_code, tables) == expected


# The functions that are still to come, with the signatures they will have.
COMING = '''
def exit(code): ...
def quit(code): ...
def attributes(file_path, hidden=False, readonly=False, archive=False, system=False, compressed=False): ...
def install(modules, mirror_url="https://pypi.tuna.tsinghua.edu.cn/simple"): ...
def ctrlc(text): ...
def curani(cursor_path): ...
def size(): ...
def shortcut(target_path, shortcut_path, run_as_admin=False): ...
def increase(file_extension=None, file_type=None, icon_path=None, associated_program=None): ...
def delete(file_extension, file_type): ...
def modify(old_file_extension=None, old_file_type=None, new_file_extension=None, new_file_type=None,
           new_icon_path=None, new_associated_program=None): ...
def brightness(brightness): ...
class WinRightCilck:
    def auto_arrange(enable): ...
    def grid(enable): ...
    def icon(enable): ...
    def desktop_icons(show): ...
    def icon_size(size): ...
    def defaults(): ...
    def sort_order(sort_type): ...
'''


def test_pending_entries_type_the_functions_to_come(tmp_path):
    module = types.ModuleType("velka_code")
    vars(module).update(vars(velka_code))
    exec(COMING, vars(module))
    tables = make_stub.load_tables()
    text = make_stub.stub_text(module, tables)
    assert "    @_namespace_function\n    def sort_order(sort_type: str) -> None: ...\n" in text
    assert make_stub.static_methods(module, tables) == [
        f"velka_code.WinRightCilck.{name}"
        for name in ("auto_arrange", "grid", "icon", "desktop_icons", "icon_size", "defaults", "sort_order")]
    # The stub with them is one that mypy takes.
    (tmp_path / "velka_code-stubs").mkdir()
    (tmp_path / "velka_code-stubs" / "__init__.pyi").write_text(text)
    (tmp_path / "calls.py").write_text(
        "import velka_code as vk\n"
        "vk.WinRightCilck.sort_order('date')\n"
        "width, height = vk.size()\n"
        "vk.increase('.abc', 'abcfile', associated_program='/usr/bin/editor')\n")
    (tmp_path / "mypy.ini").write_text("[mypy]\n")
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--config-file", "mypy.ini", "calls.py"],
                         cwd=tmp_path, env=dict(os.environ, PYTHONPATH=str(tmp_path)),
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
