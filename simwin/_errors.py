"""Windows error codes, their system texts and the exceptions built from them.

Python on Windows turns a Windows error code into an ``OSError`` whose
``winerror`` attribute holds the code, whose ``errno`` is the mapped C errno,
whose class is picked from that errno (FileNotFoundError, PermissionError...)
and whose text reads ``[WinError N] Text``.  On Linux ``OSError`` knows nothing
about ``winerror``, so the classes below add it back.
"""

import errno as _errno

# System message texts, as FormatMessage returns them (with the final dot).
MESSAGES = {
    0: "The operation completed successfully.",
    1: "Incorrect function.",
    2: "The system cannot find the file specified.",
    3: "The system cannot find the path specified.",
    5: "Access is denied.",
    6: "The handle is invalid.",
    13: "The data is invalid.",
    87: "The parameter is incorrect.",
    123: "The filename, directory name, or volume label syntax is incorrect.",
    161: "The specified path is invalid.",
    259: "No more data is available.",
    1018: "Illegal operation attempted on a registry key that has been "
          "marked for deletion.",
    1006: "The volume for a file has been externally altered so that the opened file is no longer valid.",
    1168: "Element not found.",
    1418: "Thread does not have a clipboard open.",
}

# The part of CPython's winerror_to_errno table that these codes need;
# every other code maps to EINVAL, as there.
_ERRNO = {
    2: _errno.ENOENT,
    3: _errno.ENOENT,
    5: _errno.EACCES,
    6: _errno.EBADF,
    161: _errno.ENOENT,
}


def message(code):
    """The system text for a Windows error code ("Unknown error" if unknown)."""
    return MESSAGES.get(code, "Unknown error")


def to_errno(code):
    return _ERRNO.get(code, _errno.EINVAL)


def _win_str(self):
    text = "[WinError %s] %s" % (self.winerror, self.strerror)
    if self.filename is not None:
        text += ": %r" % (self.filename,)
        if self.filename2 is not None:
            text += " -> %r" % (self.filename2,)
    return text


_CLASSES = {}


def _class_for(base):
    """A subclass of ``base`` printing itself as Windows does.

    It keeps the builtin's name and module so that tracebacks read
    ``FileNotFoundError: [WinError 2] ...`` like on Windows.
    """
    cls = _CLASSES.get(base)
    if cls is None:
        cls = type(base.__name__, (base,), {"__str__": _win_str,
                                            "__module__": "builtins"})
        cls.__qualname__ = base.__name__
        _CLASSES[base] = cls
    return cls


def win_oserror(code, text=None, filename=None):
    """The OSError that Python on Windows raises for Windows error ``code``.

    ``text`` defaults to the system message without its final dots, which is
    how PyErr_SetFromWindowsErr trims it.
    """
    if text is None:
        text = message(code).rstrip(" .")
    err = to_errno(code)
    args = (err, text) if filename is None else (err, text, filename)
    exc = _class_for(type(OSError(err, text)))(*args)
    exc.winerror = code
    return exc
