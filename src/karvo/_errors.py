"""The errors and warning that karvo raises for content it can't read."""
from __future__ import annotations

from typing import Any

__all__ = ["FormatError", "TruncatedError", "TruncatedWarning"]


class FormatError(ValueError):
    """The content is not a spectral data file that karvo can read.

    The message names the file and the reason, with sizes and offsets where
    they help; ``path`` holds the file's path.

    Example::

        >>> import karvo
        >>> try:
        ...     karvo.open("notes.txt")
        ... except karvo.FormatError as e:
        ...     print(e)                                      # doctest: +SKIP
        notes.txt: file type 25973 (offset 288) is neither a single spectrum (1) nor a series (11) (the content looks like text)
    """

    def __init__(self, message: str, path: str | None = None) -> None:
        super().__init__(message)
        self.path = path

    def __reduce__(self) -> tuple[Any, ...]:
        # Keeps the path (and counts) when the error crosses to another process.
        return (type(self), (self.args[0], *self._extra()))

    def _extra(self) -> tuple[Any, ...]:
        return (self.path,)


class TruncatedError(FormatError, EOFError):
    """The file holds fewer spectra or values than its headers say.

    ``expected`` and ``found`` hold the two counts when they are known.

    Example::

        >>> try:
        ...     s = karvo.open("run42_cut.kvr", truncated="raise")
        ... except karvo.TruncatedError as e:
        ...     print(e.expected, e.found)                    # doctest: +SKIP
        100 57
    """

    def __init__(self, message: str, path: str | None = None, expected: int | None = None,
                 found: int | None = None) -> None:
        super().__init__(message, path)
        self.expected = expected
        self.found = found

    def _extra(self) -> tuple[Any, ...]:
        return (self.path, self.expected, self.found)


class TruncatedWarning(UserWarning):
    """A series stops early: it holds fewer spectra than its header promises.

    Issued by ``karvo.open(path)`` (``truncated="warn"``, the default); the
    series then holds the complete spectra that the file has.

    Example::

        >>> import warnings
        >>> with warnings.catch_warnings():
        ...     warnings.simplefilter("error", karvo.TruncatedWarning)
        ...     karvo.open("run42_cut.kvr")                   # doctest: +SKIP
        Traceback (most recent call last):
        karvo.TruncatedWarning: run42_cut.kvr: the series header promises 100 spectra, the file holds 57 ...
    """

    def __init__(self, message: str, path: str | None = None, expected: int | None = None,
                 found: int | None = None) -> None:
        super().__init__(message)
        self.path = path
        self.expected = expected
        self.found = found

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.args[0], self.path, self.expected, self.found))
