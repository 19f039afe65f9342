"""Stand-in for pywin32's ``pywintypes``: its two exception classes."""


class error(Exception):
    """A failed Win32 call: (winerror, funcname, strerror)."""

    def __init__(self, *args):
        super().__init__(*args)
        padded = args + (None,) * (3 - len(args))
        self.winerror, self.funcname, self.strerror = padded[:3]


class com_error(Exception):
    """A failed COM call: (hresult, strerror, excepinfo, argerror)."""

    def __init__(self, *args):
        super().__init__(*args)
        padded = args + (None,) * (4 - len(args))
        self.hresult, self.strerror, self.excepinfo, self.argerror = padded[:4]


error.__module__ = com_error.__module__ = "pywintypes"
