"""Stand-in for pywin32's ``win32api``: screen metrics and the system cursor."""

from . import _state
from .pywintypes import error


def GetSystemMetrics(index, /):
    if not isinstance(index, int):
        raise TypeError("an integer is required (got type %s)" % type(index).__name__)
    width, height = _state.machine().screen_size
    return {0: width, 1: height}.get(index, 0)


def SetSystemCursor(hCursor, id, /):
    """Replace a system cursor.  The system takes over (and later destroys)
    the cursor handle, so a handle works only once."""
    machine = _state.machine()
    image = machine.images.pop(int(hCursor), None) if isinstance(hCursor, int) else None
    if image is None:
        raise error(6, "SetSystemCursor", "The handle is invalid.")
    machine.cursor = (image[0], id)
