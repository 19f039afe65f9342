"""Replays call sequences on the simulated Windows platform and on a real
Win32 (wine64 running windows/win32_harness.cpp), and compares the answers.

A sequence is what simwin/_recorder.py writes: steps, each a call's name and
its arguments, with "@" steps that set up the state. On the simulated side
each step calls the stand-in as the module would. On the wine side each step
becomes the Win32 calls that CPython's winreg, ctypes and pywin32 make for
it (PC/winreg.c: CreateKey is RegCreateKeyW, SetValue RegSetValueW,
QueryValue RegQueryValueW, EnumValue RegQueryInfoKeyW then RegEnumValueW,
and so on), and the harness's answers are turned back into what those
modules would return or raise. Both sides give one line per step, a
transcript; the transcripts must agree, except where a known divergence of
wine from Windows explains the difference (KNOWN_DIVERGENCES).

Each sequence runs on scratch keys: its HKCU is HKCU\\Software\\VkHarness\\<n>
and its HKCR is HKCR\\VkHarness\\<n>, on both sides, with a fresh machine's
keys copied below them. Paths are slots in a folder of the sequence's own,
one for each side.
"""

import contextlib
import ctypes
import os
import pathlib
import shutil
import subprocess

REPO = pathlib.Path(__file__).resolve().parent.parent
HARNESS = REPO / "windows" / "win32_harness.cpp"
CORPUS = REPO / "tests" / "win32_corpus.jsonl.gz"

HKCU, HKCR = 0x80000001, 0x80000000
ROOTS = {"HKCU": HKCU, "HKCR": HKCR}
SCRATCH = {"HKCU": "Software\\VkHarness\\%d", "HKCR": "VkHarness\\%d"}

KEY_QUERY_VALUE = 0x1
KEY_READ, KEY_WRITE, KEY_ALL_ACCESS = 0x20019, 0x20006, 0xF003F
GENERIC_READ, GENERIC_ALL, MAXIMUM_ALLOWED = 0x80000000, 0x10000000, 0x02000000
REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_MULTI_SZ, REG_QWORD = 1, 2, 4, 7, 11
CF_TEXT, CF_UNICODETEXT = 1, 13
LR_LOADFROMFILE = 0x10
FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM = 0x1, 0x2, 0x4
FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_ARCHIVE = 0x10, 0x20


class Unreplayable(Exception):
    """A step that has no faithful replay on one of the sides."""


# -- what both sides share ---------------------------------------------------------

def slot_name(slot, ext):
    return "f%d%s" % (slot, ext)


class Folder:
    """One side's folder for a sequence: the path slots and the current folder."""

    def __init__(self, root):
        self.root = root
        self.slots = {}         # slot -> absolute path
        self.kinds = {}         # slot -> "file", "folder" or "missing"
        self.cwd = None

    def setup(self, step):
        kind, slot = step[0], step[1]
        if kind == "@dir":
            path = self.slots.get(slot) or os.path.join(self.root, slot_name(slot, ""))
        else:
            ext = step[2]
            path = self.slots.get(slot) or os.path.join(self.root, slot_name(slot, ext))
            if kind == "@none" and not step[3] and slot not in self.slots:
                path = os.path.join(self.root, "missing%d" % slot, slot_name(slot, ext))
        self.slots[slot] = path
        os.makedirs(self.root, exist_ok=True)
        if os.path.isdir(path) and not os.path.islink(path):
            os.chmod(path, 0o755)
            shutil.rmtree(path)
        elif os.path.lexists(path):
            os.chmod(path, 0o644)
            os.remove(path)
        if kind == "@dir":
            os.makedirs(path)
        elif kind == "@file":
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(bytes.fromhex(step[3] or ""))
        self.kinds[slot] = {"@dir": "folder", "@file": "file"}.get(kind, "missing")

    def make_cwd(self, long):
        path = os.path.join(self.root, "cwd")
        if long:
            path = os.path.join(path, *["d" * 50] * 6)
        os.makedirs(path, exist_ok=True)
        self.cwd = path
        return path


def value_of(encoded):
    """A recorded plain argument as a Python value."""
    if isinstance(encoded, dict) and "b" in encoded:
        return bytes.fromhex(encoded["b"])
    if isinstance(encoded, list):
        return [value_of(item) for item in encoded]
    return encoded


def fresh_registry():
    """{root: [(path, [(name, data, type)])]}: a fresh machine's keys, from
    the stand-in's own populate()."""
    from simwin._registry import Registry, populate
    registry = Registry()
    populate(registry)
    keys = {}
    for root, hkey in ROOTS.items():
        found = []
        stack = [("", registry.root(hkey))]
        while stack:
            path, key = stack.pop()
            found.append((path, [tuple(entry) for entry in key.values.values()]))
            for child in key.children.values():
                stack.append((child.name if not path else path + "\\" + child.name, child))
        keys[root] = found
    return keys


def describe_error(exc):
    winerror = getattr(exc, "winerror", None)
    if type(exc).__name__ == "error" and type(exc).__module__ == "pywintypes":
        return "raises pywintypes.error(%r, %r)" % (exc.winerror, exc.funcname)
    if isinstance(exc, OSError) and winerror is not None:
        return "raises OSError(winerror=%d)" % winerror
    return "raises " + type(exc).__name__


def describe_error_or(call):
    try:
        return repr(call())
    except Exception as exc:  # an answer to compare
        return describe_error(exc)


def show_args(step):
    parts = []
    for arg in step[1:]:
        if isinstance(arg, dict):
            (tag, value), = arg.items()
            parts.append({"r": "<step %s>", "root": "%s", "b": "b'%s'", "p": "path%s", "P": "Path(path%s)",
                          "cwd+": "len(cwd)%+d", "wbuf": "buffer(len(cwd)%+d)", "img": "image<step %s>"}[tag]
                         % (value,))
        else:
            text = repr(arg)
            parts.append(text if len(text) <= 60 else text[:40] + "...%d chars" % len(text))
    return "%s(%s)" % (step[0], ", ".join(parts))


def enumeration_key(name):
    """Windows keeps a key's sub-keys sorted by their upper-case names."""
    return name.upper()


def listing_text(values):
    return "one of %r" % (sorted(values, key=lambda v: (v[0].lower(), v[0])),)


# -- the simulated side --------------------------------------------------------------

class Simwin:
    """Runs sequences on one simulated machine, each on scratch keys of its own."""

    def __init__(self, base, screen):
        self.base = base
        self.screen = screen

    def run_all(self, sequences, first=0):
        import simwin
        from simwin.win32clipboard import Clipboard
        transcripts = []
        cwd = os.getcwd()
        with simwin.isolated(os.path.join(self.base, "machine")) as machine:
            machine.screen_size = self.screen
            import winreg
            for n, sequence in enumerate(sequences, first):
                machine.clipboard = Clipboard()
                machine.images.clear()
                machine.cursor = None
                machine.file_attributes.clear()
                try:
                    transcripts.append(self.run(machine, winreg, n, sequence))
                finally:
                    os.chdir(cwd)
                    for root, hkey in ROOTS.items():
                        if machine.registry.key_exists(hkey, SCRATCH[root] % n):
                            machine.registry.remove(hkey, SCRATCH[root] % n)
                    machine.registry.handles.clear()
        return transcripts

    def run(self, machine, winreg, n, sequence):
        import win32api
        import win32clipboard
        import win32gui
        folder = Folder(os.path.join(self.base, "ours", str(n)))
        roots = {}
        for root, hkey in ROOTS.items():
            machine.registry.create(hkey, SCRATCH[root] % n)
            roots[root] = winreg.CreateKeyEx(hkey, SCRATCH[root] % n, 0, KEY_ALL_ACCESS)
        results, failed = {}, set()
        lines, notes = [], []   # notes: what the divergence rules need to know of this side
        for index, step in enumerate(sequence["steps"]):
            name = step[0]
            if name.startswith("@"):
                self.setup(machine, folder, n, step)
                if name == "@readonly":
                    # Like predefined keys, the scratch keys get what their
                    # security allows now.
                    for root, handle in roots.items():
                        try:
                            again = winreg.OpenKey(ROOTS[root], SCRATCH[root] % n, 0, MAXIMUM_ALLOWED)
                        except OSError:
                            continue  # the sequence removed it: the next steps show that
                        handle.Close()
                        roots[root] = again
                continue

            def arg(encoded):
                if isinstance(encoded, dict):
                    (tag, value), = encoded.items()
                    if tag == "r":
                        return results.get(value)
                    if tag == "root":
                        return roots[value]
                    if tag in ("p", "P"):
                        path = folder.slots[value]
                        return path if tag == "p" else pathlib.Path(path)
                    if tag == "cwd+":
                        return len(os.getcwd()) + value
                    if tag == "wbuf":
                        return ctypes.create_unicode_buffer(max(len(os.getcwd()) + value, 0))
                    if tag == "img":
                        return ctypes.c_void_p(results.get(value) or 0x7FFF0001)
                return value_of(encoded)
            notes.append({})
            missing = unmade(step, failed)
            if missing:
                outcome = "not run: %s" % missing
            elif name == "CloseKey" and isinstance(step[1], dict) and "root" in step[1]:
                # The scratch key stands for a predefined key, which stays open.
                outcome = describe_error_or(lambda: winreg.CloseKey(ROOTS[step[1]["root"]]))
            else:
                args = [arg(a) for a in step[1:]]
                if name == "DeleteKey":
                    notes[-1]["protected"] = self.protected(winreg, *args[:2])
                try:
                    result = self.call(machine, winreg, win32clipboard, win32api, win32gui, name, args)
                except Exception as exc:  # every failure is an answer to compare
                    outcome = describe_error(exc)
                else:
                    results[index] = result
                    outcome = self.describe(winreg, name, args, result)
            if outcome.startswith(("raises", "not run")):
                failed.add(index)
            lines.append("%s -> %s" % (show_args(step), outcome))
        for handle in roots.values():
            handle.Close()
        return lines, notes

    @staticmethod
    def protected(winreg, key, sub_key):
        """Whether the key DeleteKey(key, sub_key) names refuses changes."""
        try:
            start = winreg._open_handle(key).key
            target = winreg._registry().walk(start, sub_key) if sub_key else start
        except Exception:  # no such key: nothing protected
            return False
        return bool(target is not None and target.is_readonly())

    @staticmethod
    def setup(machine, folder, n, step):
        name = step[0]
        registry = machine.registry
        if name == "@fresh":
            for root, keys in fresh_registry().items():
                for path, values in keys:
                    full = SCRATCH[root] % n + ("\\" + path if path else "")
                    registry.create(ROOTS[root], full)
                    for value_name, data, typ in values:
                        registry.put(ROOTS[root], full, value_name, data, typ)
        elif name in ("@key", "@value", "@delkey", "@delvalue", "@readonly"):
            root, path = step[1], SCRATCH[step[1]] % n + ("\\" + step[2] if step[2] else "")
            if name == "@readonly":
                if registry.key_exists(ROOTS[root], path):
                    registry.set_readonly(ROOTS[root], path, step[3])
            elif name == "@key":
                registry.create(ROOTS[root], path)
            elif name == "@value":
                registry.put(ROOTS[root], path, step[3], value_of(step[5]), step[4])
            elif name == "@delkey":
                # An earlier step may have removed it already (so wine's side may not).
                if registry.key_exists(ROOTS[root], path):
                    registry.remove(ROOTS[root], path)
            else:
                key = registry.walk(registry.root(ROOTS[root]), path)
                if key is not None:
                    key.values.pop(step[3].lower(), None)
        elif name == "@clip":
            machine.clipboard.data[step[1]] = value_of(step[2])
        elif name == "@clipopen":
            machine.clipboard.is_open = True
        elif name == "@cwd":
            os.chdir(folder.make_cwd(step[1]))
        elif name == "@attrs":
            ctypes.windll.kernel32.SetFileAttributesW(folder.slots[step[1]], step[2])
        else:
            folder.setup(step)

    @staticmethod
    def call(machine, winreg, win32clipboard, win32api, win32gui, name, args):
        if name == "Close":
            return args[0].Close()
        if name == "Detach":
            return args[0].Detach()
        if hasattr(winreg, name) and name[0].isupper() and name not in ("HKEYType",):
            return getattr(winreg, name)(*args)
        if name in ("GetFileAttributesW", "SetFileAttributesW", "GetCurrentDirectoryW"):
            return getattr(machine.windll.kernel32, name)(*args)
        if name == "SetSystemCursor":
            return machine.windll.user32.SetSystemCursor(*args)
        if name == "GetSystemMetrics":
            return win32api.GetSystemMetrics(*args)
        if name == "LoadImage":
            return win32gui.LoadImage(*args)
        return getattr(win32clipboard, name)(*args)

    @staticmethod
    def describe(winreg, name, args, result):
        if isinstance(result, winreg.HKEYType):
            return "<key>"
        if name == "EnumValue":
            listing = []
            with contextlib.suppress(OSError):
                for i in range(10000):
                    listing.append(winreg.EnumValue(args[0], i))
            assert result in listing
            return listing_text(listing)
        if name == "QueryInfoKey":
            return "(%d, %d, <time>)" % result[:2] if result[2] > 116444736000000000 else repr(result)
        if name == "Detach":
            return "<number>" if result else "0"
        if name in ("SetClipboardData", "LoadImage"):
            return "<handle>" if result else repr(result)
        if name == "GetFileAttributesW":
            if result == -1:
                return "-1, last error %d" % ctypes.GetLastError()
            kind = "folder" if os.path.isdir(args[0]) else "file"
            return "%#x on a %s" % (result & 0xFFFFFFFF, kind)
        if name == "SetFileAttributesW":
            return repr(result) if result else "0, last error %d" % ctypes.GetLastError()
        if name == "GetCurrentDirectoryW":
            return cwd_outcome(result, args[1].value, os.getcwd(), ctypes.GetLastError())
        if name == "SetSystemCursor":
            return repr(result) if result else "0, last error %d" % ctypes.GetLastError()
        return repr(result)


def cwd_outcome(result, text, cwd, last_error):
    shown = "<cwd>" if text == cwd else repr(text)
    if result == 0:
        return "0, last error %d, buffer %s" % (last_error, shown)
    return "len(cwd)%+d, buffer %s" % (result - len(cwd), shown)


# -- the wine side: winreg, ctypes and pywin32 over the harness ------------------------

def field(text):
    """A harness text field."""
    if text is None:
        return "~"
    if any("\ud800" <= c <= "\udfff" for c in text):
        # A lone surrogate goes as UTF-16, which is what CPython passes on Windows.
        return "$" + text.split("\0", 1)[0].encode("utf-16-le", "surrogatepass").hex()
    out = []
    for c in text:
        out.append("%%%02X" % ord(c) if c in "%~$\t\r\n\0" else c)
    return "".join(out)


def unfield(text):
    if text.startswith("$"):
        return bytes.fromhex(text[1:]).decode("utf-16-le", "surrogatepass")
    out = bytearray()
    raw = text.encode("utf-8")
    i = 0
    while i < len(raw):
        if raw[i] == 0x25 and i + 2 < len(raw):
            out.append(int(raw[i + 1:i + 3], 16))
            i += 3
        else:
            out.append(raw[i])
            i += 1
    return out.decode("utf-8")


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def py2reg(value, typ):
    """CPython's Py2Reg: the bytes that SetValueEx stores, or the exception
    it raises before calling Windows."""
    if typ in (REG_DWORD, REG_QWORD):
        if value is not None and not isinstance(value, int):
            raise ValueError("Could not convert the data to the specified type.")
        size = 4 if typ == REG_DWORD else 8
        number = 0 if value is None else int(value)
        if number < 0:
            raise OverflowError("can't convert negative int to unsigned")
        if number >= 1 << (8 * size):
            raise OverflowError("too large")
        return number.to_bytes(size, "little")
    if typ in (REG_SZ, REG_EXPAND_SZ):
        if value is None:
            return b"\0\0"
        if not isinstance(value, str):
            raise ValueError("Could not convert the data to the specified type.")
        return (value + "\0").encode("utf-16-le", "surrogatepass")
    if typ == REG_MULTI_SZ:
        items = [] if value is None else value
        if not isinstance(items, list) or not all(isinstance(s, str) for s in items):
            raise ValueError("Could not convert the data to the specified type.")
        return "".join(s + "\0" for s in items).encode("utf-16-le", "surrogatepass") + b"\0\0"
    if value is None:
        return None
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise TypeError("Objects of type '%s' can not be used as binary registry values" % type(value).__name__)


def reg2py(data, typ):
    """CPython's Reg2Py."""
    if typ == REG_DWORD:
        return int.from_bytes(data[:4], "little") if data else 0
    if typ == REG_QWORD:
        return int.from_bytes(data[:8], "little") if data else 0
    if typ in (REG_SZ, REG_EXPAND_SZ):
        text = data[:len(data) // 2 * 2].decode("utf-16-le", "surrogatepass")
        return text.split("\0", 1)[0]
    if typ == REG_MULTI_SZ:
        if not data:
            return []
        text = data[:len(data) // 2 * 2].decode("utf-16-le", "surrogatepass")
        items = []
        for item in text.split("\0"):
            if not item:
                break
            items.append(item)
        return items
    return bytes(data) if data else None


class WinePlan:
    """The harness lines for one sequence, and how to read their answers."""

    def __init__(self, n, sequence, folder):
        self.n = n
        self.folder = folder
        self.lines = ["@begin\t%d" % n]
        self.readers = []       # (line count, reader) per compared step, in order
        self.handles = {}       # step index -> harness name of the handle it returned
        self.closed = set()     # steps whose handle object was closed or detached
        self.numbers = {}       # Detach step -> handle name
        self.access = {"HKCU": KEY_ALL_ACCESS, "HKCR": KEY_ALL_ACCESS}
        self.contexts = []      # per compared step: what the divergence rules need
        fresh = fresh_registry()
        self.steps = sequence["steps"]
        for index, step in enumerate(self.steps):
            if step[0].startswith("@"):
                self.setup(step, fresh)
            else:
                self.contexts.append({"step": step})
                self.plan(index, step)
        self.lines.append("@end")

    # -- set-up: the same state as the simulated side, through the harness ------

    def put(self, root, path, name, data, typ):
        self.lines.append("RegCreateKeyExW\t%s\t%s\t0\t%d\tsetup" % (root, field(path), KEY_ALL_ACCESS))
        if name is not None:
            raw = py2reg(data, typ)
            self.lines.append("RegSetValueExW\tsetup\t%s\t%d\t%s" % (field(name), typ,
                                                                    "~" if raw is None else raw.hex()))
            self.readers.append((1, None))
        self.lines.append("RegCloseKey\tsetup")
        self.readers.append((2, None))

    def setup(self, step, fresh):
        name = step[0]
        if name == "@fresh":
            for root, keys in fresh.items():
                for path, values in keys:
                    self.put(root, path, None, None, None)
                    for value_name, data, typ in values:
                        self.put(root, path, value_name, data, typ)
        elif name == "@key":
            self.put(step[1], step[2], None, None, None)
        elif name == "@value":
            self.put(step[1], step[2], step[3], value_of(step[5]), step[4])
        elif name == "@delkey":
            self.lines.append("@remove\t%s\t%s" % (step[1], field(step[2])))
            self.readers.append((1, None))
        elif name == "@readonly":
            self.lines.append("@readonly\t%s\t%s\t%d" % (step[1], field(step[2]), step[3]))
            self.readers.append((1, None))
        elif name == "@delvalue":
            self.lines.append("RegOpenKeyExW\t%s\t%s\t0\t%d\tsetup" % (step[1], field(step[2]), KEY_ALL_ACCESS))
            self.lines.append("RegDeleteValueW\tsetup\t%s" % field(step[3]))
            self.lines.append("RegCloseKey\tsetup")
            self.readers.append((3, None))
        elif name == "@clip":
            if not isinstance(value_of(step[2]), (str, bytes)):
                raise Unreplayable("clipboard data given as a memory handle")
            self.lines += ["OpenClipboard", "SetClipboardData\t%d\t%s" % (step[1], clip_bytes(value_of(step[2])).hex()),
                           "CloseClipboard"]
            self.readers.append((3, None))
        elif name == "@clipopen":
            self.lines.append("OpenClipboard")
            self.readers.append((1, None))
        elif name == "@cwd":
            self.lines.append("SetCurrentDirectoryW\t%s" % field(windows_path(self.folder.make_cwd(step[1]))))
            self.readers.append((1, None))
        elif name == "@attrs":
            self.lines.append("SetFileAttributesW\t%s\t%d" % (field(windows_path(self.folder.slots[step[1]])),
                                                            step[2]))
            self.readers.append((1, None))
        else:
            self.folder.setup(step)

    # -- arguments as CPython converts them ---------------------------------------

    def key(self, encoded, none_ok=False):
        """The harness name of a key argument, or the exception CPython raises."""
        if isinstance(encoded, dict) and "root" in encoded:
            return encoded["root"]
        if isinstance(encoded, dict) and "r" in encoded:
            index = encoded["r"]
            if index in self.numbers:
                return self.numbers[index]
            if index in self.handles:
                return "0" if index in self.closed else self.handles[index]
            return "0"
        if encoded is None and none_ok:
            return "0"
        raise TypeError("The object is not a PyHKEY object")

    @staticmethod
    def text(value, none_ok=True):
        if value is None and none_ok:
            return None
        if not isinstance(value, str):
            raise TypeError("must be str")
        if "\0" in value:
            raise ValueError("embedded null character")
        return value

    @staticmethod
    def integer(value):
        if not isinstance(value, int):
            raise TypeError("must be int")
        return value

    def path(self, encoded):
        """The harness field for a path argument, as ctypes passes it."""
        if isinstance(encoded, dict) and "p" in encoded:
            return field(windows_path(self.folder.slots[encoded["p"]]))
        if isinstance(encoded, dict) and "P" in encoded:
            raise ctypes.ArgumentError("argument 1: TypeError: Don't know how to convert parameter 1")
        if isinstance(encoded, dict) and "b" in encoded:
            return "$" + encoded["b"]  # a byte string, passed as a char pointer
        if encoded is None:
            return "~"
        if encoded == "":
            return ""
        raise Unreplayable("a path argument %r" % (encoded,))

    @staticmethod
    def c_int(value, position):
        """ctypes' conversion of an int argument without argtypes."""
        if not isinstance(value, int):
            raise ctypes.ArgumentError("argument %d: TypeError: Don't know how to convert parameter %d"
                                       % (position, position))
        if not -2**31 <= value < 2**32:
            raise ctypes.ArgumentError("argument %d: OverflowError: int too long to convert" % position)
        return value & 0xFFFFFFFF

    # -- the steps ----------------------------------------------------------------

    def emit(self, lines, reader):
        self.lines += lines
        self.readers.append((len(lines), reader))

    def answer(self, outcome):
        self.readers.append((0, lambda answers: outcome))

    def plan(self, index, step):
        name, raw = step[0], step[1:]
        try:
            self.translate(index, name, list(raw))
        except Unreplayable:
            raise
        except Exception as exc:  # raised before Windows is called
            self.answer(describe_error(exc))

    def translate(self, index, name, args):
        context = self.contexts[-1]
        defaults = {"OpenKey": [0, KEY_READ], "OpenKeyEx": [0, KEY_READ], "CreateKeyEx": [0, KEY_WRITE]}
        if name in ("OpenKey", "OpenKeyEx", "CreateKeyEx"):
            args += defaults[name][len(args) - 2:]
            key = self.key(args[0])
            context["access"] = self.access.get(key, KEY_ALL_ACCESS)
            sub_key = self.text(args[1])
            reserved, access = self.integer(args[2]), self.integer(args[3])
            out = "k%d" % index
            self.handles[index] = out
            self.access[out] = access
            call = "RegOpenKeyExW" if name.startswith("Open") else "RegCreateKeyExW"
            self.emit(["%s\t%s\t%s\t%d\t%d\t%s" % (call, key, field(sub_key), reserved, access, out)],
                      registry_reader(lambda fields: "<key>"))
        elif name == "CreateKey":
            key = self.key(args[0])
            context["access"] = self.access.get(key, KEY_ALL_ACCESS)
            sub_key = self.text(args[1])
            out = "k%d" % index
            self.handles[index] = out
            self.access[out] = MAXIMUM_ALLOWED
            self.emit(["RegCreateKeyW\t%s\t%s\t%s" % (key, field(sub_key), out)],
                      registry_reader(lambda fields: "<key>"))
        elif name in ("CloseKey", "Close"):
            encoded = args[0]
            if isinstance(encoded, dict) and "root" in encoded:
                self.answer("None")
                return
            if isinstance(encoded, dict) and encoded.get("r") in self.handles:
                was_open = encoded["r"] not in self.closed
                self.closed.add(encoded["r"])
                if not was_open:
                    self.answer("None")
                    return
                key = self.handles[encoded["r"]]
            else:
                key = self.key(encoded, none_ok=True)
            self.emit(["RegCloseKey\t%s" % key], registry_reader(lambda fields: "None"))
        elif name == "Detach":
            encoded = args[0]
            index_of = encoded["r"]
            if index_of in self.closed:
                self.answer("0")
                return
            self.closed.add(index_of)
            self.numbers[index] = self.handles[index_of]
            self.answer("<number>")
        elif name == "DeleteKey":
            key = self.key(args[0])
            sub_key = self.text(args[1], none_ok=False)
            self.emit(["RegDeleteKeyW\t%s\t%s" % (key, field(sub_key))], registry_reader(lambda fields: "None"))
        elif name == "DeleteValue":
            key = self.key(args[0])
            value = self.text(args[1])
            self.emit(["RegDeleteValueW\t%s\t%s" % (key, field(value))], registry_reader(lambda fields: "None"))
        elif name == "SetValue":
            key = self.key(args[0])
            context["access"] = self.access.get(key, KEY_ALL_ACCESS)
            sub_key = self.text(args[1])
            typ = self.integer(args[2])
            if not isinstance(args[3], str):
                raise TypeError("must be str")
            if typ != REG_SZ:
                raise TypeError("type must be winreg.REG_SZ")
            self.emit(["RegSetValueW\t%s\t%s\t%d\t%s" % (key, field(sub_key), typ, field(args[3]))],
                      registry_reader(lambda fields: "None"))
        elif name == "SetValueEx":
            key = self.key(args[0])
            value_name = self.text(args[1])
            typ = self.integer(args[3])
            data = py2reg(value_of(args[4]), typ)
            self.emit(["RegSetValueExW\t%s\t%s\t%d\t%s" % (key, field(value_name), typ,
                                                           "~" if data is None else data.hex())],
                      registry_reader(lambda fields: "None"))
        elif name == "QueryValue":
            key = self.key(args[0])
            context["access"] = self.access.get(key, KEY_ALL_ACCESS)
            sub_key = self.text(args[1])
            self.emit(["RegQueryValueW\t%s\t%s" % (key, field(sub_key))],
                      registry_reader(lambda fields: repr(unfield(fields[1]))))
        elif name == "QueryValueEx":
            key = self.key(args[0])
            value_name = self.text(args[1])
            self.emit(["RegQueryValueExW\t%s\t%s" % (key, field(value_name))],
                      registry_reader(lambda fields: repr((reg2py(bytes.fromhex(fields[2]), int(fields[1])),
                                                           int(fields[1])))))
        elif name == "EnumKey":
            key = self.key(args[0])
            position = self.integer(args[1])
            self.emit(["RegEnumKeyExW\t%s\t%d" % (key, position & 0xFFFFFFFF)],
                      registry_reader(lambda fields: enumerated_key(fields, position)))
        elif name == "EnumValue":
            key = self.key(args[0])
            context["access"] = self.access.get(key, KEY_ALL_ACCESS)
            position = self.integer(args[1])
            self.emit(["RegEnumValueW\t%s\t%d" % (key, position & 0xFFFFFFFF)],
                      registry_reader(enumerated_value))
        elif name == "QueryInfoKey":
            key = self.key(args[0])
            context["access"] = self.access.get(key, KEY_ALL_ACCESS)
            self.emit(["RegQueryInfoKeyW\t%s" % key],
                      registry_reader(lambda fields: "(%s, %s, <time>)" % (fields[1], fields[2])
                                      if int(fields[3]) > 116444736000000000 else repr(fields)))
        elif name in ("GetFileAttributesW", "SetFileAttributesW"):
            path = self.path(args[0])
            if name == "GetFileAttributesW":
                self.emit(["GetFileAttributesW\t%s" % path], attributes_answer)
            else:
                word = self.c_int(args[1], 2)
                self.emit(["SetFileAttributesW\t%s\t%d" % (path, word)], bool_answer)
        elif name == "GetCurrentDirectoryW":
            cwd = windows_path(self.folder.cwd) if self.folder.cwd else None
            if cwd is None:
                raise Unreplayable("no current folder set up")
            size = self.c_int(len(cwd) + args[0]["cwd+"], 1)
            buffer = max(len(cwd) + args[1]["wbuf"], 0)
            if buffer < size:
                raise Unreplayable("a buffer smaller than the size given")
            self.emit(["GetCurrentDirectoryW\t%d" % size],
                      lambda answers: cwd_outcome(c_int_result(answers[0][0]), unfield(answers[0][2]), cwd,
                                                  int(answers[0][1])))
        elif name in ("OpenClipboard", "CloseClipboard", "EmptyClipboard"):
            self.emit([name], pywin32_reader(name, lambda fields: "None"))
        elif name == "SetClipboardData":
            fmt = self.integer(args[0])
            data = clip_bytes(value_of(args[1]))
            self.emit(["SetClipboardData\t%d\t%s" % (fmt, data.hex())],
                      pywin32_reader(name, lambda fields: "<handle>"))
        elif name == "GetClipboardData":
            fmt = self.integer(args[0]) if args else CF_TEXT
            self.emit(["IsClipboardFormatAvailable\t%d" % fmt, "GetClipboardData\t%d" % fmt],
                      lambda answers: clipboard_answer(answers, fmt))
        elif name == "GetSystemMetrics":
            index = self.integer(args[0])
            # The stand-in knows the screen size and the number of monitors.
            context["unimitated"] = index not in (0, 1, 80)
            self.emit(["GetSystemMetrics\t%d" % index], lambda answers: answers[0][0])
        elif name == "LoadImage":
            hinst, image, typ, cx, cy, flags = args
            if hinst not in (0, None):
                raise Unreplayable("an image from a module")
            # pywin32's resource id: a str, or a number from 0 to 65535
            # passed as the name's address.
            if isinstance(image, int) and 0 <= image <= 0xFFFF:
                if image and flags & LR_LOADFROMFILE:
                    # LoadImageW would read the number as the address of a file
                    # name; the stand-in says it does not imitate that.
                    context["unimitated"] = True
                    self.answer("a file name at address %#x" % image)
                    return
                target = "#%d" % image
            elif not (isinstance(image, dict) and "p" in image):
                raise TypeError("Resource id/name must be unicode or int in the range 0-65536")
            elif flags & LR_LOADFROMFILE:
                target = self.path(image)
            else:
                raise Unreplayable("a resource name given as text")
            self.emit(["LoadImageW\t%s\t%d\t%d\t%d\t%d\timg%d" % (target, typ, cx, cy, flags, index)],
                      pywin32_reader("LoadImage", lambda fields: "<handle>"))
        elif name == "SetSystemCursor":
            image = args[0]["img"]
            target = "img%d" % image if image is not None else "0x7FFF0001"
            self.emit(["SetSystemCursor\t%s\t%d" % (target, self.c_int(args[1], 2))], bool_answer)
        else:
            raise Unreplayable("no Win32 mapping for %s" % name)

    def read(self, answers):
        """The transcript, from the harness's answer lines for this plan."""
        if answers[0] != "@ok" or answers[-1] != "@ok":
            raise RuntimeError("the harness could not set up sequence %d: %s" % (self.n, answers[0]))
        requests, fields = self.lines[1:-1], [line.split("\t") for line in answers[1:-1]]
        lines, position, failed = [], 0, set()
        steps = iter((i, step) for i, step in enumerate(self.steps) if not step[0].startswith("@"))
        for count, reader in self.readers:
            chunk = fields[position:position + count]
            if reader is None:
                # Set-up: registry calls answer 0, the others a nonzero result.
                for request, answer in zip(requests[position:position + count], chunk):
                    good = (answer[0] == "@ok" if request.startswith("@") else
                            answer[0] == "0" if request.startswith("Reg") else answer[0] != "0")
                    if not good:
                        raise RuntimeError("set-up of sequence %d failed on wine: %s -> %s"
                                           % (self.n, request, "\t".join(answer)))
                position += count
                continue
            position += count
            index, step = next(steps)
            missing = unmade(step, failed)
            outcome = "not run: %s" % missing if missing else reader(chunk)
            if outcome.startswith(("raises", "not run")):
                failed.add(index)
            lines.append("%s -> %s" % (show_args(step), outcome))
        return lines


def unmade(step, failed):
    """The steps whose results `step` needs but which failed."""
    needed = [arg["r"] for arg in step[1:] if isinstance(arg, dict) and "r" in arg and arg["r"] in failed]
    return "step %s failed" % ", ".join(map(str, needed)) if needed else None


def registry_reader(success):
    def read(answers):
        fields = answers[0]
        if fields[0] != "0":
            return "raises OSError(winerror=%s)" % fields[0]
        return success(fields)
    return read


def pywin32_reader(function, success):
    def read(answers):
        fields = answers[0]
        if fields[0] == "0":
            return "raises pywintypes.error(%s, %r)" % (fields[1], function)
        return success(fields)
    return read


def bool_answer(answers):
    done, error = answers[0][0], answers[0][1]
    return done if done != "0" else "0, last error %s" % error


def c_int_result(text):
    value = int(text)
    return value - (1 << 32) if value >= 1 << 31 else value


def attributes_answer(answers):
    value = c_int_result(answers[0][0])
    if value == -1:
        return "-1, last error %s" % answers[0][1]
    return "%#x on a %s" % (value & 0xFFFFFFFF, "folder" if value & FILE_ATTRIBUTE_DIRECTORY else "file")


def enumerated_key(fields, position):
    names = [unfield(f) for f in fields[2:]]
    if names != sorted(names, key=lambda name: name.lower()):
        return "wine's sub-keys out of their name order: %r" % names
    ordered = sorted(names, key=enumeration_key)
    if not 0 <= position < len(ordered):
        return "raises OSError(winerror=259)"
    return repr(ordered[position])


def enumerated_value(fields):
    rest = fields[4:]
    values = []
    for i in range(0, len(rest) - 2, 3):
        typ = int(rest[i + 1])
        values.append((unfield(rest[i]), reg2py(bytes.fromhex(rest[i + 2]), typ), typ))
    names = [v[0] for v in values]
    if names != sorted(names, key=lambda name: name.lower()):
        return "wine's values out of their name order: %r" % names
    return listing_text(values)


def clip_bytes(data):
    """What pywin32's SetClipboardData copies into the clipboard's memory."""
    if isinstance(data, str):
        return (data + "\0").encode("utf-16-le", "surrogatepass")
    if isinstance(data, (bytes, bytearray)):
        return bytes(data) + b"\0"
    raise TypeError("Unsupported type for clipboard data")


def clipboard_answer(answers, fmt):
    available, got = answers
    if available[0] == "0":
        return "raises TypeError"
    if got[0] == "0":
        return "raises pywintypes.error(%s, 'GetClipboardData')" % got[1]
    data = bytes.fromhex(got[2])
    if fmt == CF_UNICODETEXT:
        return repr(data[:len(data) // 2 * 2 - 2].decode("utf-16-le", "surrogatepass"))
    if fmt == CF_TEXT:
        return repr(data[:-1])
    return repr(data)


# -- the harness under wine ------------------------------------------------------------

class WineUnavailable(Exception):
    pass


def find_wine():
    return shutil.which("wine64") or next(
        (p for p in ("/usr/lib/wine/wine64",) if os.path.isfile(p) and os.access(p, os.X_OK)), None)


def find_wineserver():
    return shutil.which("wineserver") or next(
        (p for p in ("/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver") if os.path.isfile(p)), None)


class Wine:
    """The harness built with mingw-w64 and run under wine64 in a prefix of its own."""

    def __init__(self, folder):
        self.folder = pathlib.Path(folder)
        self.wine = find_wine()
        if not self.wine:
            raise WineUnavailable("wine64 not found: scripts/setup test installs Debian's wine64")
        compiler = shutil.which("x86_64-w64-mingw32-g++-posix") or shutil.which("x86_64-w64-mingw32-g++")
        if not compiler:
            raise WineUnavailable("x86_64-w64-mingw32-g++ not found: scripts/setup test installs "
                                  "Debian's g++-mingw-w64-x86-64-posix")
        self.folder.mkdir(parents=True, exist_ok=True)
        self.exe = self.folder / "win32_harness.exe"
        built = subprocess.run([compiler, "-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", "-static",
                                "-o", str(self.exe), str(HARNESS)], capture_output=True, text=True,
                               env=self.clean_env(), timeout=300)
        if built.returncode != 0:
            raise WineUnavailable("the harness does not compile:\n" + built.stderr)
        home = self.folder / "home"
        home.mkdir(exist_ok=True)
        self.env = self.clean_env()
        self.env.update(WINEPREFIX=str(self.folder / "prefix"), WINEDEBUG="-all,err+all", HOME=str(home),
                        XDG_CONFIG_HOME=str(home / ".config"), XDG_DATA_HOME=str(home / ".local" / "share"),
                        XDG_CACHE_HOME=str(home / ".cache"), LANG="C.UTF-8", LC_ALL="C.UTF-8",
                        # No Mono or Gecko installers, no menu entries.
                        WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d")
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.starts = 0

    @staticmethod
    def clean_env():
        # A sanitizer pass preloads its runtime, under which wine cannot start.
        return {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}

    def run(self, lines):
        """The harness's answer lines for `lines`."""
        text = "".join(line + "\n" for line in lines)
        self.starts += 1
        try:
            result = subprocess.run([self.wine, str(self.exe)], input=text.encode("utf-8"), capture_output=True,
                                    env=self.env, cwd=self.folder, timeout=600)
        except subprocess.TimeoutExpired:
            raise WineUnavailable("wine64 did not answer within 600 s") from None
        answers = result.stdout.decode("utf-8").splitlines()
        if result.returncode != 0 or len(answers) != len(lines):
            where = lines[len(answers)] if len(answers) < len(lines) else "(after the last line)"
            # The harness writes its answers out at the end of each sequence.
            begun = [line for line in lines[:len(answers) + 1] if line.startswith("@begin")]
            raise WineUnavailable("wine64 ran the harness with exit status %d and %d of %d answers, in sequence "
                                  "%s; the first unanswered line: %s\n%s"
                                  % (result.returncode, len(answers), len(lines),
                                     begun[-1].split("\t")[1] if begun else "?", where,
                                     result.stderr.decode("utf-8", "replace")[-3000:]))
        return answers

    def stop(self):
        server = find_wineserver()
        if server:
            subprocess.run([server, "-k"], env=self.env, capture_output=True, timeout=60)


# -- known divergences of wine from Windows -----------------------------------------

DOCS = "https://learn.microsoft.com/en-us/windows/win32/"


def _error(outcome, code):
    return outcome == "raises OSError(winerror=%d)" % code


def _creates_without_right(context, ours, theirs):
    # Only the parent key's security makes the stand-in refuse a creation
    # with 5.
    return (context["step"][0] in ("CreateKey", "CreateKeyEx", "SetValue") and _error(ours, 5)
            and not theirs.startswith("raises"))


def _deletes_protected(context, ours, theirs):
    return context["step"][0] == "DeleteKey" and context.get("protected") and _error(ours, 5) and theirs == "None"


def _info_without_right(context, ours, theirs):
    # Past the unchecked right, wine answers, or finds the key deleted; EnumValue
    # begins with RegQueryInfoKeyW.
    step = context["step"][0]
    return (_error(ours, 5) and (step == "QueryInfoKey" and not theirs.startswith("raises")
                                 or step in ("QueryInfoKey", "EnumValue") and _error(theirs, 1018))
            and not context.get("access", KEY_ALL_ACCESS) & (KEY_QUERY_VALUE | GENERIC_READ | GENERIC_ALL
                                                             | MAXIMUM_ALLOWED))


def _last_index_unchecked(context, ours, theirs):
    # Refused for want of the right, or for a deleted key.
    step = context["step"]
    return (step[0] == "EnumKey" and len(step) > 2 and step[2] in (-1, 0xFFFFFFFF)
            and (_error(ours, 5) or _error(ours, 1018)) and _error(theirs, 259))


def _default_not_text(context, ours, theirs):
    return context["step"][0] == "QueryValue" and _error(ours, 13) and not theirs.startswith("raises")


def wine_attributes(value, folder):
    """The attribute word wine reports where Windows reports `value`."""
    if folder:
        return value & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) | FILE_ATTRIBUTE_DIRECTORY
    return value & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) | FILE_ATTRIBUTE_ARCHIVE


def _attribute_bits(context, ours, theirs):
    if context["step"][0] != "GetFileAttributesW" or " on a " not in ours or " on a " not in theirs:
        return False
    value, kind = ours.split(" on a ")
    return theirs == "%#x on a %s" % (wine_attributes(int(value, 16), kind == "folder"), kind)


def _cursor_stub(context, ours, theirs):
    return context["step"][0] == "SetSystemCursor" and theirs == "1"


# (name, the documentation that says what Windows does, test, whether the
# two states differ afterwards)
KNOWN_DIVERGENCES = [
    ("wine creates a sub-key below a key whose security does not grant KEY_CREATE_SUB_KEY",
     DOCS + "api/winreg/nf-winreg-regcreatekeyw", _creates_without_right, True),
    ("wine deletes a key whose security does not grant DELETE",
     DOCS + "api/winreg/nf-winreg-regdeletekeyw", _deletes_protected, True),
    ("wine answers RegQueryInfoKeyW through a handle without KEY_QUERY_VALUE",
     DOCS + "api/winreg/nf-winreg-regqueryinfokeyw", _info_without_right, False),
    ("wine's RegEnumKeyExW at index 0xFFFFFFFF answers 259 without looking at the key: its "
     "KEY_ENUMERATE_SUB_KEYS right, or whether it was deleted",
     DOCS + "api/winreg/nf-winreg-regenumkeyexw", _last_index_unchecked, False),
    ("wine's RegQueryValueW returns a default value that is not a string",
     DOCS + "api/winreg/nf-winreg-regqueryvaluew", _default_not_text, False),
    ("wine keeps only the read-only, hidden and system attributes (read-only not on folders) and reports "
     "every file as archive", DOCS + "api/fileapi/nf-fileapi-setfileattributesw", _attribute_bits, False),
    ("wine's SetSystemCursor accepts any handle, also one the system already owns",
     DOCS + "api/winuser/nf-winuser-setsystemcursor", _cursor_stub, False),
]


def compare(ours, theirs, contexts):
    """None when the transcripts agree (up to known divergences), else the
    index of the first step where they disagree. The second value lists the
    divergences met."""
    met = []
    for i, (a, b) in enumerate(zip(ours, theirs)):
        if a == b:
            continue
        outcome_a, outcome_b = a.split(" -> ", 1)[1], b.split(" -> ", 1)[1]
        if outcome_a == "raises NotImplementedError" and contexts[i].get("unimitated"):
            # What the simulated platform says it does not imitate.
            met.append("not simulated")
            continue
        for name, _, test, stops in KNOWN_DIVERGENCES:
            if test(contexts[i], outcome_a, outcome_b):
                met.append(name)
                if stops:
                    return None, met
                break
        else:
            return i, met
    if len(ours) != len(theirs):
        return min(len(ours), len(theirs)), met
    return None, met


def side_by_side(ours, theirs, first):
    width = max([len(line) for line in ours] + [20])
    rows = ["%-*s | %s" % (width, "simulated platform", "wine")]
    for i in range(max(len(ours), len(theirs))):
        a = ours[i] if i < len(ours) else ""
        b = theirs[i] if i < len(theirs) else ""
        mark = ">>" if i == first else "  "
        rows.append("%s %-*s | %s" % (mark, width, a, b))
    return "\n".join(rows)


# -- running many sequences ------------------------------------------------------------

class Replay:
    """Replays batches of sequences on both sides."""

    def __init__(self, wine, base):
        self.wine = wine
        self.base = pathlib.Path(base)
        self.count = 0
        probe = ["GetSystemMetrics\t0", "GetSystemMetrics\t1"]
        try:
            answers = wine.run(probe)
        except WineUnavailable as first:
            # The first start also makes the prefix, which a loaded machine
            # can fail once; a second failure is wine's answer.
            try:
                answers = wine.run(probe)
            except WineUnavailable as second:
                raise WineUnavailable("%s\nand again:\n%s" % (first, second)) from None
        self.screen = tuple(int(a.split("\t")[0]) for a in answers)

    def run(self, sequences):
        """[(sequence, ours, theirs, contexts, skipped reason)] for each sequence."""
        first = self.count
        self.count += len(sequences)
        plans, lines, spans = [], [], []
        for n, sequence in enumerate(sequences, first):
            folder = Folder(str(self.base / "wine" / str(n)))
            try:
                plan = WinePlan(n, sequence, folder)
            except Unreplayable as exc:
                plans.append(str(exc))
                spans.append(None)
                continue
            plans.append(plan)
            spans.append((len(lines), len(lines) + len(plan.lines)))
            lines += plan.lines
        answers = self.wine.run(lines) if lines else []
        ours = Simwin(str(self.base), self.screen).run_all(sequences, first)
        results = []
        for sequence, plan, span, (mine, notes) in zip(sequences, plans, spans, ours):
            if span is None:
                results.append((sequence, mine, None, None, plan))
                continue
            theirs = plan.read(answers[span[0]:span[1]])
            for context, note in zip(plan.contexts, notes):
                context.update(note)
            results.append((sequence, mine, theirs, plan.contexts, None))
        return results


def check(results, limit=5):
    """The failure text for the sequences that disagree (empty when none do),
    and {divergence: count}."""
    failures, met = [], {}
    for sequence, ours, theirs, contexts, skipped in results:
        if skipped:
            continue
        first, divergences = compare(ours, theirs, contexts)
        for name in divergences:
            met[name] = met.get(name, 0) + 1
        if first is not None:
            failures.append("%s\n%s" % (sequence.get("test", "generated"), side_by_side(ours, theirs, first)))
    text = ""
    if failures:
        text = "%d sequences disagree; the first %d:\n\n%s" % (len(failures), min(limit, len(failures)),
                                                               "\n\n".join(failures[:limit]))
    return text, met


def without(steps, k):
    """`steps` with step k taken out and later references renumbered, or
    None when a later step uses what step k returned."""
    def renumber(arg):
        if isinstance(arg, dict) and len(arg) == 1:
            (tag, value), = arg.items()
            if tag in ("r", "img") and isinstance(value, int):
                if value == k:
                    raise LookupError
                return {tag: value - 1 if value > k else value}
        return arg
    try:
        return steps[:k] + [[step[0]] + [renumber(a) for a in step[1:]] for step in steps[k + 1:]]
    except LookupError:
        return None


def shrink(runner, sequence, rounds=30):
    """A smaller sequence that still disagrees, found by taking steps out a
    batch at a time, with the two transcripts."""
    steps = sequence["steps"]
    for _ in range(rounds):
        candidates = [c for c in (without(steps, k) for k in range(1, len(steps))) if c is not None]
        if not candidates:
            break
        results = runner.run([{"test": "smaller", "steps": c} for c in candidates])
        failing = [r for r in results if not r[4] and compare(r[1], r[2], r[3])[0] is not None]
        if not failing:
            break
        steps = min(failing, key=lambda r: len(r[0]["steps"]))[0]["steps"]
    result = runner.run([{"test": "smaller", "steps": steps}])[0]
    first, _ = compare(result[1], result[2], result[3]) if not result[4] else (None, None)
    return "steps: %r\n%s" % (steps, side_by_side(result[1], result[2] or [], first))
