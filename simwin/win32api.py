"""Stand-in for pywin32's ``win32api``: screen metrics.  Like the real module
it has no SetSystemCursor: that is user32's, reached through ctypes."""

from . import _state


def GetSystemMetrics(index, /):
    if not isinstance(index, int):
        raise TypeError("an integer is required (got type %s)" % type(index).__name__)
    width, height = _state.machine().screen_size
    return {0: width, 1: height}.get(index, 0)
