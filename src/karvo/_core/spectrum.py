"""A single-spectrum file: one spectrum, read whole when opened."""
from __future__ import annotations

from .cached import cached_property
from typing import TYPE_CHECKING, Any

import numpy as np

from .opened import OpenedFile, PathLike

if TYPE_CHECKING:
    import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import xarray as xr

    from numpy.typing import DTypeLike, NDArray

__all__ = ["Spectrum"]

F4 = np.dtype("<f4")
F8 = np.dtype("<f8")


class Spectrum(OpenedFile):
    """The one spectrum of a single-spectrum file.

    ``karvo.open(path)`` returns one for a single-spectrum file;
    ``Spectrum(path)`` opens one directly. The values are read when the
    file opens, and the file is closed again at once.

    Example::

        >>> import karvo
        >>> sp = karvo.open("polystyrene.kvr")                    # doctest: +SKIP
        >>> sp
        <karvo.Spectrum 'polystyrene': 3300 points, x 4000 to 700, float32>
        >>> sp.x.shape == sp.y.shape
        True

    A spectrum pickles as its absolute path and the file's identity, and
    reads its file again when unpickled; a file that has changed since
    raises :class:`karvo.FormatError` there.

    Attributes:
        path: the path as given (``os.fspath`` of it); a copy unpickled
            elsewhere holds the absolute path it opened. Of a URL, its
            display name: without user info, query string and fragment
            (the URL as given opens it again, but is shown nowhere).
        identity: the file as opened, ``(device, inode, size, mtime_ns)``.
        x: the spectral axis, float64, ``np.linspace(first_x, last_x, num_points)``.
        y: the values, float32.
        shape: ``(points,)``; ``ndim`` is 1, ``dtype`` float32.
    """

    ndim = 1
    _single = True

    def __init__(self, path: PathLike | Any, *, storage_options: dict[str, Any] | None = None) -> None:
        """Opens the single-spectrum file that ``path`` names and reads its
        values: a path, a URL (with ``storage_options``) or a binary file
        object, as for :func:`karvo.open`.

        Example::

            >>> sp = karvo.Spectrum("polystyrene.kvr")            # doctest: +SKIP
        """
        self._open(path, "warn", stacklevel=3, storage_options=storage_options)

    def _setup(self, native: Any, path: Any, truncated: str, stacklevel: int) -> None:
        self._adopt(native, path, truncated)
        self._closed = False
        # Read-only: both are handed to every caller, so one caller writing
        # into them would change what the next one reads.
        self.y: NDArray[np.float32] = np.frombuffer(native.values, F4)
        """The values, float32 (read-only; ``np.array(sp)`` gives a copy of your own)."""
        self.y.flags.writeable = False
        self.x: NDArray[np.float64] = np.frombuffer(native.x(), F8)
        """The spectral axis, float64, ``np.linspace(first_x, last_x, num_points)`` (read-only)."""
        self.x.flags.writeable = False

    dtype = F4
    """float32: single-spectrum files store their values so."""

    @cached_property
    def title(self) -> str:
        """The file header's ``file_id`` text.

        Example::

            >>> sp.title                                           # doctest: +SKIP
            'polystyrene'
        """
        return self._file.info["title"]  # type: ignore[no-any-return]

    @cached_property
    def header(self) -> dict[str, Any]:
        """The main spectral header's fields by their record names.

        Example::

            >>> sp.header["num_points"], sp.header["first_x"]     # doctest: +SKIP
            (3300, 4000.0)
        """
        return self._file.record("main_header")  # type: ignore[no-any-return]

    @property
    def shape(self) -> tuple[int]:
        """(points,).

        Example::

            >>> sp.shape                                           # doctest: +SKIP
            (3300,)
        """
        return (len(self.y),)

    @property
    def size(self) -> int:
        """Number of points.

        Example::

            >>> sp.size                                            # doctest: +SKIP
            3300
        """
        return len(self.y)

    @property
    def nbytes(self) -> int:
        """Bytes of the values.

        Example::

            >>> sp.nbytes                                          # doctest: +SKIP
            13200
        """
        return self.y.nbytes

    def __len__(self) -> int:
        """Number of points.

        Example::

            >>> len(sp) == len(sp.y)                              # doctest: +SKIP
            True
        """
        return len(self.y)

    def __array__(self, dtype: DTypeLike | None = None, copy: bool | None = None) -> NDArray[Any]:
        """The values, for ``np.asarray(sp)``.

        Example::

            >>> np.asarray(sp).dtype                              # doctest: +SKIP
            dtype('float32')
        """
        if copy is False:
            # No copy asked: the shared values themselves, read-only.
            if dtype is None or np.dtype(dtype) == self.y.dtype:
                return self.y
            raise ValueError(f"the values are float32: a {np.dtype(dtype)} array needs a copy")
        return np.array(self.y, dtype=dtype, copy=True)

    def to_xarray(self) -> xr.Dataset:
        """An xarray Dataset of the values (``spectrum``), the axis and the headers, loaded.

        Needs ``pip install "karvoreader[xarray]"``. Example::

            >>> ds = sp.to_xarray()                                # doctest: +SKIP
        """
        from .._xarray.engine import to_xarray
        return to_xarray(self)

    def to_pandas(self) -> pd.Series:
        """The values as a pandas Series indexed by the spectral axis ``x``,
        named by the title. Needs ``pip install "karvoreader[pandas]"``.

        Example::

            >>> sp.to_pandas().idxmax()                            # doctest: +SKIP
            1601.2
        """
        from .._views.pandas import spectrum_series
        return spectrum_series(self)

    def _repr_html_(self) -> str:
        """A summary for notebooks, with an outline of the values."""
        from .._views.html import spectrum_html
        return spectrum_html(self)

    def close(self) -> None:
        """Marks the spectrum closed (its file was closed when it was read).

        Example::

            >>> sp.close(); sp.closed                              # doctest: +SKIP
            True
        """
        self._closed = True

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has run.

        Example::

            >>> with karvo.open("polystyrene.kvr") as sp: pass    # doctest: +SKIP
            >>> sp.closed
            True
        """
        return self._closed

    def __repr__(self) -> str:
        n = len(self.y)
        x = f", x {self.x[0]:g} to {self.x[-1]:g}" if n else ""
        return f"<karvo.Spectrum {self.title!r}: {n} points{x}, float32>"
