"""An object's size comes with its first bytes, in the open's one GET; where
the answer doesn't say it plainly, the open asks by HEAD, as fsspec does."""
import contextlib
import os

import numpy as np
import pytest

import karvo
from karvo._storage import sources
from karvo._storage.sources import Remote
from xarray_files import series, single

SMALL = dict(n_spectra=4, num_points=64)             # whole within the first GET
LARGE = dict(n_spectra=40, num_points=4096)          # 655 KB: more than an open's first bytes


def _opened(http_server, shape):
    name = f"first-{shape['n_spectra']}"
    series(os.path.join(http_server.root, name), **shape)
    local = karvo.read(os.path.join(http_server.root, name))[1]
    return http_server.url_of(name), local


@pytest.mark.parametrize("shape", [SMALL, LARGE], ids=["small", "large"])
@pytest.mark.parametrize("server, asked", [
    ({}, ["GET"]),                                   # size, identity and headers in one answer
    ({"sizes": False}, ["GET", "HEAD"]),             # "bytes 0-262143/*": the size asked for apart
    ({"ranges": False}, None),                       # the object whole (200): its length is its size
])
def test_an_open_is_one_request_where_the_answer_tells_the_size(http_server, monkeypatch, shape, server, asked):
    url, local = _opened(http_server, shape)
    for key, value in server.items():
        monkeypatch.setattr(http_server, key, value)
    http_server.reset()
    if asked is None:
        # a small object is taken whole; a larger one is not read on (its
        # length is more than was asked for): its size by HEAD, and then a
        # range read of a server without ranges is refused
        asked = ["GET"] if shape is SMALL else ["GET", "HEAD"]
    refused = not server.get("ranges", True)     # reads after the open ask for ranges
    with pytest.raises(OSError, match="asked for bytes") if refused else contextlib.nullcontext():
        with karvo.open(url) as s:
            assert len(s) == shape["n_spectra"]
            np.testing.assert_array_equal(s[len(s) - 1], local[-1])
    opening = [method for method, _path, _range in http_server.log]
    assert opening[:len(asked)] == asked and "HEAD" not in opening[len(asked):], http_server.log


@pytest.mark.parametrize("keep", [False, True], ids=["open", "read_many"])
def test_the_first_bytes_serve_the_open_and_nothing_is_asked_twice(http_server, keep):
    url, local = _opened(http_server, LARGE)
    http_server.reset()
    if keep:        # a look that reads right after: the first MiB kept, the rest asked once
        _x, Y, _t = karvo.read_many([url])
        np.testing.assert_array_equal(Y, local)
    else:
        karvo.open(url).close()
    ranges = [r for method, _p, r in http_server.log if method == "GET"]
    assert ranges[0] == ("bytes=0-1048575" if keep else "bytes=0-262143"), ranges
    assert len(ranges) == 1 and http_server.count("HEAD") == 0, http_server.log


@pytest.mark.parametrize("store", ["http", "s3"])
def test_an_empty_object_is_empty_as_before(http_server, request, tmp_path, store):
    """Nothing at byte 0 to send (HTTP's 416, S3's InvalidRange): empty, as fs.info says."""
    if store == "http":
        open(os.path.join(http_server.root, "empty"), "wb").close()
        url = http_server.url_of("empty")
    else:
        (tmp_path / "empty").write_bytes(b"")
        url = request.getfixturevalue("s3").put(str(tmp_path / "empty"), "empty")
    with pytest.raises(karvo.FormatError, match="empty"):
        karvo.open(url)


def test_where_the_answer_does_not_tell_the_size_read_many_fetches_the_first_mib_once(http_server, monkeypatch):
    """The first GET's bytes go unused (the size asked by HEAD); the look then
    fetches its first MiB, here the object whole, and reads the values from it."""
    url, local = _opened(http_server, LARGE)
    monkeypatch.setattr(http_server, "sizes", False)
    http_server.reset()
    np.testing.assert_array_equal(karvo.read_many([url])[1], local)
    assert [method for method, _p, _r in http_server.log] == ["GET", "HEAD", "GET"], http_server.log


def test_an_object_replaced_while_it_opens_is_read_as_it_is_now(http_server, monkeypatch):
    """Replaced between the GET of its first MiB and the read of the rest
    (1.2 MB): opened again, from the first MiB that the second GET brought."""
    path = os.path.join(http_server.root, "moving")
    single(path, num_points=300_000)
    asked, replaced = sources.first_read, []

    def replacing(*args):
        got = asked(*args)
        if not replaced:
            replaced.append(single(path + ".new", num_points=350_000))
            os.replace(path + ".new", path)         # a new inode: another ETag
        return got
    monkeypatch.setattr(sources, "first_read", replacing)
    http_server.reset()
    _x, y = karvo.read(http_server.url_of("moving"))
    np.testing.assert_array_equal(y, replaced[0])
    firsts = [r.startswith("bytes=0-") for method, _p, r in http_server.log if method == "GET"]
    assert firsts == [True, False, True, False], http_server.log


@pytest.mark.parametrize("head_bytes", [0, 100, 1 << 20], ids=["none", "part", "whole"])
def test_the_first_bytes_are_handed_over_once(http_server, head_bytes):
    """Held by nothing after the open took them: a lazy Dataset of many
    objects keeps none of their first bytes."""
    url, _local = _opened(http_server, SMALL)
    with open(os.path.join(http_server.root, "first-4"), "rb") as f:
        data = f.read()
    remote = Remote(url, None, head_bytes)
    assert remote.take_head() == (data[:head_bytes] or None)
    assert remote.take_head() is None


@pytest.mark.parametrize("shape", [SMALL, dict(n_spectra=80, num_points=4096)], ids=["whole", "larger-than-kept"])
def test_over_s3_an_open_is_one_get_object(http_server, s3_on_http_server, shape):
    """GetObject of the first MiB, no HeadObject: a small object whole, the
    rest of a larger one (1.3 MB) read after."""
    path = os.path.join(s3_on_http_server, "first")
    series(path, **shape)
    http_server.reset()
    _x, Y, _t = karvo.read_many(["s3://bucket/first"], storage_options={"skip_instance_cache": True})
    np.testing.assert_array_equal(Y, karvo.read(path)[1])
    methods = [m for m, _p, _r in http_server.log]
    assert set(methods) == {"GET"} and http_server.log[0][2] == "bytes=0-1048575", http_server.log
    assert len(methods) == 1 or shape is not SMALL, http_server.log      # a small object whole at once


@pytest.mark.parametrize("key", ["folder", "folder/"])
def test_an_s3_folder_is_not_a_regular_file(s3, tmp_path, key):
    path = tmp_path / "run"
    series(path, **SMALL)
    s3.put(str(path), "folder/run")
    with pytest.raises(karvo.FormatError, match="not a regular file"):
        karvo.open(s3.url(key))


def test_a_store_that_ignores_the_range_is_asked_the_size_apart(http_server, s3_on_http_server, monkeypatch):
    """An S3 stand-in that answers every GetObject with the object whole:
    its size asked for apart, no more of that answer read than was asked for."""
    series(os.path.join(s3_on_http_server, "whole"), **LARGE)
    monkeypatch.setattr(http_server, "ranges", False)
    http_server.reset()
    with pytest.raises(OSError):            # range reads after the open get the object whole too
        with karvo.open("s3://bucket/whole", storage_options={"skip_instance_cache": True}) as s:
            s[0]
    assert [m for m, _p, _r in http_server.log][:2] == ["GET", "HEAD"], http_server.log
