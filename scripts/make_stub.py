"""Writes velka_code.pyi from the built module's own signatures.

Names, parameters, kinds and defaults come from the module, types from
scripts/stub_types.py. Run `python3 scripts/make_stub.py` (with the built
module importable, e.g. PYTHONPATH=build/dev) after adding or changing a
function; `--print` writes the stub to standard output instead. The build
ships the stub beside the module and as the stub-only package
velka_code-stubs; tests/test_stub.py checks that it is current.
"""

import importlib.util
import inspect
import os
import sys
import types

SCRIPTS = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(SCRIPTS)

HEADER = '"""Type stub for velka_code (written by scripts/make_stub.py from scripts/stub_types.py)."""\n\n'
LITERALS = (type(None), bool, int, float, str, bytes)
# Bookkeeping that every module has; the stub describes the rest.
MODULE_DUNDERS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"}
CLASS_DUNDERS = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"}
# Marks the functions of a namespace class (defined in the preamble of
# scripts/stub_types.py): callable through the class, not through an instance.
NAMESPACE_DECORATOR = "_namespace_function"


class StubError(Exception):
    """The type tables miss or misname something that the module has."""


class _Text(str):
    # inspect writes annotations and defaults through repr: these verbatim.
    def __repr__(self):
        return str(self)


def load_tables():
    """A fresh copy of scripts/stub_types.py."""
    spec = importlib.util.spec_from_file_location("stub_types", os.path.join(SCRIPTS, "stub_types.py"))
    tables = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tables)
    return tables


def is_own(value):
    return getattr(value, "__module__", None) == "velka_code" and callable(value)


class _Writer:
    def __init__(self, module, tables):
        self.module = module
        self.tables = tables
        self.problems = []
        self.static = []

    def entry(self, table, pending, name):
        if name in table:
            return table[name]
        return pending.get(name)

    def check_stale(self, table, pending, present, where):
        for name in table:
            if name in pending:
                self.problems.append(f"{where}{name}: both an entry and a pending entry")
            elif name not in present:
                self.problems.append(f"{where}{name}: an entry, but the module has no such name")

    def signature(self, where, function, entry, takes_self):
        """One `def` line per overload of `function`, typed from `entry`."""
        variants = entry if isinstance(entry, list) else [entry]
        signature = inspect.signature(function)
        parameters = list(signature.parameters.values())
        own = parameters[1:] if takes_self else parameters
        names = {parameter.name for parameter in own}
        lines = []
        for variant in variants:
            required = set(variant.get("required", ()))
            for key in set(variant) - names - {"return", "required"}:
                self.problems.append(f"{where}: a type for {key}, which is no parameter of it")
            rewritten = parameters[:1] if takes_self else []
            for parameter in own:
                if parameter.name not in variant:
                    self.problems.append(f"{where}({parameter.name}): no type")
                    continue
                default = parameter.default
                if parameter.name in required:
                    default = parameter.empty
                elif default is not parameter.empty and not isinstance(default, LITERALS):
                    default = _Text("...")
                rewritten.append(parameter.replace(annotation=_Text(variant[parameter.name]), default=default))
            if "return" not in variant:
                self.problems.append(f"{where}: no return type")
            text = str(signature.replace(parameters=rewritten,
                                         return_annotation=_Text(variant.get("return", "Any"))))
            lines.append(("@overload\n" if len(variants) > 1 else "") + f"def {function.__name__}{text}: ...\n")
        return lines

    def function(self, name, function):
        entry = self.entry(self.tables.FUNCTIONS, self.tables.PENDING_FUNCTIONS, name)
        if entry is None:
            self.problems.append(f"{name}: no entry in FUNCTIONS")
            return ""
        return "".join(self.signature(name, function, entry, takes_self=False))

    def klass(self, name, cls):
        entry = self.entry(self.tables.CLASSES, self.tables.PENDING_CLASSES, name)
        if entry is None:
            self.problems.append(f"{name}: no entry in CLASSES")
            return ""
        methods = entry["methods"]
        namespace = entry.get("namespace", False)
        members = {}
        for member, value in vars(cls).items():
            if is_own(value) and not isinstance(value, type):
                members[member] = value
            elif member not in CLASS_DUNDERS:
                self.problems.append(f"{name}.{member}: a class attribute the stub cannot describe")
        self.check_stale(methods, {}, members, f"{name}.")
        body = []
        init = methods.get("__init__")
        if "__init__" in members and isinstance(init, dict):
            # Instances hold their constructor arguments under the same names.
            for parameter in list(inspect.signature(members["__init__"]).parameters)[1:]:
                if parameter in init:
                    body.append(f"{parameter}: {init[parameter]}\n")
        for member, function in members.items():
            if member not in methods:
                self.problems.append(f"{name}.{member}: no entry in {name}'s methods")
                continue
            for line in self.signature(f"{name}.{member}", function, methods[member], takes_self=not namespace):
                if namespace:
                    self.static.append(f"velka_code.{name}.{member}")
                    line = f"@{NAMESPACE_DECORATOR}\n" + line
                body.append(line)
        lines = "".join(body).splitlines(keepends=True) or ["...\n"]
        return f"\nclass {name}:\n" + "".join("    " + line for line in lines) + "\n"

    def value(self, name, value):
        declared = self.tables.VALUES.get(name)
        if declared is not None:
            if declared.startswith(("import ", "from ")):
                return declared + "\n"
            return f"{name}: {declared}\n"
        if isinstance(value, types.ModuleType):
            # The simulated Windows modules stand for the real ones.
            target = value.__name__.removeprefix("simwin.")
            if target.partition(".")[0] in sys.stdlib_module_names:
                if "." in target:
                    package, _, last = target.rpartition(".")
                    return f"from {package} import {last} as {name}\n"
                return f"import {target} as {name}\n"
        elif isinstance(value, LITERALS) and value is not None:
            return f"{name}: {type(value).__name__}\n"
        self.problems.append(f"{name}: no entry in VALUES for this {type(value).__name__}")
        return ""

    def text(self):
        namespace = vars(self.module)
        tables = self.tables
        self.check_stale(tables.FUNCTIONS, tables.PENDING_FUNCTIONS,
                         {name for name, value in namespace.items() if is_own(value) and not isinstance(value, type)}, "")
        self.check_stale(tables.CLASSES, tables.PENDING_CLASSES,
                         {name for name, value in namespace.items() if is_own(value) and isinstance(value, type)}, "")
        self.check_stale(tables.VALUES, {}, namespace, "")
        parts = [HEADER, tables.PREAMBLE, "\n# The module's attributes, in the order it binds them.\n"]
        for name, value in namespace.items():
            if name in MODULE_DUNDERS:
                continue
            if is_own(value) and isinstance(value, type):
                parts.append(self.klass(name, value))
            elif is_own(value):
                parts.append(self.function(name, value))
            else:
                parts.append(self.value(name, value))
        if self.problems:
            raise StubError("the type tables in scripts/stub_types.py do not cover the module:\n  "
                            + "\n  ".join(self.problems))
        return "".join(parts)


def stub_text(module, tables):
    """The stub's text; raises StubError naming every name without a type."""
    return _Writer(module, tables).text()


def static_methods(module, tables):
    """Plain functions of namespace classes, which the stub declares through
    NAMESPACE_DECORATOR rather than as the methods they seem at run time."""
    writer = _Writer(module, tables)
    writer.text()
    return writer.static


def main(argv):
    sys.path.insert(0, REPO)
    import simwin
    simwin.activate(windows=False)
    import velka_code
    try:
        text = stub_text(velka_code, load_tables())
    except StubError as error:
        sys.exit(f"make_stub: {error}")
    if argv == ["--print"]:
        sys.stdout.write(text)
    else:
        with open(os.path.join(REPO, "velka_code.pyi"), "w") as f:
            f.write(text)


if __name__ == "__main__":
    main(sys.argv[1:])
