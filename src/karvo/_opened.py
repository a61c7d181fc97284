"""What a Series and a Spectrum share as opened files: the open by path and
the choice of kind, context management, the file header, and what travels
when they are pickled."""
from __future__ import annotations

import os
from functools import cached_property
from typing import TYPE_CHECKING, Any, ClassVar, Literal, Union

from . import _native
from ._errors import FormatError
from ._identity import FileIdentity, check_unchanged, this_machine

if TYPE_CHECKING:
    from types import TracebackType

    from typing_extensions import Self

__all__ = ["OpenedFile", "PathLike", "TruncatedPolicy", "absolute", "check_policy", "open_native"]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
TruncatedPolicy = Literal["warn", "raise", "ignore"]
_POLICIES = ("warn", "raise", "ignore")


def check_policy(truncated: str) -> None:
    if truncated not in _POLICIES:
        raise ValueError(f"truncated must be one of 'warn', 'raise', 'ignore', not {truncated!r}")


def open_native(path: PathLike, truncated: str) -> tuple[_native.File, str | bytes]:
    """The checked native file at path, and the path as given (os.fspath of it)."""
    check_policy(truncated)
    p = os.fspath(path)  # once: a second __fspath__ call may name another file
    return _native.open(p), p


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
    # Whether this kind is the single spectrum; karvo.open picks the kind by content.
    _single: ClassVar[bool]
    path: Any  # str or bytes, as given

    def _open(self, path: PathLike, truncated: str, stacklevel: int,
              identity: tuple[int, int, int, int] | None = None, machine: str | None = None) -> None:
        """Opens the file at path as this kind; with identity (taken on
        machine), only that file."""
        native, p = open_native(path, truncated)
        try:
            if identity is not None:
                check_unchanged(native.path, identity, native.identity, machine)
            if (native.values is not None) != self._single:
                kind = "a series file, not a single spectrum" if self._single else \
                    "a single-spectrum file, not a series"
                raise FormatError(f"{native.path}: {kind} (use karvo.open)", native.path)
        except BaseException:
            native.close()
            raise
        self._setup(native, p, truncated, stacklevel + 1)

    @classmethod
    def _from_native(cls, native: _native.File, path: str | bytes, truncated: str, stacklevel: int) -> Self:
        self = cls.__new__(cls)
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
        # Taken now: a relative path means this working folder, and a copy
        # unpickled elsewhere must open this very file.
        self._absolute = absolute(path)
        self._identity: tuple[int, int, int, int] = native.identity

    @property
    def identity(self) -> FileIdentity:
        """The file as it was opened: ``(device, inode, size, mtime_ns)``, as
        ``os.stat`` gives them. A copy unpickled elsewhere refuses a file
        with another identity (:class:`karvo.FormatError`).

        Example::

            >>> karvo.open("run42.kvr").identity.size          # doctest: +SKIP
            1320456
        """
        return FileIdentity(*self._identity)

    def _check_unchanged(self, identity: tuple[int, int, int, int], machine: str | None) -> None:
        """Raises FormatError unless this is the file of that identity (taken
        on machine), as opened and still now (a file rewritten in place keeps
        its inode)."""
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
        # The absolute path, the options and the identity: unpickling opens
        # the same file again, or refuses one that is not it.
        return (_unpickle, (type(self), self._absolute, self._truncated_policy, self._identity, this_machine()))

    @cached_property
    def file_header(self) -> dict[str, Any]:
        """The file header's fields by their record names (``sti_id_string``,
        ``file_id``, ``file_type``, ``version``, ``num_sections``, ...).

        Example::

            >>> karvo.open("run42.kvr").file_header["file_type"]  # doctest: +SKIP
            11
        """
        return self._file.record("file_header")  # type: ignore[no-any-return]


def _unpickle(cls: type[OpenedFile], path: str | bytes, truncated: str,
              identity: tuple[int, int, int, int], machine: str | None = None) -> OpenedFile:
    """Where a pickled Series or Spectrum is unpickled: the same file again."""
    self = cls.__new__(cls)
    self._open(path, truncated, stacklevel=2, identity=identity, machine=machine)
    return self
