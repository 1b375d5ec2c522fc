"""Workbook access for user code.

Each operation is one synchronous request to the Business Layer (`messaging.send_request_sync`),
which answers it against the workbook it holds:

    gridlet.excel.range(addr).value        {"action": "get_range", "address": addr}
                                           answer {"values": scalar for one cell, else a list of rows}
    gridlet.excel.range(addr).value = v    {"action": "set_range", "address": addr, "values": v}
                                           (v in wire form); any answer without "error" is success
    gridlet.excel.sheet_names()            {"action": "sheet_names"}
                                           answer {"values": [sheet names]}

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

    def __repr__(self):
        return f"Range({self.address!r})"


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
