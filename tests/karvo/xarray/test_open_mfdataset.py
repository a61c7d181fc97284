"""karvo.open_mfdataset: many files as one lazy Dataset whose chunks span files."""
import gc
import os
import pickle
import sys
import uuid

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
dask = pytest.importorskip("dask")
pytest.importorskip("pandas")

import karvo  # noqa: E402
from karvo._core.open_files import OPEN_FILES  # noqa: E402
from xarray_files import engine, series, single  # noqa: E402

SIZES = (4, 5, 1, 6)                # spectra per file: chunks of 3 or 5 straddle files


@pytest.fixture
def campaign(tmp_path):
    """Paths of series files of SIZES spectra, values different in each."""
    paths = []
    for i, n in enumerate(SIZES):
        path = str(tmp_path / ("run%d" % i))
        series(path, n_spectra=n, seed=100.0 * i, title="run %d" % i)
        paths.append(path)
    return paths


@pytest.mark.parametrize("chunks", [None, 3, "auto", {"spectrum": 5}, {"spectrum": 7, "x": 5}, {"x": 3}])
def test_values_are_read_many_s(campaign, chunks, fds):
    _, want, _ = karvo.read_many(campaign)
    ds = karvo.open_mfdataset(campaign, chunks=chunks)
    assert (ds.spectra.chunks is None) == (chunks is None)
    got = ds.spectra.values
    assert got.dtype == want.dtype and got.tobytes() == want.tobytes()
    if chunks is None:                  # lazily indexed: the rows asked for
        for key in [(7,), (-1,), ([12, 0, 4, 5, 5], slice(3, 9)), (slice(2, 11, 3), 4),
                    (slice(None), [15, 0, 2]), (np.array([], int),)]:
            np.testing.assert_array_equal(ds.spectra[key].values, want[key])
        for outside in ([0, 16], [-17]):
            with pytest.raises(IndexError):
                ds.spectra[outside].values
    ds.close()
    fds.assert_clean()                  # the files the Dataset kept open are closed with it


def test_coordinates_are_read_many_s_table_named_as_the_engine(campaign):
    _, _, table = karvo.read_many(campaign)
    ds = karvo.open_mfdataset(campaign, chunks=4)
    assert all(ds[name].chunks is None for name in ds.coords)
    assert list(ds.file.values) == list(table.file) == [p for p, n in zip(campaign, SIZES) for _ in range(n)]
    np.testing.assert_array_equal(ds.spectrum_in_file, table.spectrum_in_file)
    assert ds.title.dtype.kind == "U"
    for name in table.columns.drop(["file", "spectrum_in_file", "spectrum"]):
        np.testing.assert_array_equal(ds[name].values, table[name].to_numpy(), err_msg=name)
    # as xarray concatenates the engine's Datasets, plus the index within the file
    one = xr.open_dataset(campaign[1], engine=engine(), file_coordinate=True)
    assert list(ds.variables) == [*one.variables, "spectrum_in_file"]
    one.close()
    with xr.open_mfdataset(campaign, engine=engine(), combine="nested", concat_dim="spectrum", join="exact",
                           file_coordinate=True, combine_attrs="drop_conflicts") as many:
        xr.testing.assert_identical(ds.drop_vars("spectrum_in_file").compute(), many.compute())
    assert "source" not in ds.attrs and "max_spectra" not in ds.attrs


def test_an_attribute_that_differs_once_is_dropped_for_good(tmp_path):
    """Titles A, B, B: no title, as xarray's combine_attrs="drop_conflicts" has it."""
    paths = [str(tmp_path / name) for name in "abc"]
    for path, title in zip(paths, "ABB"):
        series(path, n_spectra=2, title=title)
    ds = karvo.open_mfdataset(paths)
    with xr.open_mfdataset(paths, engine=engine(), combine="nested", concat_dim="spectrum", join="exact",
                           file_coordinate=True, combine_attrs="drop_conflicts") as many:
        assert ds.attrs == many.attrs and "title" not in ds.attrs


def test_files_without_a_coordinate_and_single_spectra(tmp_path):
    paths = [str(tmp_path / name) for name in ("a", "b", "c")]
    series(paths[0], n_spectra=3, num_points=32)
    series(paths[1], n_spectra=2, num_points=32, mini_hdr=False)
    single(paths[2], num_points=32, title="one")
    _, want, table = karvo.read_many(paths)
    ds = karvo.open_mfdataset(paths, chunks=2)
    np.testing.assert_array_equal(ds.spectra.values, want)
    assert list(ds.title.values) == list(table.title)
    assert np.isnan(ds.temp.values[3:]).all() and ds.temp.dtype == np.float32
    assert list(ds.num_scans.values[3:]) == [None] * 3


def test_sources_as_read_many_takes_them(campaign, tmp_path):
    fsspec = pytest.importorskip("fsspec")
    (tmp_path / "notes").write_text("not spectra\n" * 50)
    with pytest.warns(UserWarning, match=r"karvo.open_mfdataset skipped 1 file .*notes"):
        ds = karvo.open_mfdataset(str(tmp_path))
    with ds:
        assert list(np.unique(ds.file)) == sorted(campaign)
    # URLs: what the tasks carry is the URL and its options
    folder = "memory://karvo-tests/%s" % uuid.uuid4().hex
    for path in campaign:
        with open(path, "rb") as src, fsspec.open("%s/%s" % (folder, os.path.basename(path)), "wb") as dst:
            dst.write(src.read())
    with karvo.open_mfdataset(folder + "/run*", chunks=5, storage_options={}) as got:
        name = str(got.file.values[0])     # as the file system names it
        assert name.startswith("memory://") and name.endswith(folder.split("//")[1] + "/run0")
        np.testing.assert_array_equal(got.spectra.values, karvo.read_many(campaign)[1])
    with open(campaign[0], "rb") as fh, pytest.raises(TypeError, match="file objects"):
        karvo.open_mfdataset([fh])


def test_different_axes_name_both_files(tmp_path):
    series(tmp_path / "a", num_points=16)
    series(tmp_path / "b", num_points=17)
    with pytest.raises(karvo.FormatError, match=r"b: its spectral axis differs from that of .*a: 17 points against 16"):
        karvo.open_mfdataset([tmp_path / "a", tmp_path / "b"], chunks=2)


def test_a_pickled_task_reads_its_own_files_and_refuses_a_replaced_one(campaign, fds):
    data = karvo.open_mfdataset(campaign, chunks={"spectrum": 3}).spectra.data
    graph = dict(data.__dask_graph__())
    key = (data.name, 1, 0)             # rows 3 to 6: the ends of run0 and run1
    blob = pickle.dumps(graph[key])
    assert campaign[0].encode() in blob and campaign[1].encode() in blob
    assert campaign[2].encode() not in blob and campaign[3].encode() not in blob
    want = karvo.read_many(campaign)[1][3:6]
    np.testing.assert_array_equal(dask.get({key: pickle.loads(blob)}, key), want)
    series(campaign[1], n_spectra=SIZES[1], seed=7.0)     # another file, same layout
    with pytest.raises(karvo.FormatError, match="run1"):
        dask.get({key: pickle.loads(blob)}, key)
    gc.collect()                        # the Dataset: its files go with it
    OPEN_FILES.clear()                  # and a task's stay in the process's cache, as in a worker
    fds.assert_clean()


def test_without_xarray_the_error_names_the_extra(campaign, monkeypatch):
    monkeypatch.setitem(sys.modules, "xarray", None)
    with pytest.raises(ImportError, match=r"karvoreader\[xarray\]"):
        karvo.open_mfdataset(campaign)


def test_on_a_cluster(campaign):
    distributed = pytest.importorskip("distributed")
    _, want, _ = karvo.read_many(campaign)
    ds = karvo.open_mfdataset(campaign, chunks=5)
    with dask.config.set({"distributed.comm.timeouts.connect": "60s"}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                     dashboard_address="127.0.0.1:0", scheduler_kwargs={"dashboard": False},
                                     worker_dashboard_address=None) as cluster, \
            distributed.Client(cluster, timeout=60) as client:
        got = client.compute(ds.spectra.max("x")).result(timeout=120)
        np.testing.assert_array_equal(got.values, want.max(axis=1))
        xr.testing.assert_identical(got.temp, ds.temp)
