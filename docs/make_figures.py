"""Redraw the README's pictures from the bundled examples:

    python docs/make_figures.py

docs/example.png is the example series as ``karvo plot`` draws it. The
pictures of the README's recipes (docs/recipe_*.png) are drawn by running
each recipe's code as the README gives it (the section "Recipes", a code
block and a picture per recipe), then titling what it drew; the recipe of
runs on one grid reads a second run of the example's reaction,
examples/reaction_band_growth_rerun.series, which this script writes too
with our writer (tools/karvo_writer.py).

Each picture carries, in its PNG text field ``karvo drawn``, what was drawn
(titles, labels, legends, and a summary of each line's and image's data):
tests/karvo/cli/test_commands.py draws the example and tests/docs/test_recipes.py
the recipes with the current code and README and compare that, so a changed
title or changed data makes a picture stale while a renderer that draws text
a little differently does not.
"""
from __future__ import annotations

import contextlib
import json
import math
import os
import re
import sys
from collections.abc import Iterator
from typing import Any, NamedTuple

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
EXAMPLE = os.path.join(ROOT, "examples", "reaction_band_growth.series")
FIGURE = os.path.join(HERE, "example.png")
DRAWN_KEY = "karvo drawn"
DPI = 100.0

README = os.path.join(ROOT, "README.md")
RERUN = os.path.join(ROOT, "examples", "reaction_band_growth_rerun.series")
RECIPE_SIZE = (5.6, 3.2)  # inches: 560 x 320 pixels at DPI


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
                       # as drawn: dates as matplotlib's day numbers, whatever their numpy unit
                       "x": _summary(line.get_xdata(orig=False)),
                       "y": _summary(line.get_ydata(orig=False))}
                      for line in ax.get_lines()],
            "images": [{"shape": list(image.get_array().shape),
                        "extent": [float(v) for v in image.get_extent()],
                        "cmap": image.get_cmap().name, "values": _summary(image.get_array())}
                       for image in ax.get_images()]})
    return shown


# --- the second run of the example's reaction -----------------------------

# The example's band (examples/make_example.py): centred on point 16 of 32
# from 1800 to 1700, half width 4 points, height 0.2 + 0.1 k over a
# baseline of 0.05 at spectrum k (t = 30 k s).
BAND_CENTRE = 1800.0 - 16 * 100.0 / 31
BAND_WIDTH = 4 * 100.0 / 31


def write_rerun_example(path: str = RERUN) -> str:
    """The same reaction recorded again with another window and resolution:
    1830 to 1670 in 65 points (the example: 1800 to 1700 in 32), the same
    band at the same times over a baseline of 0.06."""
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    try:
        import karvo_writer as kw
    finally:
        sys.path.pop(0)
    first_x, last_x, points = 1830.0, 1670.0, 65

    def absorbance(k: int) -> list[float]:
        xs = (first_x + (last_x - first_x) * j / (points - 1) for j in range(points))
        return [0.06 + (0.2 + 0.1 * k) * math.exp(-(((x - BAND_CENTRE) / BAND_WIDTH) ** 2)) for x in xs]

    kw.write_series(
        path, n_spectra=5, num_points=points, element_size=4,
        mini_header_type=3, values=absorbance, file_id=b"Example reaction, rerun",
        titles=lambda k: b"Rerun step %d, t = %d s" % (k + 1, 30 * k),
        spectral=dict(first_x=first_x, last_x=last_x, x_units=1, y_units=17),
        series=dict(series_ID=b"example reaction rerun", z_short_label=b"t",
                    z_long_label=b"time (s)"),
        dimensions=[dict(dimension_type=1, first_dim=0, last_dim=120,
                         scale_dim=1.0, num_elements=5, unit_ID=1,
                         short_label=b"t", long_label=b"time (s)")])
    return path


# --- the README's recipes ---------------------------------------------------

class Recipe(NamedTuple):
    heading: str  # the recipe's "###" heading
    code: str     # its one Python code block, as written
    figure: str   # the absolute path of its picture


def recipes(readme: str = README) -> list[Recipe]:
    """The README's recipes: under "## Recipes", each "###" subsection with
    one Python code block and one picture docs/recipe_*.png."""
    with open(readme, encoding="utf-8") as fh:
        text = fh.read()
    _, found, section = text.partition("\n## Recipes\n")
    if not found:
        raise ValueError(f"{readme}: no section '## Recipes'")
    section = section.split("\n## ", 1)[0]
    out = []
    for part in section.split("\n### ")[1:]:
        heading = part.split("\n", 1)[0].strip()
        codes = re.findall(r"^```python\n(.*?)^```", part, re.S | re.M)
        figures = re.findall(r"\]\((docs/recipe_[\w-]+\.png)\)", part)
        if len(codes) != 1 or len(figures) != 1:
            raise ValueError(f"{readme}: recipe {heading!r} has {len(codes)} Python blocks "
                             f"and {len(figures)} pictures, not one of each")
        out.append(Recipe(heading, codes[0], os.path.join(ROOT, figures[0])))
    return out


@contextlib.contextmanager
def _in_checkout() -> Iterator[None]:
    """The recipes name the examples by paths relative to the checkout."""
    before = os.getcwd()
    os.chdir(ROOT)
    try:
        yield
    finally:
        os.chdir(before)


def run(recipe: Recipe) -> tuple[dict[str, Any], Any]:
    """Runs a recipe's code from the checkout, drawing on a new figure of
    the recipes' size; returns the names it made and the figure. The
    Datasets it opened are closed (their values, loaded, stay readable)."""
    import matplotlib.pyplot as plt
    import xarray as xr

    fig = plt.figure(figsize=RECIPE_SIZE, dpi=DPI, layout="constrained")
    names: dict[str, Any] = {"__name__": "__recipe__"}
    try:
        with _in_checkout():
            exec(compile(recipe.code, f"README.md, {recipe.heading}", "exec"), names)
    except BaseException:
        plt.close(fig)
        raise
    finally:
        found = [v for v in names.values() if isinstance(v, xr.Dataset)]
        found += [d for v in names.values() if isinstance(v, list)
                  for d in v if isinstance(d, xr.Dataset)]
        for ds in found:
            ds.load().close()
    return names, fig


def _finish_band_area(fig: Any, names: dict[str, Any]) -> None:
    ax = fig.axes[0]
    ax.set_title("Band area, x from 1720 to 1780, along the series")
    ax.set_ylabel("band area")
    ax.grid(alpha=0.3)


def _finish_common_grid(fig: Any, names: dict[str, Any]) -> None:
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D

    both = names["both"]
    files = [os.path.basename(str(f)) for f in both.file.values]
    runs = list(dict.fromkeys(files))
    maps = [plt.get_cmap("Blues"), plt.get_cmap("Oranges")]
    ax = fig.axes[0]
    for line, name, t in zip(ax.get_lines(), files, both.t.values):
        k = runs.index(name)
        line.set_color(maps[k % 2](0.35 + 0.6 * float(t) / float(both.t.max())))
        line.set_linestyle("-" if k == 0 else "--")
    ax.legend([Line2D([], [], color=maps[k % 2](0.8), linestyle="-" if k == 0 else "--")
               for k in range(len(runs))], runs, loc="upper left", fontsize="small", frameon=False)
    ax.set_title(f"Both runs on one grid of {both.sizes['x']} points (darker: later)")
    ax.set_ylabel("values")


def _finish_dates(fig: Any, names: dict[str, Any]) -> None:
    import matplotlib.dates as mdates

    ax = fig.axes[0]
    ax.xaxis.set_major_locator(mdates.SecondLocator(bysecond=range(0, 60, 10)))
    ax.xaxis.set_major_formatter(mdates.DateFormatter("%H:%M:%S"))
    for label in ax.get_xticklabels():
        label.set_rotation(0)
        label.set_horizontalalignment("center")
    day = names["started"][0].strftime("%Y-%m-%d")
    ax.set_xlabel(f"started ({day}, UTC): start_time as seconds since 1970-01-01")
    ax.set_ylabel("peak height")
    ax.set_title("Peak height by the clock, as your lab reads start_time")
    ax.grid(alpha=0.3)


FINISH = {"recipe_band_area.png": _finish_band_area,
          "recipe_common_grid.png": _finish_common_grid,
          "recipe_dates.png": _finish_dates}


def recipe_figure(recipe: Recipe) -> tuple[dict[str, Any], Any]:
    """The recipe's names and its picture: what its code drew, titled."""
    import matplotlib.pyplot as plt

    names, fig = run(recipe)
    try:
        FINISH[os.path.basename(recipe.figure)](fig, names)
    except BaseException:
        plt.close(fig)
        raise
    return names, fig


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

    print(write_rerun_example())
    for recipe in recipes():
        _, fig = recipe_figure(recipe)
        try:
            fig.savefig(recipe.figure, format="png", dpi=DPI,
                        metadata={DRAWN_KEY: json.dumps(drawn(fig))})
        finally:
            plt.close(fig)
        print(recipe.figure)
    return 0


if __name__ == "__main__":
    sys.exit(main())
