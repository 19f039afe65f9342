"""In-memory registry tree behind the simulated ``winreg`` module.

Keys are looked up without regard to case (the stored spelling is kept for
display); sub-keys enumerate in name order like the real registry, values in
the order they were first written.  ``Registry`` also carries the helpers that
tests use to arrange and inspect the state, and the log of changes made
through ``winreg``.
"""

import time

HKEY_CLASSES_ROOT = 0x80000000
HKEY_CURRENT_USER = 0x80000001
HKEY_LOCAL_MACHINE = 0x80000002
HKEY_USERS = 0x80000003
HKEY_PERFORMANCE_DATA = 0x80000004
HKEY_CURRENT_CONFIG = 0x80000005

ROOT_NAMES = {
    HKEY_CLASSES_ROOT: "HKEY_CLASSES_ROOT",
    HKEY_CURRENT_USER: "HKEY_CURRENT_USER",
    HKEY_LOCAL_MACHINE: "HKEY_LOCAL_MACHINE",
    HKEY_USERS: "HKEY_USERS",
    HKEY_CURRENT_CONFIG: "HKEY_CURRENT_CONFIG",
}

TYPE_NAMES = {0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY",
              4: "REG_DWORD", 5: "REG_DWORD_BIG_ENDIAN", 6: "REG_LINK",
              7: "REG_MULTI_SZ", 11: "REG_QWORD"}

_EPOCH_1601 = 11644473600  # seconds between 1601-01-01 and 1970-01-01


def filetime_now():
    return int((time.time() + _EPOCH_1601) * 10_000_000)


def split_path(path):
    """Components of a key path; backslash separated, empty parts ignored."""
    if not path:
        return []
    return [part for part in path.split("\\") if part]


class Key:
    __slots__ = ("name", "parent", "children", "values", "readonly",
                 "deleted", "modified")

    def __init__(self, name, parent=None):
        self.name = name
        self.parent = parent
        self.children = {}      # lower-case name -> Key
        self.values = {}        # lower-case name -> [name, data, type]
        self.readonly = None    # None: inherit from the parent
        self.deleted = False
        self.modified = filetime_now()

    @property
    def path(self):
        parts = []
        key = self
        while key is not None:
            parts.append(key.name)
            key = key.parent
        return "\\".join(reversed(parts))

    def is_readonly(self):
        key = self
        while key is not None:
            if key.readonly is not None:
                return key.readonly
            key = key.parent
        return False

    def child(self, name):
        return self.children.get(name.lower())

    def add_child(self, name):
        key = Key(name, self)
        self.children[name.lower()] = key
        self.touch()
        return key

    def sorted_children(self):
        return sorted(self.children.values(), key=lambda k: k.name.upper())

    def touch(self):
        self.modified = filetime_now()


class Registry:
    def __init__(self):
        self.roots = {hkey: Key(name) for hkey, name in ROOT_NAMES.items()}
        self.changes = []   # (action, key path, value name, data, type)
        self.handles = {}   # open winreg handles: value -> (key, access)
        self.dropped_handles = 0  # handles closed only when their object went away

    # -- lookups shared with winreg -------------------------------------

    def root(self, hkey):
        return self.roots.get(hkey)

    @staticmethod
    def walk(key, path):
        """The key at ``path`` below ``key``, or None."""
        for part in split_path(path):
            key = key.child(part)
            if key is None:
                return None
        return key

    def record(self, action, key, name=None, data=None, typ=None):
        self.changes.append((action, key.path, name, data, typ))

    # -- helpers for tests ----------------------------------------------

    def open_handles(self):
        """How many handles winreg opened that are still open."""
        return len(self.handles)

    def _root(self, hkey):
        key = self.root(hkey)
        if key is None:
            raise ValueError("not a predefined registry key: %r" % (hkey,))
        return key

    def _key(self, hkey, path):
        key = self.walk(self._root(hkey), path)
        if key is None:
            raise KeyError("%s\\%s" % (ROOT_NAMES[hkey], path))
        return key

    def create(self, hkey, path):
        """Make sure the key exists (not logged as a change)."""
        key = self._root(hkey)
        for part in split_path(path):
            key = key.child(part) or key.add_child(part)
        return key

    def put(self, hkey, path, name, data, typ):
        """Store a value without going through winreg (not logged)."""
        key = self.create(hkey, path)
        key.values[(name or "").lower()] = [name or "", data, typ]

    def remove(self, hkey, path):
        """Remove a key with all its sub-keys (not logged)."""
        key = self._key(hkey, path)
        if key.parent is None:
            raise ValueError("cannot remove a root key")
        del key.parent.children[key.name.lower()]
        _mark_deleted(key)

    def key_exists(self, hkey, path):
        return self.walk(self._root(hkey), path) is not None

    def subkeys(self, hkey, path=""):
        return [k.name for k in self._key(hkey, path).sorted_children()]

    def values(self, hkey, path=""):
        """{name: (data, type)} of one key."""
        key = self._key(hkey, path)
        return {n: (d, t) for n, d, t in key.values.values()}

    def value(self, hkey, path, name=""):
        """(data, type) of one value; KeyError when the key or value is missing."""
        key = self._key(hkey, path)
        try:
            _, data, typ = key.values[(name or "").lower()]
        except KeyError:
            raise KeyError("%s\\%s: value %r" % (ROOT_NAMES[hkey], path, name))
        return data, typ

    def set_readonly(self, hkey, path, flag=True):
        """Refuse (or allow again) writes to a key and the keys below it."""
        self._key(hkey, path).readonly = bool(flag)


def _mark_deleted(key):
    key.deleted = True
    for child in key.children.values():
        _mark_deleted(child)


def populate(registry):
    """The few keys a fresh Windows 10 user session already has."""
    desktop = r"Software\Microsoft\Windows\Shell\Bags\1\Desktop"
    for name, data in (("FFlags", 0x40200225), ("IconSize", 48),
                       ("LogicalViewMode", 3), ("Mode", 1)):
        registry.put(HKEY_CURRENT_USER, desktop, name, data, 4)
    advanced = r"Software\Microsoft\Windows\CurrentVersion\Explorer\Advanced"
    for name, data in (("HideFileExt", 1), ("HideIcons", 0), ("Hidden", 2)):
        registry.put(HKEY_CURRENT_USER, advanced, name, data, 4)
    registry.put(HKEY_CLASSES_ROOT, ".txt", "", "txtfile", 1)
    registry.put(HKEY_CLASSES_ROOT, "txtfile", "", "Text Document", 1)
    current = r"SOFTWARE\Microsoft\Windows NT\CurrentVersion"
    registry.put(HKEY_LOCAL_MACHINE, current, "ProductName", "Windows 10 Pro", 1)
    registry.put(HKEY_LOCAL_MACHINE, current, "CurrentBuild", "19045", 1)
