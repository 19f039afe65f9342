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
    folders = {"core", "module", "files", "desktop", "digest", "numeric", "servers", "system", "association"}
    assert {path.parent.name for path in SRC.rglob("*.[ch]pp")} <= folders
    assert not list(SRC.glob("*.[ch]pp"))
