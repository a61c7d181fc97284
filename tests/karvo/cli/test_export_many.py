"""``karvo export`` of several files and folders: stacked as karvo.read_many
stacks them, in every format, and the long layout (a row per value)."""
import csv
import io
import os

import numpy as np
import pytest

import karvo
from karvo import _native
from karvo_writer import single_spectrum_file, write_series
from command import SERIES, has, karvo as run, write_mixed

pd = pytest.importorskip("pandas")

NEEDS = {"parquet": "pyarrow", "nc": "xarray", "zarr": "zarr"}


@pytest.fixture
def runs(tmp_path, monkeypatch):
    """runs/a (float32 series with mini headers), runs/sub/b (float64 series
    without), runs/c (a single spectrum), runs/notes.txt; all on one axis."""
    monkeypatch.chdir(tmp_path)
    os.makedirs("runs/sub")
    write_mixed("runs/a", "runs/sub/b", "runs/c")
    with open("runs/notes.txt", "w") as fh:
        fh.write("not spectra\n")
    return ["runs/a", "runs/sub/b", "runs/c"]


def need(fmt):
    if fmt in NEEDS and not has(NEEDS[fmt]):
        pytest.skip(f"needs {NEEDS[fmt]}")


def read_wide(out, fmt):
    """(file of each spectrum, values, the 't' and 'num_scans' columns) as written."""
    if fmt in ("csv", "tsv"):
        with open(out, newline="") as fh:
            rows = list(csv.reader(fh, delimiter="," if fmt == "csv" else "\t"))
        k = next(i for i, row in enumerate(rows) if row[0] == "x")
        head = {row[0]: row[1:] for row in rows[:k]}
        assert all(cell == "" for cell in rows[k][1:])
        number = [float(v) if v else np.nan for v in head["num_scans"]]
        return (head["file"], np.array(rows[k + 1:], dtype=float)[:, 1:].T,
                [float(v) if v else np.nan for v in head["t"]], number)
    if fmt == "npz":
        with np.load(out) as z:
            return z["file"], z["values"], z["columns/t"], z["columns/num_scans"]
    if fmt == "parquet":
        with open(out, "rb") as fh:     # Arrow may close a file it opens itself on a thread of its own, later
            df = pd.read_parquet(io.BytesIO(fh.read()))
        return df["file"], np.stack(df["values"]), df["t"], df["num_scans"]
    import xarray as xr
    with xr.open_dataset(out, engine="zarr" if fmt == "zarr" else None) as ds:
        return ds["file"].values, ds["spectra"].values, ds["t"].values, ds["num_scans"].values


@pytest.mark.parametrize("fmt", ["csv", "tsv", "npz", "parquet", "nc", "zarr"])
@pytest.mark.parametrize("given", [["runs/a", "runs/sub/b", "runs/c"], ["runs"]])
def test_files_are_stacked_with_their_table(runs, fmt, given, fds):
    need(fmt)
    if given == ["runs"]:
        with pytest.warns(UserWarning, match="skipped 1"):
            x, Y, table = karvo.read_many("runs")
    else:
        x, Y, table = karvo.read_many(given)
    got = run("export", *given, "-o", f"all.{fmt}")
    assert got.returncode == 0, got.stderr
    assert ("notes.txt: skipped" in got.stderr) == (given == ["runs"])
    files, values, t, num_scans = read_wide(f"all.{fmt}", fmt)
    assert list(files) == list(table["file"])
    assert values.dtype == Y.dtype if fmt not in ("csv", "tsv") else True
    assert np.array_equal(values.astype(Y.dtype), Y)       # bit for bit, float64 and widened float32
    np.testing.assert_array_equal(np.asarray(t, float), table["t"].to_numpy(float, na_value=np.nan))
    np.testing.assert_array_equal(np.asarray(num_scans, float),
                                  table["num_scans"].to_numpy(float, na_value=np.nan))
    assert not [n for n in os.listdir(".") if n.startswith(".")]


def test_one_file_keeps_the_single_file_layout(runs):
    assert run("export", "runs/a", "-o", "a.csv").returncode == 0
    with open("a.csv") as fh:
        assert fh.readline() == "x," + ",".join(f"run {k}" for k in range(6)) + "\n"


@pytest.mark.parametrize("fmt", ["csv", "parquet", "zarr"])
def test_axes_that_differ_write_nothing_and_name_both_files(runs, fmt, fds):
    need(fmt)
    with open("shifted", "wb") as fh:
        fh.write(single_spectrum_file(values=[0.5] * 40, first_x=3000.0, last_x=1001.0))
    before = set(os.listdir("."))
    got = run("export", "runs", "shifted", "-o", f"all.{fmt}")
    assert got.returncode == 1
    message = got.stderr.splitlines()[-1]
    assert message.startswith("karvo: shifted: ") and "runs/a" in message and "x[1] is" in message
    assert "np.float64" not in message
    assert set(os.listdir(".")) == before


@pytest.mark.parametrize("given, status, note", [
    (["runs"], 0, "karvo: runs/notes.txt: skipped: "),
    (["runs/a", "runs/notes.txt", "missing"], 1, "karvo: runs/notes.txt: "),
])
def test_what_isnt_spectral_data_is_reported(runs, given, status, note):
    got = run("export", *given, "-o", "all.npz")
    assert got.returncode == status
    assert note in got.stderr
    if status:
        assert "karvo: missing: " in got.stderr and "skipped" not in got.stderr
    with np.load("all.npz") as z:     # what could be read is written
        assert "runs/a" in list(z["file"])


def test_nothing_readable_writes_nothing(runs):
    got = run("export", "runs/notes.txt", "-o", "all.csv")
    assert got.returncode == 1 and not os.path.exists("all.csv")


@pytest.mark.parametrize("fmt", ["csv", "tsv", "parquet"])
@pytest.mark.parametrize("spectra", [None, "5:8"])
def test_long_layout_reads_back_as_read_many_has_it(runs, fmt, spectra):
    need(fmt)
    x, Y, table = karvo.read_many(runs)
    rows = slice(*(int(v) for v in spectra.split(":"))) if spectra else slice(None)
    Y, table = Y[rows], table[rows]
    got = run("export", *runs, "-o", f"long.{fmt}", "--layout", "long",
              *(["--spectra", spectra] if spectra else []))
    assert got.returncode == 0, got.stderr
    if fmt == "parquet":
        df = pd.read_parquet(f"long.{fmt}")
    else:
        exact = {} if int(pd.__version__.split(".")[0]) >= 3 else {"float_precision": "round_trip"}
        df = pd.read_csv(f"long.{fmt}", sep="," if fmt == "csv" else "\t", keep_default_na=False,
                         na_values=dict.fromkeys(["t", "num_scans", "temp"], [""]), **exact)
    assert list(df.columns) == ["file", "spectrum_in_file", "x", "value", *table.columns[2:]]
    points = len(x)
    assert np.array_equal(df["value"].to_numpy().reshape(-1, points).astype(Y.dtype), Y)
    assert np.array_equal(df["x"].to_numpy(), np.tile(x, len(Y)))
    for name in ("file", "spectrum_in_file", "spectrum", "title"):
        assert list(df[name]) == list(np.repeat(table[name].to_numpy(), points))
    for name in ("t", "num_scans", "temp"):
        np.testing.assert_array_equal(df[name].to_numpy(float, na_value=np.nan),
                                      np.repeat(table[name].to_numpy(float, na_value=np.nan), points))


@pytest.mark.parametrize("fmt", ["nc", "zarr", "npz"])
def test_long_layout_is_a_table_only(runs, fmt):
    got = run("export", "runs/a", "-o", f"long.{fmt}", "--layout", "long")
    assert got.returncode == 2 and "--layout long" in got.stderr
    assert not os.path.exists(f"long.{fmt}")


@pytest.mark.parametrize("heads, tails, error", [
    ([b"a,"], [b""], ValueError),             # a head and a tail per spectrum
    ([b"a,", b"b,"], [b"", "text"], TypeError),
    (5, [b"", b""], TypeError),
])
def test_long_rows_refuses_what_it_cannot_lay_out(heads, tails, error):
    with pytest.raises(error):
        _native.long_rows(np.zeros(3), np.zeros((2, 3)), heads, tails, ",")


@pytest.mark.parametrize("label, fmt, layout", [("x", "csv", "wide"), ("value", "tsv", "long"),
                                                ("values", "parquet", "wide"), ("x", "parquet", "long")])
def test_a_dimension_named_like_a_column_of_the_layout_gets_a_mark(runs, label, fmt, layout):
    need(fmt)
    dimension = dict(SERIES["dimensions"][0], short_label=label.encode())
    write_series("dim", **dict(SERIES, dimensions=[dimension]))
    got = run("export", "dim", "runs/c", "-o", f"out.{fmt}", "--layout", layout)
    assert got.returncode == 0, got.stderr
    if fmt == "parquet":
        df = pd.read_parquet(f"out.{fmt}")
    elif layout == "long":
        df = pd.read_csv(f"out.{fmt}", sep="\t")
    else:
        df = pd.read_csv(f"out.{fmt}", header=list(range(15)), index_col=0).T.reset_index()
        assert df.columns.name == "x"
    column = df[label + "_"]
    if layout == "long":
        assert list(df.columns[:4]) == ["file", "spectrum_in_file", "x", "value"]
        assert column.iloc[40] == 10.0      # the second spectrum's coordinate on its rows
    else:
        assert list(column[:6].astype(float)) == [0.0, 10.0, 20.0, 30.0, 40.0, 50.0]


def test_long_rows_takes_one_list_as_heads_and_tails():
    both = [b"h" * 5000, b"i,"]
    text = _native.long_rows(np.array([1.0, 2.0]), np.array([[0.5, 1.5], [2.5, 3.5]]), both, both, ",")
    assert text.split(b"\n")[:-1] == [both[0] + b"1.0,0.5" + both[0], both[0] + b"2.0,1.5" + both[0],
                                      b"i,1.0,2.5i,", b"i,2.0,3.5i,"]


def test_storage_options_reach_every_url_of_a_stacked_export(s3, runs, monkeypatch, capsys):
    import json

    from karvo.cli import main
    urls = [s3.put(path, "stacked-" + os.path.basename(path)) for path in runs[:2]]
    monkeypatch.delenv("AWS_ENDPOINT_URL")        # only the option says where
    given = ["--storage-option", "client_kwargs=" + json.dumps({"endpoint_url": s3.endpoint})]
    assert main(["export", *given, *urls, "-o", "remote.csv", "--layout", "long"]) == 0
    assert main(["export", *runs[:2], "-o", "local.csv", "--layout", "long"]) == 0
    with open("remote.csv") as got, open("local.csv") as want:
        assert got.read().replace("s3://" + s3.bucket + "/stacked-", "runs/") == \
            want.read().replace("runs/sub/", "runs/")
    # the storage layer refusing a URL is a file not read, not a fault of karvo's
    given = ["--storage-option", "client_kwargs=" + json.dumps({"endpoint_url": "http://127.0.0.1:9"})]
    monkeypatch.setenv("AWS_MAX_ATTEMPTS", "1")
    capsys.readouterr()
    assert main(["export", *given, *urls, "-o", "never.csv"]) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"karvo: {urls[0]}: ") and "report" not in err and not os.path.exists("never.csv")


@pytest.mark.parametrize("layout", ["wide", "long"])
def test_metadata_numbers_read_as_the_values_do(tmp_path, monkeypatch, layout):
    """A float32 metadata cell is laid out as the values are (61319564.0,
    not numpy's 6.1319564e+07): one text per number in a table."""
    monkeypatch.chdir(tmp_path)
    for name in ("a", "b"):
        write_series(name, **dict(SERIES, mini=dict(temp=61319564.0, pressure=0.1),
                                  values=lambda k: [61319564.0] * 40))
    assert run("export", "a", "b", "-o", "out.csv", "--layout", layout).returncode == 0
    with open("out.csv", newline="", encoding="utf-8") as fh:
        rows = list(csv.reader(fh))
    temps = next(row[1:] for row in rows if row[0] == "temp") if layout == "wide" else \
        [row[rows[0].index("temp")] for row in rows[1:]]
    if layout == "wide":
        values = [v for row in rows[[row[0] for row in rows].index("x") + 1:] for v in row[1:]]
    else:
        values = [row[3] for row in rows[1:]]
    assert set(temps) == set(values) == {"61319564.0"}
    # at its own precision: 0.1 as float32, not its float64 widening 0.10000000149011612
    pressures = next(row[1:] for row in rows if row[0] == "pressure") if layout == "wide" else \
        [row[rows[0].index("pressure")] for row in rows[1:]]
    assert set(pressures) == {"0.1"}


def test_the_long_table_holds_the_text_of_one_call_s_metadata_at_a_time(runs, monkeypatch):
    """Short spectra come in chunks of whole files: their metadata text is
    made a native call's worth at a time (LONG_CALL_ROWS rows), not for the
    whole chunk, so that memory stays bounded however many spectra there are."""
    from karvo._export import stack as _stack
    from karvo.cli import main
    monkeypatch.setattr(_stack, "LONG_CALL_ROWS", 80)          # 2 spectra of 40 points a call
    monkeypatch.setattr(_stack, "SIZE_SAMPLE", 2)              # and the size told beforehand of 2
    made, cells = [], _stack._cells
    monkeypatch.setattr(_stack, "_cells", lambda column: made.append(len(column)) or cells(column))
    assert main(["export", *runs[:2], "-o", "out.csv", "--layout", "long"]) == 0
    with open("out.csv", newline="", encoding="utf-8") as fh:
        assert sum(1 for _ in fh) == 1 + (6 + 3) * 40
    assert made and max(made) <= 2, made


def test_files_of_another_axis_are_left_out_on_request(runs):
    with open("shifted", "wb") as fh:
        fh.write(single_spectrum_file(values=[0.5] * 40, first_x=3000.0, last_x=1001.0))
    refused = run("export", "runs", "shifted", "-o", "all.csv")
    assert refused.returncode == 1 and not os.path.exists("all.csv")
    got = run("export", "runs", "shifted", "-o", "all.csv", "--mismatched", "skip")
    assert got.returncode == 0, got.stderr
    assert "karvo: karvo export left out 1 file whose spectral axis differs" in got.stderr
    assert "shifted (40 points, x 3000 to 1001)" in got.stderr
    files, *_ = read_wide("all.csv", "csv")
    assert "shifted" not in files and len(files) == 6 + 3 + 1
