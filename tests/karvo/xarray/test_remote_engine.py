"""The xarray engine on URLs over a real HTTP server on 127.0.0.1
(tests/servers.py); open_mfdataset over s3:// on worker processes is in
test_karvo_distributed.py."""
import os
import pickle
import shutil

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

from karvo.xarray_backend import KarvoBackendEntrypoint  # noqa: E402
from xarray_files import engine, series  # noqa: E402

ENGINE = engine()


def test_open_dataset_over_http_is_lazy_and_never_guessed(http_server, tmp_path):
    path = str(tmp_path / "lazy.series")
    series(path, n_spectra=30, num_points=256)
    shutil.copyfile(path, os.path.join(http_server.root, "lazy.series"))
    url = http_server.url_of("lazy.series")
    backend = KarvoBackendEntrypoint()
    assert backend.guess_can_open(path)
    http_server.reset()
    assert not backend.guess_can_open(url) and http_server.count() == 0

    with xr.open_dataset(path, engine=ENGINE) as local, \
            xr.open_dataset(url, engine=ENGINE, storage_options={}) as ds:
        http_server.reset()
        np.testing.assert_array_equal(ds.spectra[17].values, local.spectra[17].values)
        assert http_server.count() == 1, http_server.log
        got, expected = ds.load(), local.load()
        assert (got.attrs.pop("source"), expected.attrs.pop("source")) == (url, path)
        xr.testing.assert_identical(got, expected)


def test_copies_of_a_lazy_array_share_the_open_object(http_server, tmp_path):
    """Each task gets its own unpickled copy of the array: the copies find
    the object already open in the process's file cache instead of
    opening it again (two requests each)."""
    path = str(tmp_path / "shared.series")
    series(path, n_spectra=30, num_points=64)
    shutil.copyfile(path, os.path.join(http_server.root, "shared.series"))
    options = {"client_kwargs": {"headers": {"X-Test": "1"}}}
    with xr.open_dataset(http_server.url_of("shared.series"), engine=ENGINE,
                         storage_options=options, chunks={"spectrum": 10}) as ds:
        blob = pickle.dumps(ds.spectra.data)
        http_server.reset()
        for _ in range(3):
            pickle.loads(blob).compute(scheduler="sync")
        assert http_server.count("HEAD") == 0 and http_server.count() == 9, http_server.log


def test_options_the_caller_changes_after_the_open_are_not_taken(http_server, tmp_path):
    """The lazy arrays keep the options given at open, nested ones too: the
    file is opened again with those (xarray's file cache dropped it here)."""
    path = str(tmp_path / "options.series")
    series(path, n_spectra=4, num_points=8)
    shutil.copyfile(path, os.path.join(http_server.root, "options.series"))
    options = {"headers": {"X-Karvo": "opened"}}
    with xr.set_options(file_cache_maxsize=1), \
            xr.open_dataset(http_server.url_of("options.series"), engine=ENGINE, storage_options=options) as ds:
        options["headers"]["If-Match"] = '"another object"'    # every request would be refused
        with xr.open_dataset(path, engine=ENGINE) as other:     # takes the cache's one place
            other.spectra[0].values
            expected = other.spectra[1].values
        np.testing.assert_array_equal(ds.spectra[1].values, expected)


def test_each_file_is_opened_once_per_process_and_a_spectrum_is_one_get(http_server, tmp_path):
    """read_many and karvo.open_mfdataset open each object once (their first
    pass's open serves the reads after it); once open, a spectrum of the lazy
    Dataset is one request, as through the engine (each read checked
    against the object opened)."""
    import karvo
    urls = []
    for k in range(3):
        name = f"run{k}.series"
        series(os.path.join(http_server.root, name), n_spectra=4, num_points=64, seed=10.0 * k)
        urls.append(http_server.url_of(name))
    def opens():    # an open asks for the object's first bytes, and learns its size from the answer
        return sum(1 for method, _path, ranged in http_server.log if method == "GET" and (ranged or "").startswith("bytes=0-"))
    http_server.reset()
    _x, Y, _table = karvo.read_many(urls)
    assert opens() == 3 and http_server.count() == 3, http_server.log   # small objects: each whole at once
    http_server.reset()
    ds = karvo.open_mfdataset(urls)
    assert opens() == 3 and http_server.count() == 3, http_server.log
    for row in (0, 5, 11, 6):
        http_server.reset()
        np.testing.assert_array_equal(ds.spectra[row].values, Y[row])
        assert http_server.count() == 1 and http_server.count("GET") == 1, http_server.log
    ds.close()
    with karvo.open_mfdataset(urls, chunks={"spectrum": 4}) as chunked:   # a task a file
        http_server.reset()
        np.testing.assert_array_equal(chunked.spectra.values, Y)
        assert opens() == 0 and http_server.count("GET") == 3, http_server.log


@pytest.mark.parametrize("opener", ["engine", "open_mfdataset"])
def test_datasets_loaded_asynchronously_read_at_once(http_server, opener):
    """await ds.load_async() of several Datasets together: their reads wait
    on the server together, and give what load() gives."""
    import asyncio
    if not hasattr(xr.Dataset, "load_async"):
        pytest.skip(f"xarray {xr.__version__} has no asynchronous loading")

    import karvo
    urls, local = [], []
    for k in range(4):
        name = f"async{k}.series"
        series(os.path.join(http_server.root, name), n_spectra=5, num_points=32, seed=float(k))
        urls.append(http_server.url_of(name))
        local.append(karvo.read(os.path.join(http_server.root, name))[1])
    if opener == "engine":
        datasets = [xr.open_dataset(url, engine=ENGINE) for url in urls]
        expected = local
    else:
        datasets = [karvo.open_mfdataset(urls[k:k + 2]) for k in (0, 2)]
        expected = [np.concatenate(local[k:k + 2]) for k in (0, 2)]
    try:
        http_server.reset()
        http_server.delay = 0.5     # one after another, never more than one would wait at once

        async def load_all():
            return await asyncio.gather(*(ds.load_async() for ds in datasets))
        for ds, want in zip(asyncio.run(load_all()), expected):
            np.testing.assert_array_equal(ds.spectra.values, want)
        assert http_server.most_waiting >= 2, http_server.log
    finally:
        for ds in datasets:
            ds.close()
