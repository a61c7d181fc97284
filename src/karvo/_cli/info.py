"""What ``karvo info`` says about an opened file: a summary dict (also the
``--json`` form) and its aligned text."""
from __future__ import annotations

import math
import os
import sys
import warnings
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .._core.series import Series
from .._core.spectrum import Spectrum
from .._core.units import unit_codes, unit_name
from .._storage.location import display_name
from .._views.html import human_size


def _real(value: float) -> float | None:
    # JSON has no NaN or infinity; a damaged header can hold them
    value = float(value)
    return value if math.isfinite(value) else None


class Facts(dict):  # type: ignore[type-arg]
    """The facts of one file (JSON-ready: what json.dumps writes) and its
    spectral axis ``x`` beside them, for comparing files' axes."""

    def __init__(self, facts: dict[str, Any], x: NDArray[np.float64]) -> None:
        super().__init__(facts)
        self.x = np.array(x, dtype=np.float64)

    @property
    def name(self) -> str:
        return str(self["path"])


def summary(obj: Series | Spectrum, path: str) -> dict[str, Any]:
    """The facts of one file, as plain JSON-ready values; a URL is named
    without user info and query string (its display name)."""
    x = obj.x
    points = int(x.shape[0])
    facts: dict[str, Any] = Facts({}, x)
    facts.update({
        "path": display_name(path),
        "kind": "series" if isinstance(obj, Series) else "spectrum",
        "title": obj.title,
        "points": points,
        "first_x": _real(x[0]) if points else None,
        "last_x": _real(x[-1]) if points else None,
        "dtype": str(obj.dtype),
    })
    # the header's unit codes, and what karvo.unit_names calls them (None: unnamed)
    x_code, y_code = unit_codes(obj)
    facts.update(x_units=x_code, x_unit_name=unit_name(x_code), y_units=y_code, y_unit_name=unit_name(y_code))
    if isinstance(obj, Series):
        facts.update(
            spectra=len(obj),
            expected_spectra=int(obj.expected_spectra),
            truncated=bool(obj.truncated),
            dimensions=[{"name": d["name"], "long_name": d["long_name"],
                         "first": _real(d["first"]), "last": _real(d["last"]),
                         "n": int(d["n"])} for d in obj.dimensions],
            mini_headers=obj.titles is not None,
        )
    else:
        facts.update(spectra=1, expected_spectra=1, truncated=False,
                     dimensions=[], mini_headers=False)
    # the size as opened, a URL's object's too (a file object has no identity)
    identity = obj.identity
    facts["file_size"] = os.path.getsize(path) if identity is None else int(identity.size)
    return facts


def _shown(path: str) -> str:
    # a name that isn't valid in the file system's encoding reaches us with
    # surrogates, which a strict standard output refuses: show them as U+FFFD,
    # and as "?" where the output can't show that either (an ASCII locale)
    text = os.fsencode(path).decode(sys.getfilesystemencoding(), "replace")
    encoding = getattr(sys.stdout, "encoding", None) or "utf-8"
    return text.encode(encoding, "replace").decode(encoding)


def _title(title: str | None) -> str:
    # on one line, and the writer's control characters (an escape sequence
    # recolours, retitles or clears a terminal) shown as "?"
    return "".join(c if c.isprintable() else "?" for c in " ".join((title or "").split()))


def _unit(code: int | None, name: str | None) -> str:
    # the name a lab gave the code in karvo.unit_names, else the code: never a guess
    if code is None:
        return ""
    return f" ({name})" if name else f" (unit code {code})"


def _g(value: float | None) -> str:
    return "nan" if value is None else f"{value:g}"


def _dimension(d: dict[str, Any]) -> str:
    named = d["name"]
    if d["long_name"] and d["long_name"] != named:
        named += f" ({d['long_name']})"
    return f"{named}: {_g(d['first'])} to {_g(d['last'])}, {d['n']} value{'s' if d['n'] != 1 else ''}"


def text(facts: dict[str, Any]) -> str:
    """Aligned lines: the path, then one labelled line per fact."""
    if facts["points"]:
        axis = f"{facts['points']}, x from {_g(facts['first_x'])} to {_g(facts['last_x'])}" + \
            _unit(facts.get("x_units"), facts.get("x_unit_name"))
    else:
        axis = "0"
    spectra = str(facts["spectra"])
    if facts["truncated"]:
        # the words of the plot's title, and a count still first for scripts
        spectra += f" (cut short: {facts['spectra']} of {facts['expected_spectra']} spectra)"
    dims = [_dimension(d) for d in facts["dimensions"]] or ["none"]
    rows = [
        ("kind", "series" if facts["kind"] == "series" else "single spectrum"),
        ("title", _title(facts["title"]) or "(none)"),
        ("points", axis),
        ("values", facts["dtype"] + _unit(facts.get("y_units"), facts.get("y_unit_name"))),
        ("spectra", spectra),
        ("dimensions", dims[0]),
        *(("", more) for more in dims[1:]),
        ("mini headers", "yes" if facts["mini_headers"] else "no"),
        ("file size", human_size(facts["file_size"])),
    ]
    width = max(len(label) for label, _ in rows)
    return "\n".join([_shown(facts["path"])] + [f"  {label:<{width}}  {value}" for label, value in rows])


def _cells(facts: dict[str, Any]) -> list[str]:
    spectra = f"{facts['spectra']} spectr{'um' if facts['spectra'] == 1 else 'a'}"
    if facts["truncated"]:
        spectra += f" (cut short: {facts['spectra']} of {facts['expected_spectra']})"
    axis = f"x {_g(facts['first_x'])} to {_g(facts['last_x'])}" if facts["points"] else "no x"
    if facts.get("axis_differs"):
        axis += " (other axis)"      # than most of the files listed share
    # the title last, on one line: it says what a file named run0042 holds
    return [_shown(facts["path"]), facts["kind"], spectra, f"{facts['points']} points", axis, facts["dtype"],
            _title(facts["title"])]


def table(many: list[dict[str, Any]]) -> str:
    """One line per file, its columns aligned: path, kind, spectra, points,
    x range (marked where it is another axis than most of the files
    share), value type and title."""
    rows = [_cells(facts) for facts in many]
    if not rows:
        return ""
    widths = [max(len(row[k]) for row in rows) for k in range(len(rows[0]))]
    return "\n".join("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip()
                     for row in rows)


def compare_axes(documents: list[dict[str, Any]], mismatched: str | None) -> tuple[list[dict[str, Any]], list[str], int]:
    """The rule of karvo.read_many's one axis, for files that are listed
    rather than stacked: the documents to show, the notes to print (without
    "karvo: ") and the exit status (1 only where ``--mismatched raise``
    asked for one axis and the files have several).

    Every file's facts get ``axis_differs``: whether its spectral axis is
    another than the one most of the files shown share (where as many share
    two, the first file's); such a file gets ``axis_reference`` (the first
    file of that axis) and ``axis_difference`` (how, its own first) too.
    Without ``mismatched`` all are shown and one note names those that
    differ; ``"skip"`` leaves them out with one note naming each, as karvo
    export would; ``"raise"`` shows all and fails naming each."""
    from .._core.many import axis_text, how_differs, majority, of_that_axis, one_axis

    facts = [d for d in documents if isinstance(d, Facts)]
    for d in facts:
        d["axis_differs"] = False
    shared, odd = majority(facts)
    if not odd:
        return documents, [], 0
    ref = shared[0]
    for d in odd:
        d.update(axis_differs=True, axis_reference=ref.name, axis_difference=how_differs(d, ref))
    if mismatched == "raise":
        try:
            one_axis(facts, "raise", "karvo info", stacklevel=2)
        except ValueError as exc:
            return documents, [str(exc)], 1
    if mismatched == "skip":
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", UserWarning)
            one_axis(facts, "skip", "karvo info", stacklevel=2)
        left_out = {id(d) for d in odd}
        return [d for d in documents if id(d) not in left_out], [str(w.message) for w in caught], 0
    count = f"{len(odd)} file{'s' if len(odd) > 1 else ''}"
    names = "; ".join(f"{d.name} ({axis_text(d)})" for d in odd)
    return documents, [f"the spectral axis of {count} differs from that of {ref.name}{of_that_axis(shared)} "
                       f"({axis_text(ref)}): {names}"], 0
