"""Workbook access for user code. Each operation is one synchronous request to the Business
Layer: {"action": ..., "address": ..., "values": ...}."""

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
        response = _request("get_range", address=self.address)
        return response.get("values") if isinstance(response, dict) else None

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
