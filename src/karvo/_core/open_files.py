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
from collections import OrderedDict
from collections.abc import Iterable, Iterator, Mapping
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Union

if TYPE_CHECKING:
    from .series import Series
    from .spectrum import Spectrum

__all__ = ["MAX_OPEN", "OPEN_FILES", "FileKey", "OpenFiles", "file_key"]

# What the cache keeps open at most when no read holds more: the same bound
# as xarray's own file cache.
MAX_OPEN = 128

Opened = Union["Series", "Spectrum"]


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


class FileKey:
    """Which open file a reader wants: the kind, where it lives and the
    identity it was opened with (taken on ``machine``)."""

    __slots__ = ("kind", "where", "options", "identity", "machine", "_key")

    def __init__(self, kind: type[Opened], where: Any, options: Mapping[str, Any] | None,
                 identity: Any, machine: str | None) -> None:
        self.kind = kind
        self.where = where
        self.options = None if options is None else dict(options)
        self.identity = identity
        self.machine = machine
        self._key = (kind.__name__, where, _options_key(options), _hashable(identity))

    def __eq__(self, other: object) -> bool:
        return isinstance(other, FileKey) and other._key == self._key

    def __hash__(self) -> int:
        return hash(self._key)

    def open(self) -> Opened:
        """The file opened anew as its kind: only the very file of the
        identity (karvo.FormatError otherwise)."""
        opened = self.kind.__new__(self.kind)
        opened._open(self.where, "ignore", stacklevel=2, identity=self.identity, machine=self.machine,
                     storage_options=self.options)
        return opened


def _hashable(identity: Any) -> Any:
    return tuple(identity) if isinstance(identity, (list, tuple)) else identity


def file_key(opened: Opened, where: Any, options: Mapping[str, Any] | None) -> FileKey:
    """The key of a file open now, ``where`` being what opens it again
    (an absolute path or a URL)."""
    machine = None
    if opened._fetched is None:
        from .._storage.identity import this_machine
        machine = this_machine()
    return FileKey(type(opened), where, options, opened._identity, machine)


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
        entry = self._enter(key)
        try:
            entry.opened._check_unchanged(key.identity, key.machine)
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
        out = []
        if len(self._entries) > self.maxsize:
            for key in list(self._entries):
                if len(self._entries) <= self.maxsize:
                    break
                entry = self._entries[key]
                if entry.readers == 0:
                    del self._entries[key]
                    entry.dropped = True
                    out.append(entry.opened)
        return out

    def _forget_after_fork(self) -> None:
        self._lock = threading.Lock()
        self._entries = OrderedDict()


def _close(files: list[Opened]) -> None:
    for opened in files:
        opened.close()


OPEN_FILES = OpenFiles()
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=OPEN_FILES._forget_after_fork)
