"""The index of a spectrum within its file has one name, spectrum_in_file,
wherever karvo gives it (tables, Datasets, every export format), its former
name kept beside it where one was used until karvo 0.2.0."""
import csv
import io

import numpy as np
import pytest

import karvo
from karvo.cli import main
from xarray_files import series

pd = pytest.importorskip("pandas")

SIZES = (3, 2)
IN_FILES = [0, 1, 2, 0, 1]
# (what gives it, the extra it needs, its former name there: None where it had none)
WHERE = [("read_many", None, "spectrum"), ("Series.to_pandas", None, "spectrum"),
         ("open_mfdataset", "xarray", None), ("npz", None, "index"), ("nc", "xarray", "index"),
         ("csv", None, "spectrum"), ("csv long", None, "spectrum"), ("parquet", "pyarrow", "spectrum"),
         ("parquet long", "pyarrow", "spectrum"), ("npz of one file", None, "index"),
         ("parquet of one file", "pyarrow", "index")]


@pytest.fixture
def files(tmp_path):
    paths = [str(tmp_path / name) for name in ("a", "b")]
    series(paths[0], n_spectra=SIZES[0], num_points=8)
    series(paths[1], n_spectra=SIZES[1], num_points=8, mini_hdr=False)
    return paths


def exported(paths, tmp_path, what):
    """{column name: values} of what the export writes."""
    fmt, _, layout = what.partition(" ")
    out = str(tmp_path / f"out.{fmt}")
    given = paths[:1] if layout == "of one file" else paths
    assert main(["export", *given, "-o", out, *(["--layout", "long"] if layout == "long" else [])]) == 0
    if fmt == "npz":
        with np.load(out) as z:
            return {k: z[k] for k in z.files}
    if fmt == "parquet":
        with open(out, "rb") as fh:
            df = pd.read_parquet(io.BytesIO(fh.read()))
        return dict((df.iloc[::8] if layout == "long" else df).items())     # long: a row per point
    if fmt == "nc":
        import xarray as xr
        with xr.open_dataset(out) as ds:
            return {k: ds[k].values for k in ds.variables}
    with open(out, newline="") as fh:
        rows = list(csv.reader(fh))
    if layout == "long":
        return {name: [row[k] for row in rows[1::8]] for k, name in enumerate(rows[0])}
    return {row[0]: row[1:] for row in rows[:[row[0] for row in rows].index("x")]}


@pytest.mark.parametrize("what, needs, former", WHERE)
def test_one_name_for_the_index_within_a_file(files, tmp_path, what, needs, former):
    if needs:
        pytest.importorskip(needs)
    if what == "read_many":
        columns = dict(karvo.read_many(files)[2].items())
    elif what == "Series.to_pandas":
        with karvo.open(files[0]) as s:
            df = s.to_pandas()
        assert df.index.name == "spectrum_in_file"
        columns = {"spectrum_in_file": df.index, **df}
    elif what == "open_mfdataset":
        with karvo.open_mfdataset(files) as ds:
            columns = {k: ds[k].values for k in ds.coords}
            assert "spectrum" not in ds.coords             # the dimension's name
    else:
        columns = exported(files, tmp_path, what)
    want = IN_FILES[:SIZES[0]] if what in ("Series.to_pandas", "npz of one file", "parquet of one file") \
        else IN_FILES
    assert [int(v) for v in columns["spectrum_in_file"]] == want
    if former is not None:
        assert [int(v) for v in columns[former]] == want
    assert not any(name.startswith("spectrum_in_file_") for name in columns)


def test_a_field_named_like_the_index_gets_a_mark(tmp_path):
    dims = [dict(num_elements=2, first_dim=5, last_dim=6, scale_dim=1.0, short_label=b"spectrum_in_file",
                 long_label=b"")]
    path = str(tmp_path / "a")
    series(path, n_spectra=2, num_points=8, dimensions=dims)
    table = karvo.read_many([path])[2]
    assert table["spectrum_in_file"].tolist() == [0, 1] and table["spectrum_in_file_"].tolist() == [5.0, 6.0]
    with karvo.open(path) as s:
        assert s.to_pandas()["spectrum_in_file_"].tolist() == [5.0, 6.0]
    out = str(tmp_path / "long.csv")
    assert main(["export", path, "-o", out, "--layout", "long"]) == 0
    with open(out) as fh:
        header = next(csv.reader(fh))
    assert header[:4] == ["file", "spectrum_in_file", "x", "value"] and "spectrum_in_file_" in header
