"""Notebook summaries of an opened file, as HTML.

The tables come from the headers read when the file opened, every piece of
text from the file is escaped, and nothing is scripted; a closed file still
shows what was known of it.  A single spectrum adds an outline of its values
as an inline SVG polyline.  An open series adds a small heat map of its
spectra (spectra upwards, the spectral axis across, as ``karvo plot`` draws
it) as an inline PNG: at most ``THUMBNAIL_ROWS`` evenly spaced spectra and at
most ``THUMBNAIL_BYTES`` of values are read for it, in one read by index (a
URL's object is fetched by range), each spectrum averaged down to at most
``THUMBNAIL_COLUMNS`` bins.  When it can't be read the summary says why and
shows the rest.
"""
from __future__ import annotations

import base64
import html
import re
import struct
import zlib
from typing import TYPE_CHECKING, Any

import numpy as np

from .._core.units import axis_label, unit_codes, unit_name

if TYPE_CHECKING:
    from .._core.series import Series
    from .._core.spectrum import Spectrum

__all__ = ["series_html", "spectrum_html"]

# Points of the outline, at most: a long spectrum is thinned to its
# minimum and maximum within each of this many bins.
_OUTLINE_BINS = 200
_OUTLINE_W, _OUTLINE_H = 320, 80

# The heat map of a series: at most this many spectra, evenly spaced, and
# at most this many bytes of their values read (fewer spectra when they are
# long), each averaged down to at most this many bins.  A spectrum longer
# than the whole budget gets no picture.
THUMBNAIL_ROWS = 256
THUMBNAIL_BYTES = 4 << 20
THUMBNAIL_COLUMNS = 256
# Its size on the page, whatever its pixels (few spectra are drawn as bands).
_THUMB_W, _THUMB_H = 320, 160
# Colours: nine stops of a perceptually even map from dark blue-violet to
# yellow, interpolated; values outside the 0.1th to 99.9th percentile of
# the picture (a spike, a dead pixel) take the end colours, NaN a fixed grey.
# Narrow bands are most of what a spectrum shows: the range is cut no closer.
_STOPS = np.array([(68, 1, 84), (72, 40, 120), (62, 73, 137), (49, 104, 142), (38, 130, 142),
                   (31, 158, 137), (53, 183, 121), (110, 206, 88), (253, 231, 37)], dtype=np.float64)
_NAN_RGB = (190, 190, 190)
_PERCENTILES = (0.1, 99.9)

_STYLE = "border-collapse:collapse;font-family:monospace;font-size:90%;text-align:left"
_CELL = "padding:1px 8px;text-align:left;vertical-align:top"
_SMALL = "font-family:monospace;font-size:80%;line-height:1.3"


def _row(name: str, value: str) -> str:
    return (f'<tr><th style="{_CELL}">{html.escape(name)}</th>'
            f'<td style="{_CELL}">{html.escape(value)}</td></tr>')


def _table(kind: str, title: str, rows: list[tuple[str, str]], extra: str = "", side: str = "") -> str:
    """The title line, extra under it, then the table with side beside it."""
    body = f'<table style="{_STYLE}">{"".join(_row(name, value) for name, value in rows)}</table>'
    if side:
        body = (f'<div style="display:flex;flex-wrap:wrap;gap:8px 24px;align-items:flex-start">'
                f'{body}{side}</div>')
    return (f'<div><div style="font-family:monospace"><b>karvo.{kind}</b> '
            f'{html.escape(repr(title))}</div>{extra}{body}</div>')


def human_size(n: int) -> str:
    """A size in bytes as people read it, as ``karvo info`` shows it:
    "2.7 KiB (2,794 bytes)"."""
    if n < 1024:
        return f"{n:,} bytes"
    size = float(n)
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        size /= 1024
        if size < 1024 or unit == "TiB":
            break
    return f"{size:.1f} {unit} ({n:,} bytes)"


def _file_size(obj: Series | Spectrum) -> tuple[str, str]:
    # the size seen when the file opened: of a local file, an object by URL
    # or a file object alike
    return "file size", human_size(int(obj._file.info["size"]))


# A long name ending in a parenthesised or bracketed part: "time (s)", "T [K]".
_LONG_NAME_UNIT = re.compile(r"^(.*?)\s*(?:\(([^()]+)\)|\[([^\[\]]+)\])\s*$", re.S)


def dimension_unit(long_name: str) -> tuple[str, str | None]:
    """A dimension's long name split into what it measures and the unit it
    states: "time (s)" -> ("time", "s"); ("pressure", None) for "pressure".
    The unit is the file's own text; a dimension's ``unit_ID`` is a code of
    its own, so karvo.unit_names (codes of the spectral header) never names it."""
    match = _LONG_NAME_UNIT.match(long_name)
    if match is None:
        return long_name, None
    unit = (match.group(2) or match.group(3)).strip()
    return match.group(1), unit or None


def _range(first: float, last: float, unit: str = "") -> str:
    return f"{first:g} to {last:g}{unit}"


def _unit(code: int | None) -> str:
    """" (cm⁻¹)" where karvo.unit_names names the code, " (unit code 3)"
    where it does not, nothing where the file gives none: never a guess."""
    if code is None:
        return ""
    name = unit_name(code)
    return f" ({name})" if name is not None else f" (unit code {code})"


# The native reader reads listed spectra this close through, bytes between
# them and all: a local file's through gaps of up to 8 KiB (one read costs
# more), a URL's or file object's through gaps of up to 1 MiB (one request
# costs more).  The spectra drawn are spaced so that what it reads, gaps
# included, stays within THUMBNAIL_BYTES.
_READ_THROUGH_LOCAL = 8 << 10
_READ_THROUGH_FETCHED = 1 << 20


def _picked(n: int, values: int, stride: int, read_through: int) -> np.ndarray[Any, Any]:
    """The most spectra, up to THUMBNAIL_ROWS, evenly spaced from the first
    to the last, whose reading (values, and the gaps read through) stays
    within THUMBNAIL_BYTES; none when one spectrum's values pass it."""
    for count in range(min(n, THUMBNAIL_ROWS, THUMBNAIL_BYTES // max(values, 1)), 0, -1):
        picked = np.unique(np.linspace(0, n - 1, count).round().astype(np.int64))
        gaps = np.diff(picked) * stride - values
        if picked.size * values + int(gaps[gaps <= read_through].sum()) <= THUMBNAIL_BYTES:
            return picked
    return np.zeros(0, np.int64)


def _read_rows(series: Series) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]:
    """The spectra drawn, as (their indices, their values), in one read by index."""
    n, points = series.shape
    read_through = _READ_THROUGH_LOCAL if series._fetched is None else _READ_THROUGH_FETCHED
    picked = _picked(n, points * series.element_size, int(series._file.info["stride"]), read_through)
    return picked, series[picked]


def _binned(rows: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    """Each row averaged over runs of points, at most THUMBNAIL_COLUMNS runs:
    the mean of a run's finite values; where it has none, the infinity it
    holds (of one sign only), else NaN."""
    values = rows.astype(np.float64)
    factor = -(-values.shape[1] // THUMBNAIL_COLUMNS)
    if factor == 1:
        return values
    starts = np.arange(0, values.shape[1], factor)
    finite = np.isfinite(values)
    counts = np.add.reduceat(finite.astype(np.int64), starts, axis=1)
    high = np.add.reduceat((values == np.inf).astype(np.int64), starts, axis=1)
    low = np.add.reduceat((values == -np.inf).astype(np.int64), starts, axis=1)
    with np.errstate(all="ignore"):         # sums of huge values overflow to an infinity
        sums = np.add.reduceat(np.where(finite, values, 0.0), starts, axis=1)
        out: np.ndarray[Any, Any] = sums / counts
    empty = counts == 0
    out[empty] = np.nan
    out[empty & (high > 0) & (low == 0)] = np.inf
    out[empty & (low > 0) & (high == 0)] = -np.inf
    return out


# The picture's palette: _LEVELS colours from the stops, evenly
# interpolated, then the colour of NaN.
_LEVELS = 255
_NAN_INDEX = _LEVELS


def _palette() -> bytes:
    at = np.linspace(0.0, 1.0, len(_STOPS))
    levels = np.linspace(0.0, 1.0, _LEVELS)
    table = np.stack([np.interp(levels, at, _STOPS[:, c]) for c in range(3)], axis=1).round().astype(np.uint8)
    return table.tobytes() + bytes(_NAN_RGB)


def _gradient() -> str:
    stops = ", ".join(f"rgb({r:.0f},{g:.0f},{b:.0f})" for r, g, b in _STOPS.tolist())
    return f"linear-gradient(to right, {stops})"


def _coloured(image: np.ndarray[Any, Any]) -> tuple[np.ndarray[Any, Any], float, float]:
    """image as indices of the palette, and the values of its lowest and
    highest colours (percentiles of its finite values; NaN, NaN for none).
    An infinity takes an end colour."""
    finite = np.isfinite(image)
    if not finite.any():
        return np.full(image.shape, _NAN_INDEX, np.uint8), float("nan"), float("nan")
    low, high = (float(v) for v in np.percentile(image[finite], _PERCENTILES))
    with np.errstate(invalid="ignore", over="ignore", divide="ignore"):
        span = high - low
        scaled = (image - low) / span if span > 0 and np.isfinite(span) else np.full(image.shape, 0.5)
        level = np.rint(np.clip(np.nan_to_num(scaled, nan=0.5), 0.0, 1.0) * (_LEVELS - 1)).astype(np.uint8)
    level[np.isnan(image)] = _NAN_INDEX
    return level, low, high


def png(indices: np.ndarray[Any, Any], palette: bytes) -> bytes:
    """A PNG of a 2-D array of 8-bit indices into palette (RGB triplets):
    the signature, a header, the palette, the rows (each after a filter
    byte 0) deflated, an end."""
    height, width = indices.shape
    rows = np.zeros((height, 1 + width), np.uint8)
    rows[:, 1:] = indices

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 3, 0, 0, 0))
            + chunk(b"PLTE", palette) + chunk(b"IDAT", zlib.compress(rows.tobytes(), 9)) + chunk(b"IEND", b""))


def _spans(*parts: str) -> str:
    return "".join(f"<span>{html.escape(p)}</span>" for p in parts)


def _framed(picture: str, height: int, side: tuple[str, str, str], below: list[str]) -> str:
    """picture with side (its top, middle and bottom labels) on its left and
    the lines of below under it, all in the picture's width."""
    cells = [f'<div style="display:flex;flex-direction:column;justify-content:space-between;'
             f'text-align:right;height:{height}px">{_spans(*side)}</div>', picture]
    for line in below:
        cells += ["<div></div>", line]
    return (f'<div style="{_SMALL};display:grid;grid-template-columns:auto {_THUMB_W}px;gap:2px 6px;'
            f'align-items:start">{"".join(cells)}</div>')


def _ends(first: str, label: str, last: str) -> str:
    """A line with first on its left, label in its middle, last on its right."""
    return f'<div style="display:flex;justify-content:space-between;gap:8px">{_spans(first, label, last)}</div>'


def _thumbnail(series: Series) -> str:
    """The heat map of the series, with its axes' ends, its colour scale and
    what was drawn of it, as HTML; "" without spectra or points."""
    n, points = series.shape
    if not n or not points:
        return ""
    picked, rows = _read_rows(series)
    binned = _binned(rows)[::-1]                # the first spectrum at the bottom
    image, low, high = _coloured(binned)
    source = "data:image/png;base64," + base64.b64encode(png(image, _palette())).decode("ascii")

    # the series axis: the first dimension, as the plot labels it
    label, first, last = "spectrum", f"{picked[0]}", f"{picked[-1]}"
    for d in series.dimensions:
        values = series.coords[d["name"]]
        label = d["long_name"] or d["name"]
        first, last = f"{values[picked[0]]:g}", f"{values[picked[-1]]:g}"
        break
    x_code, y_code = unit_codes(series)
    x = series.x
    shown = f"all {n} spectra" if picked.size == n else f"{picked.size} of {n} spectra, evenly spaced"
    factor = -(-points // THUMBNAIL_COLUMNS)     # as _binned runs them
    if factor > 1:
        shown += f"; means of {factor} points"
    scale = ("no finite value" if low != low else
             f"colours {low:.4g} to {high:.4g}: percentiles 0.1 to 99.9")
    nan = ""
    if np.isnan(binned).any():
        nan = (f' <span style="display:inline-block;width:9px;height:9px;vertical-align:middle;'
               f'background:rgb{_NAN_RGB}"></span> NaN')
    alt = html.escape(f"heat map of {shown}", quote=True)
    picture = (f'<img src="{source}" width="{_THUMB_W}" height="{_THUMB_H}" alt="{alt}" '
               f'style="display:block;image-rendering:pixelated;width:{_THUMB_W}px;height:{_THUMB_H}px">')
    below = [_ends(f"{x[0]:g}", axis_label("x", x_code), f"{x[-1]:g}"),
             f'<div style="height:8px;background:{_gradient()}"></div>']
    if low == low:
        below.append(_ends(f"{low:.4g}", axis_label("value", y_code), f"{high:.4g}"))
    below.append(f"<div>{html.escape(shown)}; {html.escape(scale)}{nan}</div>")
    return _framed(picture, _THUMB_H, (last, label, first), below)


def series_html(series: Series) -> str:
    """The summary of a series: sizes, type, axis, dimensions (with the unit
    their long names state), whether cut, the file's size; and, while it is
    open, a heat map of (some of) its spectra."""
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
        dimensions = {d["name"]: d for d in series.dimensions}
    except (OSError, ValueError):  # a closed file not asked for them before
        coords = None
    if coords is not None:
        for name, values in coords.items():
            # the long name states the unit where the file has one: "time (s)"
            quantity, unit = dimension_unit(dimensions[name]["long_name"] or "")
            label = f"dimension {name}" + (f" ({quantity})" if quantity and quantity != name else "")
            shown = _range(values[0], values[-1], f" {unit}" if unit else "") if len(values) else "empty"
            rows.append((label, shown))
    rows.append(_file_size(series))
    picture = ""
    if series.closed:
        rows.append(("file", "closed"))
    elif n and points and points * series.element_size > THUMBNAIL_BYTES:
        rows.append(("picture", f"none: a spectrum is {human_size(points * series.element_size)}, more than "
                                f"the {human_size(THUMBNAIL_BYTES)} read for one"))
    else:
        try:
            picture = _thumbnail(series)
        except Exception as exc:  # the rest is worth seeing all the same; Ctrl-C is not caught
            reason = (str(exc).strip().splitlines() or [""])[0][:300]
            rows.append(("picture", f"not drawn: {type(exc).__name__}" + (f": {reason}" if reason else "")))
    return _table("Series", series.title, rows, side=picture)


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
    """The summary of a single spectrum, its file's size, and an outline of
    its values (the finite ones)."""
    n = len(spectrum.y)
    x_code, y_code = unit_codes(spectrum)
    rows = [("points", str(n)), ("dtype", spectrum.dtype.name)]
    if n:
        rows.append(("x", _range(float(spectrum.x[0]), float(spectrum.x[-1]), _unit(x_code))))
        finite = spectrum.y[np.isfinite(spectrum.y)]
        if finite.size:
            rows.append(("y", _range(float(finite.min()), float(finite.max()), _unit(y_code))))
    rows.append(_file_size(spectrum))
    if spectrum.closed:
        rows.append(("file", "closed"))
    outline = _outline(spectrum.y)
    if outline:
        finite = spectrum.y[np.isfinite(spectrum.y)]
        outline = _framed(outline, _OUTLINE_H + 4,
                          (f"{float(finite.max()):g}", axis_label("value", y_code), f"{float(finite.min()):g}"),
                          [_ends(f"{spectrum.x[0]:g}", axis_label("x", x_code), f"{spectrum.x[-1]:g}")])
    return _table("Spectrum", spectrum.title, rows, side=outline)
