"""A single-spectrum file: one spectrum, read whole when opened."""
from __future__ import annotations

from functools import cached_property
import os
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _native
from ._opened import OpenedFile
from ._errors import FormatError
from ._series import PathLike

if TYPE_CHECKING:
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

    Attributes:
        path: the path as given (``os.fspath`` of it).
        x: the spectral axis, float64, ``np.linspace(first_x, last_x, num_points)``.
        y: the values, float32.
        shape: ``(points,)``; ``ndim`` is 1, ``dtype`` float32.
    """

    ndim = 1

    def __init__(self, path: PathLike) -> None:
        """Opens the single-spectrum file at ``path`` and reads its values.

        Example::

            >>> sp = karvo.Spectrum("polystyrene.kvr")            # doctest: +SKIP
        """
        p = os.fspath(path)
        native = _native.open(p)
        if native.values is None:
            native.close()
            raise FormatError(f"{native.path}: a series file, not a single spectrum (use karvo.open)",
                              native.path)
        self._setup(native, p)

    @classmethod
    def _from_native(cls, native: Any, path: Any) -> Spectrum:
        self = cls.__new__(cls)
        self._setup(native, path)
        return self

    def _setup(self, native: Any, path: Any) -> None:
        self._file = native
        self._closed = False
        self.path = path
        """The path as given (``os.fspath`` of it)."""
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
        from .xarray_backend import to_xarray
        return to_xarray(self)

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



    def __reduce__(self) -> tuple[Any, ...]:
        # Pickles as the path; unpickling reads the file again.
        return (type(self), (self.path,))

    def __repr__(self) -> str:
        n = len(self.y)
        x = f", x {self.x[0]:g} to {self.x[-1]:g}" if n else ""
        return f"<karvo.Spectrum {self.title!r}: {n} points{x}, float32>"
