"""Rich output: display_data from gridlet.display and matplotlib, and pictures placed in the sheet."""

import base64
import struct
import textwrap

from calls import of_type, send_module
from conftest import rid

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# The first import of matplotlib may build its font cache.
SLOW = 60


def png_size(b64):
    """(width, height) of a base64 PNG, checking the signature and the IHDR chunk."""
    raw = base64.b64decode(b64, validate=True)
    assert raw[:8] == PNG_SIGNATURE
    assert raw[12:16] == b"IHDR"
    return struct.unpack(">II", raw[16:24])


def test_plt_show_sends_the_figure_as_png_before_the_reply(kernel):
    r = rid("mpl")
    msgs = kernel.execute(textwrap.dedent("""\
        import matplotlib.pyplot as plt
        fig = plt.figure(figsize=(4, 3), dpi=50)
        plt.plot([1, 2, 3])
        plt.show()
        print("after"); len(plt.get_fignums())
    """), request_id=r, timeout=SLOW, source="addin")
    shown = of_type(msgs, "display_data")
    assert len(shown) == 1
    d = shown[0]
    assert list(d) == ["type", "data", "metadata", "request_id", "workbook_id", "source"]
    assert (d["request_id"], d["workbook_id"], d["source"]) == (r, kernel.workbook_id, "addin")
    assert png_size(d["data"]["image/png"]) == (200, 150)
    assert d["data"]["text/plain"] == "<Figure size 200x150 with 1 Axes>"
    assert d["metadata"] == {"image/png": {"width": 200, "height": 150}}
    types = [m["type"] for m in msgs]
    # shown where plt.show() was called, and closed by it
    assert types.index("display_data") < types.index("stdout")
    assert msgs[-1]["type"] == "execution_result" and msgs[-1]["result"] == "0"


def test_two_figures_two_messages_and_open_figures_shown_once_at_the_end(kernel):
    msgs = kernel.execute(textwrap.dedent("""\
        import matplotlib.pyplot as plt
        plt.figure(figsize=(2, 1), dpi=100); plt.plot([1, 2])
        plt.figure(figsize=(1, 2), dpi=100); plt.plot([2, 1])
        plt.show()
    """), timeout=SLOW)
    assert [png_size(m["data"]["image/png"]) for m in of_type(msgs, "display_data")] == [(200, 100), (100, 200)]

    r = rid("open")
    msgs = kernel.execute("fig, ax = plt.subplots(figsize=(3, 1), dpi=100)\nax.bar([1, 2], [3, 4])\n"
                          "print('drawn')", request_id=r, timeout=SLOW)
    assert [m["type"] for m in msgs] == ["stdout", "stdout", "display_data", "execution_result"]
    assert png_size(msgs[2]["data"]["image/png"]) == (300, 100)
    assert msgs[2]["request_id"] == r
    # shown once: the next run has nothing left to show
    msgs = kernel.execute("plt.show(); plt.get_fignums()", timeout=SLOW)
    assert not of_type(msgs, "display_data")
    assert msgs[-1]["result"] == "[]"

    # an error ends the run, the figure still shows before the error reply
    msgs = kernel.execute("plt.plot([1, 2])\n1 / 0", timeout=SLOW)
    assert [m["type"] for m in msgs] == ["display_data", "execution_error"]


def test_figure_show_and_display_of_a_figure_in_svg(kernel):
    msgs = kernel.execute(textwrap.dedent("""\
        import matplotlib.pyplot as plt
        fig = plt.figure(figsize=(1, 1), dpi=40)
        gridlet.display(fig, figure_formats=["svg", "png"])
        fig.show(); len(plt.get_fignums())
    """), timeout=SLOW)
    both, alone = of_type(msgs, "display_data")
    assert sorted(both["data"]) == ["image/png", "image/svg+xml", "text/plain"]
    assert both["data"]["image/svg+xml"].lstrip().startswith("<?xml")
    assert png_size(both["data"]["image/png"]) == (40, 40)
    assert sorted(alone["data"]) == ["image/png", "text/plain"]
    assert msgs[-1]["result"] == "0"


def test_display_follows_the_notebook_display_protocol(kernel):
    msgs = kernel.execute(textwrap.dedent("""\
        class Rich:
            def _repr_png_(self): return b"\\x89PNG-ish"
            def _repr_svg_(self): return "<svg/>"
            def _repr_html_(self): return "<b>rich</b>"
            def _repr_markdown_(self): return "**rich**"
            def _repr_json_(self): return {"a": [1, 2.5, None]}
            def _repr_latex_(self): return None
            def __repr__(self): return "Rich()"
        class Bundle:
            def _repr_mimebundle_(self, include=None, exclude=None):
                return {"text/plain": "bundle", "image/png": b"\\x01\\x02"}, {"image/png": {"width": 2}}
            def _repr_html_(self): return "<i>also</i>"
        class WithMetadata:
            def _repr_html_(self): return "<p>x</p>", {"isolated": True}
            def __repr__(self): return "WithMetadata()"
        class Anything:
            def __getattr__(self, name): return lambda *a, **k: "not a representation"
            def __repr__(self): return "Anything()"
        gridlet.display(Rich(), Bundle(), WithMetadata(), Anything(), Rich, 42)
    """))
    shown = of_type(msgs, "display_data")
    assert [(m["data"], m["metadata"]) for m in shown[:4]] == [
        ({"image/png": base64.b64encode(b"\x89PNG-ish").decode(), "image/svg+xml": "<svg/>",
          "text/html": "<b>rich</b>", "text/markdown": "**rich**", "application/json": {"a": [1, 2.5, None]},
          "text/plain": "Rich()"}, {}),
        ({"text/plain": "bundle", "image/png": "AQI=", "text/html": "<i>also</i>"}, {"image/png": {"width": 2}}),
        ({"text/html": "<p>x</p>", "text/plain": "WithMetadata()"}, {"text/html": {"isolated": True}}),
        ({"text/plain": "Anything()"}, {}),
    ]
    # a class is shown by its repr, not by the methods it defines for its instances
    assert shown[4]["data"] == {"text/plain": kernel.evaluate("repr(Rich)")}
    assert shown[5]["data"] == {"text/plain": "42"}
    assert len(shown) == 6 and msgs[-1]["type"] == "execution_result"


def test_display_of_a_dataframe_is_html_with_a_plain_text_twin(kernel):
    msgs = kernel.execute("import pandas as pd\ndf = pd.DataFrame({'region': ['N', 'S'], 'sales': [10, 20]})\n"
                          "gridlet.display(df); repr(df)", function_name="probe", timeout=SLOW)
    (d,) = of_type(msgs, "display_data")
    assert sorted(d["data"]) == ["text/html", "text/plain"]
    assert "<table" in d["data"]["text/html"] and "region" in d["data"]["text/html"]
    assert d["data"]["text/plain"] == msgs[-1]["result"]


def test_display_outside_a_run_large_bundles_and_bad_bundles(kernel):
    # A thread started by a run shows into that run while it lasts, and plainly after it ended.
    r = rid("thread")
    msgs = kernel.execute("import threading, time\n"
                          "t = threading.Thread(target=gridlet.display, args=('inside',)); t.start(); t.join()\n"
                          "later = threading.Thread(target=lambda: (time.sleep(0.3), gridlet.display('side')))\n"
                          "later.start()", request_id=r)
    assert msgs[-1]["type"] == "execution_result"
    (inside,) = of_type(msgs, "display_data")
    assert inside["data"] == {"text/plain": "'inside'"} and inside["request_id"] == r
    side = kernel.recv_until(lambda m: m.get("type") == "display_data" and "request_id" not in m)
    assert side == {"type": "display_data", "data": {"text/plain": "'side'"}, "metadata": {},
                    "workbook_id": kernel.workbook_id}

    r = rid("big")
    kernel.send({"type": "execution_request", "request_id": r,
                 "code": "class Big:\n    def _repr_html_(self): return 'x' * 300000\ngridlet.display(Big())"})
    envs = kernel.collect_for(r, with_frames=True)
    (big,) = [e for e in envs if e.msg["type"] == "display_data"]
    assert len(big.frames) > 1 and len(big.msg["data"]["text/html"]) == 300000

    msgs = kernel.execute("gridlet._kernel_instance.send_display_data({'text/html': '<p>'})")
    assert msgs[-1]["error"]["type"] == "TypeError" and "text/plain" in msgs[-1]["error"]["message"]
    msgs = kernel.execute("gridlet._kernel_instance.send_display_data({'text/plain': 'x', 'o': object()})")
    assert msgs[-1]["error"]["type"] == "TypeError"
    assert not of_type(msgs, "display_data")


def test_matplotlib_is_not_imported_until_used_and_a_chosen_backend_is_kept(kernel_factory):
    bl = kernel_factory.start(env={"MPLBACKEND": None})
    assert bl.evaluate("import sys, os; ('matplotlib' in sys.modules, os.environ.get('MPLBACKEND'))") == [
        False, "module://gridlet.matplotlib_backend"]
    # neither a plain run nor gridlet.display of other objects loads it
    msgs = bl.execute("print('hello')\ngridlet.display({'x': 1}); "
                      "[m for m in __import__('sys').modules if m.startswith('matplotlib')]", function_name="probe")
    assert of_type(msgs, "display_data")[0]["data"] == {"text/plain": "{'x': 1}"}
    assert msgs[-1]["result"] == []
    # once the backend is loaded, programs started by user code no longer inherit it
    assert bl.evaluate("import matplotlib.pyplot as plt\nplt.figure()\nplt.close('all'); "
                       "(plt.get_backend(), os.environ.get('MPLBACKEND'))",
                       timeout=SLOW) == ["module://gridlet.matplotlib_backend", None]

    msgs = bl.execute("import matplotlib\nmatplotlib.use('Agg')\nplt.plot([1, 2])\nplt.show(); "
                      "(matplotlib.get_backend(), len(plt.get_fignums()))", function_name="probe", timeout=SLOW)
    assert not of_type(msgs, "display_data")
    assert msgs[-1]["result"] == ["agg", 1]
    kernel_factory.finish(bl)

    bl = kernel_factory.start(env={"MPLBACKEND": "agg"})
    msgs = bl.execute("import matplotlib.pyplot as plt\nplt.plot([1]); plt.get_backend()", function_name="probe",
                      timeout=SLOW)
    assert not of_type(msgs, "display_data")
    assert msgs[-1]["result"] == "agg"
    kernel_factory.finish(bl)


CHART_MODULE = """\
import gridlet
import matplotlib.pyplot as plt


def chart(values, name=None):
    fig, ax = plt.subplots(figsize=(2, 1), dpi=100)
    ax.plot(values)
    answer = gridlet.excel.range("Sheet1!D2").add_picture(fig, name=name, width=300)
    plt.close(fig)
    return answer["name"]


def raw(data):
    return gridlet.excel.range("B1").add_picture(data.encode("latin-1"), "raw", height=40)
"""


def test_worksheet_function_places_a_figure_with_add_picture(kernel):
    send_module(kernel, "charts_e2e", CHART_MODULE)
    r = rid("pic")
    kernel.send({"type": "custom_function_call", "module_name": "charts_e2e", "function_name": "chart",
                 "args": [[3, 1, 2], "Sales chart"], "request_id": r, "workbook_id": "wb-e2e"})
    sreq = kernel.recv_until(lambda m: m.get("type") == "sys_request", timeout=SLOW)
    payload = sreq["payload"]
    assert list(payload) == ["action", "address", "name", "image_png", "width", "height", "requestId", "kind"]
    assert (payload["action"], payload["address"], payload["name"]) == ("add_picture", "Sheet1!D2", "Sales chart")
    assert (payload["width"], payload["height"]) == (300, None)
    assert png_size(payload["image_png"]) == (200, 100)
    kernel.send({"type": "sys_response", "payload": {"requestId": payload["requestId"], "name": "Sales chart"}})
    msgs = kernel.collect_for(r, "function_execution_result", timeout=SLOW)
    assert msgs[-1]["status"] == "success" and msgs[-1]["result"] == "Sales chart"
    assert not of_type(msgs, "display_data")

    # PNG bytes go as they are; an answer with an error raises in user code
    png = b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x00\x07\x00\x00\x00\x05"
    r = rid("raw")
    kernel.send({"type": "custom_function_call", "module_name": "charts_e2e", "function_name": "raw",
                 "args": [png.decode("latin-1")], "request_id": r, "workbook_id": "wb-e2e"})
    sreq = kernel.recv_until(lambda m: m.get("type") == "sys_request")
    assert base64.b64decode(sreq["payload"]["image_png"]) == png
    assert (sreq["payload"]["address"], sreq["payload"]["name"], sreq["payload"]["height"]) == ("B1", "raw", 40)
    kernel.send({"type": "sys_response", "payload": {"requestId": sreq["payload"]["requestId"], "error": "no room"}})
    msgs = kernel.collect_for(r, "function_execution_result")
    assert msgs[-1]["status"] == "error" and "add_picture failed: no room" in str(msgs[-1]["error"])

    # what is not a PNG is refused before anything is sent
    msgs = kernel.execute("gridlet.excel.range('A1').add_picture(b'GIF89a')")
    assert msgs[-1]["error"]["type"] == "ValueError"
    msgs = kernel.execute("gridlet.excel.range('A1').add_picture(3)")
    assert msgs[-1]["error"]["type"] == "TypeError"
    msgs = kernel.execute(f"gridlet.excel.range('A1').add_picture({png!r}, width=-1)")
    assert msgs[-1]["error"]["type"] == "ValueError"
    assert not [m for m in kernel.all_messages if m.get("type") == "sys_request"
                and m["payload"].get("address") == "A1"]
