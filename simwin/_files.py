"""Lines of a text file, and what a run added to or removed from them."""

import collections

# The list of default applications that velka_code's Linux branch keeps.
MIMEAPPS = "~/.local/share/applications/mimeapps.list"


def read_lines(path):
    """The file's lines without their line ends; [] for a missing file, or
    one that cannot be read (a report never fails on it)."""
    try:
        with open(path, encoding="utf-8", errors="replace", newline="") as f:
            return f.read().splitlines()
    except OSError:
        return []


def line_changes(before, after):
    """(added, removed): the lines of ``after`` beyond those of ``before``
    and the lines of ``before`` that ``after`` lacks, each in file order; a
    line that occurs twice counts twice."""
    return _beyond(after, before), _beyond(before, after)


def _beyond(lines, others):
    left = collections.Counter(others)
    extra = []
    for line in lines:
        if left[line]:
            left[line] -= 1
        else:
            extra.append(line)
    return extra
