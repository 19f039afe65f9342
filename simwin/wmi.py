"""Stand-in for the ``wmi`` package: the monitor brightness class of the
root/wmi namespace."""

from . import _state
from .pywintypes import com_error


class x_wmi(Exception):
    """Ancestor of the wmi module's exceptions."""

    def __init__(self, info="", com_error=None):
        super().__init__(info, com_error)
        self.info = info
        self.com_error = com_error

    def __str__(self):
        return "<x_wmi: %s %s>" % (self.info or "Unexpected COM Error",
                                   self.com_error or "(no underlying exception)")


class x_wmi_no_namespace(x_wmi):
    pass


x_wmi.__module__ = x_wmi_no_namespace.__module__ = "wmi"

WBEM_E_INVALID_NAMESPACE = -2147217394


class _BrightnessMethods:
    """One WmiMonitorBrightnessMethods instance (one monitor)."""

    def WmiSetBrightness(self, Brightness, Timeout):
        _state.machine().brightness.append((Brightness, Timeout))
        return ()

    def __repr__(self):
        return "<_wmi_object: WmiMonitorBrightnessMethods>"


class _Namespace:
    def __init__(self, name, has_monitor_classes):
        self._name = name
        self._monitor_classes = has_monitor_classes

    def WmiMonitorBrightnessMethods(self, fields=(), **where):
        if not self._monitor_classes:
            raise x_wmi("Invalid class", com_error(
                -2147217392, "OLE error 0x80041010", None, None))
        return [_BrightnessMethods() for _ in range(_state.machine().monitors)]

    def __repr__(self):
        return "<_wmi_namespace: %s>" % self._name


_NAMESPACES = {"wmi": True, "cimv2": False}


def WMI(computer="", impersonation_level="", authentication_level="",
        authority="", privileges="", moniker="", wmi=None, namespace="",
        suffix="", user="", password="", find_classes=False, debug=False):
    _state.machine()
    name = namespace.replace("/", "\\").lower() if namespace else "root\\cimv2"
    if name.startswith("root\\"):
        name = name[5:]
    if name not in _NAMESPACES:
        raise x_wmi_no_namespace(
            "Unexpected COM Error",
            com_error(WBEM_E_INVALID_NAMESPACE, "OLE error 0x8004100e", None, None))
    return _Namespace("root/" + name, _NAMESPACES[name])
