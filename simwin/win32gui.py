"""Stand-in for pywin32's ``win32gui``: loading cursor and icon images."""

import os
import struct

from . import _state
from .pywintypes import error
from .win32con import IMAGE_BITMAP, LR_LOADFROMFILE

_next_handle = [0x10003]

_PNG = b"\x89PNG\r\n\x1a\n"


def _icon_directory(data):
    """True for an .ico or .cur file: a directory of images, each inside
    the file and each a device-independent bitmap or a PNG."""
    if len(data) < 6:
        return False
    reserved, kind, count = struct.unpack_from("<HHH", data)
    if reserved or kind not in (1, 2) or not count or len(data) < 6 + 16 * count:
        return False
    for i in range(count):
        size, offset = struct.unpack_from("<II", data, 6 + 16 * i + 8)
        image = data[offset:offset + size]
        if not size or len(image) < size:
            return False
        if not image.startswith(_PNG) and (len(image) < 40 or struct.unpack_from("<I", image)[0] != 40):
            return False
    return True


def _chunks(data, start, end):
    """(id, body) of the RIFF chunks between start and end."""
    while start + 8 <= end:
        ident, size = data[start:start + 4], struct.unpack_from("<I", data, start + 4)[0]
        body = data[start + 8:start + 8 + size]
        if len(body) < size:
            return
        yield ident, body
        start += 8 + size + (size & 1)


def _animated_cursor(data):
    """True for an .ani file: a RIFF "ACON" with its header and its frames."""
    if len(data) < 12 or data[:4] != b"RIFF" or data[8:12] != b"ACON":
        return False
    end = min(len(data), 8 + struct.unpack_from("<I", data, 4)[0])
    header = frames = False
    for ident, body in _chunks(data, 12, end):
        if ident == b"anih" and len(body) >= 36:
            header = True
        elif ident == b"LIST" and body[:4] == b"fram":
            icons = [icon for kind, icon in _chunks(body, 4, len(body)) if kind == b"icon"]
            frames = bool(icons) and all(_icon_directory(icon) for icon in icons)
    return header and frames


# The images Windows has built in, by type (LoadImage with no module and a number).
_BUILT_IN = {
    2: {32512, 32513, 32514, 32515, 32516, 32631, *range(32640, 32647), *range(32648, 32663)},  # OCR_NORMAL ...
    1: set(range(32512, 32519)),                  # OIC_SAMPLE ... OIC_SHIELD
    0: {32732, *range(32734, 32768)},             # OBM_...
}


def _loads(data, image_type):
    if image_type == IMAGE_BITMAP:
        return data[:2] == b"BM"
    return _icon_directory(data) or _animated_cursor(data)


def LoadImage(hinst, name, type, cxDesired, cyDesired, fuLoad, /):
    """Load an image; with LR_LOADFROMFILE ``name`` is a file path. A file
    that holds no image of that type fails without an error code, as
    user32's LoadImageW leaves the last error alone then."""
    machine = _state.machine()
    # pywin32 takes a str or a resource number, which it passes as the
    # name's address (MAKEINTRESOURCE).
    number = isinstance(name, int) and 0 <= name <= 0xFFFF
    if not number and not isinstance(name, str):
        raise TypeError("Resource id/name must be unicode or int in the range 0-65536")
    if fuLoad & LR_LOADFROMFILE:
        if number and name:
            # The number is read as the address of a file name.
            raise NotImplementedError("LoadImage with LR_LOADFROMFILE reads the resource number %d as the "
                                      "address of a file name; the simulated platform cannot do that" % name)
        if number:  # a null file name
            raise error(3, "LoadImage", "The system cannot find the path specified.")
        if os.path.isdir(name):
            raise error(5, "LoadImage", "Access is denied.")
        if not os.path.isfile(name):
            if os.path.isdir(os.path.dirname(os.path.abspath(name))):
                raise error(2, "LoadImage", "The system cannot find the file specified.")
            raise error(3, "LoadImage", "The system cannot find the path specified.")
        if not os.access(name, os.R_OK):
            raise error(5, "LoadImage", "Access is denied.")
        with open(name, "rb") as f:
            data = f.read()
        if not data:  # an empty file cannot be mapped
            raise error(1006, "LoadImage", "The volume for a file has been externally altered so that the "
                                           "opened file is no longer valid.")
        if not _loads(data, type):
            raise error(0, "LoadImage", "The operation completed successfully.")
    elif not isinstance(name, int):
        raise error(1813, "LoadImage",
                    "The specified resource type cannot be found in the image file.")
    elif name not in _BUILT_IN.get(type, ()):
        if type == IMAGE_BITMAP:
            raise error(1814, "LoadImage", "The specified resource name cannot be found in the image file.")
        # Icons and cursors are found through their group's type first.
        raise error(1813, "LoadImage", "The specified resource type cannot be found in the image file.")
    handle = _next_handle[0]
    _next_handle[0] += 0x2A
    machine.images[handle] = (name, type)
    return handle
