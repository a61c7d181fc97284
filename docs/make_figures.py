"""Redraw the README's picture, docs/example.png, from the bundled example
as ``karvo plot`` draws it:

    python docs/make_figures.py

The picture carries, in its PNG text field ``karvo drawn``, what was drawn
(titles, labels, legends, and a summary of each line's and image's data):
tests/karvo/cli/test_commands.py draws the example with the current code and
compares that, so a changed title or changed data makes the picture stale
while a renderer that draws text a little differently does not.
"""
from __future__ import annotations

import json
import os
import sys
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(os.path.dirname(HERE), "examples", "reaction_band_growth.series")
FIGURE = os.path.join(HERE, "example.png")
DRAWN_KEY = "karvo drawn"
DPI = 100.0


def _summary(values: Any) -> list[float]:
    """A few numbers that change when the data drawn changes."""
    import numpy as np

    a = np.ma.filled(np.ma.asarray(values, dtype=np.float64), np.nan).ravel()
    if not a.size:
        return [0.0]
    return [float(a.size), float(a[0]), float(a[-1]), float(np.nansum(a)),
            float(np.nansum(a * np.arange(a.size)) / a.size)]


def drawn(fig: Any) -> list[dict[str, Any]]:
    """What each of the figure's axes shows, as JSON-ready data."""
    shown = []
    for ax in fig.axes:
        legend = ax.get_legend()
        shown.append({
            "title": ax.get_title(), "xlabel": ax.get_xlabel(), "ylabel": ax.get_ylabel(),
            "xlim": [float(v) for v in ax.get_xlim()],
            "legend": [t.get_text() for t in legend.get_texts()] if legend else [],
            "lines": [{"label": "" if line.get_label().startswith("_") else line.get_label(),
                       "style": [line.get_linestyle(), float(line.get_linewidth())],
                       "x": _summary(line.get_xdata()), "y": _summary(line.get_ydata())}
                      for line in ax.get_lines()],
            "images": [{"shape": list(image.get_array().shape),
                        "extent": [float(v) for v in image.get_extent()],
                        "cmap": image.get_cmap().name, "values": _summary(image.get_array())}
                       for image in ax.get_images()]})
    return shown


def main() -> int:
    import matplotlib
    matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt

    import karvo
    from karvo._views.plot import figure

    with karvo.open(EXAMPLE) as series:
        fig = figure(series, dpi=DPI)
        try:
            fig.savefig(FIGURE, format="png", dpi=DPI,
                        metadata={DRAWN_KEY: json.dumps(drawn(fig))})
        finally:
            plt.close(fig)
    print(FIGURE)
    return 0


if __name__ == "__main__":
    sys.exit(main())
