"""Cheap checks of the C++ sources' house rules."""

import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"


def test_references_are_released_only_in_core():
    # Outside the core types and the module frame's process-wide state,
    # every owned reference lives in a vk::Ref, so no path can leak it or
    # release it twice.
    pattern = re.compile(r"\bPy_(X?DECREF|CLEAR|X?SETREF)\b")
    offenders = [f"{path.relative_to(SRC)}:{number}"
                 for path in sorted(SRC.rglob("*.[ch]pp")) if path.parent.name not in ("core", "module")
                 for number, line in enumerate(path.read_text().splitlines(), 1) if pattern.search(line)]
    assert offenders == []


def test_every_source_file_is_in_a_subsystem_folder():
    folders = {"core", "module", "files", "desktop", "digest", "numeric", "servers", "system", "association",
               "display"}
    assert {path.parent.name for path in SRC.rglob("*.[ch]pp")} <= folders
    assert not list(SRC.glob("*.[ch]pp"))


INCLUDE = re.compile(r'^#include "(\w+)/')


def test_dependencies_point_from_the_module_to_the_subsystems():
    # The core serves everyone; a subsystem uses the core and its own
    # folder; only the module folder assembles the subsystems.
    offenders = []
    for path in sorted(SRC.rglob("*.[ch]pp")):
        folder = path.parent.name
        allowed = {"core"} if folder == "core" else None if folder == "module" else {"core", folder}
        for number, line in enumerate(path.read_text().splitlines(), 1):
            match = INCLUDE.match(line)
            if match and allowed is not None and match.group(1) not in allowed:
                offenders.append(f"{path.relative_to(SRC)}:{number}: {line}")
    assert offenders == []


NAMESPACE = re.compile(r"^namespace vk::(\w+)", re.M)


def test_each_subsystem_declares_the_namespace_its_folder_names():
    offenders = [f"{path.relative_to(SRC)}: vk::{name}"
                 for path in sorted(SRC.rglob("*.[ch]pp")) if path.parent.name not in ("core", "module")
                 for name in NAMESPACE.findall(path.read_text()) if name != path.parent.name]
    assert offenders == []


def test_each_source_file_holds_one_job_it_names_first():
    # A file grows past 400 lines when it takes on a second job; the first
    # line says what the one it has is.
    sources = sorted(SRC.rglob("*.[ch]pp"))
    assert [f"{path.relative_to(SRC)}: {n} lines" for path in sources
            if (n := len(path.read_text().splitlines())) > 400] == []
    assert [str(path.relative_to(SRC)) for path in sources
            if not path.read_text().startswith("// ")] == []
