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
  A server that refuses even the object it gave (412, yet the same ETag and
  time when asked again) cannot be checked: its object is read on unchecked.
- S3: ``IfMatch`` with the ETag on every ``get_object``.

Other protocols (and chained URLs such as ``simplecache::``) read as they
did, unchecked: :func:`conditional_fetch` gives None for them.
"""
from __future__ import annotations

import asyncio
from typing import Any, Callable, Union

from ._errors import FormatError

__all__ = ["conditional_fetch"]

Fetch = Callable[[list, list], list]
# Range requests of one fetch in flight at once, where the file system sets no bound.
_CONCURRENT = 64


def conditional_fetch(fs: Any, path: str, url: str, info: dict[str, Any],
                      etag: Union[str, None]) -> Fetch | None:
    """fetch(starts, ends) for path on fs whose every request carries the
    condition that the object is the one that info describes; None where
    fs offers no such condition (or the server gave nothing to check by)."""
    protocols = (fs.protocol,) if isinstance(fs.protocol, str) else tuple(fs.protocol)
    if "s3" in protocols and hasattr(fs, "_call_s3") and etag:
        return _s3_fetch(fs, path, url, etag)
    if "http" in protocols or "https" in protocols:
        from fsspec.implementations.http import HTTPFileSystem
        if isinstance(fs, HTTPFileSystem):
            return _http_fetch(fs, path, url, info, etag)
    return None


def _http_fetch(fs: Any, path: str, url: str, info: dict[str, Any], etag: Union[str, None]) -> Fetch | None:
    # The headers of the storage options (credentials, say) go with ours:
    # fsspec takes a request's headers= in place of them, not beside them.
    plain = dict(fs.kwargs.get("headers") or {})
    seen = (info.get("size"), info.get("ETag"), info.get("Last-Modified"))
    if etag and not etag.startswith("W/"):
        condition = {"If-Match": etag}
        changed = f"the server no longer has ETag {etag}"
    elif seen[2]:
        condition = {"If-Unmodified-Since": seen[2]}
        changed = f"the server has it as modified after {seen[2]}"
    else:
        return None
    headers = {**plain, **condition}

    def fetch(starts: list, ends: list) -> list:
        nonlocal headers
        paths = [path] * len(starts)
        try:
            out: list = fs.cat_ranges(paths, starts, ends, on_error="raise", headers=headers)
            return out
        except Exception as exc:
            if not _refused(exc):
                raise
            # Some servers refuse even the ETag they gave (for a compressed
            # variant, say): a look at the object tells. Still the object
            # seen at open, the server cannot check by it: read on as it allows.
            now = fs.info(path)
            if (now.get("size"), now.get("ETag"), now.get("Last-Modified")) != seen:
                raise _changed(url, changed) from exc
        headers = plain
        out = fs.cat_ranges(paths, starts, ends, on_error="raise", headers=headers)
        return out
    return fetch


def _s3_fetch(fs: Any, path: str, url: str, etag: str) -> Fetch:
    import s3fs.core
    from fsspec.asyn import sync

    retrying = getattr(s3fs.core, "_error_wrapper", None)
    bucket, key, version = fs.split_path(path)
    condition = {"IfMatch": etag, **({"VersionId": version} if version else {})}
    bound = getattr(fs, "batch_size", None) or _CONCURRENT
    changed = f"the store no longer has ETag {etag}"

    async def read(start: int, end: int) -> bytes:
        got = await fs._call_s3("get_object", Bucket=bucket, Key=key,
                                Range=f"bytes={start}-{end - 1}", **condition)
        try:
            data: bytes = await got["Body"].read()
        finally:
            got["Body"].close()
        return data

    async def one(limit: asyncio.Semaphore, start: int, end: int) -> bytes:
        if start >= end:
            return b""
        async with limit:
            if retrying is None:
                return await read(start, end)
            # a body cut short is asked again, as s3fs's own reads do
            got: bytes = await retrying(read, args=(start, end), retries=fs.retries)
            return got

    async def all_of(starts: list, ends: list) -> list:
        limit = asyncio.Semaphore(bound)     # made on the loop that runs it
        return list(await asyncio.gather(*(one(limit, s, e) for s, e in zip(starts, ends))))

    def fetch(starts: list, ends: list) -> list:
        try:
            out: list = sync(fs.loop, all_of, starts, ends)
        except Exception as exc:
            if _refused(exc):
                raise _changed(url, changed) from exc
            raise
        return out
    return fetch


def _changed(url: str, how: str) -> FormatError:
    return FormatError(f"{url}: the object changed since it was opened: {how}", url)


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
        seen = seen.__cause__ or seen.__context__
    return False
