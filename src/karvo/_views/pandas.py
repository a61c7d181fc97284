"""pandas views of an opened file: a series' table of spectra (metadata
only) and a single spectrum's values along its axis."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from .._extras import require
from .._core.table import IN_FILE, IN_FILE_ALIAS, table_columns

if TYPE_CHECKING:
    import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]

    from numpy.typing import NDArray

    from .._core.series import Series
    from .._core.spectrum import Spectrum

__all__ = ["series_table", "spectrum_series"]


def _pandas(task: str) -> Any:
    return require("pandas", "pandas", task)


def series_table(series: Series) -> pd.DataFrame:
    """The metadata table of a series, indexed by ``spectrum_in_file``
    (the name read_many's table gives the index within a file); see
    :meth:`karvo.Series.to_pandas`. The column ``spectrum``, last, holds
    the index again under the former name of the index, until karvo 0.2.0."""
    pd = _pandas("Series.to_pandas")
    index = pd.RangeIndex(len(series), name=IN_FILE)
    columns = table_columns(series)
    columns[IN_FILE_ALIAS] = np.arange(len(series), dtype=np.int64)
    return pd.DataFrame(columns, index=index)


def spectrum_series(spectrum: Spectrum) -> pd.Series:
    """A single spectrum's values indexed by its axis; see
    :meth:`karvo.Spectrum.to_pandas`."""
    pd = _pandas("Spectrum.to_pandas")
    index = pd.Index(np.array(spectrum.x), name="x")
    return pd.Series(np.array(spectrum.y), index=index, name=spectrum.title)
