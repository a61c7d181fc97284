"""The karvo engine for xarray: contents, laziness, dask chunks, export."""
import importlib
import os
import pickle
import sys

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import karvo  # noqa: E402
from karvo.xarray_backend import KarvoBackendEntrypoint  # noqa: E402
from karvo_writer import f32  # noqa: E402
from xarray_files import (engine, expected_values, rewrite_values,  # noqa: E402
                          series, single)

ENGINE = engine()


class ReadLog:
    """Stands in for karvo.open in the engine and records every value read
    of the objects it opens."""

    def __init__(self, monkeypatch):
        self.calls = []
        real_open = karvo.open
        log = self.calls

        class Recording:
            def __init__(self, obj):
                self._obj = obj

            def read(self, start=0, stop=None, out=None):
                log.append(("read", start, stop))
                return self._obj.read(start, stop, out)

            def __getitem__(self, key):
                log.append(("getitem", np.asarray(key).tolist()))
                return self._obj[key]

            def __array__(self, dtype=None, copy=None):
                log.append(("all",))
                return np.asarray(self._obj, dtype=dtype)

            def __getattr__(self, name):
                return getattr(self._obj, name)

        from karvo._xarray import engine
        monkeypatch.setattr(engine, "open_file", lambda *a, **kw: Recording(real_open(*a, **kw)))


@pytest.mark.parametrize("kw", [
    dict(element_size=4, mini_header_type=1),
    dict(element_size=8, mini_header_type=0, extended=True),
    dict(element_size=4, mini_hdr=False),
], ids=["float32-ver3", "float64-extended", "no-mini-headers"])
def test_series_dataset_holds_what_was_written(tmp_path, kw, fds):
    path = tmp_path / "run"
    sf = series(path, n_spectra=5, num_points=12, title="operando run 7", **kw)
    with xr.open_dataset(path, engine=ENGINE) as ds:
        assert ds.spectra.dims == ("spectrum", "x")
        assert ds.spectra.dtype == np.dtype("f%d" % sf.element_size)
        np.testing.assert_array_equal(ds.spectra.values, expected_values(sf))
        np.testing.assert_array_equal(
            ds.x, np.linspace(f32(4000.0), f32(400.0), 12))
        np.testing.assert_array_equal(ds.t, np.arange(5.0))
        assert ds.t.attrs["long_name"] == "time"
        assert ds.attrs["title"] == "operando run 7"
        assert ds.attrs["series_ID"] == "series"
        assert ds.attrs["max_spectra"] == 5
        assert ds.attrs["num_points"] == 12
        assert ds.attrs["laser_freq"] == f32(15798.0)
        if sf.mini_hdr:
            assert list(ds.title.values) == [sf.title(k) for k in range(5)]
            np.testing.assert_array_equal(ds.start_time, 1000 + 10 * np.arange(5))
            np.testing.assert_array_equal(ds.x_position, 0.5 * np.arange(5))
            assert (ds.temp == f32(20.5)).all()
            assert ("direction" in ds.coords) == bool(sf.ver3)
            assert "spec_title" not in ds.variables
        else:
            assert "title" not in ds.variables and "temp" not in ds.variables
        assert set(ds.data_vars) == {"spectra"}
        assert all(ds[c].dims == ("spectrum",) for c in ds.coords if c != "x")
        with karvo.open(path) as s:
            xr.testing.assert_identical(s.to_xarray(), ds.load())


def test_names_that_clash_are_kept_apart(tmp_path):
    # dimensions labelled like the spectral axis and like a mini header field
    path = tmp_path / "clash"
    dims = [dict(num_elements=4, first_dim=0, last_dim=3, short_label=b"x"),
            dict(num_elements=4, first_dim=10, last_dim=40, scale_dim=0.5,
                 short_label=b"temp", long_label=b"cell temperature")]
    series(path, n_spectra=4, num_points=8, dimensions=dims)
    with xr.open_dataset(path, engine=ENGINE) as ds:
        assert ds.x.dims == ("x",) and ds.x.size == 8
        np.testing.assert_array_equal(ds.x_, np.arange(4.0))
        np.testing.assert_array_equal(ds.temp, [5.0, 10.0, 15.0, 20.0])
        assert ds.temp.attrs["long_name"] == "cell temperature"
        assert (ds.temp_ == f32(20.5)).all()          # the mini header's


def test_single_spectrum_dataset(tmp_path):
    path = tmp_path / "sample"
    values = single(path, num_points=32, title="polystyrene film",
                    first_x=3999.0, last_x=401.0, num_scans=64)
    with xr.open_dataset(path, engine=ENGINE) as ds:
        assert set(ds.data_vars) == {"spectrum"}
        assert ds.spectrum.dims == ("x",)
        np.testing.assert_array_equal(ds.spectrum.values, values)
        np.testing.assert_array_equal(
            ds.x, np.linspace(f32(3999.0), f32(401.0), 32))
        assert ds.attrs["title"] == "polystyrene film"
        assert ds.attrs["num_scans"] == 64
        with karvo.open(path) as sp:
            xr.testing.assert_identical(sp.to_xarray(), ds.load())


def test_reads_only_the_rows_asked(tmp_path, monkeypatch, fds):
    path = tmp_path / "map"
    sf = series(path, n_spectra=12, num_points=8)
    expected = expected_values(sf)
    log = ReadLog(monkeypatch)
    ds = xr.open_dataset(path, engine=ENGINE)
    assert log.calls == []
    cases = [
        (dict(spectrum=slice(5, 8)), [("read", 5, 8)]),
        (dict(spectrum=3, x=slice(2, 4)), [("read", 3, 4)]),
        (dict(spectrum=[9, 2, 4, 2]), [("getitem", [2, 4, 9])]),   # sorted, once each
        (dict(spectrum=slice(None, None, 5)), [("getitem", [0, 5, 10])]),
        (dict(spectrum=slice(4, 4)), [("read", 4, 4)]),
    ]
    for sel, calls in cases:
        log.calls.clear()
        got = ds.spectra.isel(**sel).values
        assert log.calls == calls, sel
        np.testing.assert_array_equal(got, expected[sel["spectrum"]][..., sel.get("x", slice(None))])
    ds.close()


def test_a_band_of_points_is_read_block_by_block(tmp_path, monkeypatch):
    from karvo._xarray import engine as backend
    path = tmp_path / "map"
    sf = series(path, n_spectra=7, num_points=8)
    monkeypatch.setattr(backend, "_BLOCK_BYTES", 3 * 8 * 4)      # three rows
    log = ReadLog(monkeypatch)
    with xr.open_dataset(path, engine=ENGINE) as ds:
        for rows, calls in [(slice(1, 7), [("read", 1, 4), ("read", 4, 7)]),
                            ([6, 0, 2, 4], [("getitem", [0, 2, 4]), ("getitem", [6])])]:
            log.calls.clear()
            band = ds.spectra.isel(spectrum=rows, x=slice(2, 4)).values
            assert log.calls == calls
            np.testing.assert_array_equal(band, expected_values(sf)[rows, 2:4])
            assert band.base is None or band.base.size == band.size   # no rows kept alive


def test_chunked_tasks_read_their_rows_only(tmp_path, monkeypatch):
    dask = pytest.importorskip("dask")
    path = tmp_path / "map"
    sf = series(path, n_spectra=10, num_points=8)
    log = ReadLog(monkeypatch)
    with xr.open_dataset(path, engine=ENGINE, chunks={"spectrum": 4}) as ds:
        assert ds.spectra.chunks == ((4, 4, 2), (8,))
        with dask.config.set(scheduler="synchronous"):
            np.testing.assert_array_equal(ds.spectra[4:8].values,
                                          expected_values(sf)[4:8])
            assert log.calls == [("read", 4, 8)]
            log.calls.clear()
            total = float(ds.spectra.sum())
        assert sorted(log.calls) == [("read", 0, 4), ("read", 4, 8), ("read", 8, 10)]
        assert total == pytest.approx(expected_values(sf).sum(dtype=np.float64))
        # what the tasks hold pickles: a path and a layout, no open file
        again = pickle.loads(pickle.dumps(ds.spectra))
        np.testing.assert_array_equal(again.values, expected_values(sf))


def test_open_mfdataset_reads_no_values_before_compute(tmp_path, fds):
    pytest.importorskip("dask")
    files = [(tmp_path / ("run%04d" % i), i) for i in range(1000)]
    # no mini headers: fewer coordinates, so xarray's own share stays small
    made = [series(p, n_spectra=2, num_points=4, seed=i, mini_hdr=False)
            for p, i in files]
    ds = xr.open_mfdataset([p for p, _ in files], engine=ENGINE,
                           combine="nested", concat_dim="file", coords="all")
    # values changed on disk after the open must be what compute() sees (the
    # time stamp put back: a file that changed is refused otherwise)
    for (p, i), sf in zip(files, made):
        st = os.stat(p)
        rewrite_values(p, sf, np.full((2, 4), -i))
        os.utime(p, ns=(st.st_atime_ns, st.st_mtime_ns))
    sums = ds.spectra.sum(("spectrum", "x")).compute()
    np.testing.assert_array_equal(sums, -8.0 * np.arange(1000))
    ds.close()


def test_cut_series_warns_or_raises_as_asked(tmp_path):
    path = tmp_path / "cut"
    whole = series(path, n_spectra=6, num_points=8)
    with open(path, "r+b") as fh:                    # the run stopped in spectrum 4
        fh.truncate(whole.layout.values_offset(4) + 5)
    with pytest.warns(karvo.TruncatedWarning, match="cut"):
        ds = xr.open_dataset(path, engine=ENGINE)
    with ds:
        np.testing.assert_array_equal(ds.spectra, expected_values(whole)[:4])
        assert ds.title.shape == (4,)
    with pytest.raises(karvo.TruncatedError, match="cut"):
        xr.open_dataset(path, engine=ENGINE, truncated="raise")


@pytest.mark.parametrize("drop", [["title", "temp"], ["spectra"], "x"])
def test_drop_variables(tmp_path, drop):
    path = tmp_path / "run"
    series(path)
    with xr.open_dataset(path, engine=ENGINE, drop_variables=drop) as ds:
        dropped = {drop} if isinstance(drop, str) else set(drop)
        assert not dropped & set(ds.variables)
        assert "start_time" in ds.coords and "t" in ds.coords


def test_guess_can_open_goes_by_content(tmp_path):
    entry = KarvoBackendEntrypoint()
    spectral = {"run.nc": series, "sample.txt": single}
    for name, make in spectral.items():
        make(tmp_path / name)
        assert entry.guess_can_open(tmp_path / name)
        assert entry.guess_can_open(str(tmp_path / name))
    (tmp_path / "notes.spa").write_text("wavenumber,absorbance\n1000,0.5\n")
    (tmp_path / "empty").write_bytes(b"")
    xr.Dataset({"a": ("x", [1.0])}).to_netcdf(tmp_path / "other", engine="h5netcdf")
    for name in ["notes.spa", "empty", "other", "missing", "."]:
        assert not entry.guess_can_open(tmp_path / name), name
    if ENGINE == "karvo":                       # no engine given: found by content
        with xr.open_dataset(tmp_path / "run.nc") as ds:
            assert "spectra" in ds


def test_entry_point_is_registered():
    if ENGINE != "karvo":
        pytest.skip("karvoreader is not installed: no entry points to look at")
    assert isinstance(xr.backends.list_engines()["karvo"], KarvoBackendEntrypoint)


def test_not_a_spectral_file_names_it(tmp_path):
    path = tmp_path / "notes"
    path.write_text("wavenumber,absorbance\n" * 40)
    with pytest.raises(karvo.FormatError, match="notes"):
        xr.open_dataset(path, engine=ENGINE)


# zarr 3 warns that fixed-width text (the titles) has no settled v3 encoding
@pytest.mark.filterwarnings("ignore:The data type .* does not have a Zarr V3")
@pytest.mark.parametrize("kind", ["series", "single"])
@pytest.mark.parametrize("fmt", ["netcdf", "zarr"])
def test_export_round_trip(tmp_path, kind, fmt):
    if fmt == "zarr":
        pytest.importorskip("zarr")
    path = tmp_path / kind
    (series if kind == "series" else single)(path, title="export me")
    out = tmp_path / ("out." + fmt)
    with xr.open_dataset(path, engine=ENGINE) as ds:
        if fmt == "netcdf":
            ds.to_netcdf(out, engine="h5netcdf")
            back = xr.open_dataset(out, engine="h5netcdf")
        else:
            ds.to_zarr(out, consolidated=False)
            back = xr.open_zarr(out, consolidated=False)
        with back:
            xr.testing.assert_identical(back.load(), ds.load())


def test_missing_xarray_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "xarray", None)
    monkeypatch.delitem(sys.modules, "karvo.xarray_backend")
    monkeypatch.delitem(sys.modules, "karvo._xarray.engine")
    with pytest.raises(ImportError, match=r"pip install .*xarray"):
        importlib.import_module("karvo.xarray_backend")


@pytest.mark.parametrize("points", [slice(None), slice(0, 8, 1), slice(0, 8)])
def test_a_chunk_of_whole_rows_is_handed_over_as_read(tmp_path, monkeypatch, points):
    # dask asks for slice(0, n, 1) where xarray asks for slice(None): both
    # keep every point, and the rows read are not copied a second time
    from xarray.core import indexing
    from karvo.xarray_backend import KarvoArray
    path = tmp_path / "run"
    sf = series(path, n_spectra=6, num_points=8)
    reads, real_read = [], karvo.Series.read
    monkeypatch.setattr(karvo.Series, "read", lambda *a, **kw: reads.append(real_read(*a, **kw)) or reads[-1])
    with xr.open_dataset(path, engine=ENGINE) as ds:
        lazy = ds.spectra.variable._data
        while not isinstance(lazy, KarvoArray):
            lazy = lazy.array
        got = lazy[indexing.BasicIndexer((slice(0, 6, 1), points))]
        np.testing.assert_array_equal(got, expected_values(sf))
        assert np.shares_memory(got, reads[-1])


@pytest.mark.parametrize("opening", [
    lambda p: xr.open_dataset(p, engine=ENGINE),
    lambda p: xr.open_dataset(p, engine=ENGINE, chunks={"spectrum": 2}),
    lambda p: karvo.open_mfdataset([p]),
    lambda p: karvo.open_mfdataset([p], chunks=2),
], ids=["engine", "engine-chunks", "many", "many-chunks"])
def test_a_file_read_after_its_dataset_went_is_closed_with_the_last_array(tmp_path, opening, fds):
    import gc
    path = str(tmp_path / "run")
    written = series(path, n_spectra=4, num_points=8)
    spectra = opening(path).spectra         # the Dataset itself is not kept
    gc.collect()
    np.testing.assert_array_equal(spectra[1:3].values, expected_values(written)[1:3])
    del spectra
    gc.collect()
    fds.assert_clean()
