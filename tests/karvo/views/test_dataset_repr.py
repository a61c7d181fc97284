"""The engine's Dataset in a notebook: xarray wraps the coordinates that are
not indexes after the engine returns and shows "..." for them;
load_coordinates shows their values, unchanged, and reads no values."""
import re

import numpy as np
import pytest

import karvo_writer as W

xr = pytest.importorskip("xarray")
from karvo.xarray_backend import load_coordinates  # noqa: E402


@pytest.mark.parametrize("chunks", [None, {}])
def test_load_coordinates_shows_the_coordinates_of_an_opened_dataset(tmp_path, chunks):
    if chunks is not None:
        pytest.importorskip("dask")
    path = str(tmp_path / "s")
    W.write_series(path, n_spectra=3, num_points=8, dimensions=[dict(
        num_elements=3, first_dim=0, last_dim=2985, scale_dim=1.0, short_label=b"t", long_label=b"time (s)")])
    with xr.open_dataset(path, engine="karvo") as plain:
        expected = {name: plain[name].values for name in plain.coords}
    with xr.open_dataset(path, engine="karvo", chunks=chunks) as ds:
        # no values: "..." (wrapped) or a dask array (chunked)
        assert re.search(r"\n +t +\(spectrum\) float64 24B (\.\.\.|dask\.array<.*>)\n", repr(ds))
        loaded = load_coordinates(ds)
        shown = repr(loaded)
        assert re.search(r"\n +t +\(spectrum\) float64 24B 0\.0 1\.492e\+03 2\.985e\+03\n", shown)
        assert "'spectrum 0' 'spectrum 1' 'spectrum 2'" in shown and "\n    num_scans    (spectrum) uint32 12B 1 2 3" in shown
        for name, values in expected.items():
            assert loaded[name].dtype == values.dtype and np.array_equal(loaded[name].values, values)
        # the values stay where they are, in the file
        assert re.search(r"spectra +\(spectrum, x\) float32 96B (\.\.\.|dask)", shown)
