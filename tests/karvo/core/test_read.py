"""karvo on files from our writer: the values, axes and headers it put in."""
import inspect
import os
import pickle
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import karvo
import karvo_writer as W
from karvo_writer import SeriesFile, f32, single_spectrum_file


@pytest.fixture
def series(tmp_path):
    """series(**SeriesFile keywords) -> (path, SeriesFile)."""
    def make(**kw):
        path = str(tmp_path / ("series_%d" % len(list(tmp_path.iterdir()))))
        return path, W.write_series(path, **kw)
    return make


def expected_rows(sf, rows=None):
    rows = range(sf.n_spectra) if rows is None else rows
    dtype = np.float32 if sf.element_size == 4 else np.float64
    return np.array([sf.values(k) for k in rows], dtype=dtype).reshape(len(rows), sf.num_points)


# -- single spectra -------------------------------------------------------------

@pytest.mark.parametrize("extended", [False, True])
def test_single_spectrum_values_axis_and_header(write, fds, extended):
    values = [0.5, -1.25, 3.0e6, float("inf"), 7.0]
    path = write(single_spectrum_file(values=values, extended=extended, file_id=b"polystyrene film",
                                      first_x=4000.0, last_x=400.1, laser_freq=15798.0), "polystyrene")
    x, y = karvo.read(path)
    assert y.dtype == np.float32 and y.tolist() == [f32(v) for v in values]
    assert x.dtype == np.float64 and np.array_equal(x, np.linspace(4000.0, f32(400.1), 5))
    with karvo.open(path) as sp:
        assert isinstance(sp, karvo.Spectrum)
        assert (sp.title, sp.path, len(sp), sp.shape, sp.dtype) == ("polystyrene film", path, 5, (5,), np.float32)
        assert np.array_equal(np.asarray(sp), y) and np.array_equal(sp.x, x)
        assert sp.header["num_points"] == 5 and sp.header["laser_freq"] == f32(15798.0)
        assert list(sp.header) == W.FIELDS["MainSpectralHeader"]
        assert repr(sp) == "<karvo.Spectrum 'polystyrene film': 5 points, x 4000 to 400.1, float32>"
        assert not sp.closed
    assert sp.closed
    fds.assert_clean()


def test_single_spectrum_without_points(write):
    x, y = karvo.read(write(single_spectrum_file(values=[])))
    assert x.shape == y.shape == (0,)


def test_single_spectrum_pickles_as_its_path(write):
    path = write(single_spectrum_file(values=[1.0, 2.0]))
    sp = pickle.loads(pickle.dumps(karvo.open(path)))
    assert sp.path == path and sp.y.tolist() == [1.0, 2.0]


# -- series -----------------------------------------------------------------------

LAYOUTS = [
    dict(element_size=4, mini_hdr=False),
    dict(element_size=4, mini_header_type=0),
    dict(element_size=4, mini_header_type=3, bench_hdr=True),
    dict(element_size=8, mini_header_type=0, extended=True),
    dict(element_size=8, mini_hdr=False, bench_hdr=True, extended=True),
]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_series_values_headers_and_meta(series, fds, layout):
    path, sf = series(n_spectra=7, num_points=5, file_id=b"run42", **layout)
    Y = expected_rows(sf)
    with karvo.open(path) as s:
        assert isinstance(s, karvo.Series)
        assert (len(s), s.shape, s.dtype, s.element_size) == (7, (7, 5), Y.dtype, sf.element_size)
        assert (s.title, s.expected_spectra, s.truncated, s.ndim, s.size, s.nbytes) == \
            ("run42", 7, False, 2, 35, 35 * sf.element_size)
        assert np.array_equal(np.asarray(s), Y)
        assert np.array_equal(s.x, np.linspace(4000.0, 400.0, 5))
        assert s.header["max_spectra"] == 7 and list(s.header) == W.FIELDS["SeriesHeader"]
        assert s.spectral_header["num_points"] == 5
        assert s.header["series_ID"] == "series" and s.header["num_dimensions"] == 1
        if layout.get("bench_hdr"):
            assert list(s.bench_info) == W.FIELDS["BenchInfo"] and s.bench_info["velocity"] == f32(0.6329)
        else:
            assert s.bench_info is None
        if not layout.get("mini_hdr", True):
            assert s.titles is None and s.meta is None
        else:
            ver3 = layout["mini_header_type"] == 3
            names = W.FIELDS["SeriesSpecheaderVer3" if ver3 else "SeriesSpecheader"]
            assert s.titles == [sf.title(k) for k in range(7)]
            assert s.meta.dtype.names == tuple(names) and s.meta.dtype.itemsize == (100 if ver3 else 96)
            for k in range(7):
                want = sf.mini_fields(k)
                got = s.meta[k]
                for name in names:
                    if name == "spec_title":
                        assert got[name] == sf.title(k).encode()
                    else:
                        assert got[name] == pytest.approx(f32(want[name]), abs=0), name
    fds.assert_clean()


def test_read_gives_axis_and_all_spectra(series):
    path, sf = series(n_spectra=4, num_points=3)
    x, Y = karvo.read(path)
    assert np.array_equal(x, np.linspace(4000.0, 400.0, 3)) and np.array_equal(Y, expected_rows(sf))


@pytest.mark.parametrize("key, rows", [
    (0, 0), (-1, 10), (5, 5), (np.int64(3), 3),
    (slice(None), list(range(11))), (slice(2, 6), [2, 3, 4, 5]), (slice(None, None, 3), [0, 3, 6, 9]),
    (slice(None, None, -4), [10, 6, 2]), (slice(8, 2), []), (slice(-3, None), [8, 9, 10]),
    ([3, 1, 4, 1, 5], [3, 1, 4, 1, 5]), ([-1, 0], [10, 0]), ([], []),
    (np.array([9, 10, 0, 1, 2]), [9, 10, 0, 1, 2]), (np.arange(11) % 4 == 0, [0, 4, 8]),
])
@pytest.mark.parametrize("layout", [dict(mini_hdr=False), dict(mini_header_type=3)])
def test_indexing(series, key, rows, layout):
    path, sf = series(n_spectra=11, num_points=4, **layout)
    with karvo.open(path) as s:
        got = s[key]
        want = expected_rows(sf, [rows] if isinstance(rows, int) else rows)
        assert np.array_equal(got, want[0] if isinstance(rows, int) else want)
        assert got.shape == ((4,) if isinstance(rows, int) else (len(rows), 4))


def test_two_dimensional_keys_and_bad_keys(series):
    path, sf = series(n_spectra=5, num_points=4)
    Y = expected_rows(sf)
    with karvo.open(path) as s:
        assert np.array_equal(s[1:3, 2], Y[1:3, 2]) and s[4, -1] == Y[4, -1]
        for bad in (5, -6, [0, 5], np.array([-6]), np.array([2 ** 64 - 1], np.uint64)):
            with pytest.raises(IndexError):
                s[bad]
        for bad in (1.0, "a", None):
            with pytest.raises(TypeError):
                s[bad]
        with pytest.raises(IndexError):
            s[np.ones(4, bool)]


def test_read_into_a_callers_buffer(series):
    path, sf = series(n_spectra=6, num_points=3, element_size=8)
    with karvo.open(path) as s:
        buf = np.full((3, 3), np.nan)
        assert s.read(2, 5, out=buf) is buf and np.array_equal(buf, expected_rows(sf, [2, 3, 4]))
        assert np.array_equal(s.read(-2), expected_rows(sf, [4, 5]))
        with pytest.raises(TypeError):
            s.read(0, 3, out=np.empty((3, 3), np.float32))
        with pytest.raises(ValueError):
            s.read(0, 2, out=buf)
        with pytest.raises(ValueError):
            s.read(0, 3, out=np.empty((3, 6))[:, ::2])


@pytest.mark.parametrize("n_spectra, num_points, layout", [
    (20000, 4, dict(mini_header_type=3)),      # many small rows: several chunks, packed
    (9, 1100, dict(mini_header_type=0)),       # long rows: scattered into place
    (3, 300000, dict(mini_header_type=3)),     # rows longer than a chunk
    (5000, 30, dict(mini_hdr=False)),          # one plain read
])
def test_bulk_paths(series, n_spectra, num_points, layout):
    path, sf = series(n_spectra=n_spectra, num_points=num_points, **layout)
    with karvo.open(path) as s:
        Y = np.asarray(s)
        assert Y.shape == (n_spectra, num_points)
        # The writer puts k first in row k, then 0.25 * j.
        assert np.array_equal(Y[:, 0], np.arange(n_spectra, dtype=Y.dtype))
        assert np.array_equal(Y[-1], expected_rows(sf, [n_spectra - 1])[0])
        if sf.mini_hdr:
            assert np.array_equal(s.meta["num_scans"], np.arange(1, n_spectra + 1))
            assert s.titles[-1] == sf.title(n_spectra - 1)
        picked = [n_spectra - 1, 0, 1, 2, n_spectra // 2]
        assert np.array_equal(s[picked][:, 0], np.array(picked, dtype=Y.dtype))


def test_array_protocol(series):
    path, sf = series(n_spectra=3, num_points=2)
    with karvo.open(path) as s:
        assert np.asarray(s, dtype=np.float64).dtype == np.float64
        assert np.array(s).shape == (3, 2)
        with pytest.raises(ValueError):
            np.asarray(s, copy=False)
        assert [list(r) for r in s] == expected_rows(sf).tolist()


def test_coords_and_dimensions(series):
    dims = [dict(num_elements=6, first_dim=10, last_dim=20, scale_dim=0.5, short_label=b"time",
                 long_label=b"time (s)", unit_ID=3),
            dict(num_elements=6, first_dim=0, last_dim=5, short_label=b""),
            dict(num_elements=99, short_label=b"skipped"),
            dict(num_elements=6, first_dim=1, last_dim=1, short_label=b"z"),
            dict(num_elements=6, first_dim=0, last_dim=50, short_label=b"z")]
    path, sf = series(n_spectra=6, num_points=2, dimensions=dims)
    with karvo.open(path) as s:
        assert [d["name"] for d in s.dimensions] == ["time", "dim1", "dim2", "dim3"]
        assert s.dimensions[0] == {"name": "time", "long_name": "time (s)", "first": 5.0, "last": 10.0,
                                   "n": 6, "unit_ID": 3, "dimension_type": 1}
        assert list(s.coords) == ["time", "dim1", "dim2", "dim3"]
        assert np.array_equal(s.coords["time"], np.linspace(5.0, 10.0, 6))
        assert np.array_equal(s.coords["dim2"], np.ones(6))
        assert all(c.dtype == np.float64 and c.shape == (6,) for c in s.coords.values())


@pytest.mark.parametrize("first, last, n, count", [
    (4000.0, 400.0, 7, 7), (0.1, 0.7, 10, 10), (1.0, 1.0, 5, 5), (3.0, 9.0, 1, 1), (0.0, 1.0, 0, 0),
    (0.0, 1e-300, 4, 4), (0.0, 2.0 ** 40, 10 ** 6, 3), (-1.5, 2.5, 1000, 999),
    # (n - 1) * step + first misses last by a rounding: numpy puts last there
    (4000.0, 399.9, 3301, 3301), (4000.0, 399.9, 3301, 3300), (0.3, 0.9, 7, 7), (1.1, 7.7, 301, 301),
])
def test_axes_are_numpys_linspace(first, last, n, count):
    got = np.frombuffer(karvo._native.linspace(first, last, n, count))
    assert np.array_equal(got, np.linspace(first, last, n)[:count])


def test_coords_of_a_cut_series_are_the_first_values(series, tmp_path):
    sf = SeriesFile(n_spectra=10, num_points=3)
    path = str(tmp_path / "cut")
    sf.truncate = sf.layout.spectrum_offset(4) + 10
    sf.write(path)
    with karvo.open(path, truncated="ignore") as s:
        assert np.array_equal(s.coords["t"], np.linspace(0, 9, 10)[:4])


def test_pickle_reopens(series):
    path, sf = series(n_spectra=3, num_points=2)
    with karvo.open(path, truncated="ignore") as s:
        again = pickle.loads(pickle.dumps(s))
    assert again.path == path and not again.closed and np.array_equal(np.asarray(again), expected_rows(sf))
    assert again._truncated_policy == "ignore"


def spectrum_sums(path):
    return float(np.asarray(path).sum())


def test_objects_travel_to_other_processes(series, write):
    from concurrent.futures import ProcessPoolExecutor
    import multiprocessing
    path, sf = series(n_spectra=5, num_points=3)
    single = write(single_spectrum_file(values=[1.5, 2.5]))
    with karvo.open(path) as s, karvo.open(single) as sp:
        with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("fork")) as pool:
            sums = list(pool.map(spectrum_sums, [s, sp]))
    assert sums == [float(expected_rows(sf).sum()), 4.0]


def test_file_header(series):
    path, sf = series(n_spectra=2, num_points=2, file_id=b"run42", extended=True)
    with karvo.open(path) as s:
        h = s.file_header
        assert (h["file_id"], h["file_type"], h["num_sections"]) == ("run42", 11, 3)
        assert "Exte" in h["sti_id_string"] and list(h) == W.FIELDS["FileHeader"][:-1]


def test_closed_series_refuses_reads_and_keeps_what_was_read(series, fds):
    path, sf = series(n_spectra=3, num_points=2)
    s = karvo.open(path)
    x = s.x
    s.close()
    s.close()
    assert s.closed and "closed" in repr(s) and np.array_equal(s.x, x)
    with pytest.raises(ValueError, match="closed"):
        s[0]
    fds.assert_clean()


def test_repr(series):
    path, sf = series(n_spectra=3, num_points=2, file_id=b"run42")
    assert repr(karvo.open(path)) == "<karvo.Series 'run42': 3 spectra x 2 points, x 4000 to 400, float32>"


def test_threads_share_one_series(series):
    path, sf = series(n_spectra=400, num_points=64, mini_header_type=3)
    Y = expected_rows(sf)
    s = karvo.open(path)
    errors = []
    # every thread is halfway through its reads while the others are too
    halfway = threading.Barrier(6, timeout=60)

    def work(seed):
        rng = np.random.default_rng(seed)
        try:
            for k in range(200):
                if k == 100:
                    halfway.wait()
                i = int(rng.integers(400))
                assert np.array_equal(s[i], Y[i])
                a = int(rng.integers(400))
                assert np.array_equal(s[a:a + 50], Y[a:a + 50])
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert np.array_equal(np.asarray(s), Y)


def test_close_while_other_threads_read(series, fds):
    # Short rows are read in chunks, many reads a call. The file opened after
    # close() takes the descriptor number back: a read still running on the
    # old number would get its rows.
    path, sf = series(n_spectra=100_000, num_points=3)
    other, _ = series(n_spectra=100_000, num_points=3, values=lambda k: [-1.0] * 3)
    Y = expected_rows(sf)
    s = karvo.open(path)
    outcomes, errors = [], []
    start = threading.Barrier(5)

    def work():
        start.wait()
        try:
            for _ in range(10):
                try:
                    outcomes.append(np.array_equal(np.asarray(s), Y))
                except ValueError as e:
                    if "closed" not in str(e):
                        raise
                    outcomes.append("closed")
        except BaseException as e:  # reported below: a thread's error would end only the thread
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    start.wait()
    while not outcomes:  # reads are under way
        time.sleep(0.001)
    s.close()
    reopened = karvo.open(other)
    for t in threads:
        t.join()
    reopened.close()
    assert errors == [] and False not in outcomes and "closed" in outcomes
    fds.assert_clean()


# -- the package ----------------------------------------------------------------------

def test_import_prints_nothing_and_leaves_karvoreader_alone():
    code = "import sys, karvo; print(repr(sorted(m for m in sys.modules if m.startswith('karvoreader'))))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout == "[]\n" and out.stderr == ""


PUBLIC = [karvo.open, karvo.read, karvo.Series, karvo.Spectrum, karvo.FormatError, karvo.TruncatedError,
          karvo.TruncatedWarning, karvo.Series.read, karvo.Series.__getitem__, karvo.Series.close,
          karvo.Series.header, karvo.Series.meta, karvo.Series.coords, karvo.Series.titles,
          karvo.Series.x, karvo.Spectrum.header, karvo.Series.dimensions]


@pytest.mark.parametrize("obj", PUBLIC, ids=lambda o: getattr(o, "__qualname__", None) or o.attrname)
def test_public_names_have_examples_and_signatures(obj):
    assert "Example" in (obj.__doc__ or "")
    if callable(obj):
        inspect.signature(obj)


@pytest.mark.parametrize("cls", [karvo.Series, karvo.Spectrum])
def test_every_public_member_has_an_example(cls):
    for name, member in vars(cls).items():
        if name in ("ndim", "dtype") or (name.startswith("_") and name not in (
                "__init__", "__getitem__", "__array__", "__len__", "__iter__")):
            continue  # plain values: the class's Attributes section
        doc = (member.fget if isinstance(member, property) else member).__doc__ or ""
        assert "Example" in doc, name


def test_signatures():
    assert str(inspect.signature(karvo.open)) == "(path: 'Source', truncated: 'TruncatedPolicy' = 'warn', *, " \
        "storage_options: 'dict[str, Any] | None' = None) -> 'Series | Spectrum'"
    assert list(inspect.signature(karvo.Series.read).parameters) == ["self", "start", "stop", "out"]
    assert karvo.__version__ and set(karvo.__all__) <= set(dir(karvo))


@pytest.mark.parametrize("raw, text", [
    (b"ABC\0garbage \xff\xfe", "ABC"), (b"A\xb0B", "AB"), (b"\0spectrum", ""),
    (b"x" * 64, "x" * 64), (b"\xff" * 8 + b"abcdefgh" + b"\x80", "abcdefgh"), (b"12345678\0" + b"\xff" * 55, "12345678"),
])
def test_titles_and_meta_text_are_the_fields_text(series, raw, text):
    path, sf = series(n_spectra=3, num_points=2, titles=lambda k: raw if k == 1 else b"plain %d" % k,
                      mini_header_type=3)
    with karvo.open(path) as s:
        assert s.titles == ["plain 0", text, "plain 2"]
        assert s.meta["spec_title"].tolist() == [b"plain 0", text.encode(), b"plain 2"]
        assert bytes(s.meta[1:2].tobytes()[16:80]) == text.encode().ljust(64, b"\0")


@pytest.mark.parametrize("num_points", [3, 40, 2000])
def test_listed_rows_read_through_or_one_by_one(series, num_points):
    path, sf = series(n_spectra=3000, num_points=num_points, mini_header_type=3)
    rng = np.random.default_rng(1)
    with karvo.open(path) as s:
        Y = np.asarray(s)
        for index in (np.arange(0, 3000, 7), np.sort(rng.choice(3000, 300, replace=False)),
                      rng.integers(0, 3000, 200), np.arange(2999, -1, -5), np.repeat([4, 5, 9], 3)):
            assert np.array_equal(s[index], Y[index])


def test_fifo_is_refused_without_waiting(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    with pytest.raises(karvo.FormatError, match="not a regular file"):
        karvo.open(fifo)
