"""gridlet: the bridge between workbook code and Excel.

The kernel wires this module to its live connection: `messaging.send_request_sync` asks the
Business Layer questions, `_kernel_instance` reaches the kernel's services, and `Serializer`
converts values to and from their wire form.
"""
from . import messaging
from .serializer import Serializer
from .workbook import Excel, Context

excel = Excel()
context = Context()
connection_args = {}
_kernel_instance = None


def _get_win32():
    """COM tools for the Windows event hooks; there is no COM on this platform."""
    raise RuntimeError("COM automation is not available on this platform (Windows only)")


__all__ = ["messaging", "Serializer", "excel", "context", "connection_args"]
