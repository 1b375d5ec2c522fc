"""The kernel's matplotlib backend: figures render with Agg, and showing one sends it to the editor.

The kernel makes this the default backend ("module://gridlet.matplotlib_backend") through
MPLBACKEND when the user has not chosen one. Each figure belongs to the run of user code that
created it: `plt.show()` sends every open figure of the calling run as display_data and closes
it, and the kernel shows what an execution_request left open once, when it ends.
"""

import os
import sys

from matplotlib._pylab_helpers import Gcf
from matplotlib.backend_bases import FigureManagerBase
from matplotlib.backends.backend_agg import FigureCanvasAgg

NAME = "module://gridlet.matplotlib_backend"

# The default was only for this process: programs that user code starts from now on pick their own.
if os.environ.get("MPLBACKEND") == NAME:
    del os.environ["MPLBACKEND"]


def _current_run():
    import gridlet
    kernel = gridlet._kernel_instance
    return kernel.current_run if kernel is not None else None


def _send(manager):
    from .rich_display import display
    try:
        display(manager.canvas.figure)
    finally:
        Gcf.destroy(manager)


class FigureManagerGridlet(FigureManagerBase):
    def __init__(self, canvas, num):
        super().__init__(canvas, num)
        self.gridlet_run = _current_run()

    def show(self):
        # figure.show(): this one figure, now.
        _send(self)


class FigureCanvasGridlet(FigureCanvasAgg):
    manager_class = FigureManagerGridlet


def _figures_of(run):
    managers = [m for m in Gcf.get_all_fig_managers()
                if isinstance(m, FigureManagerGridlet) and m.gridlet_run == run]
    return sorted(managers, key=lambda m: m.num if isinstance(m.num, int) else 0)


def show(*args, block=None, **kwargs):
    """plt.show(): sends the calling run's open figures, in the order they were made, and closes them."""
    for manager in _figures_of(_current_run()):
        _send(manager)


def show_run_figures():
    """Called by the kernel when an execution_request ends: shows the figures it left open."""
    for manager in _figures_of(_current_run()):
        try:
            _send(manager)
        except Exception as e:  # a figure that cannot be drawn must not turn the run into a failure
            print(f"Cannot show figure {manager.num}: {type(e).__name__}: {e}", file=sys.stderr)


FigureCanvas = FigureCanvasGridlet
FigureManager = FigureManagerGridlet
