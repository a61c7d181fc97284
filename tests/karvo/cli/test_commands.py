"""The ``karvo`` command.  Its commands run in this interpreter through
``karvo.cli.main``; the installed console script runs in a subprocess where a
signal, a missing library or the entry point itself is what is checked."""
import contextlib
import csv
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ET
from typing import NamedTuple

import numpy as np
import pytest

import karvo as karvo_package
from karvo import cli
from karvo._export import single as _export
from karvo_writer import SeriesFile, single_spectrum_file, write_series

from command import ENV, EXAMPLE, KARVO, ROOT, SCRIPT, SERIES, Done, has, karvo, karvo_process

sys.path.insert(0, os.path.join(ROOT, "docs"))
import make_figures  # noqa: E402


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return tmp_path_factory.mktemp("sources")


@pytest.fixture(scope="module")
def series(files):
    """(path, SeriesFile): 6 float32 spectra of 40 points with mini headers."""
    path = files / "series"
    return str(path), write_series(str(path), **SERIES)


@pytest.fixture(scope="module")
def plain64(files):
    """float64 series without mini headers, its axis ascending."""
    path = files / "plain64"
    return str(path), write_series(str(path), n_spectra=4, num_points=16, element_size=8,
                                   mini_hdr=False, spectral=dict(first_x=100.0, last_x=250.0))


@pytest.fixture(scope="module")
def spectrum(files):
    path = files / "spectrum"
    values = [0.5 * j for j in range(20)]
    path.write_bytes(single_spectrum_file(values=values, first_x=4000.0, last_x=400.0))
    return str(path), values


@pytest.fixture(scope="module")
def cut(files):
    """A series promising 6 spectra that holds 3 and a half."""
    full = SeriesFile(**SERIES)
    lay = full.layout
    path = files / "cut"
    path.write_bytes(full.to_bytes()[:lay.spectrum_offset(3) + lay.stride // 2])
    return str(path), full


def expected_matrix(s, rows=None):
    rows = range(s.n_spectra) if rows is None else rows
    return np.array([s.values(k) for k in rows], dtype=np.float32 if s.element_size == 4 else np.float64)


# --- info ------------------------------------------------------------------

def test_info_text_describes_each_kind(series, plain64, cut, spectrum, monkeypatch):
    # one named file gets a block; several get a line each (test_info_many.py);
    # a unit as karvo.unit_names names its code, else the code itself
    monkeypatch.setitem(karvo_package.unit_names, 17, "absorbance")
    outs = [karvo("info", f[0]) for f in (series, plain64, cut, spectrum)]
    assert [out.returncode for out in outs] == [0] * 4, [out.stderr for out in outs]
    blocks = [out.stdout.strip() for out in outs]
    first, second, third, fourth = (dict(re.split(r"\s{2,}", line.strip(), maxsplit=1)
                                         for line in b.splitlines()[1:]) for b in blocks)
    assert [b.splitlines()[0] for b in blocks] == [series[0], plain64[0], cut[0], spectrum[0]]
    assert first["kind"] == "series" and first["values"] == "float32 (absorbance)"
    assert first["title"] == "run 42, in situ" and second["title"] == "(none)"
    assert first["points"] == "40, x from 3000 to 1000 (unit code 1)"
    assert first["spectra"] == "6" and first["mini headers"] == "yes"
    assert first["dimensions"] == "t (time (s)): 0 to 50, 6 values"
    assert first["file size"].endswith(f"({os.path.getsize(series[0]):,} bytes)")
    assert second["values"] == "float64 (absorbance)" and second["mini headers"] == "no"
    assert second["points"] == "16, x from 100 to 250 (unit code 1)"
    assert third["spectra"] == "3 (cut short: 3 of 6 spectra)"
    assert fourth["kind"] == "single spectrum" and fourth["points"] == "20, x from 4000 to 400 (unit code 1)"


def test_info_json(series, cut):
    out = karvo("info", "--json", series[0], cut[0])
    assert out.returncode == 0, out.stderr
    first, second = json.loads(out.stdout)
    assert first == {
        "path": series[0], "kind": "series", "title": "run 42, in situ", "points": 40,
        "first_x": 3000.0, "last_x": 1000.0, "dtype": "float32", "spectra": 6,
        "expected_spectra": 6, "truncated": False, "mini_headers": True,
        "dimensions": [{"name": "t", "long_name": "time (s)", "first": 0.0, "last": 50.0, "n": 6}],
        "file_size": os.path.getsize(series[0]),
        "x_units": 1, "x_unit_name": None, "y_units": 17, "y_unit_name": None, "axis_differs": False}
    assert (second["spectra"], second["expected_spectra"], second["truncated"]) == (3, 6, True)


@pytest.mark.parametrize("bad", ["text", "empty", "missing", "folder", "fifo"])
@pytest.mark.parametrize("as_json", [False, True])
def test_info_reports_a_bad_file_and_shows_the_others(tmp_path, series, plain64, bad, as_json):
    path = tmp_path / bad
    if bad == "text":
        path.write_text("wavenumber,absorbance\n" * 40)
    elif bad == "empty":
        path.write_bytes(b"")
    elif bad == "folder":
        path.mkdir()
    elif bad == "fifo":
        os.mkfifo(path)                      # opening it would wait for a writer
    args = ["info"] + (["--json"] if as_json else []) + [series[0], path, plain64[0]]
    out = karvo(*args)
    assert out.returncode == 1
    lines = out.stderr.splitlines()
    assert len(lines) == 2 and lines[0].startswith(f"karvo: {path}: ") and len(lines[0]) > len(f"karvo: {path}: ") + 3
    # as many share each axis: the first file's is the one the other is said to differ from
    assert lines[1].startswith(f"karvo: the spectral axis of 1 file differs from that of {series[0]} (40 points")
    assert "Traceback" not in out.stderr
    if as_json:
        docs = json.loads(out.stdout)
        assert [d["path"] for d in docs] == [series[0], str(path), plain64[0]]
        assert "error" in docs[1] and docs[2]["points"] == 16
    else:
        assert [row.split()[0] for row in out.stdout.splitlines()] == [series[0], plain64[0]]


# --- export ----------------------------------------------------------------

def read_text_table(path, delimiter):
    with open(path, newline="") as fh:
        rows = list(csv.reader(fh, delimiter=delimiter))
    table = np.array(rows[1:], dtype=np.float64)
    return rows[0], table[:, 0], table[:, 1:]


def read_back(fmt, out):
    """(x, values (spectra, points), column names or titles, coords) as written."""
    if fmt in ("csv", "tsv"):
        header, x, table = read_text_table(out, "," if fmt == "csv" else "\t")
        assert header[0] == "x"
        return x, table.T, header[1:], {}
    if fmt == "npz":
        with np.load(out, allow_pickle=False) as f:
            meta = json.loads(str(f["metadata"]))
            assert meta["points"] == f["x"].shape[0]
            titles = list(f["titles"]) if "titles" in f.files else None
            coords = {k.split("/", 1)[1]: f[k] for k in f.files if k.startswith("coords/")}
            return f["x"], f["values"], titles, coords
    if fmt == "parquet":
        import pyarrow.parquet as pq
        table = pq.read_table(out)
        x = np.array(json.loads(table.schema.metadata[b"karvo.x"]))
        values = np.stack([np.asarray(v) for v in table.column("values").to_pylist()])
        titles = table.column("title").to_pylist() if "title" in table.column_names else None
        return x, values, titles, {"t": table.column("t").to_numpy()} if "t" in table.column_names else {}
    import xarray as xr
    with xr.open_dataset(out, engine="zarr" if fmt == "zarr" else None) as ds:
        ds.load()
    titles = [str(t) for t in ds["title"].values] if "title" in ds.coords else None
    return ds["x"].values, ds["spectra"].values, titles, {"t": ds["t"].values} if "t" in ds.coords else {}


FORMAT_NEEDS = {"csv": None, "tsv": None, "npz": None, "parquet": "pyarrow", "nc": "xarray", "zarr": "zarr"}


def export_available(fmt):
    return FORMAT_NEEDS[fmt] is None or has(FORMAT_NEEDS[fmt])


XARRAY_ENGINE = hasattr(karvo_package.Series, "to_xarray")


def skip_unless_exportable(fmt):
    if not export_available(fmt) or (fmt in ("nc", "zarr") and not XARRAY_ENGINE):
        pytest.skip(f"{FORMAT_NEEDS[fmt]} or the xarray engine is not installed")


@pytest.mark.parametrize("fmt", list(FORMAT_NEEDS))
@pytest.mark.parametrize("chosen", ["extension", "option"])
def test_export_round_trip(tmp_path, series, fmt, chosen):
    if not export_available(fmt):
        pytest.skip(f"{FORMAT_NEEDS[fmt]} is not installed")
    path, s = series
    out = tmp_path / (f"out.{fmt}" if chosen == "extension" else "out.data")
    args = ["export", path, "-o", out] + (["--format", fmt] if chosen == "option" else [])
    done = karvo(*args)
    if fmt in ("nc", "zarr") and not XARRAY_ENGINE:
        assert done.returncode == 1 and "xarray engine" in done.stderr
        assert os.listdir(tmp_path) == []
        return
    assert done.returncode == 0, done.stderr
    x, values, names, coords = read_back(fmt, out)
    np.testing.assert_allclose(x, np.linspace(3000.0, 1000.0, 40), rtol=0, atol=1e-9)
    assert values.shape == (6, 40)
    assert np.array_equal(values.astype(np.float32), expected_matrix(s))
    assert names == [s.title(k) for k in range(6)]
    if coords:
        assert np.allclose(coords["t"], np.linspace(0, 50, 6))
    assert os.listdir(tmp_path) == [out.name]                        # no temporary left


@pytest.mark.parametrize("fmt", ["csv", "npz", "parquet", "nc", "zarr"])
@pytest.mark.parametrize("spectra, rows", [("1:4", [1, 2, 3]), ("-2:", [4, 5]), ("3", [3]), ("-1", [5]),
                                           (":0", [])])
def test_export_a_range_of_spectra(tmp_path, series, fmt, spectra, rows):
    skip_unless_exportable(fmt)
    path, s = series
    out = tmp_path / f"part.{fmt}"
    done = karvo("export", path, "-o", out, f"--spectra={spectra}")
    assert done.returncode == 0, done.stderr
    if not rows and fmt == "parquet":
        return
    x, values, names, _ = read_back(fmt, out)
    assert values.reshape(len(rows), 40).astype(np.float32).tolist() == expected_matrix(s, rows).tolist()
    assert names == [s.title(k) for k in rows]


def test_csv_headers_fall_back_to_the_index(tmp_path):
    titles = [b"", b"base", b"dup", b"dup", b"x", b"0", b"fine"]
    path = str(tmp_path / "titled")
    s = write_series(path, n_spectra=7, num_points=5, mini_header_type=3,
                     titles=lambda k: titles[k])
    out = tmp_path / "t.tsv"
    assert karvo("export", path, "-o", out).returncode == 0
    header, x, table = read_text_table(out, "\t")
    # spectrum 5's title "0" would clash with spectrum 0's index; "x" with the axis
    assert header == ["x", "0", "base", "2", "3", "4", "5", "fine"]
    assert np.array_equal(table.T.astype(np.float32), expected_matrix(s))


def test_export_float64_and_single_spectrum(tmp_path, plain64, spectrum):
    out = tmp_path / "p.csv"
    assert karvo("export", plain64[0], "-o", out).returncode == 0
    header, x, table = read_text_table(out, ",")
    assert header == ["x", "0", "1", "2", "3"]                       # no mini headers: indices
    assert np.array_equal(table.T, expected_matrix(plain64[1]))      # float64 text reads back exactly
    # ... their positions in the file, also for a part of the series
    assert karvo("export", plain64[0], "-o", out, "--spectra", "2:4").returncode == 0
    header, x, table = read_text_table(out, ",")
    assert header == ["x", "2", "3"] and np.array_equal(table.T, expected_matrix(plain64[1], [2, 3]))
    out = tmp_path / "s.npz"
    done = karvo("export", spectrum[0], "-o", out)
    assert done.returncode == 0, done.stderr
    with np.load(out) as f:
        assert f["values"].tolist() == np.float32(spectrum[1]).tolist()
        assert f["x"][0] == 4000.0 and f["x"][-1] == 400.0


def test_export_of_a_cut_series_says_so_and_writes_what_it_holds(tmp_path, cut):
    out = tmp_path / "cut.npz"
    done = karvo("export", cut[0], "-o", out)
    assert done.returncode == 0
    assert "cut short" in done.stderr and "3 of 6" in done.stderr
    with np.load(out) as f:
        assert np.array_equal(f["values"], expected_matrix(cut[1], range(3)))


def test_export_write_errors_name_the_output(tmp_path, series):
    done = karvo("export", tmp_path / "absent", "-o", tmp_path / "out.csv")
    assert done.returncode == 1 and done.stderr == f"karvo: {tmp_path / 'absent'}: No such file or directory\n"
    missing = tmp_path / "no" / "such" / "folder" / "out.csv"
    done = karvo("export", series[0], "-o", missing)
    assert done.returncode == 1 and done.stderr.startswith(f"karvo: {missing}: ")
    folder = tmp_path / "notes.zarr"
    folder.mkdir()
    (folder / "keep.txt").write_text("mine")
    done = karvo("export", series[0], "-o", folder, "--format", "zarr")
    if has("xarray") and XARRAY_ENGINE:
        assert done.returncode == 1 and (folder / "keep.txt").read_text() == "mine"


def without(tmp_path, module):
    """An environment in which ``module`` is not installed, as far as imports
    and ``importlib.util.find_spec`` can tell."""
    blocker = tmp_path / f"without_{module}"
    blocker.mkdir()
    (blocker / "sitecustomize.py").write_text(f"import sys\nsys.modules[{module!r}] = None\n")
    return dict(ENV, PYTHONPATH=os.pathsep.join([str(blocker), ENV["PYTHONPATH"]]))


@pytest.mark.parametrize("module, fmt, hint", [("dask", "nc", None), ("pyarrow", "parquet", "pip install pyarrow"),
                                               ("xarray", "zarr", "xarray h5netcdf"),
                                               ("matplotlib", "png", "pip install matplotlib")])
def test_a_library_missing(tmp_path, series, module, fmt, hint):
    """Without dask NetCDF is written from the loaded dataset; without the
    format's own library the command says what to install."""
    if fmt != "png":
        skip_unless_exportable(fmt)
    out = tmp_path / f"out.{fmt}"
    done = karvo_process("plot" if fmt == "png" else "export", series[0], "-o", out,
                         env=without(tmp_path, module))
    if module == "dask":
        assert done.returncode == 0, done.stderr
        assert np.array_equal(read_back(fmt, out)[1].astype(np.float32), expected_matrix(series[1]))
    else:
        assert done.returncode == 1 and hint in done.stderr, done.stderr
        assert not out.exists()


@pytest.fixture(scope="module")
def big_series(tmp_path_factory):
    """Large enough that a CSV export of it takes a few seconds."""
    path = tmp_path_factory.mktemp("big") / "big"
    write_series(str(path), n_spectra=3000, num_points=4096, mini_hdr=False)
    return str(path)


def started_as(ignored=()):
    """A child's signal dispositions as a terminal gives them, whatever this
    run's are (a background job starts with SIGINT ignored): defaults, but
    for the ``ignored`` ones, as ``nohup`` leaves SIGHUP."""
    def preexec():
        signals = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
        for sig in signals:
            signal.signal(sig, signal.SIG_IGN if sig in ignored else signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, signals)   # a mask is inherited too
    return preexec


@pytest.mark.parametrize("sig, status, ignored", [
    (signal.SIGINT, 130, False), (signal.SIGTERM, 128 + signal.SIGTERM, False),
    (signal.SIGKILL, -signal.SIGKILL, False),
    (signal.SIGHUP, 0, True),       # under nohup: the hangup changes nothing
])
def test_interrupted_export_leaves_no_file_under_the_output_name(tmp_path, big_series, sig, status, ignored):
    out = tmp_path / "big.csv"
    out.write_text("the previous export\n")
    proc = subprocess.Popen(KARVO + ["export", big_series, "-o", str(out)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=ENV,
                            preexec_fn=started_as({sig} if ignored else ()))
    deadline = time.monotonic() + 120
    while not [p for p in os.listdir(tmp_path) if p.endswith(".part")]:
        assert proc.poll() is None and time.monotonic() < deadline, "the export never started writing"
        time.sleep(0.02)
    time.sleep(0.2)
    proc.send_signal(sig)
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == status, err
    left = set(os.listdir(tmp_path)) - {"big.csv"}
    if ignored:
        assert not left and out.read_text(encoding="utf-8").startswith("x,")
        return
    assert out.read_text() == "the previous export\n"
    if sig == signal.SIGKILL:
        assert all(p.startswith(".big.csv.") and p.endswith(".part") for p in left)
    else:
        assert not left and "Traceback" not in err


@pytest.mark.skipif(not has("tqdm"), reason="tqdm is not installed")
def test_progress_bar_only_on_a_terminal(tmp_path, series, monkeypatch):
    import fcntl
    import pty
    import struct
    import termios
    monkeypatch.setattr(_export, "PROGRESS_DELAY", 0)     # at once, for a short export
    main, child = pty.openpty()
    fcntl.ioctl(child, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    shown = bytearray()

    def drain():
        with contextlib.suppress(OSError):          # EIO once the terminal is closed
            while chunk := os.read(main, 4096):
                shown.extend(chunk)
    reader = threading.Thread(target=drain)
    reader.start()
    with open(child, "w", encoding="utf-8") as terminal, contextlib.redirect_stderr(terminal):
        assert cli.main(["export", series[0], "-o", str(tmp_path / "run.tsv")]) == 0
    reader.join(timeout=30)
    os.close(main)
    assert b"run.tsv:" in shown and b"rows/s" in shown
    piped = karvo("export", series[0], "-o", tmp_path / "again.tsv")
    assert piped.returncode == 0 and piped.stderr == ""


# --- plot ------------------------------------------------------------------

needs_matplotlib = pytest.mark.skipif(not has("matplotlib"), reason="matplotlib is not installed")


@needs_matplotlib
@pytest.mark.parametrize("which", ["series", "plain64", "spectrum", "cut"])
def test_plot_png(tmp_path, request, which):
    import matplotlib.image as mpimg
    path = request.getfixturevalue(which)[0]
    out = tmp_path / "p.png"
    done = karvo("plot", path, "-o", out)
    assert done.returncode == 0, done.stderr
    image = mpimg.imread(out)
    assert image.shape[:2] == (600, 800)
    rgb = image[..., :3].reshape(-1, 3)
    assert rgb.std() > 0.05                                          # not blank
    assert len(np.unique(np.round(rgb * 255), axis=0)) > (60 if which != "spectrum" else 5)


@needs_matplotlib
def test_plot_svg(tmp_path, series):
    out = tmp_path / "p.svg"
    done = karvo("plot", series[0], "-o", out, "--spectra", "1:5", "--lines", "2")
    assert done.returncode == 0, done.stderr
    root = ET.parse(out).getroot()
    assert root.tag.endswith("svg")
    assert (root.get("width"), root.get("height")) == ("576pt", "432pt")   # 8 x 6 inches
    ns = {"svg": "http://www.w3.org/2000/svg"}
    assert root.findall(".//svg:image", ns)                          # the heat map
    assert len(root.findall(".//svg:path", ns)) > 20                 # lines, axes, ticks
    text = out.read_text(encoding="utf-8")
    assert "time (s)" in text and "run 1" in text and "run 4" in text and "run 42, in situ" in text


@needs_matplotlib
@pytest.mark.parametrize("which, descending", [("series", True), ("plain64", False), ("spectrum", True)])
def test_plot_runs_the_spectral_axis_as_stored(request, which, descending):
    import matplotlib.pyplot as plt

    from karvo._views import plot as _plot
    with karvo_package.open(request.getfixturevalue(which)[0]) as obj:
        fig = _plot.figure(obj, lines=3)
    for ax in fig.axes[:1 if which == "spectrum" else 2]:      # not the colour bar
        left, right = ax.get_xlim()
        assert (left > right) == descending
    if which == "series":
        heat, curves = fig.axes[:2]
        assert heat.get_ylabel() == "time (s)" and curves.get_xlabel() == "x (unit code 1)"
        assert [t.get_text() for t in curves.get_legend().get_texts()] == ["run 0", "run 2", "run 5"]
    plt.close(fig)


@needs_matplotlib
def test_plot_without_output_and_display_says_so(tmp_path, series, monkeypatch):
    import matplotlib
    matplotlib.use("Agg", force=True)
    monkeypatch.chdir(tmp_path)
    done = karvo("plot", series[0])
    assert done.returncode == 1 and "no display" in done.stderr and "-o" in done.stderr
    assert os.listdir(tmp_path) == []


def _same_drawing(fresh, stored, where="figure"):
    """Texts alike, numbers alike to float precision."""
    if isinstance(fresh, dict):
        assert isinstance(stored, dict) and fresh.keys() == stored.keys(), where
        for key in fresh:
            _same_drawing(fresh[key], stored[key], f"{where}.{key}")
    elif isinstance(fresh, list):
        assert isinstance(stored, list) and len(fresh) == len(stored), where
        for k, (a, b) in enumerate(zip(fresh, stored)):
            _same_drawing(a, b, f"{where}[{k}]")
    elif isinstance(fresh, float):
        assert fresh == pytest.approx(stored, rel=1e-6, abs=1e-9, nan_ok=True), where
    else:
        assert fresh == stored, where


@needs_matplotlib
def test_committed_figure_is_what_the_current_code_draws():
    import matplotlib.image as mpimg
    import matplotlib.pyplot as plt
    from PIL import Image

    from karvo._views import plot as _plot
    with karvo_package.open(EXAMPLE) as series:
        fig = _plot.figure(series, dpi=make_figures.DPI)
    try:
        fresh = make_figures.drawn(fig)
        png = io.BytesIO()
        fig.savefig(png, format="png", dpi=make_figures.DPI)
    finally:
        plt.close(fig)
    stale = "docs/example.png is stale: run python docs/make_figures.py"
    with Image.open(make_figures.FIGURE) as committed:
        stored = json.loads(committed.text.get(make_figures.DRAWN_KEY, "null"))
    assert stored is not None, stale
    _same_drawing(fresh, stored)
    # the picture itself: same size, and alike but for how text and lines
    # are rendered (that moves some 2 % of the pixel values between releases)
    png.seek(0)
    now, then = mpimg.imread(png)[..., :3], mpimg.imread(make_figures.FIGURE)[..., :3]
    assert now.shape == then.shape, stale
    assert np.abs(now - then).mean() < 0.06, stale


# --- usage -----------------------------------------------------------------

@pytest.mark.parametrize("args", [
    [], ["info"], ["frobnicate"], ["export", "{f}"], ["export", "{f}", "-o", "out.unknown"],
    ["export", "{f}", "-o", "out.csv", "--format", "xls"],
    ["export", "{f}", "-o", "out.csv", "--spectra", "a:b"],
    ["export", "{f}", "-o", "out.csv", "--spectra", "1:2:3"],
    ["plot", "{f}", "-o", "out.unknown"], ["plot", "{f}", "--lines", "0"], ["plot", "{f}", "--dpi", "1e6"],
    ["info", "--bogus", "{f}"], ["export", "{f}", "-o", "{f}", "--format", "csv"],
    ["plot", "{f}", "-o", "same.png"],
])
def test_usage_errors_exit_2(tmp_path, series, args, monkeypatch):
    os.symlink(series[0], tmp_path / "same.png")          # the same file under an image's name
    monkeypatch.chdir(tmp_path)
    done = karvo(*[a.format(f=series[0]) for a in args])
    assert done.returncode == 2
    assert "usage: karvo" in done.stderr and "error:" in done.stderr
    assert os.listdir(tmp_path) == ["same.png"]
    assert open(series[0], "rb").read() == series[1].to_bytes()


def test_help_version_and_the_installed_command():
    for sub in ("info", "export", "plot"):
        done = karvo(sub, "--help")
        assert done.returncode == 0
        assert "examples:" in done.stdout and f"karvo {sub} examples/reaction_band_growth.series" in done.stdout
    version = karvo_process("--version")
    assert version.returncode == 0 and version.stdout.split()[0] == "karvo"
    assert version.stdout.split()[1] == karvo_package.__version__
    module = subprocess.run([sys.executable, "-m", "karvo", "--version"], capture_output=True, text=True, env=ENV)
    assert module.stdout == version.stdout
