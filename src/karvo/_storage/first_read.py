"""An object's size, identity and first bytes in one request.

fsspec asks for an object's size by HEAD (HTTP) or HeadObject (S3), and an
open then asks for the headers at its start by a GET: two round trips where
one does. A range GET of the object's first bytes says the size too, in
its ``Content-Range`` (``bytes 0-262143/825344``), and the identity in its
``ETag`` and ``Last-Modified``: :func:`first_read` asks that, and gives
what ``fs.info`` would have said with the bytes. An object smaller than the
bytes asked for comes whole.

Where the answer doesn't say the size plainly (a server that ignores
ranges and sends a large object whole, a compressed answer, an empty
object, a protocol other than HTTP(S) and S3), it gives None, having read
no more than the bytes asked for, and the caller asks ``fs.info`` as before.
"""
from __future__ import annotations

import asyncio
import re
from typing import Any, Union

from .conditional import protocols_of

__all__ = ["FirstRead", "first_read", "first_reads"]

# "bytes 0-262143/825344": the range sent, and the object's size ("*" when unknown)
_CONTENT_RANGE = re.compile(r"\s*bytes\s+(\d+)-(\d+)/(\d+|\*)\s*$", re.IGNORECASE)


FirstRead = Union[tuple[dict[str, Any], bytes], None]


def first_reads(fs: Any, paths: list[str], nbytes: int, concurrency: int) -> list[Union[FirstRead, BaseException]]:
    """first_read of each path of fs, all on fs's event loop at once (at most
    concurrency in flight), as fs.cat reads many objects; each one's error
    in its place. A protocol without a first read gives None for each."""
    one = _first_read_of(fs)
    if one is None or nbytes <= 0:
        return [None] * len(paths)
    from fsspec.asyn import sync  # type: ignore[import-untyped, import-not-found, unused-ignore]

    async def all_of() -> list[Union[FirstRead, BaseException]]:
        limit = asyncio.Semaphore(max(1, concurrency))     # made on the loop that runs it

        async def each(path: str) -> FirstRead:
            async with limit:
                got: FirstRead = await one(fs, path, nbytes)
                return got
        return list(await asyncio.gather(*(each(p) for p in paths), return_exceptions=True))
    got: list[Union[FirstRead, BaseException]] = sync(fs.loop, all_of)
    return got


def _first_read_of(fs: Any) -> Any:
    """The coroutine function that makes fs's first read, or None."""
    protocols = protocols_of(fs)
    if "s3" in protocols and hasattr(fs, "_call_s3") and hasattr(fs, "split_path"):
        return _s3_first
    if "http" in protocols or "https" in protocols:
        from fsspec.implementations.http import HTTPFileSystem  # type: ignore[import-untyped, import-not-found, unused-ignore]
        if isinstance(fs, HTTPFileSystem):
            return _http_first
    return None


def first_read(fs: Any, path: str, nbytes: int) -> FirstRead:
    """(info, the object's first min(size, nbytes) bytes) by one range GET,
    info as ``fs.info(path)`` gives it; None where that can't be told from
    the answer (then nothing is kept of it). A failed request raises the
    client's error, as ``fs.info`` would."""
    one = _first_read_of(fs)
    if one is None or nbytes <= 0:
        return None
    from fsspec.asyn import sync  # type: ignore[import-untyped, import-not-found, unused-ignore]
    got: FirstRead = sync(fs.loop, one, fs, path, nbytes)
    return got


def _size_from(content_range: Union[str, None], got: int, nbytes: int) -> Union[int, None]:
    """The object's size from a Content-Range that answers bytes=0-(nbytes-1)
    with `got` bytes; None where it says something else."""
    m = _CONTENT_RANGE.match(content_range or "")
    if not m or m.group(3) == "*":
        return None
    first, last, size = int(m.group(1)), int(m.group(2)), int(m.group(3))
    if first != 0 or last + 1 != got or got != min(size, nbytes):
        return None
    return size


async def _http_first(fs: Any, path: str, nbytes: int) -> Union[tuple[dict[str, Any], bytes], None]:
    kw = dict(fs.kwargs)
    # The headers of the storage options (credentials, say) go with ours.
    headers = dict(kw.pop("headers", None) or {})
    headers["Range"] = f"bytes=0-{nbytes - 1}"
    headers["Accept-Encoding"] = "identity"     # offsets count the stored bytes
    kw.setdefault("allow_redirects", True)
    session = await fs.set_session()
    async with session.get(fs.encode_url(path), headers=headers, **kw) as r:
        if r.status == 416:
            return None                     # an empty object: nothing at byte 0
        fs._raise_not_found_for_status(r, path)
        if r.headers.get("Content-Encoding", "identity") not in ("identity", ""):
            return None
        if r.status == 206:
            length = r.headers.get("Content-Length")
            if length is not None and (not length.isdigit() or int(length) > nbytes):
                return None
            data = await _at_most(r, nbytes)
            size = _size_from(r.headers.get("Content-Range"), len(data), nbytes)
        elif r.status == 200:
            # The server sent the object whole: its length is the size, if
            # it fits in what was asked for (a larger one is not read).
            length = r.headers.get("Content-Length")
            if length is None or not length.isdigit() or int(length) > nbytes:
                return None
            data = await _at_most(r, nbytes)
            size = len(data) if len(data) == int(length) else None
        else:
            return None
        if size is None:
            return None
        info: dict[str, Any] = {"name": path, "size": size, "type": "file", "url": str(r.url)}
        if "Content-Type" in r.headers:
            info["mimetype"] = r.headers["Content-Type"].partition(";")[0]
        for field in ("ETag", "Content-MD5", "Digest", "Last-Modified"):
            if r.headers.get(field):
                info[field] = r.headers[field]
    return info, data


async def _at_most(r: Any, nbytes: int) -> bytes:
    """The answer's body, or its first nbytes + 1 bytes where it is longer
    (then it is not what was asked for)."""
    pieces, got = [], 0
    while got <= nbytes:
        piece = await r.content.read(nbytes + 1 - got)   # may give less than asked
        if not piece:
            break
        pieces.append(piece)
        got += len(piece)
    return b"".join(pieces)


async def _s3_first(fs: Any, path: str, nbytes: int) -> Union[tuple[dict[str, Any], bytes], None]:
    bucket, key, version = fs.split_path(path)
    if not key:
        return None                         # a bucket: fs.info says what it is
    versioned = {"VersionId": version} if version else {}
    try:
        got = await fs._call_s3("get_object", Bucket=bucket, Key=key, Range=f"bytes=0-{nbytes - 1}", **versioned)
    except FileNotFoundError:
        if version:
            raise
        return None                         # no such key: a prefix (a "folder") or nothing, as fs.info tells
    except OSError as exc:
        if _invalid_range(exc):
            return None                     # an empty object
        raise
    body = got["Body"]
    try:
        length = got.get("ContentLength")
        if not got.get("ContentRange") or not isinstance(length, int) or length > nbytes:
            return None                     # not the range asked for (the object whole): not read on
        data: bytes = await body.read()
    finally:
        body.close()
    size = _size_from(got.get("ContentRange"), len(data), nbytes)
    if size is None:
        return None
    info: dict[str, Any] = {"name": path, "size": size, "type": "file", "ETag": got.get("ETag"),
                            "LastModified": got.get("LastModified")}
    for field in ("VersionId", "ContentType", "StorageClass"):
        if got.get(field):
            info[field] = got[field]
    return info, data


def _invalid_range(exc: BaseException) -> bool:
    seen: Union[BaseException, None] = exc
    for _ in range(8):
        if seen is None:
            return False
        response = getattr(seen, "response", None)
        if isinstance(response, dict) and ((response.get("Error") or {}).get("Code") == "InvalidRange" or
                                           (response.get("ResponseMetadata") or {}).get("HTTPStatusCode") == 416):
            return True
        seen = seen.__cause__
    return False
