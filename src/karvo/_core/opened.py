"""What a Series and a Spectrum share as opened files: the open by path, URL
or file object and the choice of kind, context management, the file header,
and what travels when they are pickled."""
from __future__ import annotations

import os
from .cached import cached_property
from typing import TYPE_CHECKING, Any, ClassVar, Literal, Tuple, Union, cast

from .. import _native
from .._storage.conditional import ObjectChanged
from .._storage.costs import FILE_OBJECT
from .._errors import FormatError
from .._storage.identity import FileIdentity, check_unchanged, this_machine
from .._storage.location import Location
from .._storage.sources import (ObjectIdentity, Prefetched, Remote, check_same_object, fetcher_for, is_file_object,
                                local_path)

if TYPE_CHECKING:
    from types import TracebackType

    from typing_extensions import Self

__all__ = ["OpenedFile", "PathLike", "TruncatedPolicy", "absolute", "check_policy", "open_native"]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# A path, a URL of an fsspec protocol, or a binary file object (read and seek).
Source = Union[PathLike, Any]
LocalIdentity = Tuple[int, int, int, int]  # a local file's native.identity is never None
TruncatedPolicy = Literal["warn", "raise", "ignore"]
_POLICIES = ("warn", "raise", "ignore")


def check_policy(truncated: str) -> None:
    if truncated not in _POLICIES:
        raise ValueError(f"truncated must be one of 'warn', 'raise', 'ignore', not {truncated!r}")


class Fetched:
    """Where the bytes of a file opened by URL or file object come from."""

    def __init__(self, source: Any, remote: Remote | None) -> None:
        self.source = source  # the URL as given, or the file object
        self.remote = remote  # None for a file object


# A URL's first bytes, fetched with its size in one request where the
# protocol allows: what an open reads first (its headers, and a small
# object whole), or with keep_head what a look that reads the values right
# after keeps (a series of 50 spectra of 4,096 points whole). A request
# costs a round trip; a megabyte more of it costs less on most links.
FIRST_BYTES = 256 << 10
KEPT_HEAD = 1 << 20


def open_native(source: Source, truncated: str, storage_options: dict[str, Any] | None = None,
                keep_head: bool = False, prefetched: Prefetched | None = None) -> tuple[_native.File, Any, Fetched | None]:
    """The checked native file that source names; the path as given (os.fspath
    of it), or the URL's display name, or the file object's name; and,
    unless local, where its bytes come from. With keep_head, a URL's first
    MiB (a small object whole) is fetched at once and kept for the reads
    after: for a look that reads the file right after, as read_many's.
    prefetched: a URL's first read, made already (sources.prefetch)."""
    check_policy(truncated)
    if type(source) is str and "://" not in source:  # a plain local path: the common case, kept short
        return _native.open(source), source, None
    if not is_file_object(source):
        p = local_path(source)
        if p is not None:
            return _native.open(p), p, None
    keep = keep_head and not is_file_object(source)
    head_bytes = KEPT_HEAD if keep else FIRST_BYTES
    fetch, size, name, remote = fetcher_for(source, storage_options, head_bytes, prefetched)
    try:
        native = _native.open_fetching(fetch, size, name, keep, remote.take_head() if remote else None,
                                       remote.costs if remote else FILE_OBJECT)
    except ObjectChanged:
        if remote is None:  # pragma: no cover - a file object's fetch never says so
            raise
        # Refused at open: what the file system said of the object was older
        # than the object (a listing it kept). Once more, as the store has it now.
        remote.forget()
        fetch, size, name, remote = fetcher_for(source, storage_options, head_bytes)
        native = _native.open_fetching(fetch, size, name, keep, remote.take_head() if remote else None,
                                       remote.costs if remote else FILE_OBJECT)
    return native, name, Fetched(source, remote)


def absolute(path: str | bytes) -> str | bytes:
    """path joined to the working folder, without normalising: "link/.."
    stays what the file system makes of it."""
    if os.path.isabs(path):
        return path
    if isinstance(path, bytes):
        return os.path.join(os.getcwdb(), path)
    return os.path.join(os.getcwd(), path)


class OpenedFile:
    """An opened spectral data file of one kind (a series, or a single spectrum)."""

    _file: Any
    _truncated_policy: str = "warn"
    # Where the bytes come from when not from a local file (set only then).
    _fetched: Fetched | None = None
    # (device, inode, size, mtime_ns) of a local file, ObjectIdentity of an
    # object by URL, None for a file object.
    _identity: Any
    # Whether this kind is the single spectrum; karvo.open picks the kind by content.
    _single: ClassVar[bool]
    path: Any  # str or bytes, as given; a URL's display name

    def _open(self, source: Source, truncated: str, stacklevel: int,
              identity: Any = None, machine: str | None = None,
              storage_options: dict[str, Any] | None = None) -> None:
        """Opens the file that source names as this kind; with identity
        (taken on machine), only that file."""
        native, p, fetched = open_native(source, truncated, storage_options)
        try:
            if identity is not None:
                if fetched is None:
                    check_unchanged(native.path, identity, cast(LocalIdentity, native.identity), machine)
                elif fetched.remote is not None:
                    check_same_object(native.path, identity, fetched.remote.identity)
            if (native.values is not None) != self._single:
                kind = "a series file, not a single spectrum" if self._single else \
                    "a single-spectrum file, not a series"
                raise FormatError(f"{native.path}: {kind} (use karvo.open)", native.path)
        except BaseException:
            native.close()
            raise
        if fetched is not None:
            self._fetched = fetched
        self._setup(native, p, truncated, stacklevel + 1)

    @classmethod
    def _at(cls, location: Location, truncated: str, stacklevel: int) -> Self:
        """The file at location opened again as this kind: only the very
        file it was opened as (FormatError naming what changed otherwise)."""
        self = cls.__new__(cls)
        self._open(location.source, truncated, stacklevel + 1, identity=location.identity,
                   machine=location.machine, storage_options=location.storage_options)
        return self

    @classmethod
    def _from_native(cls, native: _native.File, path: Any, truncated: str, stacklevel: int,
                     fetched: Fetched | None = None) -> Self:
        self = cls.__new__(cls)
        if fetched is not None:
            self._fetched = fetched
        self._setup(native, path, truncated, stacklevel + 1)
        return self

    def _setup(self, native: _native.File, path: str | bytes, truncated: str,
               stacklevel: int) -> None:  # pragma: no cover - every subclass has its own
        raise NotImplementedError

    def _adopt(self, native: _native.File, path: str | bytes, truncated: str) -> None:
        """Takes native as this object's file, opened by path."""
        self._file = native
        self._truncated_policy = truncated
        self.path = path
        fetched = self._fetched
        if fetched is not None:
            remote = fetched.remote
            self._absolute = None
            self._identity = None if remote is None else remote.identity
            return
        # Taken now: a relative path means this working folder, and a copy
        # unpickled elsewhere must open this very file.
        self._absolute = absolute(path)
        self._identity = native.identity

    @cached_property
    def _location(self) -> Location:
        # Made when first asked (a pickle, a cache key): an open stays as
        # cheap as the native open.
        fetched = self._fetched
        if fetched is not None:
            remote = fetched.remote
            return Location(fetched.source, None, None) if remote is None else \
                Location(remote.url, remote.storage_options, remote.identity)
        identity = self._identity
        return Location(self._absolute, None, None if identity is None else FileIdentity(*identity),
                        this_machine())

    @property
    def identity(self) -> FileIdentity | ObjectIdentity | None:
        """The file as it was opened: ``(device, inode, size, mtime_ns)``, as
        ``os.stat`` gives them; for an object opened by URL, ``(size, etag,
        mtime)`` as its store tells them; None for a file object. A copy
        unpickled elsewhere refuses a file with another identity
        (:class:`karvo.FormatError`).

        Example::

            >>> karvo.open("run42.kvr").identity.size          # doctest: +SKIP
            1320456
        """
        if self._identity is None or isinstance(self._identity, ObjectIdentity):
            return self._identity
        return FileIdentity(*self._identity)

    def _check_unchanged(self, identity: Any, machine: str | None) -> None:
        """Raises FormatError unless this is the file of that identity (taken
        on machine), as opened and still now (a file rewritten in place keeps
        its inode)."""
        fetched = self._fetched
        if fetched is not None:
            if fetched.remote is not None:
                check_same_object(self._file.path, identity, self._identity)
            return
        check_unchanged(self._file.path, identity, self._identity, machine)
        check_unchanged(self._file.path, identity, self._file.current_identity(), machine)

    def close(self) -> None:  # pragma: no cover - every subclass has its own
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def __reduce__(self) -> tuple[Any, ...]:
        if self._location.is_file_object:
            raise TypeError(f"a karvo.{type(self).__name__} read from a file object can't be pickled "
                            f"(open it by path or URL to hand it to other processes)")
        # The absolute path or the URL as given (user info and query too:
        # they may be what opens it), the storage options and the identity:
        # unpickling opens the same file again, or refuses one that is not it.
        return (_unpickle_at, (type(self), self._location, self._truncated_policy))

    @cached_property
    def file_header(self) -> dict[str, Any]:
        """The file header's fields by their record names (``sti_id_string``,
        ``file_id``, ``file_type``, ``version``, ``num_sections``, ...).

        Example::

            >>> karvo.open("run42.kvr").file_header["file_type"]  # doctest: +SKIP
            11
        """
        return self._file.record("file_header")  # type: ignore[no-any-return]


def _unpickle_at(cls: type[OpenedFile], location: Location, truncated: str) -> OpenedFile:
    """Where a pickled Series or Spectrum is unpickled: the same file again."""
    return cls._at(location, truncated, stacklevel=2)


# Pickles of earlier releases call these two, by these names and arguments.
def _unpickle(cls: type[OpenedFile], path: str | bytes, truncated: str,
              identity: tuple[int, int, int, int], machine: str | None = None) -> OpenedFile:
    """Where a pickled Series or Spectrum of a local file is unpickled: the same file again."""
    return cls._at(Location(path, None, FileIdentity(*identity), machine), truncated, stacklevel=2)


def _unpickle_remote(cls: type[OpenedFile], url: str, storage_options: dict[str, Any], truncated: str,
                     identity: ObjectIdentity) -> OpenedFile:
    """Where a pickled Series or Spectrum opened by URL is unpickled: the same object again."""
    return cls._at(Location(url, storage_options, ObjectIdentity(*identity)), truncated, stacklevel=2)
