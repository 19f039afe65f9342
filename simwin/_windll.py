"""The Windows side of ``ctypes``: ``windll``, ``WinDLL``, ``WinError`` and
``GetLastError``, with the few system functions that get called."""

import ctypes
import os

from . import _state
from ._errors import message, to_errno, _class_for

LIBRARIES = ("user32", "shell32", "kernel32", "ole32", "ws2_32", "winmm",
             "gdi32", "advapi32", "odbc32", "msimg32", "setupapi", "crypt32",
             "netapi32")

FILE_ATTRIBUTE_DIRECTORY = 0x10
FILE_ATTRIBUTE_ARCHIVE = 0x20
FILE_ATTRIBUTE_NORMAL = 0x80
INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF
# What SetFileAttributesW sets: read-only, hidden, system, archive, normal,
# temporary, offline and not-content-indexed. The other bits (directory,
# compressed, encrypted...) are ignored.
SETTABLE_ATTRIBUTES = 0x1 | 0x2 | 0x4 | 0x20 | 0x80 | 0x100 | 0x1000 | 0x2000


def _not_found(name):
    return FileNotFoundError(
        "Could not find module '%s' (or one of its dependencies). "
        "Try using the full path with constructor syntax." % (name,))


def _base_name(name):
    base = os.path.basename(name.replace("\\", "/")).lower()
    root, ext = os.path.splitext(base)
    return root if ext in (".dll", ".drv", "") else base


# -- argument conversion as ctypes does it without argtypes ----------------

def _arg_error(pos, exc_type, text):
    return ctypes.ArgumentError("argument %d: %s: %s"
                                % (pos, exc_type.__name__, text))


def _wide_string(pos, value):
    if isinstance(value, bytes):
        # ctypes passes a char pointer, which the function reads as UTF-16
        # up to the first null character.
        data = value + b"\0\0\0"
        return data[:len(data) // 2 * 2].decode("utf-16-le", "surrogatepass").split("\0", 1)[0]
    if not isinstance(value, str):
        raise _arg_error(pos, TypeError,
                         "Don't know how to convert parameter %d" % pos)
    return value


def _dword(pos, value):
    """A C long on Windows: 32 bits, accepted signed or unsigned."""
    if not isinstance(value, int):
        raise _arg_error(pos, TypeError,
                         "Don't know how to convert parameter %d" % pos)
    if not -2**31 <= value < 2**32:
        raise _arg_error(pos, OverflowError, "int too long to convert")
    return value & 0xFFFFFFFF


def _pointer_or_int(pos, value):
    if value is None or isinstance(value, (int, str, bytes, ctypes._SimpleCData,
                                           ctypes.Array, ctypes.Structure)):
        return value
    raise _arg_error(pos, TypeError,
                     "Don't know how to convert parameter %d" % pos)


# -- the functions ----------------------------------------------------------

def _attributes_key(path):
    return os.path.abspath(path)


def _missing_path_error(path):
    if not path:
        return 3
    parent = os.path.dirname(os.path.abspath(path))
    return 2 if os.path.isdir(parent) else 3


def _file_name(pos, value):
    """A path argument: ctypes passes None as a null pointer."""
    return "" if value is None else _wide_string(pos, value)


def GetCurrentDirectoryW(nBufferLength, lpBuffer):
    size = _dword(1, nBufferLength)
    cwd = os.getcwd()
    if len(cwd) + 1 > size:
        return len(cwd) + 1
    if not (isinstance(lpBuffer, ctypes.Array) and lpBuffer._type_ is ctypes.c_wchar):
        raise _arg_error(2, TypeError, "Don't know how to convert parameter 2")
    lpBuffer.value = cwd
    return len(cwd)


def _denied(function, path):
    """True (with ERROR_ACCESS_DENIED as the last error) when the machine
    refuses `function` on `path`."""
    if (function, _attributes_key(path)) in _state.machine().access_denied:
        _state.set_last_error(5)
        return True
    return False


def GetFileAttributesW(lpFileName):
    path = _file_name(1, lpFileName)
    if not path or not os.path.exists(path):
        _state.set_last_error(_missing_path_error(path))
        return INVALID_FILE_ATTRIBUTES
    if _denied("GetFileAttributesW", path):
        return INVALID_FILE_ATTRIBUTES
    folder = os.path.isdir(path)
    attrs = _state.machine().file_attributes.get(_attributes_key(path))
    if attrs is None:
        return FILE_ATTRIBUTE_DIRECTORY if folder else FILE_ATTRIBUTE_ARCHIVE
    if folder:
        return FILE_ATTRIBUTE_DIRECTORY | attrs & ~FILE_ATTRIBUTE_NORMAL
    return attrs or FILE_ATTRIBUTE_NORMAL  # a DWORD; the default c_int restype makes it signed


def SetFileAttributesW(lpFileName, dwFileAttributes):
    path = _file_name(1, lpFileName)
    attrs = _dword(2, dwFileAttributes)
    if not path or not os.path.exists(path):
        _state.set_last_error(_missing_path_error(path))
        return 0
    if _denied("SetFileAttributesW", path):
        return 0
    attrs &= SETTABLE_ATTRIBUTES
    if attrs != FILE_ATTRIBUTE_NORMAL:
        # "Normal" means no other attribute: beside others it is dropped.
        attrs &= ~FILE_ATTRIBUTE_NORMAL
    _state.machine().file_attributes[_attributes_key(path)] = attrs
    return 1


# SHChangeNotify's event bits and flags (shlobj_core.h), for the report.
SHCNE_BITS = (
    (0x00000001, "SHCNE_RENAMEITEM"), (0x00000002, "SHCNE_CREATE"), (0x00000004, "SHCNE_DELETE"),
    (0x00000008, "SHCNE_MKDIR"), (0x00000010, "SHCNE_RMDIR"), (0x00000020, "SHCNE_MEDIAINSERTED"),
    (0x00000040, "SHCNE_MEDIAREMOVED"), (0x00000080, "SHCNE_DRIVEREMOVED"), (0x00000100, "SHCNE_DRIVEADD"),
    (0x00000200, "SHCNE_NETSHARE"), (0x00000400, "SHCNE_NETUNSHARE"), (0x00000800, "SHCNE_ATTRIBUTES"),
    (0x00001000, "SHCNE_UPDATEDIR"), (0x00002000, "SHCNE_UPDATEITEM"), (0x00004000, "SHCNE_SERVERDISCONNECT"),
    (0x00008000, "SHCNE_UPDATEIMAGE"), (0x00010000, "SHCNE_DRIVEADDGUI"), (0x00020000, "SHCNE_RENAMEFOLDER"),
    (0x00040000, "SHCNE_FREESPACE"), (0x04000000, "SHCNE_EXTENDED_EVENT"), (0x08000000, "SHCNE_ASSOCCHANGED"),
)
SHCNE_ALLEVENTS = 0x7FFFFFFF
# The low byte of the flags says what dwItem1 and dwItem2 are.
SHCNF_TYPE = 0x00FF
SHCNF_TYPES = {0x0000: "SHCNF_IDLIST", 0x0001: "SHCNF_PATHA", 0x0002: "SHCNF_PRINTERA",
               0x0003: "SHCNF_DWORD", 0x0005: "SHCNF_PATHW", 0x0006: "SHCNF_PRINTERW"}
# SHCNF_FLUSHNOWAIT includes SHCNF_FLUSH's bit, so it is matched first.
SHCNF_BITS = ((0x3000, "SHCNF_FLUSHNOWAIT"), (0x1000, "SHCNF_FLUSH"), (0x10000, "SHCNF_NOTIFYRECURSIVE"))


def _names(value, bits):
    names = []
    for bit, name in bits:
        if value & bit == bit:
            names.append(name)
            value &= ~bit
    if value:
        names.append(hex(value))
    return names


def describe_notification_event(event):
    """The SHCNE_ names of an event word, e.g. ['SHCNE_ASSOCCHANGED']."""
    return ["SHCNE_ALLEVENTS"] if event == SHCNE_ALLEVENTS else _names(event, SHCNE_BITS)


def describe_notification_flags(flags):
    """The SHCNF_ names of a flags word: the item type (named unless it is
    the default SHCNF_IDLIST beside other flags), then the other flags."""
    kind = flags & SHCNF_TYPE
    names = _names(flags & ~SHCNF_TYPE, SHCNF_BITS)
    if kind or not names:
        names.insert(0, SHCNF_TYPES.get(kind, hex(kind)))
    return names


def SHChangeNotify(wEventId, uFlags, dwItem1, dwItem2):
    call = (_dword(1, wEventId), _dword(2, uFlags),
            _pointer_or_int(3, dwItem1), _pointer_or_int(4, dwItem2))
    _state.machine().notifications.append(call)
    return 0


def SetSystemCursor(hcur, id):
    """Replace a system cursor.  The system takes over (and later destroys)
    the cursor handle, so a handle works only once; an unknown handle fails
    with ERROR_INVALID_HANDLE as the last error."""
    machine = _state.machine()
    handle = _pointer_or_int(1, hcur)
    if isinstance(handle, ctypes._SimpleCData):
        handle = handle.value
    image = machine.images.pop(handle, None)
    if image is None:
        _state.set_last_error(6)
        return 0
    machine.cursor = (image[0], _dword(2, id))
    return 1


EXPORTS = {
    "user32": {"SetSystemCursor": SetSystemCursor},
    "kernel32": {f.__name__: f for f in (GetCurrentDirectoryW,
                                         GetFileAttributesW,
                                         SetFileAttributesW)},
    "shell32": {"SHChangeNotify": SHChangeNotify},
}


class _Function:
    """A foreign function: int result by default, restype honoured."""

    def __init__(self, name, impl):
        self.__name__ = name
        self._impl = impl
        self.argtypes = None
        self.restype = ctypes.c_int
        self.errcheck = None

    def __call__(self, *args):
        result = self._impl(*args)
        if self.restype is None:
            result = None
        elif isinstance(self.restype, type) and issubclass(self.restype, ctypes._SimpleCData):
            result = self.restype(result).value
        if self.errcheck is not None:
            result = self.errcheck(result, self, args)
        return result

    def __repr__(self):
        return "<_FuncPtr object at %#x>" % id(self)


class WinDLL:
    """A loaded system library exposing the functions the machine simulates."""

    def __init__(self, name, mode=0, handle=None, use_errno=False,
                 use_last_error=False, winmode=None):
        machine = _state.machine()
        base = _base_name(name)
        if os.path.dirname(name.replace("\\", "/")):
            found = os.path.isfile(name) and _inside(name, machine.system32)
        else:
            found = base in LIBRARIES
        if not found or base in machine.missing_libraries:
            raise _not_found(name)
        self._name = name
        self._base = base
        self._handle = 0x7FF800000000 + (hash(base) & 0xFFFF) * 0x10000

    def __getattr__(self, name):
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(name)
        func = self[name]
        setattr(self, name, func)
        return func

    def __getitem__(self, name):
        impl = EXPORTS.get(self._base, {}).get(name)
        if impl is None:
            raise AttributeError("function '%s' not found" % (name,))
        return _Function(name, impl)

    def __repr__(self):
        return "<WinDLL '%s', handle %x at %#x>" % (self._name, self._handle, id(self))


def _inside(path, folder):
    path = os.path.realpath(path)
    folder = os.path.realpath(folder)
    return os.path.commonpath([path, folder]) == folder


def make_windll():
    return ctypes.LibraryLoader(WinDLL)


def GetLastError():
    return _state.get_last_error()


def WinError(code=None, descr=None):
    if code is None:
        code = GetLastError()
    if descr is None:
        descr = message(code).strip()
    err = to_errno(code)
    exc = _class_for(type(OSError(err, descr)))(err, descr)
    exc.winerror = code
    return exc
