"""The documents: the reference is current, and the READMEs' examples run."""

import os
import re
import socket
import sys

import pytest

from conftest import REPO, run_python

sys.path.insert(0, os.path.join(REPO, "scripts"))
import run_examples  # noqa: E402

BLOCKS = [block for name in run_examples.READMES for block in run_examples.blocks(os.path.join(REPO, name))]

GENERATOR = f"""
import sys
sys.path.insert(0, {os.path.join(REPO, 'scripts')!r})
import make_reference
"""


def test_reference_is_up_to_date():
    out = run_python(GENERATOR + "sys.exit(make_reference.main(['--print']))")
    assert out.returncode == 0, out.stderr
    with open(os.path.join(REPO, "docs", "reference.md"), encoding="utf-8") as f:
        committed = f.read()
    assert out.stdout == committed, "run python3 scripts/make_reference.py to update docs/reference.md"


@pytest.mark.parametrize("change, row", [
    # A dependency's own module class (a newer release may use one) is its
    # business: the cell stays as the table writes it.
    ("velka_code.serialization = type('Lazy', (types.ModuleType,), {})('serialization')",
     "| `serialization` | `module` | `from cryptography.hazmat.primitives import serialization` |"),
    ("velka_code.NameOID = type('Meta', (type,), {})('NameOID', (), {})",
     "| `NameOID` | `type` | `from cryptography.x509.oid import NameOID` |"),
    # A type that Python's builtins name is the module's own answer.
    ("velka_code.serialization = 'a string'",
     "| `serialization` | `str` | `from cryptography.hazmat.primitives import serialization` |"),
    ("velka_code.user32 = 32", "| `user32` | `int` | `ctypes.windll.user32` |"),
])
def test_only_builtin_types_of_values_come_from_the_module(change, row):
    out = run_python(GENERATOR + f"""
import types
import simwin
simwin.activate(windows=True)
import velka_code
{change}
print(make_reference.render(velka_code, make_reference.load_table()))
""")
    assert out.returncode == 0, out.stderr
    assert row in out.stdout.splitlines()


@pytest.mark.parametrize("change, message", [
    ("groups[4].rows = [r for r in groups[4].rows if r.name != 'sha1']", "no row in docs/reference.md for: sha1"),
    ("velka_code.brand_new = velka_code.sha1", "no row in docs/reference.md for: brand_new"),
    ("velka_code.HTTPServer.stop = velka_code.sha1", "no row in docs/reference.md for: HTTPServer.stop"),
    ("del velka_code.sha1", "a row in docs/reference.md for a name the module lacks: sha1"),
    ("groups[0].rows.append(make_reference.Row('not_bound', ['Windows'], ['raises'], '', 0))",
     "a row in docs/reference.md for a name the module lacks: not_bound"),
])
def test_a_name_and_its_row_must_come_together(change, message):
    out = run_python(GENERATOR + f"""
import simwin
simwin.activate(windows=True)
import velka_code
groups = make_reference.load_table()
{change}
try:
    make_reference.render(velka_code, groups)
except make_reference.ReferenceError_ as exc:
    print(exc)
""")
    assert out.returncode == 0, out.stderr
    assert out.stdout == f"{message}\n"


def test_a_new_row_gets_its_signature_and_docstring_from_the_module(tmp_path):
    reference = tmp_path / "reference.md"
    with open(os.path.join(REPO, "docs", "reference.md"), encoding="utf-8") as f:
        text = f.read()
    row = next(line for line in text.splitlines() if line.startswith("| `sin("))
    reference.write_text(text.replace(row + "\n", "| `sin` | | Linux | **返回、抛出**：说明 \\| 竖线 |\n"),
                         encoding="utf-8")
    out = run_python(GENERATOR + f"""
import simwin
simwin.activate(windows=True)
import velka_code
print(make_reference.render(velka_code, make_reference.load_table({str(reference)!r})))
""")
    assert out.returncode == 0, out.stderr
    assert ("| `sin(x, num_terms=10)` | 使用泰勒级数展开计算正弦函数 | Linux | **返回、抛出**：说明 \\| 竖线 |"
            in out.stdout.splitlines())


@pytest.mark.parametrize("row, error", [
    ("| `x` | — | Windows Solaris | **抛出** |", "x: unknown platform 'Solaris'"),
    ("| `x` | — | Linux | **崩溃** |", "x: unknown failure style '崩溃'"),
    ("| `x` | — | Linux | **** |", "x: a function needs a failure style"),
    ("| `x` | — | Linux | 抛出 |", "x: the failure cell starts with **styles**"),
    ("| `x` | Linux | **抛出** |", "x: expected 4 cells"),
    ("| `getcwd` | — | Linux | **抛出** |", "getcwd already has a row"),
])
def test_table_rows_are_checked(tmp_path, row, error):
    table = tmp_path / "table.md"
    with open(os.path.join(REPO, "docs", "reference.md"), encoding="utf-8") as f:
        text = f.read()
    marker = "| `remove(path)` |"
    table.write_text(text.replace(marker, row + "\n" + marker, 1), encoding="utf-8")
    out = run_python(GENERATOR + f"""
try:
    make_reference.load_table({str(table)!r})
except make_reference.ReferenceError_ as exc:
    print(exc)
""")
    assert out.returncode == 0, out.stderr
    assert error in out.stdout


def test_the_readmes_link_each_other_and_open_with_the_two_commands():
    with open(os.path.join(REPO, "README.md"), encoding="utf-8") as f:
        english = f.read().splitlines()
    with open(os.path.join(REPO, "README.zh-CN.md"), encoding="utf-8") as f:
        chinese = f.read()
    commands = [line.split("#")[0].strip() for line in english[:6] if line.startswith("    ")]
    assert commands == ["scripts/tour", "scripts/test"]
    assert "(README.zh-CN.md)" in "\n".join(english[:8])
    assert "(README.md)" in chinese.split("\n## ")[0]
    assert re.search(r"\n    scripts/tour .*\n    scripts/test ", chinese)


@pytest.mark.parametrize("block", BLOCKS, ids=[block.id for block in BLOCKS])
def test_block_is_an_interactive_example_with_known_options(block):
    assert block.source.lstrip().startswith(">>> "), "an example is written as an interactive session"
    with open(block.path, encoding="utf-8") as f:
        fence = f.read().splitlines()[block.line - 1].strip()
    options = fence[len("```python"):].split()
    assert all(word == "linux" or re.fullmatch(r"serve=https?://localhost:\d+/", word) for word in options), fence


@pytest.mark.parametrize("block", BLOCKS, ids=[block.id for block in BLOCKS])
def test_example_shows_what_it_does(block, tmp_path):
    failures, child = run_examples.run_block(block, str(tmp_path))
    assert failures == [], run_examples.describe(block, failures, child)


@pytest.mark.parametrize("linux, session, got", [
    (False, ">>> vk.system()\n'Linux'\n", ["'Windows'\n"]),
    (True, ">>> vk.system()\n'Linux'\n", []),
    (False, ">>> vk.vkprint('a', 1)\na 2\n", ["a 1\n"]),
    (False, ">>> vk.cmd('echo from the shell')\n", ["from the shell\n"]),
    (False, ">>> vk.sqrt(-1)\nTraceback (most recent call last):\n  ...\nZeroDivisionError: float division by zero\n",
     ["Traceback (most recent call last):\nValueError: math domain error\n"]),
    (False, ">>> vk.sqrt(-1)\nTraceback (most recent call last):\n  ...\nValueError: math ... error\n", []),
    # `...` stands for text within a line, never for whole lines.
    (False, ">>> vk.vkprint('a\\nlost\\nb')\na...b\n", ["a\nlost\nb\n"]),
    (False, ">>> vk.vkprint('a\\nb')\na...\nb\n", []),
])
def test_runner_compares_everything_the_console_shows(tmp_path, linux, session, got):
    path = tmp_path / "example.md"
    path.write_text("```python" + (" linux" if linux else "") + "\n>>> import velka_code as vk\n" + session + "```\n",
                    encoding="utf-8")
    [block] = run_examples.blocks(str(path))
    failures, child = run_examples.run_block(block, str(tmp_path))
    assert failures is not None, child.stderr
    assert [failure["got"] for failure in failures] == got


@pytest.mark.parametrize("readme", run_examples.READMES)
def test_the_script_and_its_test_run_as_shown(readme, tmp_path):
    path = os.path.join(REPO, readme)
    files, consoles = run_examples.files(path), run_examples.consoles(path)
    assert sorted(files) == ["test_tidy_desktop.py", "tidy_desktop.py"]
    commands = [command for console in consoles for command, _ in console.commands]
    assert commands == ["python -m simwin --report tidy_desktop.py", "pytest -q test_tidy_desktop.py"]
    failures = run_examples.run_commands(consoles, files, str(tmp_path))
    assert failures == [], run_examples.describe_commands(failures)


@pytest.mark.parametrize("console, failed", [
    ("$ python -c \"print('shown')\"\nshown\n", False),
    ("$ python -c \"print('shown'); print('and more')\"\nshown\n...\n", False),
    ("$ python -c \"print('shown')\"\nnot shown\n", True),
    ("$ python -c \"import sys; print('shown'); sys.exit(2)\"\nshown\n", True),
    ("$ pytest -q test_probe.py\n...1 passed in ...\n", False),
    ("$ pytest -q test_probe.py -k no_such_test\n...\n", True),
])
def test_the_command_runner_compares_output_and_status(tmp_path, console, failed):
    path = tmp_path / "example.md"
    path.write_text("```console\n" + console + "```\n", encoding="utf-8")
    probe = "def test_probe(simulated_windows):\n    import velka_code\n    assert velka_code.system() == 'Windows'\n"
    failures = run_examples.run_commands(run_examples.consoles(str(path)), {"test_probe.py": probe}, str(tmp_path))
    assert bool(failures) == failed, run_examples.describe_commands(failures)


SERVED = """```python serve={scheme}://localhost:{port}/
>>> import velka_code as vk
>>> vk.mkdir("site")
>>> vk.SelfSignedCertificateGenerator("localhost", "key.pem", "site/cert.pem").generate()
The self-signed certificate is generated, the private key is stored in key.pem, and the certificate is stored in site/cert.pem .
>>> vk.{cls}({port}, "site"{tls}).start()
{scheme_upper} server is listening on port {port}, serving directory site
{warning}127.0.0.1 - - [...] "GET / HTTP/1.1" 200 -
Traceback (most recent call last):
  ...
KeyboardInterrupt
```
"""


@pytest.mark.parametrize("scheme", ["http", "https"])
def test_a_served_example_runs_beside_whatever_holds_its_port(tmp_path, scheme):
    # The example's port is held here; the runner moves the example to a
    # free one, which makes exactly one request and then presses Ctrl+C.
    with socket.socket() as held:
        held.bind(("127.0.0.1", 0))
        held.listen()
        port = held.getsockname()[1]
        tls = scheme == "https"
        path = tmp_path / "example.md"
        path.write_text(SERVED.format(
            scheme=scheme, port=port, cls="HTTPSServer" if tls else "HTTPServer", scheme_upper=scheme.upper(),
            tls=', "cert.pem", "../key.pem"' if tls else "",
            warning="...: DeprecationWarning: ssl.wrap_socket() is deprecated, use SSLContext.wrap_socket()\n"
            if tls else ""), encoding="utf-8")
        [block] = run_examples.blocks(str(path))
        work = tmp_path / "run"
        work.mkdir()
        failures, child = run_examples.run_block(block, str(work))
    assert failures == [], run_examples.describe(block, failures, child)


def module_functions(vk):
    """The module-level functions and the methods of the module's classes."""
    kind = type(vk.sin)
    functions = [value for value in vars(vk).values() if type(value) is kind]
    methods = [value for cls in vars(vk).values() if isinstance(cls, type) and cls.__module__ == "velka_code"
               for value in vars(cls).values() if type(value) is kind]
    return functions, methods


def test_the_readmes_count_the_functions_and_their_docstrings(vk):
    functions, methods = module_functions(vk)
    counts = (sum(1 for f in functions if f.__doc__), len(functions), sum(1 for m in methods if m.__doc__),
              len(methods))
    with open(os.path.join(REPO, "README.md"), encoding="utf-8") as f:
        english = re.search(r"(\d+) of the (\d+) module-level functions and (\d+) of the (\d+)\s+methods", f.read())
    with open(os.path.join(REPO, "README.zh-CN.md"), encoding="utf-8") as f:
        chinese = re.search(r"(\d+) 个模块级函数中有 (\d+) 个、类里的 (\d+) 个方法中有 (\d+) 个", f.read())
    assert english and tuple(map(int, english.groups())) == counts
    assert chinese and tuple(map(int, chinese.group(2, 1, 4, 3))) == counts


SRC = os.path.join(REPO, "src")


def bound_by_folder():
    """{folder: the names the module body binds from it}, read from its rows:
    def(folder::def) binds that FunctionDef's name, class_<folder::...>("Name") the class."""
    with open(os.path.join(SRC, "module", "body.cpp"), encoding="utf-8") as f:
        body = f.read()
    names = {}
    for folder, ident in re.findall(r"\bdef\((\w+)::(\w+)\)", body):
        sources = "".join(open(os.path.join(SRC, folder, file), encoding="utf-8").read()
                          for file in os.listdir(os.path.join(SRC, folder)) if file.endswith(".cpp"))
        match = re.search(r"const FunctionDef " + ident + r"\{\s*\.name = \"(\w+)\"", sources)
        assert match, f"no FunctionDef {ident} in src/{folder}"
        names.setdefault(folder, set()).add(match.group(1))
    for folder, name in re.findall(r"\bclass_<\s*(\w+)::[^>]*>\(\"(\w+)\"", body):
        names.setdefault(folder, set()).add(name)
    return names


def test_the_layout_lists_the_names_each_folder_gives_the_module(vk):
    with open(os.path.join(REPO, "README.md"), encoding="utf-8") as f:
        layout = f.read().split("\n## Layout\n", 1)[1].split("\n## ", 1)[0]
    listed = {}
    for folder, text in re.findall(r"^  - `src/(\w+)/`: (.*(?:\n    .*)*)", layout, re.M):
        listed[folder] = set(re.findall(r"`(\w+)`", text))
    bound = bound_by_folder()
    folders = {name for name in os.listdir(SRC) if os.path.isdir(os.path.join(SRC, name))} - {"core", "module"}
    assert set(listed) == set(bound) == folders
    assert listed == bound
    assert set().union(*bound.values()) <= set(vars(vk))
