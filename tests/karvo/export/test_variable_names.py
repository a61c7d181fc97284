"""Series dimensions whose labels are no valid variable names in NetCDF or
zarr still reach the exported file, under safe names, labels kept."""
import os

import numpy as np
import pytest

import karvo
from karvo_writer import write_series

xr = pytest.importorskip("xarray")
if not hasattr(karvo.Series, "to_xarray"):
    pytest.skip("the xarray engine is not installed", allow_module_level=True)

# label in the file -> variable name in the Dataset
NAMES = {"T/K": "T_K", "x": "x_", "spectrum": "spectrum_", "a b.c": "a_b.c", "-5": "_-5"}


@pytest.fixture(scope="module")
def labelled(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("labels") / "labelled")
    write_series(path, n_spectra=6, num_points=8, dimensions=[
        dict(first_dim=k, last_dim=k + 5, scale_dim=1.0, num_elements=6,
             short_label=label.encode(), long_label=b"about " + label.encode())
        for k, label in enumerate(NAMES)])
    return path


@pytest.mark.parametrize("fmt", ["nc", "zarr"])
def test_dimension_labels_survive_an_export(tmp_path, labelled, fmt):
    pytest.importorskip("zarr" if fmt == "zarr" else "h5netcdf")
    from karvo._export.single import export
    out = str(tmp_path / f"out.{fmt}")
    with karvo.open(labelled) as series:
        export(series, out, fmt)
    with xr.open_dataset(out, engine="zarr" if fmt == "zarr" else None) as ds:
        assert ds["spectra"].dims == ("spectrum", "x") and ds["x"].size == 8
        for k, (label, name) in enumerate(NAMES.items()):
            coord = ds.coords[name]
            assert coord.dims == ("spectrum",)
            assert coord.values.tolist() == np.linspace(k, k + 5, 6).tolist()
            assert (coord.attrs["label"], coord.attrs["long_name"]) == (label, "about " + label)
    assert os.listdir(tmp_path) == [f"out.{fmt}"]
