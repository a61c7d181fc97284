"""Range requests on condition that the object is still the one opened.

A file opened by URL is decoded by the layout read at open; if the object is
replaced on the server meanwhile, a later range request would return the new
object's bytes at the old offsets. Where the protocol lets a request carry a
condition, each range request names the object seen at open, and the server
refuses it (412 Precondition Failed) once that object is gone: no request is
added, the check rides on the read itself.

- HTTP(S): ``If-Match`` with the ETag seen at open; where the server gave
  no ETag (or only a weak one, which ``If-Match`` never matches),
  ``If-Unmodified-Since`` with its Last-Modified (one-second precision: an
  object replaced within the second it was last modified is not seen).
- S3: ``IfMatch`` with the ETag on every ``get_object``.

A server that refuses even the object it gave (412, yet the same ETag when
asked again) cannot be checked: its object is read on unchecked.

Other protocols (and chained URLs such as ``simplecache::``) read as they
did, unchecked: :func:`conditional_fetch` gives None for them.

A range request that fails for a reason that may pass (a 503, a timeout, a
connection cut off) is sent again, alone, as failures.py says; a 412 never.
"""
from __future__ import annotations

import asyncio
from typing import Any, Callable, List, Union

from .costs import concurrency_of
from .failures import fetch_retrying
from .._errors import FormatError

__all__ = ["ObjectChanged", "conditional_fetch", "protocols_of"]

Ranges = List[int]
Fetch = Callable[[Ranges, Ranges], List[bytes]]


def conditional_fetch(fs: Any, path: str, url: str, info: dict[str, Any],
                      etag: Union[str, None], timeout: float) -> Fetch | None:
    """fetch(starts, ends) for path on fs whose every request carries the
    condition that the object is the one that info describes; None where
    fs offers no such condition (or the server gave nothing to check by).
    url names the object in messages (its display name: path is what is
    requested); timeout is the seconds a request may wait, within which a
    failed one is sent again."""
    protocols = protocols_of(fs)
    if "s3" in protocols and hasattr(fs, "_call_s3") and etag:
        return _s3_fetch(fs, path, url, info, etag, timeout)
    if "http" in protocols or "https" in protocols:
        from fsspec.implementations.http import HTTPFileSystem  # type: ignore[import-untyped, import-not-found, unused-ignore]
        if isinstance(fs, HTTPFileSystem):
            return _http_fetch(fs, path, url, info, etag, timeout)
    return None


def protocols_of(fs: Any) -> tuple[str, ...]:
    """The protocols an fsspec file system serves."""
    return (fs.protocol,) if isinstance(fs.protocol, str) else tuple(fs.protocol)


def _http_fetch(fs: Any, path: str, url: str, info: dict[str, Any], etag: Union[str, None],
                timeout: float) -> Fetch | None:
    # The headers of the storage options (credentials, say) go with ours:
    # fsspec takes a request's headers= in place of them, not beside them.
    plain = dict(fs.kwargs.get("headers") or {})
    last_modified = info.get("Last-Modified")
    if etag and not etag.startswith("W/"):
        checked = {**plain, "If-Match": etag}
        changed = f"the server no longer has ETag {etag}"
    elif last_modified:
        checked = {**plain, "If-Unmodified-Since": last_modified}
        changed = f"the server has it as modified after {last_modified}"
    else:
        return None

    def read(starts: Ranges, ends: Ranges, check: bool) -> List[bytes]:
        def once(starts: Ranges, ends: Ranges) -> List[Any]:
            out: List[Any] = fs.cat_ranges([path] * len(starts), starts, ends, on_error="return",
                                           headers=checked if check else plain)
            return out
        return fetch_retrying(once, starts, ends, timeout)

    def unchanged() -> bool:
        return _facts(fs.info(path), "ETag", "Last-Modified") == _facts(info, "ETag", "Last-Modified")
    return _checking(url, changed, read, unchanged)


def _s3_fetch(fs: Any, path: str, url: str, info: dict[str, Any], etag: str, timeout: float) -> Fetch:
    import s3fs.core  # type: ignore[import-untyped, import-not-found, unused-ignore]
    from fsspec.asyn import sync  # type: ignore[import-untyped, import-not-found, unused-ignore]

    retrying = getattr(s3fs.core, "_error_wrapper", None)
    bucket, key, version = fs.split_path(path)
    versioned = {"VersionId": version} if version else {}
    bound = concurrency_of(fs)      # as many as the client's pool holds: as the fetch plan counts rounds

    async def one(limit: asyncio.Semaphore, start: int, end: int, condition: dict[str, str]) -> bytes:
        async def get() -> bytes:
            got = await fs._call_s3("get_object", Bucket=bucket, Key=key,
                                    Range=f"bytes={start}-{end - 1}", **versioned, **condition)
            try:
                data: bytes = await got["Body"].read()
            finally:
                got["Body"].close()
            return data
        if start >= end:
            return b""
        async with limit:
            if retrying is None:
                return await get()
            # as s3fs's own reads do (fs.retries is 1 where karvo sends again)
            data: bytes = await retrying(get, retries=fs.retries)
            return data

    async def all_of(starts: Ranges, ends: Ranges, condition: dict[str, str]) -> List[Any]:
        limit = asyncio.Semaphore(bound)     # made on the loop that runs it
        return list(await asyncio.gather(*(one(limit, s, e, condition) for s, e in zip(starts, ends)),
                                         return_exceptions=True))

    def read(starts: Ranges, ends: Ranges, check: bool) -> List[bytes]:
        def once(starts: Ranges, ends: Ranges) -> List[Any]:
            out: List[Any] = sync(fs.loop, all_of, starts, ends, {"IfMatch": etag} if check else {})
            return out
        return fetch_retrying(once, starts, ends, timeout)

    def unchanged() -> bool:
        return _facts(fs.info(path, refresh=True), "ETag") == _facts(info, "ETag")
    return _checking(url, f"the store no longer has ETag {etag}", read, unchanged)


def _facts(info: dict[str, Any], *keys: str) -> tuple[Any, ...]:
    return (info.get("size"), *(info.get(k) for k in keys))


def _checking(url: str, changed: str, read: Callable[[Ranges, Ranges, bool], List[bytes]],
              unchanged: Callable[[], bool]) -> Fetch:
    """fetch(starts, ends) by read(starts, ends, check), checked while the
    server honours the condition. A 412 means another object now, unless
    one look finds the object unchanged: some servers refuse even the ETag
    they gave (for a compressed variant, say); those cannot check by it,
    and are read on as they allow."""
    checking = True

    def fetch(starts: Ranges, ends: Ranges) -> List[bytes]:
        nonlocal checking
        if checking:
            try:
                return read(starts, ends, True)
            except Exception as exc:
                if not _refused(exc):
                    raise
                if not unchanged():
                    # from None: the 412 quotes the URL as requested, query and all
                    raise _changed(url, changed) from None
            checking = False
        return read(starts, ends, False)
    return fetch


class ObjectChanged(FormatError):
    """The server refused a range request: the object is no longer the
    one seen at open."""


def _changed(url: str, how: str) -> FormatError:
    return ObjectChanged(f"{url}: the object changed since it was opened: {how}", url)


def _refused(exc: BaseException) -> bool:
    """Whether exc (or what caused it) is the server's 412: a condition of
    the request failed."""
    seen: BaseException | None = exc
    for _ in range(8):                      # the chain of causes, bounded
        if seen is None:
            return False
        response = getattr(seen, "response", None)
        code = response.get("Error", {}).get("Code") if isinstance(response, dict) else None
        if getattr(seen, "status", None) == 412 or code == "PreconditionFailed":
            return True
        seen = seen.__cause__
    return False
