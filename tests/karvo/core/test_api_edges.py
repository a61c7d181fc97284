"""Edges of the karvo API: shared caches, series of no points, unsigned
header fields, misspelt options, files that can't be opened."""
import os
import threading

import numpy as np
import pytest

import karvo
from conftest import assert_child_ok, run_python
from karvo_writer import single_spectrum_file
from xarray_files import engine, series


def test_cached_arrays_are_read_only(tmp_path):
    path = tmp_path / "run"
    series(path, n_spectra=4, num_points=3)
    with karvo.open(path) as s:
        for shared in (s.x, s.coords["t"], s.meta):
            with pytest.raises(ValueError, match="read-only"):
                shared[:] = shared[0]
        assert list(s.coords["t"]) == [0, 1, 2, 3] and list(s.meta["num_scans"]) == [1, 2, 3, 4]
        ds = s.to_xarray()
        with pytest.raises(ValueError, match="read-only"):
            ds["t"].values[:] = -1
        assert list(s.coords["t"]) == [0, 1, 2, 3]


@pytest.mark.parametrize("key", [dict(x=slice(1, None)), dict(x=[]), dict(spectrum=[1, 2]), dict(spectrum=1),
                                 dict(spectrum=slice(0, 4, 2), x=slice(None))])
def test_series_of_no_points_in_xarray(tmp_path, key):
    xr = pytest.importorskip("xarray")
    path = tmp_path / "run"
    series(path, n_spectra=4, num_points=0)
    with xr.open_dataset(path, engine=engine()) as ds:
        assert ds.spectra.shape == (4, 0) and list(ds.start_time) == [1000, 1010, 1020, 1030]
        want = np.empty((4, 0), np.float32)[tuple(key.get(d, slice(None)) for d in ("spectrum", "x"))]
        assert ds.spectra.isel(**key).values.shape == want.shape



@pytest.mark.parametrize("suffix", [".nc", ".zarr"])
def test_export_of_a_series_of_no_points(tmp_path, suffix):
    xr = pytest.importorskip("xarray")
    if suffix == ".zarr":
        pytest.importorskip("zarr")
    from karvo import cli
    path, out = tmp_path / "run", tmp_path / ("out" + suffix)
    series(path, n_spectra=4, num_points=0)
    assert cli.main(["export", str(path), "-o", str(out)]) == 0
    with xr.open_dataset(out, engine="zarr" if suffix == ".zarr" else None) as ds:
        assert ds.spectra.shape == (4, 0) and list(ds.start_time) == [1000, 1010, 1020, 1030]

def test_unsigned_header_fields_of_2_to_the_31_and_more(tmp_path):
    path = tmp_path / "run"
    big = dict(start_time=3_000_000_000, num_scans=2**32 - 1, detector_ID=2**31)
    series(path, n_spectra=2, num_points=3, mini=big)
    with karvo.open(path) as s:
        for name, value in big.items():
            assert s.meta[name].tolist() == [value, value]
    xr = pytest.importorskip("xarray")
    with xr.open_dataset(path, engine=engine()) as ds:
        for name, value in big.items():
            assert ds[name].values.tolist() == [value, value]


def test_every_entry_point_refuses_a_misspelt_truncated(tmp_path):
    path = tmp_path / "run"
    series(path, n_spectra=2, num_points=3)
    single = tmp_path / "one"
    single.write_bytes(single_spectrum_file(values=[1.0, 2.0]))
    for call in (karvo.open, karvo.read, karvo.Series):
        with pytest.raises(ValueError, match="truncated must be one of"):
            call(path, truncated="worn")
    with pytest.raises(TypeError):              # a spectrum takes no such option
        karvo.Spectrum(single, truncated="worn")


def test_guess_can_open_says_no_to_what_cannot_be_opened(tmp_path):
    xr = pytest.importorskip("xarray")  # noqa: F841
    from karvo.xarray_backend import KarvoBackendEntrypoint
    entry = KarvoBackendEntrypoint()
    (tmp_path / "plain").write_bytes(b"not a directory")
    os.mkfifo(tmp_path / "fifo")                # no writer: opening it would wait
    answers = []
    worker = threading.Thread(target=lambda: answers.extend(
        entry.guess_can_open(p) for p in (tmp_path / "plain" / "child", tmp_path / "fifo", tmp_path,
                                          tmp_path / "missing", str(tmp_path / "nul\0byte"))), daemon=True)
    worker.start()
    worker.join(30)
    assert answers == [False] * 5
    # a regular file that can't be opened (no descriptor left) as the
    # unreadable one does for other users than root
    series(tmp_path / "run", n_spectra=1, num_points=2)
    out = assert_child_ok(run_python(
        "import resource, sys\n"
        "from karvo.xarray_backend import KarvoBackendEntrypoint\n"
        "entry = KarvoBackendEntrypoint()\n"
        "print(entry.guess_can_open(sys.argv[1]))\n"
        "resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))\n"
        "held = []\n"
        "try:\n"
        "    while True:\n"
        "        held.append(open(sys.argv[1], 'rb'))\n"
        "except OSError:\n"
        "    pass\n"
        "print(entry.guess_can_open(sys.argv[1]))\n"
        "print('OK')\n", str(tmp_path / "run")))
    assert out.split() == ["True", "False", "OK"]
