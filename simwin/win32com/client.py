"""Stand-in for ``win32com.client``: Dispatch of the "WScript.Shell" object.

The shell's shortcut objects behave like pywin32's late-bound COM objects:
property names are matched without regard to case, an unknown property can
be neither read nor assigned, and ``Save`` writes the shortcut file (here a
small JSON document holding the properties).
"""

import json
import os

from .. import _state
from ..pywintypes import com_error

CO_E_CLASSSTRING = -2147221005
DISP_E_EXCEPTION = -2147352567

# Shortcut properties: canonical name -> default for a new shortcut.
_SHORTCUT_PROPERTIES = {
    "Arguments": "",
    "Description": "",
    "Hotkey": "",
    "IconLocation": ",0",
    "TargetPath": "",
    "WindowStyle": 1,
    "WorkingDirectory": "",
}
_CANONICAL = {name.lower(): name for name in _SHORTCUT_PROPERTIES}


def _exception(source, text, scode):
    return com_error(DISP_E_EXCEPTION, "Exception occurred.",
                     (0, source, text, None, 0, scode), None)


class _COMObject:
    """Common base: the ``<COMObject name>`` repr of pywin32's CDispatch."""

    def __init__(self, username):
        object.__setattr__(self, "_username_", username)

    def __repr__(self):
        return "<COMObject %s>" % self._username_


class Shortcut(_COMObject):
    """A WshShortcut object; nothing is written until Save()."""

    def __init__(self, username, path):
        super().__init__(username)
        props = dict(_SHORTCUT_PROPERTIES)
        try:
            with open(path, encoding="utf-8") as f:
                stored = json.load(f)
            props.update({k: v for k, v in stored.items() if k in props})
        except (OSError, ValueError, AttributeError):
            pass
        object.__setattr__(self, "_path", path)
        object.__setattr__(self, "_props", props)

    def __getattr__(self, name):
        lower = name.lower()
        if lower == "fullname":
            return self._path
        if lower in _CANONICAL:
            return self._props[_CANONICAL[lower]]
        if lower == "save":
            return self._save
        raise AttributeError("%s.%s" % (self._username_, name))

    def __setattr__(self, name, value):
        canonical = _CANONICAL.get(name.lower())
        if canonical is None:
            raise AttributeError("Property '%s.%s' can not be set."
                                 % (self._username_, name))
        if canonical == "WindowStyle":
            value = int(value)
        else:
            # COM turns the variant into a BSTR.
            value = "" if value is None else str(value)
        self._props[canonical] = value

    def _save(self):
        machine = _state.machine()
        try:
            with open(self._path, "w", encoding="utf-8") as f:
                json.dump(self._props, f, indent=1, sort_keys=True)
        except OSError:
            raise _exception("WshShortcut.Save",
                             'Unable to save shortcut "%s".' % self._path,
                             -2147024893) from None
        machine.shortcuts[self._path] = dict(self._props)


class Shell(_COMObject):
    """The WshShell object."""

    def __getattr__(self, name):
        if name.lower() == "createshortcut":
            return lambda path: self._create_shortcut(name, path)
        raise AttributeError("%s.%s" % (self._username_, name))

    def __setattr__(self, name, value):
        raise AttributeError("Property '%s.%s' can not be set."
                             % (self._username_, name))

    @staticmethod
    def _create_shortcut(username, path):
        if not isinstance(path, str):
            path = str(path)
        if not path.lower().endswith((".lnk", ".url")):
            raise _exception("WshShell.CreateShortcut",
                             "The shortcut pathname must end with .lnk or .url.",
                             -2147024809)
        return Shortcut(username, os.path.abspath(path))


# pythoncom.CLSCTX_SERVER: in-process, local and remote servers.
CLSCTX_SERVER = 0x15


def Dispatch(dispatch, userName=None, resultCLSID=None, typeinfo=None,
             clsctx=CLSCTX_SERVER):
    machine = _state.machine()
    if (not machine.dispatch_fails and isinstance(dispatch, str)
            and dispatch.lower() == "wscript.shell"):
        return Shell(userName or dispatch)
    raise com_error(CO_E_CLASSSTRING, "Invalid class string", None, None)
