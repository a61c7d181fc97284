"""``karvo plot``: a single spectrum as a line; a series as a heat map (its
spectra along the series dimension against the spectral axis) above a few of
its spectra drawn as lines.

The spectral axis runs the way the file stores it, so wavenumbers stored from
high to low are drawn from high to low.  Large series are thinned before they
are drawn (at most ``MAX_ROWS`` spectra, each averaged down to at most
``MAX_COLUMNS`` bins), reading only the spectra shown.  A range of the
spectral axis (``xlim``) is thinned on its own, so narrow bands get wide.

Axis labels give the units :data:`karvo.unit_names` names for the file's unit
codes, or the codes themselves: never a unit the file does not name.  The
series axis is labelled by its dimension's long name, which states the
dimension's unit where the file has one ("time (s)").
"""
from __future__ import annotations

import os
from typing import Any

import numpy as np

from .._core.series import Series
from .._core.spectrum import Spectrum
from .._storage.atomic import replaced_on_success
from .._extras import require
from .._core.units import axis_label, unit_codes
from .html import dimension_unit

FIGURE_SIZE = (8.0, 6.0)   # inches; at the default 100 dpi, 800 x 600 pixels
MAX_ROWS = 600
MAX_COLUMNS = 2000
SPECTRUM_AXIS_LABEL = "x (spectral axis)"
VALUE_LABEL = "value"


class NothingToPlot(ValueError):
    pass


Range = tuple[float, float]


def _labels(obj: Series | Spectrum, xlabel: str | None, ylabel: str | None) -> tuple[str, str]:
    """The spectral axis' and the values' labels: the caller's, else what the
    file's unit codes say."""
    x_code, y_code = unit_codes(obj)
    if xlabel is None:
        xlabel = SPECTRUM_AXIS_LABEL if x_code is None else axis_label("x", x_code)
    if ylabel is None:
        ylabel = axis_label(VALUE_LABEL, y_code)
    return xlabel, ylabel


def _points(x: np.ndarray, xlim: Range | None) -> slice:
    """The points of ``x`` inside ``xlim`` (either order), as a slice: the
    axis is evenly spaced, so they are one run."""
    if xlim is None:
        return slice(0, x.shape[0])
    low, high = sorted(xlim)
    inside = np.flatnonzero((x >= low) & (x <= high))
    if not inside.size:
        raise NothingToPlot(f"no points lie in the x range {low:g} to {high:g}; the file's spectral axis "
                            f"runs from {float(x[0]):g} to {float(x[-1]):g}")
    return slice(int(inside[0]), int(inside[-1]) + 1)


def _x_limits(x: np.ndarray, xlim: Range | None, drawn: Range) -> Range:
    """The x axis' limits: ``xlim`` running the way the file's axis runs
    (high to low when it is stored so), else what was drawn."""
    if xlim is None:
        return drawn
    low, high = sorted(xlim)
    return (high, low) if x.shape[0] > 1 and x[0] > x[-1] else (low, high)


def _checked_range(name: str, value: Range | None) -> Range | None:
    if value is None:
        return None
    low, high = (float(v) for v in value)
    if not (np.isfinite(low) and np.isfinite(high)) or low == high:
        raise ValueError(f"{name} needs two different finite numbers, not {value!r}")
    return low, high


def _limits(first: float, last: float) -> tuple[float, float]:
    # a single point or a single spectrum still needs an extent
    return (first - 0.5, last + 0.5) if first == last else (first, last)


def _binned(rows: np.ndarray, factor: int) -> np.ndarray:
    """Average each run of ``factor`` points (the last run may be shorter)."""
    rows = rows.astype(np.float64, copy=False)
    if factor <= 1:
        return rows
    whole = rows.shape[1] // factor * factor
    parts = [rows[:, :whole].reshape(rows.shape[0], -1, factor).mean(axis=2)]
    if whole < rows.shape[1]:
        parts.append(rows[:, whole:].mean(axis=1, keepdims=True))
    return np.concatenate(parts, axis=1)


def _dimension(series: Series) -> tuple[str, np.ndarray | None]:
    """The label and coordinate of the series axis (the first dimension)."""
    for name, values in series.coords.items():
        long_names = [d["long_name"] for d in series.dimensions if d["name"] == name]
        label = long_names[0] if long_names and long_names[0] else name
        return label, values
    return "spectrum", None


def _title(obj: Series | Spectrum) -> str:
    return obj.title or os.path.basename(obj.path)


def _draw_spectrum(fig: Any, spectrum: Spectrum, xlim: Range | None,
                   labels: tuple[str, str]) -> None:
    x = spectrum.x
    if not x.shape[0]:
        raise NothingToPlot("the spectrum has no points to plot")
    cols = _points(x, xlim)
    ax = fig.add_subplot()
    ax.plot(x[cols], np.asarray(spectrum.y[cols], dtype=np.float64), lw=1.0)
    ax.set_xlim(*_x_limits(x, xlim, _limits(float(x[cols][0]), float(x[cols][-1]))))
    ax.set_xlabel(labels[0])
    ax.set_ylabel(labels[1])
    ax.set_title(_title(spectrum))
    ax.grid(alpha=0.3)


def _draw_series(fig: Any, series: Series, start: int, stop: int, lines: int,
                 xlim: Range | None, clim: Range | None, labels: tuple[str, str]) -> None:
    whole = series.x
    n = stop - start
    if n <= 0 or not whole.shape[0]:
        raise NothingToPlot("the series holds no spectra to plot" if n <= 0
                            else "the spectra have no points to plot")
    cols = _points(whole, xlim)
    x = whole[cols]
    label, coord = _dimension(series)
    shown = np.unique(np.linspace(start, stop - 1, min(n, MAX_ROWS)).round().astype(np.intp))
    where = coord[shown] if coord is not None else shown.astype(np.float64)
    factor = -(-x.shape[0] // MAX_COLUMNS)
    image = np.concatenate([_binned(series[shown[k:k + 64]][:, cols], factor)
                            for k in range(0, shown.size, 64)])

    heat, curves = fig.subplots(2, 1, sharex=True, height_ratios=[3, 2])
    step_x = (x[-1] - x[0]) / max(x.shape[0] - 1, 1) * factor
    step_y = (where[-1] - where[0]) / max(where.size - 1, 1)
    left, right = _limits(float(x[0]) - step_x / 2, float(x[-1]) + step_x / 2)
    bottom, top = _limits(float(where[0]) - step_y / 2, float(where[-1]) + step_y / 2)
    picture = heat.imshow(image, aspect="auto", origin="lower", interpolation="nearest",
                          extent=(left, right, bottom, top), cmap="viridis",
                          vmin=None if clim is None else min(clim),
                          vmax=None if clim is None else max(clim))
    fig.colorbar(picture, ax=heat, label=labels[1])
    heat.set_ylabel(label)
    title = _title(series)
    if series.truncated:
        title += f" (cut short: {len(series)} of {series.expected_spectra} spectra)"
    heat.set_title(title)

    titles = series.titles
    # "time = 30 s" for a dimension whose long name is "time (s)"
    quantity, unit = dimension_unit(label)
    picks = np.unique(np.linspace(start, stop - 1, min(n, lines)).round().astype(np.intp))
    for i in picks:
        at = float(coord[i]) if coord is not None else float(i)
        name = titles[i] if titles and titles[i] else (
            f"{quantity or label} = {at:g}{' ' + unit if unit else ''}" if coord is not None else f"spectrum {i}")
        (line,) = curves.plot(x, np.asarray(series[int(i)][cols], dtype=np.float64), lw=1.0, label=name)
        heat.axhline(at, color=line.get_color(), lw=1.0, ls="--")
    curves.set_xlim(*_x_limits(whole, xlim, (left, right)))
    curves.set_xlabel(labels[0])
    curves.set_ylabel(labels[1])
    curves.grid(alpha=0.3)
    curves.legend(fontsize="small", loc="best")


def figure(obj: Series | Spectrum, *, dpi: float = 100, start: int = 0,
           stop: int | None = None, lines: int = 5, xlim: Range | None = None,
           clim: Range | None = None, xlabel: str | None = None,
           ylabel: str | None = None) -> Any:
    """A new matplotlib Figure with ``obj`` drawn on it, as ``plot`` draws
    it; the caller closes it (``matplotlib.pyplot.close``).

    ``xlim`` (A, B): only the points of the spectral axis from A to B, drawn
    in the file's direction; ``clim`` (LO, HI): the heat map's colour limits
    (a series only); ``xlabel``/``ylabel``: the spectral axis' and the
    values' labels instead of those the unit codes give."""
    xlim, clim = _checked_range("xlim", xlim), _checked_range("clim", clim)
    if clim is not None and not isinstance(obj, Series):
        raise ValueError("clim sets a series' heat map colours; a single spectrum has none")
    labels = _labels(obj, xlabel, ylabel)
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=FIGURE_SIZE, dpi=dpi, layout="constrained")
    try:
        if isinstance(obj, Series):
            first, last, _ = slice(start, stop).indices(len(obj))
            _draw_series(fig, obj, first, max(first, last), lines, xlim, clim, labels)
        else:
            _draw_spectrum(fig, obj, xlim, labels)
    except BaseException:
        plt.close(fig)
        raise
    return fig


def plot(obj: Series | Spectrum, out: str | None, *, dpi: float = 100,
         start: int = 0, stop: int | None = None, lines: int = 5,
         xlim: Range | None = None, clim: Range | None = None,
         xlabel: str | None = None, ylabel: str | None = None) -> None:
    """Draw ``obj``; write it to ``out`` (format from its extension), or show
    it in a window when ``out`` is None.  The keywords are ``figure``'s."""
    matplotlib = require("matplotlib", "plot", "plotting")
    if out is not None:
        matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt

    if out is None and plt.get_backend().lower() in {
            "agg", "pdf", "ps", "svg", "pgf", "cairo", "template"}:
        raise NothingToPlot("there is no display to show the plot on; "
                            "write it to a file with -o OUT.png")
    fig = figure(obj, dpi=dpi, start=start, stop=stop, lines=lines,
                 xlim=xlim, clim=clim, xlabel=xlabel, ylabel=ylabel)
    try:
        if out is None:
            plt.show()
            return
        kind = os.path.splitext(out)[1].lstrip(".").lower()
        with replaced_on_success(out) as temp:
            fig.savefig(temp, format=kind, dpi=dpi)
    finally:
        plt.close(fig)


def image_formats() -> dict[str, str]:
    """The file extensions matplotlib can write, when it is installed."""
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        return {}
    return FigureCanvasBase.get_supported_filetypes()
