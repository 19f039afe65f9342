"""Stand-in for the ``winreg`` module, working on the simulated registry.

Argument checking, access rights and the errors raised follow the Windows
build of CPython: failures surface as ``OSError`` subclasses carrying
``winerror`` (2 for a missing key or value, 5 for refused access, 6 for a
closed handle, 87 for a name longer than the registry allows, 259 at the end
of an enumeration).
"""

import weakref

from . import _state
from ._errors import win_oserror
from ._registry import (HKEY_CLASSES_ROOT, HKEY_CURRENT_USER,  # noqa: F401
                        HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_PERFORMANCE_DATA,
                        HKEY_CURRENT_CONFIG, split_path)

error = OSError

KEY_QUERY_VALUE = 0x0001
KEY_SET_VALUE = 0x0002
KEY_CREATE_SUB_KEY = 0x0004
KEY_ENUMERATE_SUB_KEYS = 0x0008
KEY_NOTIFY = 0x0010
KEY_CREATE_LINK = 0x0020
KEY_WOW64_64KEY = 0x0100
KEY_WOW64_32KEY = 0x0200
KEY_READ = 0x20019
KEY_WRITE = 0x20006
KEY_EXECUTE = 0x20019
KEY_ALL_ACCESS = 0xF003F

REG_NONE = 0
REG_SZ = 1
REG_EXPAND_SZ = 2
REG_BINARY = 3
REG_DWORD = 4
REG_DWORD_LITTLE_ENDIAN = 4
REG_DWORD_BIG_ENDIAN = 5
REG_LINK = 6
REG_MULTI_SZ = 7
REG_RESOURCE_LIST = 8
REG_FULL_RESOURCE_DESCRIPTOR = 9
REG_RESOURCE_REQUIREMENTS_LIST = 10
REG_QWORD = 11
REG_QWORD_LITTLE_ENDIAN = 11

_DELETE = 0x10000
# Rights that change the key: refused on a read-only key.
_WRITE_RIGHTS = (KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | _DELETE
                 | 0x40000 | 0x80000)
_GENERIC = ((0x80000000, KEY_READ), (0x40000000, KEY_WRITE),
            (0x20000000, KEY_EXECUTE), (0x10000000, KEY_ALL_ACCESS))
_MAXIMUM_ALLOWED = 0x02000000
# The longest key name (one path component) and value name the registry
# takes; CPython's EnumKey buffer leaves room for the 256th character.
_KEY_NAME_LIMIT = 256
_VALUE_NAME_LIMIT = 16383


def _registry():
    return _state.machine().registry


class _Handle:
    """One open key: what the Windows handle table would hold."""
    __slots__ = ("key", "access")

    def __init__(self, key, access):
        self.key = key
        self.access = access


_next_handle = [0x1A4]


def _handles():
    """The open handles of the active machine: handle value -> _Handle."""
    return _registry().handles


def open_handle_count():
    """How many keys opened through this module are still open."""
    return len(_handles())


def _new_handle(key, access):
    value = _next_handle[0]
    _next_handle[0] += 4
    _handles()[value] = _Handle(key, access)
    return HKEYType._open(value)


def _closed_by_deallocation(cell):
    """PyHKEY's deallocator closes a handle still open; the registry counts
    those so that tests can tell them from Close()."""
    machine = _state.active
    if machine is not None and cell[0] and machine.registry.handles.pop(cell[0], None) is not None:
        machine.registry.dropped_handles += 1


class HKEYType:
    """A registry handle, closed by Close(), CloseKey() or a with block.
    Only winreg's functions make one, as with the real type."""

    __slots__ = ("_cell", "__weakref__")

    def __new__(cls):
        raise TypeError("cannot create 'winreg.PyHKEY' instances")

    @classmethod
    def _open(cls, value):
        handle = object.__new__(cls)
        # The value lives in a cell that the finalizer shares, so that the
        # object itself is not kept alive by it.
        handle._cell = [value]
        weakref.finalize(handle, _closed_by_deallocation, handle._cell)
        return handle

    @property
    def _value(self):
        return self._cell[0]

    @property
    def handle(self):
        return self._cell[0]

    def Close(self):
        if self._cell[0]:
            _handles().pop(self._cell[0], None)
        self._cell[0] = 0

    def Detach(self):
        value, self._cell[0] = self._cell[0], 0
        return value

    def __int__(self):
        return self._cell[0]

    def __bool__(self):
        return self._cell[0] != 0

    def __hash__(self):
        return id(self)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, traceback, /):
        self.Close()
        return False

    def __repr__(self):
        return "<PyHKEY at %#x (%#x)>" % (id(self), self._cell[0])

    __str__ = __repr__


HKEYType.__module__ = "winreg"
HKEYType.__name__ = HKEYType.__qualname__ = "PyHKEY"


def _open_handle(key, deleted_ok=False):
    """The _Handle behind a key argument (predefined int, handle object, int).
    A handle to a deleted key is refused unless `deleted_ok`: the caller
    then checks its other arguments first, as Windows does."""
    if isinstance(key, HKEYType):
        value = key._value
    elif isinstance(key, int):
        value = key
    else:
        raise TypeError("The object is not a PyHKEY object")
    root = _registry().root(value)
    if root is not None:
        # Predefined handles carry whatever the key's security allows.
        return _Handle(root, KEY_READ if root.is_readonly() else KEY_ALL_ACCESS)
    handle = _handles().get(value)
    if handle is None:
        raise win_oserror(6)
    if not deleted_ok:
        _alive(handle)
    return handle


def _alive(handle):
    if handle.key.deleted:
        raise win_oserror(1018)


def _value_name(name, error):
    """Refuses a value name longer than the registry allows (with `error`)."""
    if len(name) > _VALUE_NAME_LIMIT:
        raise win_oserror(error)


def _text_arg(func, pos, value, none_ok=True):
    if value is None and none_ok:
        return ""
    if not isinstance(value, str):
        raise TypeError("%s() argument %d must be str%s, not %s" % (
            func, pos, " or None" if none_ok else "",
            "None" if value is None else type(value).__name__))
    if "\0" in value:
        raise ValueError("embedded null character")
    return value


def _check_path(sub_key):
    """Refuses a sub-key path that Windows refuses before looking anything up."""
    if sub_key.startswith("\\"):
        raise win_oserror(161)
    if any(len(part) > _KEY_NAME_LIMIT for part in split_path(sub_key)):
        raise win_oserror(87)


def _int_arg(func, pos, value):
    if not isinstance(value, int):
        raise TypeError("%s() argument %d must be int, not %s"
                        % (func, pos, type(value).__name__))
    return value


def _effective(access, key):
    """Turn generic and MAXIMUM_ALLOWED bits into specific key rights."""
    for bit, rights in _GENERIC:
        if access & bit:
            access = (access & ~bit) | rights
    if access & _MAXIMUM_ALLOWED:
        access &= ~_MAXIMUM_ALLOWED
        access |= KEY_READ if key.is_readonly() else KEY_ALL_ACCESS
    return access & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY)


def _grant(key, access):
    access = _effective(access, key)
    if access & _WRITE_RIGHTS and key.is_readonly():
        raise win_oserror(5)
    return access


def _find(start, sub_key):
    _check_path(sub_key)
    key = _registry().walk(start, sub_key)
    if key is None:
        raise win_oserror(2)
    return key


def _need(handle, right):
    # What a handle may do was settled when it was opened, as Windows checks
    # a key's security then; the predefined keys are opened at each use.
    # The rights are checked as the handle is taken, before the key is
    # looked at: a handle without them is refused, deleted key or not.
    if not handle.access & right:
        raise win_oserror(5)
    if handle.key.deleted:
        raise win_oserror(1018)


def _create_path(handle, sub_key):
    """Open or create every component of sub_key; the last Key is returned.
    Creating is checked against the parent key's security, not against
    the rights the handle was opened with: a KEY_READ handle creates too."""
    _check_path(sub_key)
    key = handle.key
    registry = _registry()
    for part in split_path(sub_key):
        child = key.child(part)
        if child is None:
            if key.is_readonly():
                raise win_oserror(5)
            child = key.add_child(part)
            registry.record("create key", child)
        key = child
    return key


# -- values ----------------------------------------------------------------

def _to_registry(value, typ):
    """Check and convert value as CPython's Py2Reg does; returns what a
    query gives back later."""
    def bad():
        return ValueError("Could not convert the data to the specified type.")
    if typ in (REG_DWORD, REG_QWORD):
        if value is None:
            return 0
        if not isinstance(value, int):
            raise bad()
        limit = 0xFFFFFFFF if typ == REG_DWORD else 0xFFFFFFFFFFFFFFFF
        if value < 0:
            raise OverflowError("can't convert negative int to unsigned")
        if value > limit:
            raise OverflowError("Python int too large to convert to C unsigned %s"
                                % ("long" if typ == REG_DWORD else "long long"))
        return int(value)
    if typ in (REG_SZ, REG_EXPAND_SZ):
        if value is None:
            return ""
        if not isinstance(value, str):
            raise bad()
        return value.split("\0", 1)[0]
    if typ == REG_MULTI_SZ:
        if value is None:
            return []
        if not isinstance(value, list) or not all(isinstance(s, str) for s in value):
            raise bad()
        return list(value)
    if value is None:
        return None
    try:
        data = bytes(memoryview(value))
    except TypeError:
        raise TypeError("Objects of type '%s' can not be used as binary "
                        "registry values" % type(value).__name__) from None
    return data or None


def _from_registry(data, typ):
    if isinstance(data, list):
        # Reading a REG_MULTI_SZ stops at its first empty string, which
        # Windows stores like the list's end.
        return data[:data.index("")] if "" in data else list(data)
    return data


def _store(key, name, data, typ):
    # A value written again under another spelling keeps its first one.
    old = key.values.get(name.lower())
    name = old[0] if old else name
    key.values[name.lower()] = [name, data, typ]
    key.touch()
    _registry().record("set value", key, name, data, typ)


# -- the winreg functions ----------------------------------------------------

def CloseKey(hkey, /):
    if isinstance(hkey, HKEYType):
        hkey.Close()
    elif isinstance(hkey, int):
        # RegCloseKey on a number: a predefined key stays open, a number that
        # names no open key is an invalid handle.
        if _registry().root(hkey) is None and _handles().pop(hkey, None) is None:
            raise win_oserror(6)
    else:
        raise TypeError("The object is not a PyHKEY object")


def OpenKey(key, sub_key, reserved=0, access=KEY_READ):
    sub_key = _text_arg("OpenKey", 2, sub_key)
    _int_arg("OpenKey", 3, reserved)
    _int_arg("OpenKey", 4, access)
    target = _find(_open_handle(key).key, sub_key)
    return _new_handle(target, _grant(target, access))


def OpenKeyEx(key, sub_key, reserved=0, access=KEY_READ):
    return OpenKey(key, sub_key, reserved, access)


def CreateKey(key, sub_key, /):
    sub_key = _text_arg("CreateKey", 2, sub_key)
    target = _create_path(_open_handle(key), sub_key)
    return _new_handle(target, _effective(_MAXIMUM_ALLOWED, target))


def CreateKeyEx(key, sub_key, reserved=0, access=KEY_WRITE):
    sub_key = _text_arg("CreateKeyEx", 2, sub_key)
    _int_arg("CreateKeyEx", 3, reserved)
    _int_arg("CreateKeyEx", 4, access)
    if reserved:
        raise win_oserror(87)
    handle = _open_handle(key)
    _check_path(sub_key)
    existing = _registry().walk(handle.key, sub_key)
    if existing is not None:
        return _new_handle(existing, _grant(existing, access))
    target = _create_path(handle, sub_key)
    return _new_handle(target, _grant(target, access))


def DeleteKey(key, sub_key, /):
    sub_key = _text_arg("DeleteKey", 2, sub_key, none_ok=False)
    handle = _open_handle(key)
    # The handle's own rights do not matter: Windows opens the key to delete
    # anew, asking for DELETE.
    target = _find(handle.key, sub_key) if split_path(sub_key) else handle.key
    parent = target.parent
    # Roots, keys with sub-keys and protected keys all give "access denied";
    # the parent's protection does not matter, only the key's own DELETE right.
    if parent is None or target.children or target.is_readonly():
        raise win_oserror(5)
    del parent.children[target.name.lower()]
    parent.touch()
    target.deleted = True
    _registry().record("delete key", target)


def DeleteKeyEx(key, sub_key, access=KEY_WOW64_64KEY, reserved=0):
    _int_arg("DeleteKeyEx", 3, access)
    _int_arg("DeleteKeyEx", 4, reserved)
    DeleteKey(key, sub_key)


def DeleteValue(key, value, /):
    value = _text_arg("DeleteValue", 2, value)
    handle = _open_handle(key, deleted_ok=True)
    _value_name(value, 2)  # no value has such a name
    _need(handle, KEY_SET_VALUE)
    entry = handle.key.values.pop(value.lower(), None)
    if entry is None:
        raise win_oserror(2)
    handle.key.touch()
    _registry().record("delete value", handle.key, entry[0])


def SetValue(key, sub_key, type, value, /):
    sub_key = _text_arg("SetValue", 2, sub_key)
    _int_arg("SetValue", 3, type)
    if not isinstance(value, str):
        _text_arg("SetValue", 4, value, none_ok=False)
    if type != REG_SZ:
        raise TypeError("type must be winreg.REG_SZ")
    handle = _open_handle(key, deleted_ok=True)
    if split_path(sub_key):
        _alive(handle)
        target = _create_path(handle, sub_key)
        if target.is_readonly():
            raise win_oserror(5)
    else:
        _need(handle, KEY_SET_VALUE)
        target = handle.key
    _store(target, "", value.split("\0", 1)[0], REG_SZ)


def SetValueEx(key, value_name, reserved, type, value, /):
    value_name = _text_arg("SetValueEx", 2, value_name)
    _int_arg("SetValueEx", 4, type)
    data = _to_registry(value, type)
    handle = _open_handle(key, deleted_ok=True)
    _value_name(value_name, 87)
    _need(handle, KEY_SET_VALUE)
    _store(handle.key, value_name, data, type)


def QueryValue(key, sub_key, /):
    sub_key = _text_arg("QueryValue", 2, sub_key)
    handle = _open_handle(key, deleted_ok=True)
    if split_path(sub_key):
        _alive(handle)
        target = _find(handle.key, sub_key)
    else:
        _need(handle, KEY_QUERY_VALUE)
        target = handle.key
    entry = target.values.get("")
    if entry is None:
        return ""
    if entry[2] != REG_SZ:
        raise win_oserror(13)
    return entry[1]


def QueryValueEx(key, name, /):
    name = _text_arg("QueryValueEx", 2, name)
    handle = _open_handle(key, deleted_ok=True)
    _value_name(name, 2)  # no value has such a name
    _need(handle, KEY_QUERY_VALUE)
    entry = handle.key.values.get(name.lower())
    if entry is None:
        raise win_oserror(2)
    return _from_registry(entry[1], entry[2]), entry[2]


def EnumKey(key, index, /):
    _int_arg("EnumKey", 2, index)
    handle = _open_handle(key, deleted_ok=True)
    _need(handle, KEY_ENUMERATE_SUB_KEYS)
    children = handle.key.sorted_children()
    if not 0 <= index < len(children):
        raise win_oserror(259)
    return children[index].name


def EnumValue(key, index, /):
    _int_arg("EnumValue", 2, index)
    handle = _open_handle(key, deleted_ok=True)
    _need(handle, KEY_QUERY_VALUE)
    entries = list(handle.key.values.values())
    if not 0 <= index < len(entries):
        raise win_oserror(259)
    name, data, typ = entries[index]
    return name, _from_registry(data, typ), typ


def QueryInfoKey(key, /):
    handle = _open_handle(key, deleted_ok=True)
    _need(handle, KEY_QUERY_VALUE)
    return len(handle.key.children), len(handle.key.values), handle.key.modified


def FlushKey(key, /):
    _open_handle(key)

