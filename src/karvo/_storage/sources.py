"""Where a file's bytes come from: a local path (read by the native module by
position, as always), a URL of any fsspec protocol (``s3://``, ``gs://``,
``https://``, ``memory://``, ...), or a binary file object that can ``read``
and ``seek``.

For the last two, the native module asks for byte ranges through a fetcher,
``fetch(starts, ends) -> list of bytes``, and decodes them itself; it merges
the ranges of one read into a few large blocks, fetched at once
(concurrently where the file system can: ``fs.cat_ranges``).
"""
from __future__ import annotations

import numbers
import os
import threading
import weakref
from contextlib import contextmanager
from typing import Any, Iterator, NamedTuple, Union

from .conditional import conditional_fetch
from .costs import Costs, concurrency_of, costs_of, take_cost_options
from .first_read import FirstRead, first_read, first_reads
from .failures import DEFAULT_TIMEOUT, call_retrying, fetch_retrying, storage_error, transient
from .location import display_name, is_file_object, local_path, name_of_file_object
from .._errors import FormatError
from .._extras import require

__all__ = ["ObjectIdentity", "Prefetched", "Remote", "check_same_object", "fetcher_for", "file_system", "is_file_object",
           "local_path", "name_of_file_object", "prefetch", "read_error"]


class ObjectIdentity(NamedTuple):
    """What the store says of an object held elsewhere: its size, its ETag
    (None when the store gives none) and its modification time as the store
    tells it (text, or None)."""

    size: int
    etag: Union[str, None]
    mtime: Union[str, None]


# Where fsspec's file systems put an object's modification time (HTTP: the
# server's Last-Modified header, as it gave it).
_MTIME_KEYS = ("LastModified", "Last-Modified", "last_modified", "mtime", "modified", "updated", "created")


def _identity_of(info: dict[str, Any]) -> ObjectIdentity:
    etag = next((info[k] for k in ("ETag", "etag", "Etag", "md5Hash", "generation") if info.get(k)), None)
    mtime = next((info[k] for k in _MTIME_KEYS if info.get(k) is not None), None)
    return ObjectIdentity(int(info["size"]), None if etag is None else str(etag),
                          None if mtime is None else str(mtime))


class Remote:
    """An object of an fsspec file system, by URL: its size and identity (as
    the first range GET's answer tells them, else as ``fs.info`` gives
    them), and its fetcher. ``url`` is the URL as given,
    which only the file system sees; messages use ``name``, its display name.

    Every failure of the storage layer, at open or in a read, is raised as
    the OSError that says why (failures.py), naming the file by ``name``;
    ``timeout`` is the seconds each request may wait (storage option
    ``timeout``, else DEFAULT_TIMEOUT)."""

    def __init__(self, url: str, storage_options: dict[str, Any] | None, head_bytes: int = 0,
                 prefetched: Prefetched | None = None) -> None:
        self.url = url
        self.name = name = display_name(url)
        self.storage_options = dict(storage_options or {})
        client = _Client(url, self.storage_options)
        self._fs, self._path, self.timeout = client.fs, client.path, client.timeout
        self._latency, self._bandwidth = client.latency, client.bandwidth
        # Asked anew: a listing cached by this file system (a glob, an ls of
        # the folder) may tell of an object replaced since, whose identity
        # would then pass for the one a copy was opened with.
        self._fs.invalidate_cache(self._path)
        self._head: bytes | None = None
        try:
            # One GET says the size and identity and brings the first bytes,
            # where the protocol allows (made already where prefetched); else
            # fs.info, and the open asks for them.
            if prefetched is not None and prefetched.error is not None:
                raise prefetched.error
            first = prefetched.first if prefetched is not None else \
                call_retrying(lambda: first_read(self._fs, self._path, head_bytes), self.timeout)
            if first is None:
                info = call_retrying(lambda: self._fs.info(self._path), self.timeout)
            else:
                info, self._head = first
        except (FormatError, MemoryError):
            raise
        except Exception as exc:
            raise storage_error(url, exc, self.timeout) from None
        if info.get("type", "file") != "file":
            raise FormatError(f"{name}: not a regular file (a {info.get('type')})", name)
        if info.get("size") is None:
            raise FormatError(f"{name}: the store does not tell the object's size", name)
        self.identity = _identity_of(info)
        # Where the protocol allows, every range request names the object
        # seen here, so that one replaced since is refused, not read.
        self._conditional = conditional_fetch(self._fs, self._path, name, info, self.identity.etag, self.timeout)

    @property
    def costs(self) -> Costs:
        """What a request costs, as the native module plans fetches by."""
        return costs_of(self._fs, self._latency, self._bandwidth)

    def take_head(self) -> bytes | None:
        """The object's first bytes as the open fetched them (head_bytes of
        them, or the object whole where smaller), once: None after that, or
        where they came by another request."""
        head, self._head = self._head, None
        return head

    def forget(self) -> None:
        """Drops what the file system keeps of the object (s3fs keeps the
        listings it made, however old), so that a new Remote sees it as it is."""
        self._fs.invalidate_cache(self._path)

    def fetch(self, starts: list[int], ends: list[int]) -> list[bytes]:
        try:
            if self._conditional is not None:
                return self._conditional(starts, ends)
            return fetch_retrying(self._read, starts, ends, self.timeout)
        except (ValueError, MemoryError):   # FormatError is a ValueError
            raise
        except Exception as exc:
            # The client's own error (an HTTP status, a timeout): a read
            # error of this file, as a local one is.
            raise storage_error(self.url, exc, self.timeout) from None

    def _read(self, starts: list[int], ends: list[int]) -> list[Any]:
        out: list[Any] = self._fs.cat_ranges([self._path] * len(starts), starts, ends, on_error="return")
        return out


class Prefetched(NamedTuple):
    """An object's first read, made with those of others (prefetch), or
    the failure that asking again would not mend (404, 403)."""

    first: FirstRead
    error: BaseException | None = None


class _Client:
    """The file system of a URL, with the options as karvo gives them to its
    client: the timeout translated, karvo's cost options taken out, s3fs's
    own retries off where karvo sends again."""

    def __init__(self, url: str, storage_options: dict[str, Any]) -> None:
        fsspec = require("fsspec", "remote", f"reading {display_name(url)}")
        options, self.timeout, one_attempt = _request_options(url, storage_options)
        self.latency, self.bandwidth = take_cost_options(url, options)
        # from None, here and in Remote: the client's error quotes the URL,
        # secrets and all, and a traceback would show it; the message
        # keeps its text without them
        try:
            self.fs, self.path = fsspec.core.url_to_fs(url, **options)
        except ImportError:
            raise                           # says what to install
        except Exception as exc:
            raise storage_error(url, exc, self.timeout) from None
        if one_attempt and isinstance(getattr(self.fs, "retries", None), int):
            # s3fs sends again on its own what times out or is cut off
            # (fs.retries times), on top of the attempts made here
            self.fs.retries = 1


def prefetch(urls: list[str], storage_options: dict[str, Any] | None, head_bytes: int) -> dict[str, Prefetched]:
    """The first reads of many URLs (Remote's), made together on each file
    system's event loop as fs.cat reads many objects, rather than one a
    thread. A URL whose read failed, or whose client can't be had, is left
    out: its Remote asks again, with retries, and says why it can't."""
    groups: dict[int, tuple[Any, list[tuple[str, str]]]] = {}
    for url in urls:
        try:
            client = _Client(url, dict(storage_options or {}))
        except Exception:
            continue
        groups.setdefault(id(client.fs), (client.fs, []))[1].append((url, client.path))
    out: dict[str, Prefetched] = {}
    for fs, items in groups.values():
        if len(items) < 2:
            continue    # a file system of its own (skip_instance_cache): its Remote reads on the pool, with the others
        got = first_reads(fs, [path for _, path in items], head_bytes, concurrency_of(fs))
        for (url, _path), first in zip(items, got):
            if not isinstance(first, BaseException):
                out[url] = Prefetched(first)
            elif not transient(first):
                out[url] = Prefetched(None, first.with_traceback(None))
    return out


def read_error(url: str, exc: BaseException) -> OSError:
    """exc, raised by the storage layer under a URL (an HTTP status, no
    credentials, an endpoint out of reach, a protocol fsspec doesn't know),
    as the OSError of a file that can't be read, of the kind that says why,
    naming the URL by its display name (the client's text too, without
    the secrets of the URL it quotes)."""
    return storage_error(url, exc)


def _protocol(url: str) -> str:
    """The protocol of a URL; "" for a chain of them (``simplecache::s3://``)
    or a path."""
    head = url.partition("://")[0] if "://" in url else ""
    return "" if "::" in head else head.lower()


def file_system(url: str, storage_options: dict[str, Any] | None) -> tuple[Any, str]:
    """fsspec's (file system, path) for a URL, with the options as karvo
    gives them to the client (the ``timeout`` storage option translated)."""
    client = _Client(url, dict(storage_options or {}))    # a ValueError for options refused
    return client.fs, client.path


def _request_options(url: str, storage_options: dict[str, Any]) -> tuple[dict[str, Any], float, bool]:
    """(the options url_to_fs gets, the seconds a request may wait, whether
    each request is sent once by the client, karvo sending it again).

    Over HTTP(S) and S3, the storage option ``timeout`` (seconds; else
    DEFAULT_TIMEOUT) is taken out and given to the client as it takes it:
    aiohttp's ``client_kwargs={"timeout": ClientTimeout(...)}`` (to connect,
    and between pieces of an answer), botocore's ``config_kwargs``
    ``connect_timeout`` and ``read_timeout``, with botocore's own retries
    off; whatever of these the options already hold is left as given.
    Other protocols get their options untouched."""
    options = dict(storage_options)
    protocol = _protocol(url)
    managed = protocol in ("http", "https", "s3", "s3a")
    given = options.pop("timeout", None) if managed else options.get("timeout")
    if given is None or (not managed and not _seconds(given)):
        timeout = DEFAULT_TIMEOUT
    elif _seconds(given):
        timeout = float(given)
    else:
        raise ValueError(f"{display_name(url)}: the storage option timeout is seconds (a number > 0), "
                         f"not {given!r}")
    one_attempt = False
    if protocol in ("http", "https"):
        aiohttp = require("aiohttp", "remote", f"reading {display_name(url)}")
        client = dict(options.get("client_kwargs") or {})
        client.setdefault("timeout", aiohttp.ClientTimeout(total=None, sock_connect=timeout, sock_read=timeout))
        options["client_kwargs"] = client
    elif managed:
        config = dict(options.get("config_kwargs") or {})
        config.setdefault("connect_timeout", timeout)
        config.setdefault("read_timeout", timeout)
        if "retries" not in config:
            config["retries"] = {"total_max_attempts": 1}
            one_attempt = True
        options["config_kwargs"] = config
    return options, timeout, one_attempt


def _seconds(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool) and 0 < float(value) < float("inf")


class _Position:
    """The position of one file object, which every fetcher on it shares:
    one thread at a time seeks and reads."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.reader: int | None = None  # the thread that seeks and reads now


# The position of each file object that fetchers read, while any of them
# lives (each holds its file object, so its id names no other object meanwhile).
_positions: weakref.WeakValueDictionary[int, _Position] = weakref.WeakValueDictionary()
_positions_lock = threading.Lock()


def _position_of(fobj: Any) -> _Position:
    with _positions_lock:
        position = _positions.get(id(fobj))
        if position is None:
            position = _positions[id(fobj)] = _Position()
        return position


class _FileObjectFetcher:
    """Reads ranges of a file object, one thread at a time across every
    File opened on it (they share its position)."""

    def __init__(self, fobj: Any) -> None:
        self._fobj = fobj
        self._position = _position_of(fobj)
        with self._reading():
            if not isinstance(fobj.read(0), bytes):
                raise TypeError(f"karvo reads binary file objects (opened with 'rb'), not {type(fobj).__name__}")
            end = fobj.seek(0, os.SEEK_END)
            self.size = int(fobj.tell() if end is None else end)  # an mmap's seek returns None before 3.13

    @contextmanager
    def _reading(self) -> Iterator[None]:
        position, me = self._position, threading.get_ident()
        # Waiting would never end, and reading on would move the outer read's position.
        if position.reader == me and position.lock.locked():
            raise RuntimeError(f"{name_of_file_object(self._fobj)}: read again from within one of its own reads "
                               f"(by its read method, or a signal handler)")
        with position.lock:
            position.reader = me
            try:
                yield
            finally:
                position.reader = None

    def __call__(self, starts: list[int], ends: list[int]) -> list[bytes]:
        out = []
        with self._reading():
            for start, end in zip(starts, ends):
                self._fobj.seek(start)
                pieces, left = [], end - start
                while left > 0:  # a raw file may return less than asked
                    piece = self._fobj.read(left)
                    if not piece:
                        break
                    pieces.append(piece)
                    left -= len(piece)
                out.append(b"".join(pieces) if len(pieces) != 1 else pieces[0])
        return out


def fetcher_for(source: Any, storage_options: dict[str, Any] | None, head_bytes: int = 0,
                prefetched: Prefetched | None = None) -> tuple[Any, int, str, Remote | None]:
    """(fetch, size, name, remote) for a URL or a file object; remote is
    None for a file object. A URL's first head_bytes come with its size
    where the protocol allows (remote.take_head()), read already where
    prefetched."""
    if is_file_object(source):
        fetch = _FileObjectFetcher(source)
        return fetch, fetch.size, name_of_file_object(source), None
    url = os.fsdecode(os.fspath(source))
    remote = Remote(url, storage_options, head_bytes, prefetched)
    # the native module names the file by it in every message
    return remote.fetch, remote.identity.size, remote.name, remote


def check_same_object(url: str, was: ObjectIdentity, now: ObjectIdentity) -> None:
    """Raises FormatError naming url and what changed when now is another
    object than was: by ETag where both have one, else by size and time."""
    was, now = ObjectIdentity(*was), ObjectIdentity(*now)
    differ = []
    if was.etag is not None and now.etag is not None:
        if was.etag != now.etag:
            differ.append(f"ETag {now.etag}, opened with {was.etag}")
    elif now.mtime != was.mtime:
        differ.append(f"modified {now.mtime}, opened as of {was.mtime}")
    if now.size != was.size:
        differ.append(f"size {now.size} bytes, opened with {was.size}")
    if differ:
        raise FormatError(f"{url}: the object changed since it was opened: {'; '.join(differ)}", url)
