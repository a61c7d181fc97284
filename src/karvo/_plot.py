"""``karvo plot``: a single spectrum as a line; a series as a heat map (its
spectra along the series dimension against the spectral axis) above a few of
its spectra drawn as lines.

The spectral axis runs the way the file stores it, so wavenumbers stored from
high to low are drawn from high to low.  Large series are thinned before they
are drawn (at most ``MAX_ROWS`` spectra, each averaged down to at most
``MAX_COLUMNS`` bins), reading only the spectra shown.
"""
from __future__ import annotations

import os
from typing import Any

import numpy as np

from . import Series, Spectrum
from ._atomic import replaced_on_success
from ._extras import require

FIGURE_SIZE = (8.0, 6.0)   # inches; at the default 100 dpi, 800 x 600 pixels
MAX_ROWS = 600
MAX_COLUMNS = 2000
SPECTRUM_AXIS_LABEL = "x (spectral axis)"
VALUE_LABEL = "value"


class NothingToPlot(ValueError):
    pass


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


def _draw_spectrum(fig: Any, spectrum: Spectrum) -> None:
    x = spectrum.x
    if not x.shape[0]:
        raise NothingToPlot("the spectrum has no points to plot")
    ax = fig.add_subplot()
    ax.plot(x, np.asarray(spectrum.y, dtype=np.float64), lw=1.0)
    ax.set_xlim(*_limits(float(x[0]), float(x[-1])))
    ax.set_xlabel(SPECTRUM_AXIS_LABEL)
    ax.set_ylabel(VALUE_LABEL)
    ax.set_title(_title(spectrum))
    ax.grid(alpha=0.3)


def _draw_series(fig: Any, series: Series, start: int, stop: int, lines: int) -> None:
    x = series.x
    n = stop - start
    if n <= 0 or not x.shape[0]:
        raise NothingToPlot("the series holds no spectra to plot" if n <= 0
                            else "the spectra have no points to plot")
    label, coord = _dimension(series)
    shown = np.unique(np.linspace(start, stop - 1, min(n, MAX_ROWS)).round().astype(np.intp))
    where = coord[shown] if coord is not None else shown.astype(np.float64)
    factor = -(-x.shape[0] // MAX_COLUMNS)
    image = np.concatenate([_binned(series[shown[k:k + 64]], factor)
                            for k in range(0, shown.size, 64)])

    heat, curves = fig.subplots(2, 1, sharex=True, height_ratios=[3, 2])
    step_x = (x[-1] - x[0]) / max(x.shape[0] - 1, 1) * factor
    step_y = (where[-1] - where[0]) / max(where.size - 1, 1)
    left, right = _limits(float(x[0]) - step_x / 2, float(x[-1]) + step_x / 2)
    bottom, top = _limits(float(where[0]) - step_y / 2, float(where[-1]) + step_y / 2)
    picture = heat.imshow(image, aspect="auto", origin="lower", interpolation="nearest",
                          extent=(left, right, bottom, top), cmap="viridis")
    fig.colorbar(picture, ax=heat, label=VALUE_LABEL)
    heat.set_ylabel(label)
    title = _title(series)
    if series.truncated:
        title += f" (cut short: {len(series)} of {series.expected_spectra} spectra)"
    heat.set_title(title)

    titles = series.titles
    picks = np.unique(np.linspace(start, stop - 1, min(n, lines)).round().astype(np.intp))
    for i in picks:
        at = float(coord[i]) if coord is not None else float(i)
        name = titles[i] if titles and titles[i] else (
            f"{label} = {at:g}" if coord is not None else f"spectrum {i}")
        (line,) = curves.plot(x, np.asarray(series[int(i)], dtype=np.float64), lw=1.0, label=name)
        heat.axhline(at, color=line.get_color(), lw=1.0, ls="--")
    curves.set_xlim(left, right)
    curves.set_xlabel(SPECTRUM_AXIS_LABEL)
    curves.set_ylabel(VALUE_LABEL)
    curves.grid(alpha=0.3)
    curves.legend(fontsize="small", loc="best")


def figure(obj: Series | Spectrum, *, dpi: float = 100, start: int = 0,
           stop: int | None = None, lines: int = 5) -> Any:
    """A new matplotlib Figure with ``obj`` drawn on it, as ``plot`` draws
    it; the caller closes it (``matplotlib.pyplot.close``)."""
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=FIGURE_SIZE, dpi=dpi, layout="constrained")
    try:
        if isinstance(obj, Series):
            first, last, _ = slice(start, stop).indices(len(obj))
            _draw_series(fig, obj, first, max(first, last), lines)
        else:
            _draw_spectrum(fig, obj)
    except BaseException:
        plt.close(fig)
        raise
    return fig


def plot(obj: Series | Spectrum, out: str | None, *, dpi: float = 100,
         start: int = 0, stop: int | None = None, lines: int = 5) -> None:
    """Draw ``obj``; write it to ``out`` (format from its extension), or show
    it in a window when ``out`` is None."""
    matplotlib = require("matplotlib", "plot", "plotting")
    if out is not None:
        matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt

    if out is None and plt.get_backend().lower() in {
            "agg", "pdf", "ps", "svg", "pgf", "cairo", "template"}:
        raise NothingToPlot("there is no display to show the plot on; "
                            "write it to a file with -o OUT.png")
    fig = figure(obj, dpi=dpi, start=start, stop=stop, lines=lines)
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
