"""Many objects over the network: each small object read in two requests
(its size, then its bytes), the requests of different objects overlapping."""
import os

import numpy as np
import pytest

import karvo
from xarray_files import series

pytest.importorskip("aiohttp")
pytest.importorskip("pandas")


@pytest.fixture
def served(http_server):
    names = ["obj%02d" % k for k in range(24)]
    for k, name in enumerate(names):
        series(os.path.join(http_server.root, name), n_spectra=3, num_points=512, seed=float(k))
    return http_server, [http_server.url_of(n) for n in names], names


def test_read_many_reads_each_small_object_once(served):
    server, urls, names = served
    x, Y, table = karvo.read_many(urls)
    local = karvo.read_many([os.path.join(server.root, n) for n in names])
    np.testing.assert_array_equal(Y, local[1])
    for name in names:      # size, identity and the whole object in one request; nothing read twice
        assert (server.count("HEAD", name), server.count("GET", name)) == (0, 1), server.log


@pytest.mark.parametrize("options", [{}, {"skip_instance_cache": True}])   # a file system an object, or one for all
def test_the_requests_of_many_objects_overlap(served, options):
    """Held by the server, the requests of a first pass over 24 objects wait
    together, not one after another."""
    server, urls, _names = served
    server.delay = 0.5      # one after another, never more than one would wait at once
    karvo.read_many(urls, storage_options=options)
    assert server.most_waiting >= 4
    server.reset()
    with karvo.open_mfdataset(urls, chunks=6) as ds:
        ds.spectra.values
    assert server.most_waiting >= 4


@pytest.mark.parametrize("chunks", [{"spectrum": 2400}, None])    # one dask task for all; no dask
def test_a_read_spanning_objects_asks_for_them_at_once(http_server, chunks):
    """A read of karvo.open_mfdataset spanning several objects asks the
    server for all of them together."""
    urls = []
    for k in range(8):
        name = "large%d" % k
        series(os.path.join(http_server.root, name), n_spectra=300, num_points=1024, seed=float(k))   # 1.2 MB
        urls.append(http_server.url_of(name))
    with karvo.open_mfdataset(urls, chunks=chunks) as ds:
        http_server.reset()
        http_server.delay = 0.5     # one after another, never more than one would wait at once
        ds.spectra.values
        assert http_server.most_waiting >= 3, http_server.log
        assert len(http_server.log) == 8    # the rest of each object, one request each


def test_a_lazy_dataset_refuses_an_object_replaced_after_it_opened(served):
    """What read_many keeps of an object between its two passes, a lazy
    Dataset does not: each of its reads asks for the object it opened."""
    server, urls, names = served
    with karvo.open_mfdataset(urls[:3], chunks={}) as ds:
        series(os.path.join(server.root, names[1]), n_spectra=3, num_points=512, seed=99.0)   # replaced
        with pytest.raises(karvo.FormatError, match="changed since it was opened"):
            ds.spectra.values


def test_read_many_of_more_objects_than_the_cache_keeps_asks_for_each_once(http_server, monkeypatch):
    """Remote series hold no descriptor: read_many keeps every one open for
    its second pass, however few files the cache of open files keeps."""
    from karvo._core.open_files import OPEN_FILES
    monkeypatch.setattr(OPEN_FILES, "maxsize", 2)
    names = [f"kept{k}" for k in range(5)]
    for k, name in enumerate(names):        # 327 KB of values: more than is read at the first look
        series(os.path.join(http_server.root, name), n_spectra=20, num_points=4096, seed=float(k))
    http_server.reset()
    _x, Y, _t = karvo.read_many([http_server.url_of(n) for n in names])
    np.testing.assert_array_equal(Y, karvo.read_many([os.path.join(http_server.root, n) for n in names])[1])
    assert sorted(path for _m, path, _r in http_server.log) == sorted(f"/{n}" for n in names), http_server.log


@pytest.mark.parametrize("failing, error", [([503], None), (404, FileNotFoundError)])
def test_a_first_read_that_fails_among_many_is_asked_again_alone(served, monkeypatch, failing, error):
    """The first reads of many objects go out together; one that fails is
    asked again by itself (with retries), and an error names its object."""
    server, urls, names = served
    monkeypatch.setattr(server, "failing", {"GET": failing})   # the first GET answered so (503 once, or 404 always)
    if error is not None:
        with pytest.raises(error) as raised:
            karvo.read_many(urls)
        assert raised.value.filename in urls
        assert server.count("GET") == len(urls), server.log       # asking again would not mend it
        return
    _x, Y, _t = karvo.read_many(urls)
    np.testing.assert_array_equal(Y, karvo.read_many([os.path.join(server.root, n) for n in names])[1])
    assert server.count("GET") == len(urls) + 1, server.log
