"""The process's open files: one cache that the xarray engine, read_many and
open_mfdataset share, so that a file is opened once per process however
many Datasets, tasks or passes read it (over HTTP: a single-spectrum access
is one request once the file is open, not an open's HEAD and GETs again).

A file is found by its kind, where it lives (path or URL and storage
options) and the identity it was opened with. Reuse checks the identity
again: a file rewritten in place since is refused, as a reopen would. The
cache is bounded: past ``MAX_OPEN`` files it closes the least recently used
that no read holds; one that a read holds is closed when that read ends.
A forked child starts with an empty cache (its parent's files are not its to
read on: a remote one's connections belong to the parent's event loop).
"""
from __future__ import annotations

import os
import pickle
import threading
import weakref
from collections import OrderedDict
from collections.abc import Iterable, Iterator, Mapping
from contextlib import contextmanager
from typing import Any, Union, cast

from .._storage.identity import FileIdentity, check_unchanged
from .._storage.location import Location
from .series import Series
from .spectrum import Spectrum

__all__ = ["MAX_OPEN", "OPEN_FILES", "FileKey", "Keeping", "OpenFiles", "copied_options", "file_key"]

# What the cache keeps open at most when no read holds more: the same bound
# as xarray's own file cache.
MAX_OPEN = 128

Opened = Union[Series, Spectrum]


def _options_key(options: Mapping[str, Any] | None) -> Any:
    """storage_options as a key: equal where their pickles are, so that a
    copy unpickled for each task finds the file an earlier task opened (a
    dict can't be a key). Options that don't pickle (a lock, a session)
    never leave this process: they are equal only to themselves."""
    if not options:
        return None
    try:
        return pickle.dumps(dict(options))
    except Exception:                   # pickle raises TypeError, AttributeError, ...
        return object()


def copied_options(options: Mapping[str, Any] | None) -> dict[str, Any] | None:
    """A copy of storage_options of their own, nested dicts too (headers,
    client_kwargs): what the caller changes after the open reaches no array
    of it. Options that don't pickle (a lock, a session) are copied shallow."""
    if options is None:
        return None
    try:
        return pickle.loads(pickle.dumps(dict(options)))  # type: ignore[no-any-return]
    except Exception:                   # pickle raises TypeError, AttributeError, ...
        return dict(options)


class FileKey:
    """Which open file a reader wants: its kind and its Location (where it
    lives and the identity it was opened with)."""

    __slots__ = ("kind", "location", "_key", "_hash", "kept")

    def __init__(self, kind: type[Opened], location: Location, kept: bool = True) -> None:
        self.kind = kind
        self.location = location
        identity = location.identity
        # a file object by itself, not by value (it may not hash): the key
        # holds it, so no other object takes its id meanwhile
        source = ("file object", id(location.source)) if location.is_file_object else location.source
        self._key = (kind.__name__, source, _options_key(location.storage_options),
                     tuple(identity) if isinstance(identity, tuple) else identity)
        self._hash = hash(self._key)
        # Whether its file stays in the cache between reads: not for a copy
        # made of a key whose options are equal only to themselves (another
        # pickler took them to a task): no other copy ever finds that file.
        self.kept = kept

    def __eq__(self, other: object) -> bool:
        return isinstance(other, FileKey) and other._key == self._key

    def __hash__(self) -> int:
        return self._hash

    def __reduce__(self) -> tuple[Any, ...]:
        return (FileKey, (self.kind, self.location, isinstance(self._key[2], (bytes, type(None)))))

    def open(self) -> Opened:
        """The file opened anew as its kind: only the very file of the
        identity (karvo.FormatError otherwise)."""
        return self.kind._at(self.location, "ignore", stacklevel=2)


def file_key(opened: Opened) -> FileKey:
    """The key of a file open now."""
    return FileKey(Spectrum if opened._single else Series, opened._location)


class _Entry:
    __slots__ = ("opened", "readers", "dropped")

    def __init__(self, opened: Opened) -> None:
        self.opened = opened
        self.readers = 0
        self.dropped = False        # out of the cache: closed by its last reader


class OpenFiles:
    """Open files by FileKey, at most ``maxsize`` kept past their reads."""

    def __init__(self, maxsize: int = MAX_OPEN) -> None:
        self.maxsize = maxsize
        self._lock = threading.Lock()
        self._entries: OrderedDict[FileKey, _Entry] = OrderedDict()
        self.opens = 0              # files opened by the cache, for the curious and the tests

    @contextmanager
    def held(self, key: FileKey) -> Iterator[Opened]:
        """The open file of key, held open (and checked to be the file of
        its identity still) until the block ends."""
        if not key.kept:
            with key.open() as opened:
                yield opened
            return
        entry = self._enter(key)
        try:
            _check(entry.opened, key.location)
        except BaseException:
            self._leave(entry)
            self.drop([key])        # what it holds is no longer that file
            raise
        try:
            yield entry.opened
        finally:
            self._leave(entry)

    def adopt(self, key: FileKey, opened: Opened) -> None:
        """Keeps a file that a caller opened (read_many's first pass) for
        the readers after it; closes it if the cache holds that file already."""
        with self._lock:
            if key in self._entries:
                extra: Opened | None = opened
            else:
                extra = None
                self._entries[key] = _Entry(opened)
            closing = self._evicted()
        if extra is not None:
            extra.close()
        _close(closing)

    def drop(self, keys: Iterable[FileKey]) -> None:
        """Closes the files of keys (a Dataset closed, a read_many done); one
        that a read holds is closed when that read ends."""
        closing = []
        with self._lock:
            for key in keys:
                entry = self._entries.pop(key, None)
                if entry is None:
                    continue
                entry.dropped = True
                if entry.readers == 0:
                    closing.append(entry.opened)
        _close(closing)

    def clear(self) -> None:
        """Closes every file no read holds, and lets go of the others."""
        with self._lock:
            keys = list(self._entries)
        self.drop(keys)

    def __len__(self) -> int:
        return len(self._entries)

    def _enter(self, key: FileKey) -> _Entry:
        with self._lock:
            entry = self._entries.get(key)
            if entry is not None:
                self._entries.move_to_end(key)
                entry.readers += 1
                return entry
        opened = key.open()         # outside the lock: a remote open waits on the network
        closing: list[Opened] = []
        with self._lock:
            self.opens += 1
            entry = self._entries.get(key)
            if entry is None:
                entry = self._entries[key] = _Entry(opened)
            else:                   # another thread opened it meanwhile: one is enough
                closing.append(opened)
                self._entries.move_to_end(key)
            entry.readers += 1
            closing += self._evicted()
        _close(closing)
        return entry

    def _leave(self, entry: _Entry) -> None:
        with self._lock:
            entry.readers -= 1
            closing = [entry.opened] if entry.dropped and entry.readers == 0 else []
            closing += self._evicted()
        _close(closing)

    def _evicted(self) -> list[Opened]:
        """Takes out the least recently used files that no read holds while
        more than maxsize are kept; the caller closes them (lock held)."""
        excess = len(self._entries) - self.maxsize
        if excess <= 0:
            return []
        idle = []                   # oldest first, as many as are too many
        for key, entry in self._entries.items():
            if entry.readers == 0:
                idle.append(key)
                if len(idle) == excess:
                    break
        out = []
        for key in idle:
            entry = self._entries.pop(key)
            entry.dropped = True
            out.append(entry.opened)
        return out

    def _forget_after_fork(self) -> None:
        self._lock = threading.Lock()
        self._entries = OrderedDict()


class Keeping:
    """The files that one owner (a Dataset and the arrays taken from it)
    keeps in the cache: dropped when it is closed, and again when it is
    collected (a read after the close opened them again), as a file object is."""

    def __init__(self, keys: list[FileKey], cache: OpenFiles | None = None) -> None:
        self.keys = keys
        self._cache = cache             # None: the process's (a pickled copy drops there)
        # armed until collected: a read after close() opens the file again,
        # and the arrays that hold this let go of it when they go
        weakref.finalize(self, (cache or OPEN_FILES).drop, keys)

    def close(self) -> None:
        (self._cache or OPEN_FILES).drop(self.keys)


def _check(opened: Opened, location: Location) -> None:
    """Raises FormatError unless opened is still the file of location: the
    open file as it is now (rewritten in place keeps its inode) and, for a
    local one, the file its path names now (another put in its place: a
    reopen by path, as every task once did, would find that one)."""
    opened._check_unchanged(location.identity, location.machine)
    if opened._fetched is None and isinstance(location.source, (str, bytes)):
        st = os.stat(location.source)
        check_unchanged(os.fsdecode(location.source), cast(FileIdentity, location.identity),
                        (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns), location.machine)


def _close(files: list[Opened]) -> None:
    for opened in files:
        opened.close()


OPEN_FILES = OpenFiles()
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=OPEN_FILES._forget_after_fork)
