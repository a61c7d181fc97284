"""Files read from elsewhere: fsspec URLs (memory://, file://) and binary file
objects give exactly what the local read gives, fail as a local file does,
travel by URL, and fetch in few requests."""
import io
import pickle
import uuid
import warnings

import numpy as np
import pytest

import karvo
import karvo_writer as W
from karvo import _native
from karvo._storage import sources as _sources
from conftest import assert_child_ok, run_python

fsspec = pytest.importorskip("fsspec")

KINDS = {
    "series": dict(n_spectra=40, num_points=64),
    "series-v3": dict(n_spectra=40, num_points=64, mini_header_type=3, element_size=8),
    "series-no-mini": dict(n_spectra=40, num_points=64, mini_hdr=False),
    "series-cut": dict(n_spectra=40, num_points=64, truncate=5000),
}


def _bytes(kind):
    if kind == "single":
        return W.single_spectrum_file([float(k) / 3 for k in range(200)], first_x=4000.0, last_x=400.0)
    return W.series_file(**KINDS[kind])


def _put(data):
    """A new memory:// URL holding data."""
    url = f"memory://karvo-tests/{uuid.uuid4().hex}.kvr"
    with fsspec.open(url, "wb") as fh:
        fh.write(data)
    return url


def _sources_of(how, data, tmp_path):
    if how == "memory":
        return _put(data)
    if how == "bytesio":
        return io.BytesIO(data)
    path = tmp_path / "f.kvr"
    path.write_bytes(data)
    return path.as_uri()


def _described(obj):
    if isinstance(obj, karvo.Spectrum):
        return obj.x, obj.y, obj.header, obj.title
    return (obj.x, np.asarray(obj), obj[[5, 1]], obj[::7], obj.meta, obj.titles, obj.coords, obj.header,
            obj.dimensions, obj.shape, obj.truncated)


def _same(a, b):
    if isinstance(a, np.ndarray):
        np.testing.assert_array_equal(a, b)
        assert a.dtype == b.dtype
    elif isinstance(a, dict):
        assert a.keys() == b.keys()
        for k in a:
            _same(a[k], b[k])
    elif isinstance(a, (list, tuple)) and a and not isinstance(a[0], str):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            _same(x, y)
    else:
        assert a == b


@pytest.mark.parametrize("how", ["memory", "bytesio", "file-url"])
@pytest.mark.parametrize("kind", [*KINDS, "single"])
def test_a_source_reads_what_the_local_file_holds(kind, how, tmp_path):
    data = _bytes(kind)
    local = tmp_path / "local.kvr"
    local.write_bytes(data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", karvo.TruncatedWarning)
        want = _described(karvo.open(local))
        got = karvo.open(_sources_of(how, data, tmp_path))
        _same(want, _described(got))
        x, y = karvo.read(_sources_of(how, data, tmp_path))
    _same((want[0], want[1]), (x, y))
    assert type(got) is (karvo.Spectrum if kind == "single" else karvo.Series)


def test_cut_series_warns_naming_the_url():
    url = _put(_bytes("series-cut"))
    with pytest.warns(karvo.TruncatedWarning, match=url):
        karvo.open(url)
    with pytest.raises(karvo.TruncatedError, match=url):
        karvo.Series(url, truncated="raise")


def test_a_missing_object_is_file_not_found():
    url = f"memory://karvo-tests/{uuid.uuid4().hex}"
    with pytest.raises(FileNotFoundError, match=url):
        karvo.open(url)


@pytest.mark.parametrize("content", [b"", b"just some text\n" * 40, b"PK\x03\x04" + bytes(400)])
@pytest.mark.parametrize("how", ["memory", "bytesio"])
def test_foreign_content_is_a_format_error_naming_the_source(how, content):
    source = _put(content) if how == "memory" else io.BytesIO(content)
    name = source if how == "memory" else "<BytesIO>"
    with pytest.raises(karvo.FormatError) as e:
        karvo.open(source)
    assert str(e.value).startswith(name + ": ") and e.value.path == name


def test_a_text_file_object_is_refused():
    with pytest.raises(TypeError, match="binary"):
        karvo.open(io.StringIO("text"))


@pytest.mark.parametrize("bad, error", [
    (lambda blocks: [b[:-1] for b in blocks], "returned"),             # short
    (lambda blocks: [b + b"x" for b in blocks], "returned"),           # long
    (lambda blocks: blocks[:-1] if len(blocks) > 1 else [], "blocks"),  # a block missing
    (lambda blocks: ["text"] * len(blocks), "bytes-like"),             # not bytes
    (lambda blocks: 7, "iterable"),                                    # not a list
])
@pytest.mark.parametrize("when", ["open", "read"])
def test_a_fetch_that_returns_the_wrong_bytes_is_an_error(bad, error, when):
    data = W.series_file(n_spectra=500, num_points=2000)
    broken = [when == "open"]

    def fetch(starts, ends):
        blocks = [data[a:b] for a, b in zip(starts, ends)]
        return bad(blocks) if broken[0] else blocks

    with pytest.raises((OSError, TypeError), match=error):
        f = _native.open_fetching(fetch, len(data), "mem://x")
        broken[0] = True
        f.read_rows(np.empty((400, 2000), np.float32), 100, 500)


def test_an_error_of_the_fetch_is_passed_on_as_raised():
    data = W.series_file(n_spectra=500, num_points=2000)
    gone = []

    def fetch(starts, ends):
        if gone:
            raise FileNotFoundError("the object went away")
        return [data[a:b] for a, b in zip(starts, ends)]

    s = karvo.Series._from_native(_native.open_fetching(fetch, len(data), "mem://x"), "mem://x", "warn", 1)
    gone.append(True)
    for read in (lambda: s[400], lambda: s.meta, lambda: s[[3, 499]]):
        with pytest.raises(FileNotFoundError, match="went away"):
            read()


@pytest.mark.parametrize("kind", ["series", "single"])
def test_a_url_travels_by_pickle_and_refuses_a_replaced_object(kind):
    data = _bytes(kind)
    url = _put(data)
    s = karvo.open(url)
    again = pickle.loads(pickle.dumps(s))
    np.testing.assert_array_equal(np.asarray(again), np.asarray(s))
    assert again.path == url and again.identity == s.identity and type(again) is type(s)
    with fsspec.open(url, "wb") as fh:  # same size, written anew
        fh.write(data)
    with pytest.raises(karvo.FormatError, match=f"{url}: the object changed"):
        pickle.loads(pickle.dumps(s))


@pytest.mark.parametrize("kind", ["series", "single"])
def test_a_file_object_source_cannot_be_pickled(kind):
    obj = karvo.open(io.BytesIO(_bytes(kind)))
    with pytest.raises(TypeError, match="file object"):
        pickle.dumps(obj)


@pytest.mark.parametrize("etag_was, etag_now, size_now, mtime_now, changed", [
    ("a", "a", 10, "t2", False),   # the ETag decides where both have one
    ("a", "b", 10, "t1", True),
    (None, None, 10, "t1", False),
    (None, None, 10, "t2", True),  # else size and time
    (None, None, 11, "t1", True),
])
def test_identity_of_an_object(etag_was, etag_now, size_now, mtime_now, changed):
    was = _sources.ObjectIdentity(10, etag_was, "t1")
    now = _sources.ObjectIdentity(size_now, etag_now, mtime_now)
    if changed:
        with pytest.raises(karvo.FormatError, match="u://x: the object changed"):
            _sources.check_same_object("u://x", was, now)
    else:
        _sources.check_same_object("u://x", was, now)


def test_requests_stay_few(monkeypatch):
    """Ranges fetched, as an HTTP server would count requests: the object's
    info is one more at open."""
    data = W.series_file(n_spectra=3000, num_points=1024)  # about 12.6 MiB
    url = _put(data)
    ranges = []
    fetch = _sources.Remote.fetch

    def counted(self, starts, ends):
        ranges.extend(zip(starts, ends))
        return fetch(self, starts, ends)

    monkeypatch.setattr(_sources.Remote, "fetch", counted)
    s = karvo.open(url)
    assert 1 + len(ranges) <= 4
    budget = 2 + len(data) // (4 << 20)
    for read, most in [(lambda: s[1234], 1), (lambda: s.read(), budget), (lambda: s.meta, budget),
                       (lambda: s.read(1000, 1100), 1)]:
        ranges.clear()
        read()
        assert 1 <= len(ranges) <= most
    # A chunk's read fetches that chunk, not more.
    assert sum(b - a for a, b in ranges) <= 100 * (len(data) // 3000)


def test_without_fsspec_a_url_says_what_to_install():
    p = run_python("import sys\nsys.modules['fsspec'] = None\nimport karvo\n"
                   "try:\n    karvo.open('s3://bucket/run.kvr')\n"
                   "except ImportError as e:\n    print(e)\n    print('OK')\n")
    out = assert_child_ok(p)
    # the packages themselves: a checkout's install has no index name for the extra
    assert "pip install fsspec aiohttp s3fs" in out and "s3://bucket/run.kvr" in out


def test_a_fetch_may_close_or_read_the_file_midway():
    """Python code runs inside every read of a fetched file: a close() there
    waits for the read, and a read there is one of its own."""
    data = W.series_file(n_spectra=300, num_points=2000)
    local = karvo.open(io.BytesIO(data))
    want = np.asarray(local)
    hooks = []

    def fetch(starts, ends):
        while hooks:
            hooks.pop()()
        return [data[a:b] for a, b in zip(starts, ends)]

    f = _native.open_fetching(fetch, len(data), "mem://x")
    inner = np.empty((1, 2000), np.float32)
    hooks[:] = [f.close, lambda: f.read_rows(inner, 299, 300)]  # popped from the end
    out = np.empty((300, 2000), np.float32)
    f.read_rows(out, 0, 300)
    np.testing.assert_array_equal(out, want)
    np.testing.assert_array_equal(inner[0], want[299])
    assert f.closed
    with pytest.raises(ValueError, match="closed"):
        f.read_rows(out, 0, 300)


def test_threads_read_one_file_object_source_at_once():
    from concurrent.futures import ThreadPoolExecutor
    data = W.series_file(n_spectra=300, num_points=500)
    s = karvo.open(io.BytesIO(data))
    want = np.asarray(karvo.open(io.BytesIO(data)))
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda i: s[i * 7 % 300], range(200)))
    for i, row in enumerate(got):
        np.testing.assert_array_equal(row, want[i * 7 % 300])


def test_read_many_takes_urls_patterns_and_file_objects(tmp_path):
    pytest.importorskip("pandas")
    folder = f"memory://karvo-tests/{uuid.uuid4().hex}"
    files = {"a.kvr": _bytes("series"), "b.kvr": _bytes("series-no-mini"), "notes.kvr": b"text\n" * 100}
    for name, data in files.items():
        with fsspec.open(f"{folder}/{name}", "wb") as fh:
            fh.write(data)
    local = []
    for name in ("a.kvr", "b.kvr"):
        (tmp_path / name).write_bytes(files[name])
        local.append(tmp_path / name)
    _, want, table = karvo.read_many(local)
    with pytest.warns(UserWarning, match=r"skipped 1 file .*notes\.kvr"):
        _, got, found = karvo.read_many(f"{folder}/*.kvr")
    np.testing.assert_array_equal(got, want)
    names = list(found.file.unique())  # as the file system names them
    assert [n.split("/")[-1] for n in names] == ["a.kvr", "b.kvr"] and all(n.startswith("memory://") for n in names)
    _, got, _ = karvo.read_many([f"{folder}/a.kvr", io.BytesIO(files["b.kvr"])])
    np.testing.assert_array_equal(got, want)


def test_a_file_object_that_does_not_hash_is_read_by_itself():
    """A reader whose class compares by value (a dataclass) has no hash:
    karvo keeps track of it by itself, not by its value."""
    import dataclasses

    @dataclasses.dataclass
    class Reader:
        raw: io.BytesIO

        def read(self, n=-1):
            return self.raw.read(n)

        def seek(self, pos, whence=0):
            return self.raw.seek(pos, whence)

        def tell(self):
            return self.raw.tell()
    data = _bytes("series")
    _, Y, _ = karvo.read_many([Reader(io.BytesIO(data)), Reader(io.BytesIO(data))])
    with karvo.open(io.BytesIO(data)) as s:
        np.testing.assert_array_equal(Y, np.concatenate([s.read(), s.read()]))
