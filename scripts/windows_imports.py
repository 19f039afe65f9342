"""A pytest plugin that makes this interpreter import as the hosted Windows
runner's does (loaded with -p by scripts/windows-collect, before any test
module or conftest is imported).

The modules that exist only on POSIX systems cannot be imported at all, and
a package from outside the project imports only when the Windows wheel
workflow installs it: VK_WINDOWS_IMPORTABLE holds those import names as a
JSON list. What lies outside the folders packages are installed into (the
standard library, the project's own modules, PYTHONPATH) imports as usual.
"""

import importlib.machinery
import json
import os
import site
import sys

# Modules of the standard library that Windows builds of CPython lack.
# `pty` and `tty` go with termios; curses needs _curses.
POSIX_ONLY = ("pwd", "grp", "fcntl", "termios", "resource", "pty", "tty", "syslog", "readline", "_curses")


def normalized(path):
    return os.path.normcase(os.path.realpath(path))


def package_folders():
    folders = {*site.getsitepackages(), site.getusersitepackages()}
    folders.update(entry for entry in sys.path if os.path.basename(entry) in ("site-packages", "dist-packages"))
    return [normalized(folder) for folder in folders if folder]


class NotOnTheRunner:
    """Refuses a top-level import of an installed package that the workflow
    does not install."""

    def __init__(self, importable):
        self.importable = frozenset(importable)
        self.folders = package_folders()

    def installed(self, location):
        location = normalized(location)
        return any(os.path.commonpath([location, folder]) == folder for folder in self.folders)

    def find_spec(self, fullname, path=None, target=None):
        if path is not None or fullname in self.importable or fullname in sys.builtin_module_names:
            return None
        spec = importlib.machinery.PathFinder.find_spec(fullname)
        if spec is None:
            return None
        locations = [spec.origin] if spec.has_location and spec.origin else list(spec.submodule_search_locations or [])
        if not any(self.installed(location) for location in locations):
            return None
        raise ModuleNotFoundError(f"No module named {fullname!r} (the Windows wheel workflow does not install it)",
                                  name=fullname)


def install(importable):
    for name in POSIX_ONLY:
        # What `import pwd` meets on Windows: ModuleNotFoundError.
        sys.modules[name] = None
    sys.meta_path.insert(0, NotOnTheRunner(importable))


install(json.loads(os.environ["VK_WINDOWS_IMPORTABLE"]))
