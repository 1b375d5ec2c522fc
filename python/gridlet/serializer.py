"""Wire form of values passed between Excel and Python.

JSON-native values map to themselves; tuples become lists; dates and datetimes travel as
{"__gridlet__": "date" | "datetime", "value": ISO text}; numpy arrays and scalars and pandas
DataFrames/Series become (nested) lists. Anything else cannot be sent.
"""

_NATIVE = (str, int, float, bool, type(None))


def _default(func):
    # Marks the stock conversions so the kernel may skip calling them for plain JSON scalars.
    func._gridlet_default = True
    return func


def _from_numpy_or_pandas(value):
    module = type(value).__module__ or ""
    if module.startswith("numpy"):
        import numpy
        if isinstance(value, numpy.ndarray):
            return Serializer.to_wire(value.tolist())
        if isinstance(value, numpy.generic):
            return Serializer.to_wire(value.item())
    elif module.startswith("pandas"):
        import pandas
        if isinstance(value, pandas.DataFrame):
            header = [Serializer.to_wire(c) for c in value.columns]
            rows = [[Serializer.to_wire(v) for v in row] for row in value.itertuples(index=False, name=None)]
            return [header] + rows
        if isinstance(value, pandas.Series):
            return [Serializer.to_wire(v) for v in value.tolist()]
        if isinstance(value, pandas.Timestamp):
            return Serializer.to_wire(value.to_pydatetime())
    raise TypeError(f"Object of type {type(value).__name__} cannot be converted to wire format")


class Serializer:
    @staticmethod
    @_default
    def to_wire(value):
        if isinstance(value, _NATIVE):
            if isinstance(value, float) and value != value:
                return None
            return value
        if isinstance(value, (list, tuple)):
            return [Serializer.to_wire(v) for v in value]
        if isinstance(value, dict):
            out = {}
            for k, v in value.items():
                if not isinstance(k, str):
                    raise TypeError(f"Dictionary keys must be str for wire format, not {type(k).__name__}")
                out[k] = Serializer.to_wire(v)
            return out
        import datetime
        if isinstance(value, datetime.datetime):
            return {"__gridlet__": "datetime", "value": value.isoformat()}
        if isinstance(value, datetime.date):
            return {"__gridlet__": "date", "value": value.isoformat()}
        return _from_numpy_or_pandas(value)

    @staticmethod
    @_default
    def from_wire(value):
        if isinstance(value, list):
            return [Serializer.from_wire(v) for v in value]
        if isinstance(value, dict):
            tag = value.get("__gridlet__")
            if tag in ("datetime", "date") and isinstance(value.get("value"), str):
                import datetime
                if tag == "datetime":
                    return datetime.datetime.fromisoformat(value["value"])
                return datetime.date.fromisoformat(value["value"])
            return {k: Serializer.from_wire(v) for k, v in value.items()}
        return value
