"""Stand-in for pywin32's ``win32gui``: loading cursor and icon images."""

import os

from . import _state
from .pywintypes import error
from .win32con import LR_LOADFROMFILE

_next_handle = [0x10003]


def LoadImage(hinst, name, type, cxDesired, cyDesired, fuLoad, /):
    """Load an image; with LR_LOADFROMFILE ``name`` is a file path."""
    machine = _state.machine()
    if fuLoad & LR_LOADFROMFILE:
        if not isinstance(name, str):
            raise TypeError("the file name must be a string")
        if not os.path.isfile(name):
            raise error(2, "LoadImage", "The system cannot find the file specified.")
        if not os.access(name, os.R_OK):
            raise error(5, "LoadImage", "Access is denied.")
    elif not isinstance(name, int):
        raise error(1813, "LoadImage",
                    "The specified resource type cannot be found in the image file.")
    handle = _next_handle[0]
    _next_handle[0] += 0x2A
    machine.images[handle] = (name, type)
    return handle
