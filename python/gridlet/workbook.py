"""Workbook access for user code.

Each operation is one synchronous request to the Business Layer (`messaging.send_request_sync`),
which answers it against the workbook it holds:

    gridlet.excel.range(addr).value        {"action": "get_range", "address": addr}
                                           answer {"values": scalar for one cell, else a list of rows}
    gridlet.excel.range(addr).value = v    {"action": "set_range", "address": addr, "values": v}
                                           (v in wire form); any answer without "error" is success
    gridlet.excel.sheet_names()            {"action": "sheet_names"}
                                           answer {"values": [sheet names]}
    gridlet.excel.range(addr).add_picture(picture, name=None, width=None, height=None)
                                           {"action": "add_picture", "address": addr, "name": name,
                                            "image_png": base64 PNG, "width": w, "height": h}
                                           answer {"name": the picture's name}; a picture of the
                                           same name is replaced

Addresses are A1 references: "Sheet1!A1", "Sheet1!A1:B3", "'My sheet'!$A$1", or "A1" on the
first sheet. An answer carrying "error" makes the call raise RuntimeError with that text.
Values travel in wire form (see serializer.py), so dates written come back as dates.
"""

from . import messaging


def _request(action, **fields):
    req = {"action": action}
    req.update(fields)
    response = messaging.send_request_sync(req)
    if isinstance(response, dict) and response.get("error"):
        raise RuntimeError(f"{action} failed: {response['error']}")
    return response


class Range:
    def __init__(self, address):
        if not isinstance(address, str) or not address:
            raise ValueError("a range address such as 'Sheet1!A1:B3' is required")
        self.address = address

    @property
    def value(self):
        from .serializer import Serializer
        response = _request("get_range", address=self.address)
        return Serializer.from_wire(response.get("values")) if isinstance(response, dict) else None

    @value.setter
    def value(self, values):
        from .serializer import Serializer
        _request("set_range", address=self.address, values=Serializer.to_wire(values))

    def add_picture(self, picture, name=None, width=None, height=None):
        """Places a picture with its top left corner on this range's first cell.

        `picture` is PNG bytes, a matplotlib figure or an object with `_repr_png_`. `width` and
        `height` are in pixels (None: the picture's own). A picture that already has `name` is
        replaced, so a function that runs again updates its chart. Returns the answer.
        """
        import base64
        png = _png_of(picture)
        if name is not None and not isinstance(name, str):
            raise TypeError(f"name must be str or None, not {type(name).__name__}")
        for label, size in (("width", width), ("height", height)):
            if size is not None and (isinstance(size, bool) or not isinstance(size, (int, float)) or size <= 0):
                raise ValueError(f"{label} must be a positive number or None")
        return _request("add_picture", address=self.address, name=name,
                        image_png=base64.b64encode(png).decode("ascii"), width=width, height=height)

    def __repr__(self):
        return f"Range({self.address!r})"


def _png_of(picture):
    from .rich_display import _matplotlib_figure, _method, figure_png, png_size
    if _matplotlib_figure(picture):
        return figure_png(picture)
    if isinstance(picture, (bytes, bytearray, memoryview)):
        png = bytes(picture)
    else:
        method = _method(picture, "_repr_png_")
        png = method() if method is not None else None
        if isinstance(png, tuple):
            png = png[0]
        if not isinstance(png, (bytes, bytearray)):
            raise TypeError(f"add_picture takes PNG bytes or a matplotlib figure, not {type(picture).__name__}")
        png = bytes(png)
    if png_size(png) is None:
        raise ValueError("the picture is not a PNG image")
    return png


class Excel:
    """The workbook as user code sees it."""

    def range(self, address):
        return Range(address)

    def sheet_names(self):
        response = _request("sheet_names")
        return response.get("values", []) if isinstance(response, dict) else []

    def __repr__(self):
        return "<gridlet.excel>"


class Context:
    """What the current call knows about its caller."""

    def __init__(self):
        self.workbook_id = None

    def __repr__(self):
        return "<gridlet.context>"
