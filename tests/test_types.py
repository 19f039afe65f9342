"""Type checkers find the installed or built stub and see its types.

The checkers run in a scratch folder with the interpreter's own search path
(the build folder or site-packages), never the checkout, so that they find
velka_code's types only where an installed module has them: mypy through the
stub-only package velka_code-stubs, pyright also through the stub beside the
module.
"""

import ast
import inspect
import json
import os
import subprocess
import sys

import pytest

import velka_code
from conftest import REPO, run_python, stub_parts

TYPECHECK = os.path.join(REPO, "tests", "typecheck")


def checker_env():
    paths = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in paths if p != REPO))


def run_mypy(tmp_path, source):
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n")
    return [sys.executable, "-m", "mypy", "--strict", "--config-file", str(config),
            "--cache-dir", str(tmp_path / "cache"), source]


def run_pyright(tmp_path, source):
    # Strict, and an ignore comment that nothing needs is an error.
    config = tmp_path / "pyrightconfig.json"
    config.write_text(json.dumps({"typeCheckingMode": "strict", "reportUnnecessaryTypeIgnoreComment": "error"}))
    return [sys.executable, "-m", "pyright", "--project", str(config), "--pythonpath", sys.executable, source]


@pytest.mark.parametrize("checker", [run_mypy, run_pyright], ids=["mypy", "pyright"])
@pytest.mark.parametrize("source", ["good_calls.py", "wrong_calls.py"])
def test_checkers_accept_the_correct_calls_and_report_each_wrong_one(checker, source, tmp_path):
    out = subprocess.run(checker(tmp_path, os.path.join(TYPECHECK, source)), cwd=tmp_path, env=checker_env(),
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr


def test_stubtest_finds_the_stub_consistent_with_the_module(tmp_path):
    # Nothing is allowed. stubtest passes over the namespace class's
    # functions (their decorator is the stub's own), whose signatures
    # test_every_signature_agrees_with_inspect compares instead.
    out = run_python("import sys, simwin; simwin.activate(windows=False)\n"
                     "from mypy.stubtest import main; sys.exit(main())",
                     "velka_code", cwd=tmp_path, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr


# The stub's own descriptor for the functions of a namespace class: callable
# through the class, not through an instance.
NAMESPACE_DECORATOR = "_namespace_function"


def is_own(value):
    return getattr(value, "__module__", None) == "velka_code" and callable(value)


NO_DEFAULT = object()
ANY_DEFAULT = object()
KINDS = {"POSITIONAL_ONLY": "posonlyargs", "POSITIONAL_OR_KEYWORD": "args", "VAR_POSITIONAL": "vararg",
         "KEYWORD_ONLY": "kwonlyargs", "VAR_KEYWORD": "kwarg"}


def stub_signatures(body):
    """name -> one (is static, [(parameter, kind, default)]) per overload."""
    found = {}
    for node in (node for node in body if isinstance(node, ast.FunctionDef)):
        args = node.args
        positional = [(arg, "posonlyargs") for arg in args.posonlyargs] + [(arg, "args") for arg in args.args]
        defaults = [NO_DEFAULT] * (len(positional) - len(args.defaults)) + args.defaults
        rows = [(arg.arg, kind, default) for (arg, kind), default in zip(positional, defaults)]
        rows += [(arg.arg, kind, NO_DEFAULT) for arg, kind in ((args.vararg, "vararg"), (args.kwarg, "kwarg")) if arg]
        rows += [(arg.arg, "kwonlyargs", default or NO_DEFAULT) for arg, default in zip(args.kwonlyargs, args.kw_defaults)]
        static = any(isinstance(d, ast.Name) and d.id in ("staticmethod", NAMESPACE_DECORATOR)
                     for d in node.decorator_list)
        found.setdefault(node.name, []).append((static, rows))
    return found


def stub_default(node):
    """The literal default; `...` stands for a default the stub does not spell."""
    if node is NO_DEFAULT:
        return NO_DEFAULT
    value = ast.literal_eval(node)
    return ANY_DEFAULT if value is ... else value


def assert_same_signature(where, function, variants, method):
    parameters = list(inspect.signature(function).parameters.values())
    for static, rows in variants:
        if method and not static:
            rows = rows[1:]
        own = parameters[1:] if method and not static else parameters
        assert [(name, kind) for name, kind, _ in rows] == [(p.name, KINDS[p.kind.name]) for p in own], where
        for (name, _, node), parameter in zip(rows, own):
            default = stub_default(node)
            if default is NO_DEFAULT:
                # Only an overload may require what the function defaults.
                assert parameter.default is parameter.empty or len(variants) > 1, (where, name)
            elif default is ANY_DEFAULT:
                assert parameter.default is not parameter.empty, (where, name)
            else:
                assert (type(default), default) == (type(parameter.default), parameter.default), (where, name)


def stub_line(name, function):
    """The declaration the stub needs for `function`, its types left to write."""
    return f"def {name}{inspect.signature(function)}: ..."


def test_every_signature_agrees_with_inspect():
    tree = stub_parts()[1]
    functions = stub_signatures(tree.body)
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    own = {name: value for name, value in vars(velka_code).items() if is_own(value)}
    missing = [f"velka_code.pyi has no declaration of velka_code.{name}: add "
               + (f"class {name}: with its methods" if isinstance(value, type) else stub_line(name, value))
               for name, value in own.items() if name not in functions and name not in classes]
    extra = [f"velka_code.pyi declares {name}, which velka_code does not define"
             for name in [*functions, *classes] if name not in own]
    assert not missing + extra, "\n".join(missing + extra)
    for name, value in own.items():
        if not isinstance(value, type):
            assert_same_signature(f"{name}: the stub should read {stub_line(name, value)}", value, functions[name],
                                  method=False)
            continue
        methods = stub_signatures(classes[name].body)
        members = {member: function for member, function in vars(value).items() if is_own(function)}
        absent = [f"class {name} in velka_code.pyi has no declaration of {member}: add {stub_line(member, function)}"
                  for member, function in members.items() if member not in methods]
        assert not absent, "\n".join(absent)
        assert list(methods) == list(members), f"{name}: the stub declares its methods in another order or set"
        for member, function in members.items():
            assert_same_signature(f"{name}.{member}: the stub should read {stub_line(member, function)}", function,
                                  methods[member], method=True)


CONSTRUCTOR_ARGUMENTS = {"BackendPythonServer": ("app.py",), "SelfSignedCertificateGenerator": ("localhost",),
                         "ComplexNumber": (1, 2)}


@pytest.mark.parametrize("name", sorted(name for name, value in vars(velka_code).items()
                                        if isinstance(value, type) and value.__module__ == "velka_code"))
def test_declared_attributes_are_those_an_instance_holds(name):
    node = next(node for node in stub_parts()[1].body if isinstance(node, ast.ClassDef) and node.name == name)
    declared = [statement.target.id for statement in node.body if isinstance(statement, ast.AnnAssign)]
    instance = getattr(velka_code, name)(*CONSTRUCTOR_ARGUMENTS.get(name, ()))
    assert declared == list(vars(instance))
