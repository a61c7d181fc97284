"""pandas views of an opened file: a series' table of spectra (metadata
only) and a single spectrum's values along its axis."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from ._extras import require
from ._names import unique as _unique

if TYPE_CHECKING:
    import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]

    from numpy.typing import NDArray

    from ._series import Series
    from ._single import Spectrum

__all__ = ["series_table", "spectrum_series", "table_columns"]


def _pandas(task: str) -> Any:
    return require("pandas", "pandas", task)


def table_columns(series: Series) -> dict[str, NDArray[Any]]:
    """A column per thing known of each spectrum, ``len(series)`` values
    each, in this order: ``title`` (str; only with mini headers), the
    dimension coordinates by name, then every other mini header field.

    Fields keep their stored types (unsigned ones stay unsigned, so a
    start_time past 2**31 is exact). The mini header's ``spec_title`` is
    the ``title`` column, decoded, and is not repeated. A name taken
    already gets ``_`` appended."""
    columns: dict[str, NDArray[Any]] = {}
    titles = series.titles
    if titles is not None:
        columns["title"] = np.array(titles, dtype=object)
    for name, values in series.coords.items():
        columns[_unique(name, set(columns) | {"spectrum"})] = np.asarray(values)
    meta = series.meta
    if meta is not None:
        for field in meta.dtype.names or ():
            if field == "spec_title":
                continue
            column = meta[field]
            if column.dtype.kind == "S":  # text fields come as str, as the title does
                column = np.array([v.decode("ascii", "replace") for v in column], dtype=object)
            columns[_unique(field, set(columns) | {"spectrum"})] = np.ascontiguousarray(column)
    return columns


def series_table(series: Series) -> pd.DataFrame:
    """The metadata table of a series, indexed by ``spectrum``; see
    :meth:`karvo.Series.to_pandas`."""
    pd = _pandas("Series.to_pandas")
    index = pd.RangeIndex(len(series), name="spectrum")
    return pd.DataFrame(table_columns(series), index=index)


def spectrum_series(spectrum: Spectrum) -> pd.Series:
    """A single spectrum's values indexed by its axis; see
    :meth:`karvo.Spectrum.to_pandas`."""
    pd = _pandas("Spectrum.to_pandas")
    index = pd.Index(np.array(spectrum.x), name="x")
    return pd.Series(np.array(spectrum.y), index=index, name=spectrum.title)
