"""An object's size comes with its first bytes, in the open's one GET; where
the answer doesn't say it plainly, the open asks by HEAD, as fsspec does."""
import contextlib
import os

import numpy as np
import pytest

import karvo
from xarray_files import series

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


def test_an_empty_object_is_empty_as_before(http_server):
    open(os.path.join(http_server.root, "empty"), "wb").close()
    with pytest.raises(karvo.FormatError, match="empty"):
        karvo.open(http_server.url_of("empty"))


def test_over_s3_an_open_is_one_get_object(http_server, s3_on_http_server):
    """GetObject of the first bytes, no HeadObject."""
    path = os.path.join(s3_on_http_server, "first")
    series(path, **SMALL)
    http_server.reset()
    _x, Y, _t = karvo.read_many(["s3://bucket/first"], storage_options={"skip_instance_cache": True})
    np.testing.assert_array_equal(Y, karvo.read(path)[1])
    assert [m for m, _p, _r in http_server.log] == ["GET"], http_server.log


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
