"""Stand-in for pywin32's ``win32api``: screen metrics.  Like the real module
it has no SetSystemCursor: that is user32's, reached through ctypes."""

from . import _state

SM_CMONITORS = 80


def _known_index(index):
    """The indices Windows defines; any other one answers 0."""
    return 0 <= index <= 99 or 0x1000 <= index <= 0x1001 or 0x2000 <= index <= 0x2004


def GetSystemMetrics(index, /):
    if not isinstance(index, int):
        raise TypeError("an integer is required (got type %s)" % type(index).__name__)
    machine = _state.machine()
    width, height = machine.screen_size
    if index in (0, 1):
        return (width, height)[index]
    if index == SM_CMONITORS:
        return machine.monitors
    if _known_index(index):
        raise NotImplementedError("GetSystemMetrics(%d): the simulated platform knows the screen size "
                                  "(0 and 1) and the number of monitors (80) only" % index)
    return 0
