"""Parquet exports as pyarrow and pandas read them back: the values, the
spectral axis and the metadata columns karvo.read_many gives, and a file no
larger than the spectra it holds."""
import io
import json
import os

import numpy as np
import pytest

import karvo
from command import karvo as run, write_mixed
from karvo_writer import write_series

pq = pytest.importorskip("pyarrow.parquet")
pd = pytest.importorskip("pandas")

@pytest.fixture
def files(tmp_path, monkeypatch):
    """a: float32 series with mini headers; b: float64 series without; c: a
    single spectrum; one axis, so that they stack as float64 with gaps."""
    monkeypatch.chdir(tmp_path)
    return write_mixed("a", "b", "c")


def read_back(path, reader):
    """(axis, values as spectra x points, the other columns as a DataFrame)."""
    with open(path, "rb") as fh:     # Arrow may close a file it opens itself on a thread of its own, later
        data = io.BytesIO(fh.read())
    if reader == "pyarrow":
        table = pq.read_table(data)
        x = json.loads(table.schema.metadata[b"karvo.x"])
        flat = table.column("values").combine_chunks().flatten().to_numpy(zero_copy_only=False)
        return np.array(x), flat.reshape(table.num_rows, -1), table.drop(["values"]).to_pandas()
    df = pd.read_parquet(data)
    assert not df.attrs                 # pandas copies attrs on every operation
    x = json.loads(pq.read_schema(data).metadata[b"karvo.x"])
    values = np.stack(df["values"].to_list()) if len(df) else np.empty((0, len(x)))
    return np.array(x), values, df.drop(columns="values")


@pytest.mark.parametrize("reader", ["pyarrow", "pandas"])
@pytest.mark.parametrize("spectra", [None, "4:9"])
@pytest.mark.parametrize("chunk_spectra", [None, 2])     # row groups joined across files, or split inside them
def test_a_stack_reads_back_as_read_many_has_it(files, reader, spectra, chunk_spectra, monkeypatch, fds):
    from karvo._export import single
    if chunk_spectra:
        monkeypatch.setattr(single, "CHUNK_BYTES", chunk_spectra * 40 * 8)
    x, Y, table = karvo.read_many(files)
    rows = slice(*(int(v) for v in spectra.split(":"))) if spectra else slice(None)
    Y, table = Y[rows], table[rows].reset_index(drop=True)
    got = run("export", *files, "-o", "all.parquet", *(["--spectra", spectra] if spectra else []))
    assert got.returncode == 0, got.stderr
    axis, values, columns = read_back("all.parquet", reader)
    assert np.array_equal(axis, x)                             # float64, exact
    assert values.dtype == Y.dtype and np.array_equal(values, Y)
    assert list(columns.columns) == list(table.columns)
    for name in table.columns:
        want, have = table[name], columns[name]
        if want.dtype.kind in "biuf":
            np.testing.assert_array_equal(have.to_numpy(float, na_value=np.nan),
                                          want.to_numpy(float, na_value=np.nan), err_msg=name)
        else:
            assert [None if pd.isna(v) else v for v in have] == [None if pd.isna(v) else v for v in want], name
    assert sorted(os.listdir(".")) == ["a", "all.parquet", "b", "c"]


def test_one_file_keeps_its_headers_beside_the_axis(files):
    s = karvo.open("a")
    assert run("export", "a", "-o", "a.parquet").returncode == 0
    metadata = pq.read_schema("a.parquet").metadata
    assert json.loads(metadata[b"karvo.metadata"])["points"] == 40
    for reader in ("pyarrow", "pandas"):
        axis, values, columns = read_back("a.parquet", reader)
        assert np.array_equal(axis, s.x) and np.array_equal(values, np.asarray(s))
        assert list(columns["title"]) == [f"run {k}" for k in range(6)]
    s.close()


def test_noisy_spectra_take_no_more_room_than_in_their_files(tmp_path, monkeypatch):
    """Values that differ in their low bits, in many small files: no larger
    than the files (a dictionary of the values makes it larger), in row
    groups that gather files."""
    monkeypatch.chdir(tmp_path)
    rng = np.random.default_rng(7)
    paths = []
    for k in range(12):
        noise = rng.normal(0.5, 1e-3, (20, 256)).astype(np.float32)
        write_series(f"run{k:02d}", n_spectra=20, num_points=256, mini_header_type=3,
                     values=lambda j, noise=noise: noise[j].tolist())
        paths.append(f"run{k:02d}")
    assert run("export", *paths, "-o", "all.parquet").returncode == 0
    assert os.path.getsize("all.parquet") <= sum(os.path.getsize(p) for p in paths)
    assert pq.ParquetFile("all.parquet").metadata.num_row_groups == 1
    _, values, _ = read_back("all.parquet", "pyarrow")
    assert np.array_equal(values, karvo.read_many(paths)[1])
