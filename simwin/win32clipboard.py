"""Stand-in for pywin32's ``win32clipboard`` working on Platform.clipboard."""

from . import _state
from .pywintypes import error

CF_TEXT = 1
CF_UNICODETEXT = 13


class Clipboard:
    """The clipboard of the simulated machine.

    ``held_by_other`` makes OpenClipboard fail as when another program keeps
    the clipboard open; ``fail_empty`` / ``fail_set`` make those calls fail.
    """

    def __init__(self):
        self.is_open = False
        self.data = {}
        # Text formats the system converts to when asked, as it offers them
        # once the clipboard is closed after a change.
        self.synthesized = set()
        self.held_by_other = False
        self.fail_empty = False
        self.fail_set = False
        self.changed = False

    @property
    def text(self):
        return self.data.get(CF_UNICODETEXT)

    def available(self, format):
        return format in self.data or format in self.synthesized


def _clipboard():
    return _state.machine().clipboard


def _opened(func):
    board = _clipboard()
    if not board.is_open:
        raise error(1418, func, "Thread does not have a clipboard open.")
    return board


def OpenClipboard(hWnd=None, /):
    # Only another program holding it open makes this fail: opening it
    # again from here succeeds, as when the same window opens it twice.
    board = _clipboard()
    if board.held_by_other:
        raise error(5, "OpenClipboard", "Access is denied.")
    board.is_open = True


def CloseClipboard():
    board = _opened("CloseClipboard")
    board.is_open = False
    board.synthesized = set()
    if CF_UNICODETEXT in board.data and CF_TEXT not in board.data:
        board.synthesized.add(CF_TEXT)
    elif CF_TEXT in board.data and CF_UNICODETEXT not in board.data:
        board.synthesized.add(CF_UNICODETEXT)


def EmptyClipboard():
    board = _opened("EmptyClipboard")
    if board.fail_empty:
        raise error(5, "EmptyClipboard", "Access is denied.")
    board.data.clear()
    board.synthesized = set()
    board.changed = True


def SetClipboardData(format, hMem, /):
    board = _opened("SetClipboardData")
    if not isinstance(format, int):
        raise TypeError("an integer is required (got type %s)" % type(format).__name__)
    if not isinstance(hMem, (str, bytes, int)) or isinstance(hMem, bool):
        raise TypeError("Unsupported type for clipboard data: %s" % type(hMem).__name__)
    if board.fail_set:
        raise error(5, "SetClipboardData", "Access is denied.")
    board.data[format] = hMem
    board.changed = True
    return 0x2F0157 + len(board.data)


def GetClipboardData(format=CF_TEXT, /):
    # pywin32 asks whether the format is there before it asks for the data,
    # so a missing format is a TypeError even with the clipboard closed.
    board = _clipboard()
    if not board.available(format):
        raise TypeError("Specified clipboard format is not available")
    _opened("GetClipboardData")
    data = board.data.get(format)
    if data is None and format == CF_TEXT and isinstance(
            board.data.get(CF_UNICODETEXT), str):
        # Windows converts Unicode text to the ANSI code page on request.
        data = board.data[CF_UNICODETEXT].encode("cp1252", "replace")
    elif data is None and format == CF_UNICODETEXT and isinstance(
            board.data.get(CF_TEXT), bytes):
        data = board.data[CF_TEXT].decode("cp1252", "replace")
    if data is None:
        raise TypeError("Specified clipboard format is not available")
    if format == CF_TEXT and isinstance(data, str):
        data = data.encode("cp1252", "replace")
    return data

