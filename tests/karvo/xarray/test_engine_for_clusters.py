"""The karvo engine's Dataset as dask clusters want it: coordinates held in
memory, fixed-width titles, its source named, files told apart."""
import gc
import os

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")

import karvo  # noqa: E402
from karvo.xarray_backend import load_coordinates, same_x_as  # noqa: E402
from xarray_files import engine, expected_values, series, single  # noqa: E402

ENGINE = engine()


def campaign(folder, n_files=3, more=0, **kw):
    """n_files series files whose values differ per file; file i holds 4 +
    more * i spectra."""
    made = []
    for i in range(n_files):
        path = folder / ("run%d" % i)
        made.append((str(path), series(path, n_spectra=4 + more * i, seed=100.0 * i,
                                       title="run %d" % i, **kw)))
    return made


def open_many(paths, **kw):
    kw.setdefault("combine", "nested")
    kw.setdefault("concat_dim", "file")
    if kw["concat_dim"] == "file":
        kw.setdefault("coords", "all")
    return xr.open_mfdataset(paths, engine=ENGINE, **kw)


@pytest.mark.parametrize("chunks", [None, {}, "auto", {"spectrum": "auto"},
                                    {"spectrum": 2}])
def test_coordinates_are_computed_without_the_file(tmp_path, chunks):
    path = tmp_path / "run"
    sf = series(path, n_spectra=5)
    with xr.open_dataset(path, engine=ENGINE, chunks=chunks) as ds:
        assert ds.title.dtype == np.dtype("<U%d" % max(
            len(sf.title(k)) for k in range(5)))
        if chunks is not None:
            assert ds.spectra.chunks is not None
            np.testing.assert_array_equal(ds.spectra.values, expected_values(sf))
        os.remove(path)
        ds.close()
        # every coordinate, with no file to go back to
        got = ds.drop_vars("spectra").compute()
        assert list(got.title.values) == [sf.title(k) for k in range(5)]
        assert got.temp.dtype == np.float32 and got.temp.shape == (5,)


@pytest.mark.parametrize("kind", ["series", "single"])
@pytest.mark.parametrize("how", ["open_dataset", "to_xarray"])
def test_source_is_the_absolute_path(tmp_path, monkeypatch, kind, how):
    (series if kind == "series" else single)(tmp_path / "run")
    monkeypatch.chdir(tmp_path)
    if how == "open_dataset":
        ds = xr.open_dataset("run", engine=ENGINE)
    else:
        with karvo.open("run") as obj:
            monkeypatch.chdir(tmp_path.parent)          # named as opened
            ds = obj.to_xarray()
    assert ds.attrs["source"] == str(tmp_path / "run")
    if kind == "series":
        assert ds.title.dtype.kind == "U"
    ds.close()


def test_file_coordinate_tells_the_spectra_of_each_file(tmp_path):
    made = campaign(tmp_path, more=1)
    paths = [p for p, _ in made]
    with open_many(paths, concat_dim="spectrum", file_coordinate=True,
                   join="exact", preprocess=load_coordinates) as ds:
        expected = [p for p, sf in made for _ in range(sf.n_spectra)]
        assert ds.file.dims == ("spectrum",) and ds.file.chunks is None
        assert list(ds.file.values) == expected
        rows = [expected_values(sf) for _, sf in made]
        np.testing.assert_array_equal(ds.spectra.sel(spectrum=ds.file == paths[1]),
                                      rows[1])
    single(tmp_path / "one")
    # concatenated along a new dimension, the paths label it
    (tmp_path / "same").mkdir()
    same = [p for p, _ in campaign(tmp_path / "same", n_files=2)]
    with open_many(same, join="exact", preprocess=lambda ds: load_coordinates(
            ds).assign_coords(file=ds.attrs["source"])) as ds:
        assert list(ds.indexes["file"]) == same
        assert ds.temp.dims == ("file", "spectrum") and ds.temp.chunks is None
    with xr.open_dataset(tmp_path / "one", engine=ENGINE, file_coordinate=True) as ds:
        assert ds.file.dims == () and ds.file.item() == str(tmp_path / "one")
    # a series dimension or field called "file" keeps its values, renamed
    path = tmp_path / "dim"
    series(path, n_spectra=3, dimensions=[dict(
        num_elements=3, first_dim=1, last_dim=3, short_label=b"file")])
    with xr.open_dataset(path, engine=ENGINE, file_coordinate=True) as ds:
        np.testing.assert_array_equal(ds.file_, [1.0, 2.0, 3.0])
        assert set(ds.file.values) == {str(path)}


@pytest.mark.parametrize("concat_dim", ["file", "spectrum"])
def test_load_coordinates_leaves_no_dask_coordinate(tmp_path, concat_dim):
    made = campaign(tmp_path)
    paths = [p for p, _ in made]
    with open_many(paths, concat_dim=concat_dim, join="exact") as lazy, \
            open_many(paths, concat_dim=concat_dim, join="exact",
                      preprocess=load_coordinates) as ds:
        assert lazy.temp.chunks is not None
        assert all(ds[n].chunks is None for n in ds.coords)
        assert ds.spectra.chunks is not None         # the values stay lazy
        xr.testing.assert_identical(ds.compute(), lazy.compute())


@pytest.mark.parametrize("concat_dim", ["file", "spectrum"])
@pytest.mark.parametrize("checked", [False, True])
def test_different_axes_raise_with_join_exact(tmp_path, concat_dim, checked, fds):
    series(tmp_path / "a", num_points=16)
    series(tmp_path / "b", num_points=17)
    paths = [str(tmp_path / "a"), str(tmp_path / "b")]
    kw = dict(preprocess=same_x_as(paths[0])) if checked else {}
    with pytest.raises(ValueError) as e:
        open_many(paths, concat_dim=concat_dim, join="exact", **kw)
    message = str(e.value)
    del e                   # its frames hold the files opened before it
    gc.collect()
    if checked:
        assert message == (
            f"{paths[1]}: its spectral axis (17 points from 4000 to 400) is "
            f"not that of {paths[0]} (16 points from 4000 to 400)")


def test_coordinates_on_a_cluster(tmp_path):
    distributed = pytest.importorskip("distributed")
    made = campaign(tmp_path)
    paths = [p for p, _ in made]
    with open_many(paths, concat_dim="spectrum", join="exact") as local:
        expected = local.compute()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                  processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0",
                                  scheduler_kwargs={"dashboard": False},
                                  worker_dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        for preprocess in (None, same_x_as(paths[0])):
            with open_many(paths, concat_dim="spectrum", join="exact",
                           parallel=True, preprocess=preprocess) as ds:
                xr.testing.assert_identical(ds.temp.compute(),
                                            expected.temp)
                xr.testing.assert_identical(ds.spectra.max("x").compute(),
                                            expected.spectra.max("x"))


def test_storage_options_that_do_not_pickle_still_open_a_url(tmp_path):
    """Pickled only to key the file cache: such options (a lock, a session)
    serve every read of this process."""
    import threading
    import uuid
    fsspec = pytest.importorskip("fsspec")
    path = str(tmp_path / "run")
    sf = series(path, n_spectra=3)
    url = f"memory://karvo-light-{uuid.uuid4().hex}/run"
    fsspec.filesystem("memory").pipe(url, open(path, "rb").read())
    options = {"lock": threading.Lock()}
    with xr.open_dataset(url, engine=ENGINE, storage_options=options, chunks={"spectrum": 2}) as ds:
        np.testing.assert_array_equal(ds.spectra.values, expected_values(sf))
        assert ds.attrs["source"] == url


def test_same_x_as_opens_a_url_with_its_storage_options(s3, tmp_path, monkeypatch):
    made = campaign(tmp_path, n_files=2)
    urls = [s3.put(path, "same-x-%d" % i) for i, (path, _) in enumerate(made)]
    monkeypatch.setenv("AWS_ENDPOINT_URL", "http://127.0.0.1:9")     # only the options say where
    monkeypatch.setenv("AWS_MAX_ATTEMPTS", "1")
    options = {"client_kwargs": {"endpoint_url": s3.endpoint}}
    with open_many(urls, concat_dim="spectrum", join="exact", storage_options=options,
                   preprocess=same_x_as(urls[0], storage_options=options)) as ds:
        np.testing.assert_array_equal(ds.spectra.values, np.concatenate([expected_values(sf) for _, sf in made]))
