"""Notebook summaries of an opened file, as HTML.

Everything shown comes from the headers read when the file opened (a
series' values and mini headers are never read here), every piece of text
from the file is escaped, and nothing is scripted; a closed file still
shows what was known of it.  A single spectrum adds an outline of its
values as an inline SVG polyline.
"""
from __future__ import annotations

import html
from typing import TYPE_CHECKING, Any

import numpy as np

from .._core.units import unit_codes, unit_name

if TYPE_CHECKING:
    from .._core.series import Series
    from .._core.spectrum import Spectrum

__all__ = ["series_html", "spectrum_html"]

# Points of the outline, at most: a long spectrum is thinned to its
# minimum and maximum within each of this many bins.
_OUTLINE_BINS = 200
_OUTLINE_W, _OUTLINE_H = 320, 80

_STYLE = "border-collapse:collapse;font-family:monospace;font-size:90%;text-align:left"
_CELL = "padding:1px 8px;text-align:left"


def _row(name: str, value: str) -> str:
    return (f'<tr><th style="{_CELL}">{html.escape(name)}</th>'
            f'<td style="{_CELL}">{html.escape(value)}</td></tr>')


def _table(kind: str, title: str, rows: list[tuple[str, str]], extra: str = "") -> str:
    body = "".join(_row(name, value) for name, value in rows)
    return (f'<div><div style="font-family:monospace"><b>karvo.{kind}</b> '
            f'{html.escape(repr(title))}</div>{extra}<table style="{_STYLE}">{body}</table></div>')


def _range(first: float, last: float, unit: str = "") -> str:
    return f"{first:g} to {last:g}{unit}"


def _unit(code: int | None) -> str:
    """" (cm⁻¹)" where karvo.unit_names names the code, " (unit code 3)"
    where it does not, nothing where the file gives none: never a guess."""
    if code is None:
        return ""
    name = unit_name(code)
    return f" ({name})" if name is not None else f" (unit code {code})"


def series_html(series: Series) -> str:
    """The summary of a series: sizes, type, axis, dimensions, whether cut."""
    n, points = series.shape
    x_code, y_code = unit_codes(series)
    rows = [("spectra × points", f"{n} × {points}"), ("dtype", series.dtype.name),
            ("x", _range(series._first_x, series._last_x, _unit(x_code)))]
    if y_code is not None:
        rows.append(("values", _unit(y_code)[2:-1]))
    if series.truncated:
        rows.append(("truncated", f"yes: {n} of {series.expected_spectra} spectra held"))
    else:
        rows.append(("truncated", "no"))
    try:
        coords = series.coords
        # the long name carries the unit where the file has one: "time (s)"
        long_names = {d["name"]: d["long_name"] for d in series.dimensions}
    except (OSError, ValueError):  # a closed file not asked for them before
        coords = None
    if coords is not None:
        for name, values in coords.items():
            long_name = long_names.get(name)
            label = f"dimension {name}" + (f" ({long_name})" if long_name and long_name != name else "")
            rows.append((label, _range(values[0], values[-1]) if len(values) else "empty"))
    if series.closed:
        rows.append(("file", "closed"))
    return _table("Series", series.title, rows)


def _outline(y: np.ndarray[Any, Any]) -> str:
    """A polyline of y across a small box; finite values only, or nothing."""
    finite = np.isfinite(y)
    if y.size < 2 or not finite.any():
        return ""
    positions = np.flatnonzero(finite)
    values = y[finite].astype(np.float64)
    if values.size > 2 * _OUTLINE_BINS:
        # Each bin's minimum and maximum, so narrow peaks stay in sight.
        edges = np.linspace(0, values.size, _OUTLINE_BINS + 1).astype(np.intp)
        picks = []
        for a, b in zip(edges[:-1], edges[1:]):
            part = values[a:b]
            lo, hi = a + int(part.argmin()), a + int(part.argmax())
            picks.extend(sorted((lo, hi)))
        index = np.array(picks, dtype=np.intp)
        positions, values = positions[index], values[index]
    low, high = float(values.min()), float(values.max())
    span = high - low or 1.0
    xs = positions / max(y.size - 1, 1) * _OUTLINE_W
    ys = _OUTLINE_H - (values - low) / span * _OUTLINE_H
    points = " ".join(f"{a:.1f},{b:.1f}" for a, b in zip(xs.tolist(), ys.tolist()))
    return (f'<svg width="{_OUTLINE_W}" height="{_OUTLINE_H}" viewBox="-2 -2 {_OUTLINE_W + 4} {_OUTLINE_H + 4}" '
            f'style="display:block"><polyline fill="none" stroke="currentColor" stroke-width="1" '
            f'points="{points}"/></svg>')


def spectrum_html(spectrum: Spectrum) -> str:
    """The summary of a single spectrum, with an outline of its values."""
    n = len(spectrum.y)
    x_code, y_code = unit_codes(spectrum)
    rows = [("points", str(n)), ("dtype", spectrum.dtype.name)]
    if n:
        rows.append(("x", _range(float(spectrum.x[0]), float(spectrum.x[-1]), _unit(x_code))))
        finite = spectrum.y[np.isfinite(spectrum.y)]
        if finite.size:
            rows.append(("y", _range(float(finite.min()), float(finite.max()), _unit(y_code))))
    if spectrum.closed:
        rows.append(("file", "closed"))
    return _table("Spectrum", spectrum.title, rows, _outline(spectrum.y))
