"""The table of a series' spectra as plain numpy columns: what is known of
each spectrum (title, dimension coordinates, mini header fields), the rows
of read_many's table and of Series.to_pandas."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from .names import unique as _unique

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from .series import Series

__all__ = ["IN_FILE", "IN_FILE_ALIAS", "table_columns"]

# The index of a spectrum within its file, by the one name that read_many's
# table, Series.to_pandas, open_mfdataset and the exports give it.
IN_FILE = "spectrum_in_file"
# Its former name in read_many's table (and in the stacked CSV and Parquet
# exports), kept beside it as a copy until karvo 0.2.0.
IN_FILE_ALIAS = "spectrum"
# Names the tables give columns of their own: a dimension or field so named
# gets ``_`` appended.
RESERVED = frozenset({IN_FILE, IN_FILE_ALIAS})


def table_columns(series: Series) -> dict[str, NDArray[Any]]:
    """A column per thing known of each spectrum, ``len(series)`` values
    each, in this order: ``title`` (str; only with mini headers),
    ``file_title`` (the file's own title, the same on every row: what a
    lab's sample records name), the dimension coordinates by name, then
    every other mini header field.

    Fields keep their stored types (unsigned ones stay unsigned, so a
    start_time past 2**31 is exact). The mini header's ``spec_title`` is
    the ``title`` column, decoded, and is not repeated. A name taken
    already, or one of RESERVED, gets ``_`` appended."""
    columns: dict[str, NDArray[Any]] = {}
    titles = series.titles
    if titles is not None:
        columns["title"] = np.array(titles, dtype=object)
    columns["file_title"] = np.full(len(series), series.title, dtype=object)
    for name, values in series.coords.items():
        columns[_unique(name, set(columns) | RESERVED)] = np.asarray(values)
    meta = series.meta
    if meta is not None:
        for field in meta.dtype.names or ():
            if field == "spec_title":
                continue
            column = meta[field]
            if column.dtype.kind == "S":  # text fields come as str, as the title does
                column = np.array([v.decode("ascii", "replace") for v in column], dtype=object)
            columns[_unique(field, set(columns) | RESERVED)] = np.ascontiguousarray(column)
    return columns
