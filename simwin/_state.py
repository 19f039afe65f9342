"""The one simulated machine of this process (set by simwin.activate)."""

import posixpath
import threading

active = None

# The host's own expanduser, taken before any machine replaces it.
posix_expanduser = posixpath.expanduser

# Each thread has its own last-error value, as on Windows.
_thread = threading.local()


def machine():
    """The active Platform; the stand-in modules only work while one is active."""
    if active is None:
        raise RuntimeError("the simulated Windows platform is not active "
                           "(call simwin.activate() first)")
    return active


def get_last_error():
    return getattr(_thread, "last_error", 0)


def set_last_error(code):
    _thread.last_error = code
