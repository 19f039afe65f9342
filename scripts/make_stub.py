"""Writes velka_code.pyi from the built module's own signatures.

Run `python3 scripts/make_stub.py` after adding or changing a function;
tests/test_stub.py checks that the committed stub is up to date.
"""

import inspect
import os
import sys
import types

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, REPO)

import simwin  # noqa: E402

simwin.activate(windows=False)

import velka_code  # noqa: E402

HEADER = '''"""Type stub for velka_code (written by scripts/make_stub.py)."""

from typing import Any

'''


def signature_text(function):
    """The signature with literal defaults kept and others written as ..."""
    signature = inspect.signature(function)
    parameters = []
    for parameter in signature.parameters.values():
        default = parameter.default
        if default is not parameter.empty and not isinstance(default, (type(None), bool, int, float, str, bytes)):
            parameter = parameter.replace(default=Ellipsis)
        parameters.append(parameter)
    text = str(signature.replace(parameters=parameters))
    return text.replace("=Ellipsis", "=...")


def function_stub(name, function, indent=""):
    return f"{indent}def {name}{signature_text(function)}: ...\n"


def value_type(value):
    if isinstance(value, (bool, int, float, str, bytes)):
        return type(value).__name__
    if isinstance(value, dict):
        return "dict[Any, Any]"
    if isinstance(value, list):
        return "list[Any]"
    return "Any"


# Values that depend on the machine the stub is written on.
DECLARED = {"Roaming": "str | None", "winspool": "Any"}
# Names imported from a public module whose objects live in a private one.
IMPORTED = {"NameOID": "from cryptography.x509.oid import NameOID as NameOID"}


def stub_text():
    lines = [HEADER]
    for name, value in vars(velka_code).items():
        if name.startswith("__") and name != "__test__":
            continue
        if isinstance(value, types.ModuleType):
            # The simulated Windows modules stand for the real ones.
            target = name if value.__name__.startswith("simwin") else value.__name__
            if name == "http":
                lines.append("import http.server\n")
            lines.append(f"import {target} as {name}\n" if target == name or "." not in target
                         else f"from {target.rsplit('.', 1)[0]} import {target.rsplit('.', 1)[1]} as {name}\n")
        elif isinstance(value, type) and value.__module__ == "velka_code":
            lines.append(f"\nclass {name}:\n")
            members = [(k, v) for k, v in vars(value).items() if callable(v) and not isinstance(v, type)]
            for member, function in members:
                lines.append(function_stub(member, function, "    "))
            if not members:
                lines.append("    ...\n")
            lines.append("\n")
        elif callable(value) and getattr(value, "__module__", None) == "velka_code":
            lines.append(function_stub(name, value))
        elif name in IMPORTED:
            lines.append(IMPORTED[name] + "\n")
        elif name in DECLARED:
            lines.append(f"{name}: {DECLARED[name]}\n")
        elif isinstance(value, type) and value.__module__ == "builtins":
            lines.append(f"{name}: type[{value.__name__}]\n")
        elif isinstance(value, type):
            lines.append(f"from {value.__module__} import {value.__qualname__} as {name}\n")
        else:
            lines.append(f"{name}: {value_type(value)}\n")
    return "".join(lines)


if __name__ == "__main__":
    if sys.argv[1:] == ["--print"]:
        sys.stdout.write(stub_text())
    else:
        with open(os.path.join(REPO, "velka_code.pyi"), "w") as f:
            f.write(stub_text())
