"""Refreshes docs/reference.md from the built module.

    python3 scripts/make_reference.py            # rewrite docs/reference.md
    python3 scripts/make_reference.py --print    # write it to standard output

The reference is its own table: its groups, rows, platforms, failure styles
and notes are written by hand in docs/reference.md, and this script rewrites
what the module says of itself (signatures, first docstring lines, the types
of values that Python's builtins name) and the text above the first group.
The type of a value made by another package (a dependency's own module class,
a stand-in of the simulated platform) is that package's, not the module's,
and can change with its release: the table gives it by hand. Every name of the module
needs a row, and every row a name the module has: either mistake stops the
script with the names, so a new function cannot be left out and a removed
one cannot linger. tests/test_docs.py checks that the committed reference is
current.
"""

import inspect
import os
import re
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REFERENCE = os.path.join(REPO, "docs", "reference.md")

PLATFORMS = ("Windows", "macOS", "Linux")
# Each failure style: its word here, the label the table shows, its legend line.
FAILURES = {
    "returns": ("返回", "**返回**：返回值说明结果，如 False、None 或一段提示文字 (returns: the value tells)"),
    "prints": ("打印", "**打印**：打印一行提示，返回 None (prints one line, returns None)"),
    "raises": ("抛出", "**抛出**：抛出异常 (raises an exception)"),
    "exits": ("结束", "**结束**：抛出 SystemExit，未被捕获时结束进程 (ends the process)"),
}
LABELS = {label: word for word, (label, _) in FAILURES.items()}
# Group kinds, each known by the header row of its table.
TABLE_HEADS = {
    "functions": "| 签名 signature | 文档字符串首行 docstring | 平台 platforms | 失败方式与说明 failure and notes |\n",
    "values": "| 名称 name | 类型 type | 说明 note |\n",
}

HEADER = """# velka_code 参考 / reference

<!-- 平台、失败方式、说明和别的包自己定义的类型在本文件里手写；签名、文档字符串首行、值的内置类型和这段开头由
     scripts/make_reference.py 从模块重新写出。新名称：在所属的组里加一行（签名一栏只写名称），再运行它。
     Platforms, failure styles, notes and the types that other packages define are written here by hand;
     signatures, first docstring lines, the builtin types of values and this opening are rewritten from
     the module by scripts/make_reference.py.
     A new name: add a row to its group (the name alone in the first column) and run the script. -->

模块的每个公开名称：签名与文档字符串首行取自模块本身，可用平台与失败方式写在本表里。用法见
[README.zh-CN.md](../README.zh-CN.md)（English: [README.md](../README.md)）。

Every public name of the module: the signature and the first docstring line come from the module
itself; the platforms and the failure style are written in this table.

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
    __slots__ = ("name", "platforms", "failures", "note", "line", "kind")

    def __init__(self, name, platforms, failures, note, line, kind="—"):
        self.name, self.platforms, self.failures, self.note, self.line = name, platforms, failures, note, line
        self.kind = kind  # a value's type cell as the table writes it


class Group:
    __slots__ = ("title", "kind", "rows")

    def __init__(self, title, kind):
        self.title, self.kind, self.rows = title, kind, []


def split_cells(line):
    """The cells of one pipe-table row; a backslash-escaped bar stays in its cell."""
    cells = re.split(r"(?<!\\)\|", line.strip().strip("|"))
    return [cell.strip().replace("\\|", "|") for cell in cells]


def parse_failures(text):
    """(failure words, note) of a failure cell: **label、label**：note."""
    match = re.fullmatch(r"\*\*(.*?)\*\*(?:：(.*))?", text)
    if not match:
        return None, text
    labels = match.group(1).split("、") if match.group(1) else []
    return [LABELS.get(label, label) for label in labels], match.group(2) or ""


def load_table(path=REFERENCE):
    """The groups of the reference, each with its rows in order."""
    groups = []
    errors = []
    seen = {}
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    for number, line in enumerate(lines, 1):
        if line.startswith("## "):
            groups.append(Group(line[3:].strip(), None))
            continue
        if not line.startswith("|") or re.match(r"^\|[\s:|-]+\|$", line):
            continue
        kind = next((kind for kind, head in TABLE_HEADS.items() if line + "\n" == head), None)
        if kind:
            if groups and groups[-1].kind is None:
                groups[-1].kind = kind
            else:
                errors.append(f"line {number}: a table head outside a group heading, or a second one")
            continue
        cells = split_cells(line)
        if not groups or groups[-1].kind is None:
            errors.append(f"line {number}: a row before the head of its group's table")
            continue
        match = re.match(r"`?([\w.]+)", cells[0])
        name = match.group(1) if match else cells[0]
        if groups[-1].kind == "functions":
            if len(cells) != 4:
                errors.append(f"line {number}: {name}: expected 4 cells (signature, docstring, platforms, "
                              "failure and note)")
                continue
            platform_list = [] if cells[2] == "—" else cells[2].split()
            failure_list, note = parse_failures(cells[3])
            if failure_list is None:
                errors.append(f"line {number}: {name}: the failure cell starts with **styles**")
                continue
        else:
            if len(cells) != 3:
                errors.append(f"line {number}: {name}: expected 3 cells (name, type, note)")
                continue
            platform_list, failure_list, note = [], [], cells[2]
            type_cell = cells[1]
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
        row = Row(name, platform_list, failure_list, note, number)
        if groups[-1].kind == "values":
            row.kind = type_cell
        groups[-1].rows.append(row)
    errors.extend(f"{group.title}: no table under the heading" for group in groups if group.kind is None)
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
    """The reference text; raises ReferenceError_ naming each name without a
    row and each row whose name the module lacks."""
    names = public_names(module)
    described = [row.name for group in groups for row in group.rows]
    problems = []
    missing = [name for name in names if name not in set(described)]
    if missing:
        problems.append("no row in docs/reference.md for: " + ", ".join(missing))
    stale = [name for name in described if name not in set(names)]
    if stale:
        problems.append("a row in docs/reference.md for a name the module lacks: " + ", ".join(stale))
    if problems:
        raise ReferenceError_("\n".join(problems))
    out = [HEADER]
    for group in groups:
        rows = group.rows
        out.append(f"\n## {group.title}\n\n")
        out.append(TABLE_HEADS[group.kind])
        if group.kind == "functions":
            out.append("|---|---|---|---|\n")
            for row in rows:
                value = lookup(module, row.name)
                signature = signature_text(row.name, value) or row.name
                if isinstance(value, type) and special_methods(value):
                    signature += " — " + ", ".join(special_methods(value))
                out.append(f"| `{cell(signature)}` | {cell(first_doc_line(value))} | "
                           f"{' '.join(row.platforms) or '—'} | {cell(failure_cell(row))} |\n")
        else:
            out.append("|---|---|---|\n")
            for row in rows:
                kind = type(lookup(module, row.name))
                shown = f"`{kind.__name__}`" if kind.__module__ == "builtins" else row.kind
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
        with open(REFERENCE, "w", encoding="utf-8") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
