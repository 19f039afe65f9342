"""Writes docs/reference.md from the built module and scripts/reference_table.md.

    python3 scripts/make_reference.py            # rewrite docs/reference.md
    python3 scripts/make_reference.py --print    # write it to standard output

Signatures and docstrings come from the module itself; where each name works
and how it reports failure come from the table beside this script. Every
name of the module needs a row there: a name without one stops the script
with its name, so a new function cannot be left out. Rows for names the
module does not have are skipped. tests/test_docs.py checks that the
committed reference is current.
"""

import inspect
import os
import re
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TABLE = os.path.join(REPO, "scripts", "reference_table.md")
OUTPUT = os.path.join(REPO, "docs", "reference.md")

PLATFORMS = ("Windows", "macOS", "Linux")
# Each failure style: the word in the table, its short label, its legend line.
FAILURES = {
    "returns": ("返回", "**返回**：返回值说明结果，如 False、None 或一段提示文字 (returns: the value tells)"),
    "prints": ("打印", "**打印**：打印一行提示，返回 None (prints one line, returns None)"),
    "raises": ("抛出", "**抛出**：抛出异常 (raises an exception)"),
    "exits": ("结束", "**结束**：抛出 SystemExit，未被捕获时结束进程 (ends the process)"),
}
# Group kinds: how the rows of a group are shown.
KINDS = ("functions", "values")

HEADER = """# velka_code 参考 / reference

<!-- 由 scripts/make_reference.py 生成，请勿手改；改 scripts/reference_table.md 后重新生成。
     Written by scripts/make_reference.py: edit scripts/reference_table.md and run it again. -->

模块的每个公开名称：签名与文档字符串首行取自模块本身，可用平台与失败方式取自
`scripts/reference_table.md`。用法见 [README.zh-CN.md](../README.zh-CN.md)（English:
[README.md](../README.md)）。

Every public name of the module: the signature and the first docstring line come from the module
itself; the platforms and the failure style from `scripts/reference_table.md`.

失败方式 / failure styles:

""" + "".join(f"- {legend}\n" for _, legend in FAILURES.values()) + """
平台一栏说明函数在哪个系统上做它的事；`velka_code` 本身只能在有 `winreg`、pywin32、`wmi` 和
`ctypes.windll` 的环境里导入（即 Windows，或装了替身模块的其他系统）。

The platforms column says where a function does its work; the module itself imports only where
`winreg`, pywin32, `wmi` and `ctypes.windll` exist (Windows, or another system with stand-ins).
"""


class ReferenceError_(Exception):
    """The table does not describe the module (missing rows, bad cells)."""


class Row:
    __slots__ = ("name", "platforms", "failures", "note", "line")

    def __init__(self, name, platforms, failures, note, line):
        self.name, self.platforms, self.failures, self.note, self.line = name, platforms, failures, note, line


class Group:
    __slots__ = ("title", "kind", "rows")

    def __init__(self, title, kind):
        self.title, self.kind, self.rows = title, kind, []


def split_cells(line):
    """The cells of one pipe-table row; a backslash-escaped bar stays in its cell."""
    cells = re.split(r"(?<!\\)\|", line.strip().strip("|"))
    return [cell.strip().replace("\\|", "|") for cell in cells]


def load_table(path=TABLE):
    """The groups of the table file, each with its rows in order."""
    groups = []
    errors = []
    seen = {}
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    for number, line in enumerate(lines, 1):
        heading = re.match(r"^## (.+?) \{(\w+)\}$", line)
        if heading:
            if heading.group(2) not in KINDS:
                errors.append(f"line {number}: unknown group kind {heading.group(2)!r}")
            groups.append(Group(heading.group(1), heading.group(2)))
            continue
        if not line.startswith("|") or re.match(r"^\|[\s:|-]+\|$", line):
            continue
        cells = split_cells(line)
        if cells[0] == "name":
            continue
        if len(cells) != 4 or not groups:
            errors.append(f"line {number}: expected a row of 4 cells under a group heading")
            continue
        name, platforms, failures, note = cells
        name = name.strip("`")
        platform_list = platforms.split()
        failure_list = [] if failures == "-" else [word.strip() for word in failures.split(",")]
        for word in platform_list:
            if word not in PLATFORMS:
                errors.append(f"line {number}: {name}: unknown platform {word!r}")
        for word in failure_list:
            if word not in FAILURES:
                errors.append(f"line {number}: {name}: unknown failure style {word!r}")
        if groups[-1].kind == "functions" and not failure_list:
            errors.append(f"line {number}: {name}: a function needs a failure style")
        if name in seen:
            errors.append(f"line {number}: {name} already has a row (line {seen[name]})")
        seen[name] = number
        groups[-1].rows.append(Row(name, platform_list, failure_list, note, number))
    if errors:
        raise ReferenceError_("\n".join(errors))
    return groups


def public_names(module):
    """Module-level names and the non-special names in the module's own classes.

    Dunder names are the interpreter's; the special methods of a class are
    listed with the class instead.
    """
    names = []
    for name, value in vars(module).items():
        if name.startswith("__") and name.endswith("__"):
            continue
        names.append(name)
        if isinstance(value, type) and value.__module__ == module.__name__:
            names.extend(f"{name}.{member}" for member in vars(value)
                         if not (member.startswith("__") and member.endswith("__")))
    return names


def lookup(module, dotted):
    """The value of a module name or of Class.member (as the class holds it)."""
    value = module
    for part in dotted.split("."):
        value = getattr(value, part) if value is module else vars(value)[part]
    return value


def default_text(value):
    """Literal defaults as written; the others (a stream fixed at import) by type."""
    if value is None or isinstance(value, (bool, int, float, str, bytes)):
        return repr(value)
    return f"<{type(value).__name__}>"


def signature_text(name, value):
    """name(parameters); None for what has no signature."""
    if not callable(value):
        return None
    try:
        signature = inspect.signature(value)
    except (TypeError, ValueError):
        return None
    parameters = []
    for parameter in signature.parameters.values():
        if parameter.default is not parameter.empty:
            parameter = parameter.replace(default=_Shown(default_text(parameter.default)))
        parameters.append(parameter)
    return name + str(signature.replace(parameters=parameters))


class _Shown:
    """A default shown by its text (inspect writes defaults with repr)."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


def first_doc_line(value):
    # The object's own docstring only: inspect.getdoc would fall back to
    # the documentation of object for a class or method without one.
    doc = value.__doc__ if callable(value) and isinstance(value.__doc__, str) else ""
    for line in doc.splitlines():
        if line.strip():
            return line.strip()
    return "—"


def special_methods(cls):
    """The operators and conversions a class defines, listed beside its signature."""
    return [m for m in vars(cls) if m.startswith("__") and m.endswith("__") and callable(vars(cls)[m])
            and m != "__init__"]


def cell(text):
    return text.replace("|", "\\|").replace("\n", " ")


def failure_cell(row):
    labels = "、".join(FAILURES[word][0] for word in row.failures)
    return f"**{labels}**" + (f"：{row.note}" if row.note and row.note != "-" else "")


def render(module, groups):
    """The reference text; raises ReferenceError_ naming each name without a row."""
    described = {row.name for group in groups for row in group.rows}
    missing = [name for name in public_names(module) if name not in described]
    if missing:
        raise ReferenceError_("no row in scripts/reference_table.md for: " + ", ".join(missing))
    present = set(public_names(module))
    out = [HEADER]
    for group in groups:
        rows = [row for row in group.rows if row.name in present]
        if not rows:
            continue
        out.append(f"\n## {group.title}\n\n")
        if group.kind == "functions":
            out.append("| 签名 signature | 文档字符串首行 docstring | 平台 platforms | 失败方式与说明 failure and notes |\n")
            out.append("|---|---|---|---|\n")
            for row in rows:
                value = lookup(module, row.name)
                signature = signature_text(row.name, value) or row.name
                if isinstance(value, type) and special_methods(value):
                    signature += " — " + ", ".join(special_methods(value))
                out.append(f"| `{cell(signature)}` | {cell(first_doc_line(value))} | "
                           f"{' '.join(row.platforms) or '—'} | {cell(failure_cell(row))} |\n")
        else:
            out.append("| 名称 name | 类型 type | 说明 note |\n|---|---|---|\n")
            for row in rows:
                value = lookup(module, row.name)
                kind = type(value)
                # Stand-in classes of the simulated platform are not what a Windows user sees.
                shown = f"`{kind.__name__}`" if kind.__module__ == "builtins" else "—"
                out.append(f"| `{row.name}` | {shown} | {cell(row.note)} |\n")
    return "".join(out)


def reference_text():
    sys.path.insert(0, REPO)
    import simwin
    simwin.activate(windows=True)
    import velka_code
    return render(velka_code, load_table())


def main(argv):
    try:
        text = reference_text()
    except ReferenceError_ as exc:
        print(f"make_reference: {exc}", file=sys.stderr)
        return 1
    if argv == ["--print"]:
        sys.stdout.write(text)
    else:
        os.makedirs(os.path.dirname(OUTPUT), exist_ok=True)
        with open(OUTPUT, "w", encoding="utf-8") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
