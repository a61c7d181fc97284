"""Files read over HTTP and from an S3-compatible server (real servers on
127.0.0.1, tests/servers.py), compared with the local read of the same file;
the requests a read makes, counted by the HTTP server."""
import contextlib
import math
import os
import pickle
import shutil

import numpy as np
import pytest

import karvo
from karvo_writer import single_spectrum_file
from xarray_files import series

MiB = 1 << 20


# A web server that gives no ETag, or only weak ones (which If-Match never
# matches): its Last-Modified tells objects apart (S3 always gives a strong one).
BY_TIME = ("http-no-etag", "http-weak-etag")
STORES_WITH_AND_WITHOUT_ETAGS = pytest.mark.parametrize("put", ["http", *BY_TIME, "s3"], indirect=True)


@pytest.fixture(params=["http", "s3"])
def put(request):
    """put(local_path, name) -> URL of a copy of the file on the server."""
    if request.param.startswith("http"):
        server = request.getfixturevalue("http_server")
        monkeypatch = request.getfixturevalue("monkeypatch")
        if request.param == "http-no-etag":
            monkeypatch.setattr(server, "etags", False)
        elif request.param == "http-weak-etag":
            monkeypatch.setattr(server, "weak_etags", True)

        def to_http(path, name):
            tmp = os.path.join(server.root, "." + name)
            shutil.copy2(path, tmp)                              # its time too
            os.replace(tmp, os.path.join(server.root, name))   # a new object, at once
            return server.url_of(name)
        return to_http
    return request.getfixturevalue("s3").put


def unique(request, name):
    return "%s-%s" % (request.node.name.replace("[", "-").rstrip("]"), name)


@pytest.fixture
def files(tmp_path):
    """A series with mini headers and a single spectrum, local."""
    path = str(tmp_path / "run.series")
    series(path, n_spectra=9, num_points=40, title="a run")
    single = tmp_path / "one.spa"
    single.write_bytes(single_spectrum_file(values=[0.25 * j for j in range(50)]))
    return path, str(single)


def test_reads_equal_the_local_read(put, files, request):
    path, single = files
    url = put(path, unique(request, "run"))
    for local, remote in [(karvo.read(path), karvo.read(url)),
                          (karvo.read(single), karvo.read(put(single, unique(request, "one"))))]:
        np.testing.assert_array_equal(remote[0], local[0])
        np.testing.assert_array_equal(remote[1], local[1])
    with karvo.open(path) as a, karvo.open(url) as b:
        assert isinstance(b, karvo.Series) and b.shape == a.shape
        assert (b.title, b.titles, b.header) == (a.title, a.titles, a.header)
        np.testing.assert_array_equal(b.meta, a.meta)
        np.testing.assert_array_equal(b.x, a.x)
        for key in (0, 4, -1, slice(2, 7), [8, 1, 3]):
            np.testing.assert_array_equal(b[key], a[key])
        np.testing.assert_array_equal(b.read(3, 6), a.read(3, 6))
    x, values = karvo.read_many([url, path])[:2]
    np.testing.assert_array_equal(values[:9], values[9:])


def test_read_many_expands_an_s3_pattern_as_a_local_one(s3, tmp_path):
    local = tmp_path / "runs"
    local.mkdir()
    for i in range(3):
        series(str(local / f"run{i}"), n_spectra=4, num_points=16, seed=100.0 * i)
        s3.put(str(local / f"run{i}"), f"runs/run{i}")
    (local / "notes").write_bytes(b"not spectral data")
    s3.put(str(local / "notes"), "runs/notes")
    with pytest.warns(UserWarning, match="notes"):
        x, values, table = karvo.read_many(s3.url("runs/*"))
    with pytest.warns(UserWarning, match="notes"):
        x_local, values_local, table_local = karvo.read_many(str(local))
    np.testing.assert_array_equal(values, values_local)
    assert [f.rsplit("/", 1)[1] for f in table["file"]] == \
        [os.path.basename(f) for f in table_local["file"]]


def test_a_missing_object_is_file_not_found(put, files, request):
    url = put(files[0], unique(request, "there"))
    missing = url.rsplit("/", 1)[0] + "/not-there"
    for call in (karvo.open, karvo.read):
        with pytest.raises(FileNotFoundError):
            call(missing)


@STORES_WITH_AND_WITHOUT_ETAGS
def test_a_pickled_series_refuses_an_object_replaced_since(put, files, tmp_path, request):
    path, _ = files
    name = unique(request, "run")
    url = put(path, name)
    with karvo.open(url) as s:
        kept = s[2]
        blob = pickle.dumps(s)
    with pickle.loads(blob) as again:                 # the same object: reads
        np.testing.assert_array_equal(again[2], kept)
    # another run of the same layout and size, so only the identity tells
    other = str(tmp_path / "other.series")
    series(other, n_spectra=9, num_points=40, seed=500.0, title="a run")
    assert os.path.getsize(other) == os.path.getsize(path)
    later = os.path.getmtime(path) + 2
    os.utime(other, (later, later))
    put(other, name)
    with pytest.raises(karvo.FormatError):
        with pickle.loads(blob) as again:
            again[2]


@pytest.fixture(params=["series", "xarray"])
def reader(request):
    """reader(url) -> a context giving read(i), spectrum i of an open
    Series or of a lazy dataset of the xarray engine."""
    if request.param == "series":
        @contextlib.contextmanager
        def of_series(url):
            with karvo.open(url) as s:
                yield s.__getitem__
        return of_series
    xr = pytest.importorskip("xarray")
    from xarray_files import engine

    @contextlib.contextmanager
    def lazily(url):
        with xr.open_dataset(url, engine=engine()) as ds:
            yield lambda i: ds.spectra[i].values
    return lazily


@STORES_WITH_AND_WITHOUT_ETAGS
def test_an_object_replaced_while_open_is_refused(put, reader, files, tmp_path, request):
    """As a local file rewritten under an open Series is: the values of
    another object (same layout and size) are never handed out under the
    layout read at open. Without strong ETags (HTTP only) the server's
    Last-Modified tells, from the next second on."""
    etag = request.node.callspec.params["put"] not in BY_TIME
    path, _ = files
    name = unique(request, "replaced")
    url = put(path, name)
    other = str(tmp_path / "other.series")
    series(other, n_spectra=9, num_points=40, seed=500.0, title="a run")
    if not etag:
        later = os.path.getmtime(path) + 2
        os.utime(other, (later, later))
    with reader(url) as read:
        np.testing.assert_array_equal(read(1), karvo.read(path)[1][1])
        put(other, name)
        with pytest.raises(karvo.FormatError, match="changed since it was opened") as raised:
            read(2)
        assert url in str(raised.value)


def test_a_server_refusing_its_own_etag_is_read_unchecked(http_server, files, monkeypatch):
    """A server that answers 412 to the very ETag it gave (one look at the
    object finds it unchanged) is read as it was before reads carried one."""
    path, _ = files
    shutil.copy2(path, os.path.join(http_server.root, "refusing"))
    monkeypatch.setattr(http_server, "conditions", False)
    local = karvo.read(path)[1]
    with karvo.open(http_server.url_of("refusing")) as s:
        for k in (1, 2):
            np.testing.assert_array_equal(s[k], local[k])


def test_requests_stay_within_their_counts(http_server, tmp_path):
    """Opening takes at most 4 requests, one spectrum 1 (a list of rows far
    apart one each), the whole series or its mini headers (.meta and .titles
    together) at most 2 + one per 4 MiB; the values are those of the local
    read."""
    path = str(tmp_path / "big.series")
    series(path, n_spectra=1200, num_points=2048)     # about 9.5 MiB
    size = os.path.getsize(path)
    shutil.copyfile(path, os.path.join(http_server.root, "big.series"))
    url = http_server.url_of("big.series")
    whole_limit = 2 + math.ceil(size / (4 * MiB))
    local = karvo.open(path)
    try:
        http_server.reset()
        with karvo.open(url) as s:
            assert http_server.count() <= 4, http_server.log
            for k in (0, 700, 1199, [1199, 3, 600]):     # rows MiBs apart: a request each
                http_server.reset()
                np.testing.assert_array_equal(s[k], local[k])
                rows = len(k) if isinstance(k, list) else 1
                assert http_server.count() == http_server.count("GET") == rows, http_server.log
            http_server.reset()
            np.testing.assert_array_equal(s.read(), local.read())
            assert http_server.count() <= whole_limit, http_server.log
        with karvo.open(url) as s:
            http_server.reset()
            assert s.titles == local.titles
            np.testing.assert_array_equal(s.meta, local.meta)
            assert http_server.count() <= whole_limit, http_server.log
    finally:
        local.close()


def test_long_headers_and_every_other_row_take_one_get_each(http_server, tmp_path):
    """120 dimension records (about 42 KB of headers, read one by one) come
    in the GET that opening makes; every other row of 2,000, read in one
    call, in one GET too: ranges a row apart are fetched as one."""
    dimensions = [dict(num_elements=2000, last_dim=1999, short_label=b"d%d" % k) for k in range(120)]
    path = str(tmp_path / "strided.series")
    series(path, n_spectra=2000, num_points=64, dimensions=dimensions)
    shutil.copyfile(path, os.path.join(http_server.root, "strided.series"))
    http_server.reset()
    with karvo.open(path) as local, karvo.open(http_server.url_of("strided.series")) as s:
        assert http_server.count("GET") == 1, http_server.log
        assert s.dimensions == local.dimensions and len(s.dimensions) == 120
        for key in (slice(None, None, 2), list(range(0, 2000, 2))):
            http_server.reset()
            np.testing.assert_array_equal(s[key], local[key])
            assert http_server.count() == http_server.count("GET") == 1, http_server.log


def test_a_failing_server_is_an_os_error_naming_the_url(http_server, files, monkeypatch):
    """Refused (403) is PermissionError, unavailable OSError: neither is a
    missing object, at open or during a read."""
    shutil.copyfile(files[0], os.path.join(http_server.root, "failing"))
    url = http_server.url_of("failing")
    with karvo.open(url) as s:
        monkeypatch.setattr(http_server, "failing", {"GET": 503})
        with pytest.raises(OSError, match=url) as raised:
            s[1]
    for status, error in [(403, PermissionError), (503, OSError)]:
        monkeypatch.setattr(http_server, "failing", {"GET": status, "HEAD": status})
        with pytest.raises(error, match=url) as raised:
            karvo.open(url)
        assert not isinstance(raised.value, FileNotFoundError) and str(status) in str(raised.value)


def test_an_object_replaced_after_its_store_listed_it_opens_as_it_is_now(s3, files, tmp_path, request):
    """s3fs keeps the listings it made: an open after a replacement takes
    the object of now, not refuse it as changed since the open."""
    import fsspec
    other = str(tmp_path / "other")
    series(other, n_spectra=4, num_points=16)
    url = s3.put(files[0], unique(request, "run"))
    fsspec.filesystem("s3").ls(s3.bucket)           # the listing karvo's file system holds
    s3.put(other, unique(request, "run"))
    with karvo.open(url) as s, karvo.open(other) as expected:
        np.testing.assert_array_equal(np.asarray(s), np.asarray(expected))
