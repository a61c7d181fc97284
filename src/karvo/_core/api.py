"""karvo.open and karvo.read: by content, a Spectrum or a Series."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from .. import _native
from .opened import Source, TruncatedPolicy, open_native
from .series import Series
from .spectrum import F4, F8, Spectrum

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from .._storage.sources import Prefetched

__all__ = ["open", "read"]

_frombuffer = np.frombuffer


def _kind(native: _native.File) -> type[Series] | type[Spectrum]:
    """The class for an opened file, by its content."""
    return Series if native.values is None else Spectrum


def open(path: Source, truncated: TruncatedPolicy = "warn", *,
         storage_options: dict[str, Any] | None = None) -> Series | Spectrum:
    """Opens a spectral data file by its content: a :class:`Spectrum` for a
    single-spectrum file, a :class:`Series` for a series file.

    ``path`` is a local path; or a URL of any fsspec protocol (``s3://``,
    ``gs://``, ``https://``, ``memory://``, ...; needs
    ``pip install fsspec aiohttp s3fs``), with ``storage_options`` handed
    to its file system; or a binary file object that can ``read`` and
    ``seek``. Everything is read by byte ranges: a URL fetches only what is
    read, in a few large requests. A missing object is
    ``FileNotFoundError``.

    The structure is checked before it returns: content that isn't a
    spectral data file karvo can read raises :class:`karvo.FormatError`
    naming the file and the reason. ``truncated`` says what a series that
    holds fewer spectra than its header promises does: ``"warn"`` (a
    :class:`karvo.TruncatedWarning`; the series holds the complete spectra),
    ``"raise"`` (:class:`karvo.TruncatedError`) or ``"ignore"``. A single
    spectrum with fewer values than its header says always raises
    :class:`karvo.TruncatedError`. File system errors are the usual
    ``OSError`` subclasses.

    Example::

        >>> import karvo
        >>> with karvo.open("run42.kvr") as s:                    # doctest: +SKIP
        ...     Y = s[100:200]
    """
    native, p, fetched = open_native(path, truncated, storage_options)
    return _kind(native)._from_native(native, p, truncated, stacklevel=3, fetched=fetched)


def open_to_read(path: Source, truncated: TruncatedPolicy, storage_options: dict[str, Any] | None,
                 prefetched: Prefetched | None = None) -> Series | Spectrum:
    """open, for a look at a file that reads it right after (read_many's
    first pass): a URL's first MiB, a small object whole, fetched at once
    and kept, so that its table and values cost no request more."""
    native, p, fetched = open_native(path, truncated, storage_options, keep_head=True, prefetched=prefetched)
    return _kind(native)._from_native(native, p, truncated, stacklevel=3, fetched=fetched)


def read(path: Source, truncated: TruncatedPolicy = "warn", *,
         storage_options: dict[str, Any] | None = None) -> tuple[NDArray[np.float64], NDArray[Any]]:
    """Reads a whole file: ``(x, y)`` for a single spectrum (both 1-D),
    ``(x, Y)`` for a series (``Y`` of shape (spectra, points)).

    ``x`` is the spectral axis (float64); the values keep the stored type
    (float32, or float64 for some series). ``path``, ``truncated`` and
    ``storage_options`` are as for :func:`karvo.open`.

    Example::

        >>> x, y = karvo.read("polystyrene.kvr")                  # doctest: +SKIP
        >>> x, Y = karvo.read("run42.kvr")                        # doctest: +SKIP
    """
    native, p, fetched = open_native(path, truncated, storage_options, keep_head=True)    # read whole right after
    values = native.values
    if values is not None:
        return _frombuffer(native.x(), F8), _frombuffer(values, F4)
    with Series._from_native(native, p, truncated, stacklevel=3, fetched=fetched) as s:
        return s.x, s.read()
