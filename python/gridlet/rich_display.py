"""Rich display of values in the editor's output.

`display(*objs)` sends one display_data message per object: a MIME bundle {MIME type: value}
that always holds "text/plain". An object offers richer forms through the display protocol
known from notebooks: `_repr_mimebundle_(include=None, exclude=None)`, then `_repr_png_`,
`_repr_jpeg_`, `_repr_svg_`, `_repr_html_`, `_repr_markdown_`, `_repr_latex_` and
`_repr_json_`; each may return None (not offered), a value, or a (value, metadata) pair. A
matplotlib figure is rendered as PNG (and SVG when `figure_formats` asks for it).

On the wire images are base64 text, text types are text and application/json is a JSON value.
Outside a connected kernel the text/plain form is printed instead.
"""

import sys

# What a matplotlib figure is rendered as: any of "png" and "svg".
figure_formats = ["png"]

_REPR_METHODS = (
    ("_repr_png_", "image/png"),
    ("_repr_jpeg_", "image/jpeg"),
    ("_repr_svg_", "image/svg+xml"),
    ("_repr_html_", "text/html"),
    ("_repr_markdown_", "text/markdown"),
    ("_repr_latex_", "text/latex"),
    ("_repr_json_", "application/json"),
)
_BINARY = ("image/png", "image/jpeg", "image/gif", "image/webp")


def _method(obj, name):
    # Looked up on the type, so that classes themselves and objects whose __getattr__ answers
    # every name are not taken for displayable objects.
    attr = getattr(type(obj), name, None)
    if attr is None or not callable(attr):
        return None
    return getattr(obj, name)


def _b64(data):
    # Imported on first use: base64 pulls in re and struct, which start-up does not need.
    import base64
    return base64.b64encode(bytes(data)).decode("ascii")


def _wire_value(mime, value):
    if mime in _BINARY:
        if isinstance(value, (bytes, bytearray, memoryview)):
            return _b64(value)
        return value  # already base64 text
    if mime == "application/json" or mime.endswith("+json"):
        return value
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("utf-8", "replace")
    return value if isinstance(value, str) else str(value)


def _matplotlib_figure(obj):
    mod = sys.modules.get("matplotlib.figure")
    return mod is not None and isinstance(obj, mod.Figure)


def figure_png(fig):
    """PNG bytes of a matplotlib figure, at its own size and dpi."""
    import io
    buf = io.BytesIO()
    fig.canvas.print_figure(buf, format="png")
    return buf.getvalue()


def png_size(data):
    """(width, height) from a PNG's header, or None when `data` is not a PNG."""
    if len(data) >= 24 and data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR":
        return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")
    return None


def _figure_bundle(fig, formats):
    data, metadata = {}, {}
    for fmt in formats:
        if fmt == "png":
            png = figure_png(fig)
            data["image/png"] = _b64(png)
            size = png_size(png)
            if size:
                metadata["image/png"] = {"width": size[0], "height": size[1]}
        elif fmt == "svg":
            import io
            buf = io.StringIO()
            fig.canvas.print_figure(buf, format="svg")
            data["image/svg+xml"] = buf.getvalue()
        else:
            raise ValueError(f"unknown figure format {fmt!r} (use 'png' or 'svg')")
    return data, metadata


def mime_bundle(obj, figure_formats=None):
    """(data, metadata) of `obj` as display sends it."""
    data, metadata = {}, {}
    if _matplotlib_figure(obj):
        data, metadata = _figure_bundle(obj, figure_formats or globals()["figure_formats"])
    else:
        method = _method(obj, "_repr_mimebundle_")
        if method is not None:
            bundle = method(include=None, exclude=None)
            if isinstance(bundle, tuple) and len(bundle) == 2:
                bundle, meta = bundle
                if isinstance(meta, dict):
                    metadata.update(meta)
            if isinstance(bundle, dict):
                for mime, value in bundle.items():
                    if value is not None:
                        data[str(mime)] = _wire_value(str(mime), value)
        for name, mime in _REPR_METHODS:
            if mime in data:
                continue
            method = _method(obj, name)
            if method is None:
                continue
            value = method()
            if isinstance(value, tuple) and len(value) == 2 and isinstance(value[1], dict):
                value, meta = value
                metadata[mime] = meta
            if value is not None:
                data[mime] = _wire_value(mime, value)
    if not isinstance(data.get("text/plain"), str):
        data["text/plain"] = repr(obj)
    return data, metadata


def publish(data, metadata=None):
    """Sends one display_data message with an already built bundle (text/plain required)."""
    import gridlet
    kernel = gridlet._kernel_instance
    if kernel is None:
        print(data.get("text/plain", ""))
        return
    kernel.send_display_data(data, metadata or {})


def display(*objs, figure_formats=None):
    """Shows each object in the editor's output with the richest form it offers."""
    for obj in objs:
        data, metadata = mime_bundle(obj, figure_formats)
        publish(data, metadata)
