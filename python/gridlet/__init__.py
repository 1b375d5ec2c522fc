"""gridlet: the bridge between workbook code and Excel.

The kernel wires this module to its live connection: `messaging.send_request_sync` asks the
Business Layer questions, `_kernel_instance` reaches the kernel's services, and `Serializer`
converts values to and from their wire form. `display` shows rich values in the editor.
"""
import os as _os

from . import messaging
from .serializer import Serializer
from .workbook import Excel, Context

excel = Excel()
context = Context()
connection_args = {}
_kernel_instance = None

# matplotlib draws into the editor unless the user chose a backend. Only the name is set here:
# matplotlib itself is imported when user code first needs it.
if not _os.environ.get("MPLBACKEND"):
    _os.environ["MPLBACKEND"] = "module://gridlet.matplotlib_backend"


def display(*objs, figure_formats=None):
    """Shows each object in the editor's output with the richest form it offers (see rich_display)."""
    # The module loads on first use, so that start-up does not pay for it.
    from .rich_display import display as _display
    _display(*objs, figure_formats=figure_formats)


def _get_win32():
    """COM tools for the Windows event hooks; there is no COM on this platform."""
    raise RuntimeError("COM automation is not available on this platform (Windows only)")


__all__ = ["messaging", "Serializer", "excel", "context", "connection_args", "display"]
