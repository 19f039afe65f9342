"""Records the Win32 calls that the stand-ins receive, so that each sequence
can be replayed on a real Win32 and the two answers compared.

Nothing is recorded, and nothing costs anything, until ``enable()`` wraps
the stand-in functions (the registry, file attributes, the current folder,
the clipboard, the screen size and the cursor). Then ``begin(name)`` opens a
sequence and ``end()`` closes it; a sequence also ends where another machine
becomes active, since its state starts afresh.

A sequence is a list of steps, each a list: the call's name and its
arguments. Steps whose name starts with "@" set up the machine's state as it
was when the sequence began or as the caller changed it outside the
stand-ins: "@fresh" (a fresh machine's registry), "@key"/"@value" and
"@delkey"/"@delvalue" (differences from it, or changes a test made
through the Registry helpers), "@readonly" (a key whose security refuses
changes, or no longer does), "@clip"/"@clipopen" (the
clipboard), "@file"/"@dir"/"@none"/"@attrs" (a path slot: a file with
content, a folder, nothing there or nothing even at its parent, stored
attributes) and "@cwd" (a current folder longer than 260 characters or not).
An argument that is not plain JSON is a one-key object: {"r": i} the
object returned by step i, {"root": "HKCU"} a predefined key, {"b": hex}
bytes, {"p": slot} a path's text and {"P": slot} the path as an object,
{"cwd+": n} the current folder's length plus n, {"wbuf": n} a wide-character
buffer of that length, {"img": i} a c_void_p holding the image of step i.
A sequence that cannot be replayed (a simulated fault, an argument that
has no such form) carries the reason in "unreplayable".
"""

import atexit
import ctypes
import functools
import inspect
import json
import os
import threading
import weakref

from . import _state

_ROOTS = {0x80000001: "HKCU", 0x80000000: "HKCR"}
_OTHER_ROOTS = (0x80000002, 0x80000003, 0x80000004, 0x80000005)
# Beyond this the file is not copied into the sequence.
_CONTENT_LIMIT = 65536
# A sequence keeps its first calls only: beyond, a test mostly repeats them.
_STEP_LIMIT = 150

_local = threading.local()
_enabled = False
_current = None
_finished = []
_stream = None    # a child process's record file: each sequence is appended as it ends


class _Unreplayable(Exception):
    pass


class _Sequence:
    """The calls recorded on one machine. Made without a machine, it waits
    for the first call, and the state is taken then."""

    def __init__(self, name, machine):
        self.name = name
        self.machine = machine
        self.steps = []
        self.unreplayable = None
        self.results = weakref.WeakKeyDictionary()  # handle object -> step index
        self.numbers = {}       # detached handle number -> step index
        self.images = {}        # LoadImage handle -> step index
        self.slots = {}         # absolute path -> slot number
        self.seen = {}          # slot -> (kind, content) last set up
        self.long_cwd = None
        self.foreign_clipboard = False  # the clipboard held a memory handle
        if machine is not None:
            self.snapshot()

    def snapshot(self):
        from ._registry import Registry, populate
        fresh = Registry()
        populate(fresh)
        self.steps.append(["@fresh"])
        for hkey, root in _ROOTS.items():
            ours, theirs = _tree(self.machine.registry.root(hkey)), _tree(fresh.root(hkey))
            gone = set(theirs) - set(ours)
            for path in sorted(gone):
                if path.rpartition("\\")[0] not in gone:
                    self.steps.append(["@delkey", root, path])
            for path, values in ours.items():
                if path not in theirs:
                    self.steps.append(["@key", root, path])
                before = theirs.get(path, {})
                for lower, (name, data, typ) in values.items():
                    if before.get(lower) != (name, data, typ):
                        self.steps.append(["@value", root, path, name, typ, _plain(data)])
                for lower, (name, _, _) in before.items():
                    if lower not in values:
                        self.steps.append(["@delvalue", root, path, name])
            for path, flag in _protections(self.machine.registry.root(hkey)):
                self.steps.append(["@readonly", root, path, flag])
        board = self.machine.clipboard
        for fmt, data in board.data.items():
            if isinstance(data, (str, bytes)):
                self.steps.append(["@clip", fmt, _plain(data)])
            else:
                # Matters only if the sequence uses the clipboard.
                self.foreign_clipboard = True
        if board.is_open:
            self.steps.append(["@clipopen"])

    def faults(self):
        machine = self.machine
        board = machine.clipboard
        if board.held_by_other or board.fail_empty or board.fail_set:
            return "a clipboard made to fail"
        if machine.access_denied:
            return "file attribute calls made to fail"
        if machine.missing_libraries:
            return "a library made missing"
        return None

    # -- arguments --------------------------------------------------------

    def key(self, value):
        index = self.results.get(value) if _is_handle(value) else None
        if index is not None:
            return {"r": index}
        if isinstance(value, int) and not isinstance(value, bool):
            if value in _ROOTS:
                return {"root": _ROOTS[value]}
            if value in self.numbers:
                return {"r": self.numbers[value]}
            if value in _OTHER_ROOTS:
                raise _Unreplayable("a predefined key other than HKCU and HKCR")
            raise _Unreplayable("a handle number the sequence did not make")
        if _is_handle(value):
            raise _Unreplayable("a handle opened before the sequence")
        return self.value(value)

    def value(self, value):
        if value is None or isinstance(value, (bool, int, float, str)):
            return value
        if isinstance(value, (bytes, bytearray, memoryview)):
            return {"b": bytes(value).hex()}
        if isinstance(value, list):
            return [self.value(item) for item in value]
        raise _Unreplayable("an argument of type %s" % type(value).__name__)

    def path(self, value, content=False):
        if isinstance(value, os.PathLike):
            text, tag = os.fspath(value), "P"
        elif isinstance(value, str):
            text, tag = value, "p"
        else:
            return self.value(value)
        if not isinstance(text, str) or not text:
            raise _Unreplayable("a path that is not text")
        absolute = os.path.abspath(text)
        slot = self.slots.setdefault(absolute, len(self.slots))
        ext = os.path.splitext(absolute)[1][:8]
        if os.path.isdir(absolute):
            state = ("@dir", slot)
        elif os.path.isfile(absolute):
            data = None
            if content:
                if os.path.getsize(absolute) > _CONTENT_LIMIT:
                    raise _Unreplayable("a file too large to copy")
                with open(absolute, "rb") as f:
                    data = f.read().hex()
            elif self.seen.get(slot, ("",))[0] == "@file":
                data = self.seen[slot][3]
            state = ("@file", slot, ext, data)
        else:
            state = ("@none", slot, ext, os.path.isdir(os.path.dirname(absolute)))
        if self.seen.get(slot) != state:
            self.steps.append(list(state))
            stored = self.machine.file_attributes.get(absolute)
            if slot not in self.seen and stored is not None:
                self.steps.append(["@attrs", slot, stored])
            self.seen[slot] = state
        return {tag: slot}

    def cwd_length(self):
        cwd = os.getcwd()
        long = len(cwd) > 260
        if self.long_cwd is not long:
            self.steps.append(["@cwd", long])
            self.long_cwd = long
        return len(cwd)


def _below(key):
    """(key path, key) of `key` and every key below it, parents first; a
    loop, since a chain of keys can be deeper than Python's recursion limit."""
    found, stack = [], [("", key)]
    while stack:
        path, key = stack.pop()
        found.append((path, key))
        stack.extend((child.name if not path else path + "\\" + child.name, child)
                     for child in reversed(list(key.children.values())))
    return found


def _tree(key):
    """{key path: {lower name: (name, data, type)}} of a key and the keys below it."""
    return {path: {lower: tuple(entry) for lower, entry in below.values.items()} for path, below in _below(key)}


def _protections(key):
    """(key path, read-only flag) of every key below `key` (and itself) that
    sets one, parents first."""
    return [(path, below.readonly) for path, below in _below(key) if below.readonly is not None]


def _plain(data):
    if isinstance(data, (bytes, bytearray)):
        return {"b": bytes(data).hex()}
    return data


def _is_handle(value):
    from .winreg import HKEYType
    return isinstance(value, HKEYType)


# -- how each recorded function's arguments are written down ----------------------

def _registry_args(sequence, args):
    return [sequence.key(args[0])] + [sequence.value(a) for a in args[1:]]


def _plain_args(sequence, args):
    return [sequence.value(a) for a in args]


def _clipboard_args(sequence, args):
    if sequence.foreign_clipboard or (len(args) == 2 and isinstance(args[1], int)
                                      and not isinstance(args[1], bool)):
        raise _Unreplayable("clipboard data given as a memory handle")
    return _plain_args(sequence, args)


def _attribute_args(sequence, args):
    return [sequence.path(args[0])] + [sequence.value(a) for a in args[1:]]


def _cwd_args(sequence, args):
    size, buffer = (list(args) + [None, None])[:2]
    length = sequence.cwd_length()
    if not isinstance(size, int) or isinstance(size, bool):
        raise _Unreplayable("a buffer size that is not an int")
    if not (isinstance(buffer, ctypes.Array) and buffer._type_ is ctypes.c_wchar):
        raise _Unreplayable("a buffer that is not a wide-character array")
    return [{"cwd+": size - length}, {"wbuf": len(buffer) - length}]


def _image_args(sequence, args):
    hinst, name, *rest = args
    return [sequence.value(hinst), sequence.path(name, content=True)] + [sequence.value(a) for a in rest]


def _cursor_args(sequence, args):
    handle, *rest = args
    if isinstance(handle, ctypes.c_void_p):
        handle = handle.value
    elif not isinstance(handle, int) or isinstance(handle, bool):
        raise _Unreplayable("a cursor handle of type %s" % type(handle).__name__)
    return [{"img": sequence.images.get(handle)}] + [sequence.value(a) for a in rest]


def _wrap(name, function, describe, keep=None):
    signature = inspect.signature(function)

    @functools.wraps(function)
    def recorded(*args, **kwargs):
        sequence = _current
        if sequence is None or getattr(_local, "depth", 0):
            return function(*args, **kwargs)
        if _state.active is not sequence.machine:
            sequence = _switch(_state.active)
        index = None
        if sequence is not None and sequence.unreplayable is None and len(sequence.steps) < _STEP_LIMIT:
            try:
                bound = signature.bind(*args, **kwargs)
                bound.apply_defaults()
                step = [name] + describe(sequence, list(bound.args))
                sequence.unreplayable = sequence.faults()
                sequence.steps.append(step)
                index = len(sequence.steps) - 1
            except _Unreplayable as exc:
                sequence.unreplayable = str(exc)
            except Exception as exc:  # an argument the recorder cannot look at: the call itself decides
                sequence.unreplayable = "an argument that could not be recorded (%s)" % type(exc).__name__
        _local.depth = 1
        try:
            result = function(*args, **kwargs)
        finally:
            _local.depth = 0
        if index is not None and keep is not None:
            keep(sequence, index, result)
        return result
    return recorded


def _keep_handle(sequence, index, result):
    if _is_handle(result):
        sequence.results[result] = index


def _keep_number(sequence, index, result):
    if isinstance(result, int) and result:
        sequence.numbers[result] = index


def _keep_image(sequence, index, result):
    if isinstance(result, int) and result:
        sequence.images[result] = index


_REGISTRY = ("CloseKey", "OpenKey", "OpenKeyEx", "CreateKey", "CreateKeyEx", "DeleteKey", "DeleteValue",
             "SetValue", "SetValueEx", "QueryValue", "QueryValueEx", "EnumKey", "EnumValue", "QueryInfoKey")
_OPENING = ("OpenKey", "OpenKeyEx", "CreateKey", "CreateKeyEx")
_CLIPBOARD = ("OpenClipboard", "CloseClipboard", "EmptyClipboard", "SetClipboardData", "GetClipboardData")
_UNREPLAYABLE = ("DeleteKeyEx", "FlushKey")


def _unreplayable(name, function):
    @functools.wraps(function)
    def marked(*args, **kwargs):
        if _current is not None and not getattr(_local, "depth", 0):
            _current.unreplayable = "a call of %s" % name
        return function(*args, **kwargs)
    return marked


def enable():
    """Wraps the stand-in functions so that begin() can record their calls."""
    global _enabled
    if _enabled:
        return
    from . import winreg, win32clipboard, win32api, win32gui, _windll
    for name in _REGISTRY:
        keep = _keep_handle if name in _OPENING else None
        setattr(winreg, name, _wrap(name, getattr(winreg, name), _registry_args, keep))
    for name in _UNREPLAYABLE:
        setattr(winreg, name, _unreplayable(name, getattr(winreg, name)))
    handle_type = winreg.HKEYType
    handle_type.Close = _wrap("Close", handle_type.Close, _registry_args)
    handle_type.Detach = _wrap("Detach", handle_type.Detach, _registry_args, _keep_number)
    for name in _CLIPBOARD:
        setattr(win32clipboard, name, _wrap(name, getattr(win32clipboard, name), _clipboard_args))
    win32api.GetSystemMetrics = _wrap("GetSystemMetrics", win32api.GetSystemMetrics, _plain_args)
    win32gui.LoadImage = _wrap("LoadImage", win32gui.LoadImage, _image_args, _keep_image)
    kernel32 = _windll.EXPORTS["kernel32"]
    for name, describe in (("GetFileAttributesW", _attribute_args), ("SetFileAttributesW", _attribute_args),
                           ("GetCurrentDirectoryW", _cwd_args)):
        kernel32[name] = _wrap(name, kernel32[name], describe)
    user32 = _windll.EXPORTS["user32"]
    user32["SetSystemCursor"] = _wrap("SetSystemCursor", user32["SetSystemCursor"], _cursor_args)
    from ._registry import Registry
    Registry.create = _arranged(lambda root, path: ["@key", root, path])(Registry.create)
    Registry.put = _arranged(lambda root, path, name, data, typ: ["@value", root, path, name or "", typ,
                                                                   _plain(data)])(Registry.put)
    Registry.remove = _arranged(lambda root, path: ["@delkey", root, path])(Registry.remove)
    Registry.set_readonly = _arranged(lambda root, path, flag=True: ["@readonly", root, path, bool(flag)])(
        Registry.set_readonly)
    _enabled = True


def _arranged(step_of):
    """Wraps a Registry helper that tests arrange the state with: its change
    becomes a set-up step of the sequence recording on that registry."""
    def wrap(method):
        @functools.wraps(method)
        def arranged(registry, hkey, *args):
            result = method(registry, hkey, *args)
            sequence = _current
            if (sequence is not None and sequence.machine is not None and registry is sequence.machine.registry
                    and hkey in _ROOTS and not getattr(_local, "depth", 0)):
                sequence.steps.append(step_of(_ROOTS[hkey], *args))
            return result
        return arranged
    return wrap


def _switch(machine):
    """Closes the open sequence and opens the next one on `machine`."""
    global _current
    name = _current.name
    _close()
    _current = _Sequence(name, machine)
    return _current if machine is not None else None


def _close():
    global _current
    sequence, _current = _current, None
    if sequence is None or sequence.machine is None:
        return
    if sequence.unreplayable is None:
        sequence.unreplayable = sequence.faults()
    if any(not step[0].startswith("@") for step in sequence.steps):
        record = {"test": sequence.name, "steps": sequence.steps}
        if sequence.unreplayable:
            record["unreplayable"] = sequence.unreplayable
        if _stream is None:
            _finished.append(record)
        else:
            # One write per line: children appending to one file do not mix.
            line = dump(record) + "\n"
            fd = os.open(_stream, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
            try:
                os.write(fd, line.encode("utf-8"))
            finally:
                os.close(fd)


def record_process(path):
    """Records this whole process, for a child started by a recording run:
    its sequences are appended to `path` as they end. Nothing happens where
    the process records already."""
    global _stream
    if _enabled:
        return
    enable()
    _stream = path
    atexit.register(end)
    begin(os.environ.get("SIMWIN_RECORD_TEST", "a child process"))


def next_sequence(name):
    """Where recording, ends the sequence and starts the next as `name`."""
    if _enabled:
        begin(name)


def begin(name):
    """Starts recording the calls made on the active machine as `name`,
    from the state it has at the first call."""
    global _current
    _close()
    _current = _Sequence(name, None)


def end():
    """Stops recording; the sequence goes to the finished ones."""
    _close()


def dump(record):
    """One JSON line; text that UTF-8 cannot carry (a lone surrogate) is escaped."""
    text = json.dumps(record, ensure_ascii=False, separators=(",", ":"))
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        text = json.dumps(record, separators=(",", ":"))
    return text


def save(path):
    """Writes the finished sequences to `path`, one JSON object a line."""
    with open(path, "w", encoding="utf-8") as f:
        for record in _finished:
            f.write(dump(record) + "\n")
