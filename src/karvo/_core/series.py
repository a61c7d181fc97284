"""A series file: a stack of spectra read as numpy arrays."""
from __future__ import annotations

import operator
import warnings
from .cached import cached_property
from typing import TYPE_CHECKING, Any, Iterator, Union

import numpy as np

from .. import _native
from .opened import OpenedFile, PathLike, TruncatedPolicy
from .._errors import TruncatedError, TruncatedWarning

if TYPE_CHECKING:
    import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import xarray as xr

    from numpy.typing import DTypeLike, NDArray

    Index = Union[int, slice, "list[int]", "NDArray[np.integer[Any]]", "NDArray[np.bool_]",
                  "tuple[Any, Any]"]

__all__ = ["PathLike", "Series", "TruncatedPolicy"]

_F8 = np.dtype("<f8")
# Rows per block when a series is walked spectrum by spectrum.
_ITER_BLOCK = 1024


def _is_index_array(key: Any) -> bool:
    """A list, or an array of at least one dimension: numpy's advanced index."""
    return isinstance(key, list) or isinstance(key, np.ndarray) and key.ndim > 0


def _read_only(a: NDArray[Any]) -> NDArray[Any]:
    """a, made read-only: it is cached and handed to every caller, so one
    caller writing into it would change what the next one reads."""
    a.flags.writeable = False
    return a


class Series(OpenedFile):
    """The spectra of a series file, read from the file on demand.

    ``karvo.open(path)`` returns one for a series file; ``Series(path)``
    opens one directly. Rows are spectra, columns the points of the
    spectral axis ``x``. Indexing reads only what it needs: ``s[7]`` is
    one spectrum (1-D), ``s[100:200]``, ``s[::10]`` and ``s[[3, 1, 4]]``
    are 2-D, ``np.asarray(s)`` is everything.

    Reads go to the file by position, so any number of threads may read one
    series at once; large reads let other threads run meanwhile. A series
    pickles as its absolute path, its options and the file's identity, and
    opens its file again when unpickled, so it can be handed to other
    processes; a file that has changed since (replaced, rewritten, grown)
    raises :class:`karvo.FormatError` there.

    Example::

        >>> import karvo, numpy as np
        >>> with karvo.open("run42.kvr") as s:                    # doctest: +SKIP
        ...     print(s)
        ...     first, last = s[0], s[-1]
        ...     every_tenth = s[::10]
        ...     temperatures = s.meta["temp"]
        <karvo.Series 'run42': 100 spectra x 3300 points, x 4000 to 700, float32>

    Attributes:
        path: the path as given (``os.fspath`` of it); a copy unpickled
            elsewhere holds the absolute path it opened. Of a URL, its
            display name: without user info, query string and fragment
            (the URL as given opens it again, but is shown nowhere).
        identity: the file as opened, ``(device, inode, size, mtime_ns)``.
        title: the file header's ``file_id`` text.
        shape: ``(len(s), points)``; ``ndim`` is 2, ``size`` and ``nbytes``
            follow from it.
        dtype: float32 or float64, as stored; ``element_size`` is 4 or 8.
        expected_spectra: how many spectra the series header promises
            (``max_spectra``); ``len(s)`` is smaller when the file was cut.
        truncated: ``len(s) < expected_spectra``.
    """

    ndim = 2
    _single = False

    def __init__(self, path: PathLike | Any, truncated: TruncatedPolicy = "warn", *,
                 storage_options: dict[str, Any] | None = None) -> None:
        """Opens the series file that ``path`` names and checks its structure:
        a path, a URL (with ``storage_options``) or a binary file object, as
        for :func:`karvo.open`.

        ``truncated`` says what happens when the file holds fewer spectra
        than its series header promises: ``"warn"`` (a
        :class:`karvo.TruncatedWarning`, and the series holds the complete
        spectra), ``"raise"`` (:class:`karvo.TruncatedError`) or
        ``"ignore"``.

        Example::

            >>> s = karvo.Series("run42.kvr", truncated="raise")  # doctest: +SKIP
        """
        self._open(path, truncated, stacklevel=3, storage_options=storage_options)

    def _setup(self, native: Any, path: Any, truncated: str, stacklevel: int) -> None:
        try:
            self._describe(native, path, truncated, stacklevel + 1)
        except BaseException:
            native.close()  # at once: a traceback may keep it alive for long
            raise

    def _describe(self, native: Any, path: Any, truncated: str, stacklevel: int) -> None:
        info = native.info
        self._adopt(native, path, truncated)
        self.title: str = info["title"]
        """The file header's ``file_id`` text."""
        self.element_size: int = info["element_size"]
        """Bytes of each stored value: 4 (float32) or 8 (float64)."""
        self.dtype = np.dtype("<f4" if self.element_size == 4 else "<f8")
        """float32 or float64, as stored."""
        self.expected_spectra: int = info["expected"]
        """How many spectra the series header promises (``max_spectra``)."""
        self._len: int = info["held"]
        self._points: int = info["num_points"]
        self.shape: tuple[int, int] = (self._len, self._points)
        """(spectra, points)."""
        self.truncated: bool = self._len < self.expected_spectra
        """True when the file holds fewer spectra than its header promises."""
        self._mini_version: int | None = info["mini_version"]
        self._first_x: float = info["first_x"]
        self._last_x: float = info["last_x"]
        if self.truncated:
            message = (f"{native.path}: the series header promises {self.expected_spectra} spectra, "
                       f"the file holds {self._len}")
            if info["partial_bytes"]:
                message += (f" (it ends {info['partial_bytes']} bytes into spectrum {self._len}, "
                            f"of {info['stride']})")
            if truncated == "raise":
                raise TruncatedError(message, native.path, self.expected_spectra, self._len)
            if truncated == "warn":
                warnings.warn(TruncatedWarning(message, native.path, self.expected_spectra, self._len),
                              stacklevel=stacklevel)

    # -- sizes ---------------------------------------------------------------
    def __len__(self) -> int:
        """The number of spectra held (complete spectra when the file was cut).

        Example::

            >>> len(s), s.expected_spectra                       # doctest: +SKIP
            (100, 100)
        """
        return self._len

    @property
    def size(self) -> int:
        """Number of values: ``len(s) * points``.

        Example::

            >>> s.size == len(s) * len(s.x)                      # doctest: +SKIP
            True
        """
        return self._len * self._points

    @property
    def nbytes(self) -> int:
        """Bytes of ``np.asarray(s)``.

        Example::

            >>> s.nbytes == np.asarray(s).nbytes                  # doctest: +SKIP
            True
        """
        return self.size * self.element_size

    @cached_property
    def x(self) -> NDArray[np.float64]:
        """The spectral axis, float64, ``np.linspace(first_x, last_x, points)``.

        Example::

            >>> s.x[0], s.x[-1]                                   # doctest: +SKIP
            (4000.0, 700.0)
        """
        return _read_only(np.frombuffer(self._file.x(), _F8))

    # -- reading -------------------------------------------------------------
    def read(self, start: int = 0, stop: int | None = None, out: NDArray[Any] | None = None) -> NDArray[Any]:
        """Spectra ``[start, stop)`` as a 2-D array, into ``out`` when given.

        ``start`` and ``stop`` follow slice rules (negative counts from the
        end, clipped to the series). ``out`` must be a C-contiguous,
        writable array of ``s.dtype`` and shape ``(stop - start, points)``.

        Example::

            >>> buf = np.empty((100, len(s.x)), s.dtype)          # doctest: +SKIP
            >>> s.read(0, 100, out=buf) is buf                    # doctest: +SKIP
            True
        """
        a, b, _ = slice(start, stop).indices(self._len)
        b = max(a, b)
        shape = (b - a, self._points)
        if out is None:
            out = np.empty(shape, self.dtype)
        else:
            self._check_out(out, shape)
        self._file.read_rows(out, a, b)
        return out

    def _check_out(self, out: Any, shape: tuple[int, int]) -> None:
        if not isinstance(out, np.ndarray):
            raise TypeError(f"out must be a numpy array, not {type(out).__name__}")
        if out.dtype != self.dtype:
            raise TypeError(f"out has dtype {out.dtype}, the series holds {self.dtype}")
        if out.shape != shape:
            raise ValueError(f"out has shape {out.shape}, the spectra need {shape}")
        if not out.flags.c_contiguous or not out.flags.writeable:
            raise ValueError("out must be C-contiguous and writable")

    def __getitem__(self, key: Index) -> NDArray[Any]:
        """One spectrum for an int (1-D), several for a slice, a list or an
        array of ints or a boolean mask (2-D, in the order given);
        ``s[i, j]`` indexes the result's points as well.

        Example::

            >>> s[0].shape, s[10:20].shape, s[[3, 1, 4]].shape    # doctest: +SKIP
            ((3300,), (10, 3300), (3, 3300))
        """
        if type(key) is int:  # the common case first, kept short
            i = key + self._len if key < 0 else key
            if not 0 <= i < self._len:
                raise IndexError(f"spectrum {key} outside a series of {self._len}")
            out = np.empty(self._points, self.dtype)
            self._file.read_rows(out, i, i + 1)
            return out
        if isinstance(key, tuple):
            if len(key) == 1:  # s[(i,)] is s[i]
                return self[key[0]]
            if len(key) != 2:
                raise IndexError(f"a series takes 1 or 2 indices, not {len(key)}")
            rows = self[key[0]]
            if rows.ndim == 1:  # s[i, k] is s[i][k]
                return rows[key[1]]
            # The rows read stand for key[0] on their axis: as they are for a
            # slice, and as an index of each row for a list or mask, which
            # numpy pairs (broadcasts) with an index of the points.
            first: Any = np.arange(len(rows)) if _is_index_array(key[0]) else slice(None)
            picked: NDArray[Any] = rows[first, key[1]]
            return picked
        if isinstance(key, slice):
            a, b, step = key.indices(self._len)
            if step == 1:
                return self.read(a, b)
            return self._take(np.arange(a, b, step, dtype=np.int64))
        if _is_index_array(key):
            index = np.asarray(key)
            if index.dtype == np.bool_:
                if index.shape != (self._len,):
                    raise IndexError(f"boolean index of shape {index.shape} for a series of {self._len}")
                return self._take(np.flatnonzero(index).astype(np.int64))
            if index.size == 0:
                index = index.astype(np.int64)
            if index.ndim != 1 or not np.issubdtype(index.dtype, np.integer):
                raise IndexError("index a series with ints, slices, 1-D lists or arrays of ints, or a mask")
            if index.dtype.kind == "u" and index.size and index.max() >= self._len:
                raise IndexError(f"spectrum {index.max()} outside a series of {self._len}")
            index = index.astype(np.int64)
            bad = (index < -self._len) | (index >= self._len)
            if bad.any():
                raise IndexError(f"spectrum {index[bad][0]} outside a series of {self._len}")
            return self._take(np.where(index < 0, index + self._len, index))
        if isinstance(key, (bool, np.bool_)):
            # numpy reads a bool as a mask, not as spectrum 0 or 1.
            raise TypeError(f"series indices must be ints, slices or lists of ints, not {type(key).__name__}")
        scalar: Any = key  # numpy integers, 0-d int arrays and the like
        try:
            return self[operator.index(scalar)]
        except TypeError:
            raise TypeError(f"series indices must be ints, slices or lists of ints, not {type(key).__name__}") \
                from None

    def _take(self, index: NDArray[np.int64]) -> NDArray[Any]:
        out = np.empty((index.size, self._points), self.dtype)
        self._file.read_index(out, np.ascontiguousarray(index))
        return out

    def __iter__(self) -> Iterator[NDArray[Any]]:
        """Spectrum after spectrum, read in blocks.

        Example::

            >>> peaks = [row.max() for row in s]                  # doctest: +SKIP
        """
        for a in range(0, self._len, _ITER_BLOCK):
            yield from self.read(a, a + _ITER_BLOCK)

    def __array__(self, dtype: DTypeLike | None = None, copy: bool | None = None) -> NDArray[Any]:
        """All spectra, for ``np.asarray(s)``: a new 2-D array.

        Example::

            >>> Y = np.asarray(s)                                 # doctest: +SKIP
        """
        if copy is False:
            raise ValueError("a Series is read from its file: its array is always a new one")
        out = self.read()
        return out if dtype is None else out.astype(dtype, copy=False)

    # -- description ---------------------------------------------------------
    @cached_property
    def header(self) -> dict[str, Any]:
        """The series header's fields by their record names.

        Example::

            >>> s.header["max_spectra"], s.header["series_ID"]    # doctest: +SKIP
            (100, 'run42')
        """
        return self._file.record("series_header")  # type: ignore[no-any-return]

    @cached_property
    def spectral_header(self) -> dict[str, Any] | None:
        """The main spectral header's fields (``num_points``, ``first_x``, ...), or None.

        Example::

            >>> s.spectral_header["num_points"] == len(s.x)      # doctest: +SKIP
            True
        """
        return self._file.record("main_header")  # type: ignore[no-any-return]

    @cached_property
    def bench_info(self) -> dict[str, Any] | None:
        """The bench info's fields, or None when the data carries none.

        Example::

            >>> s.bench_info and s.bench_info["gain"]              # doctest: +SKIP
            1.0
        """
        return self._file.record("bench")  # type: ignore[no-any-return]

    @cached_property
    def dimensions(self) -> list[dict[str, Any]]:
        """The dimensions that run along the series (those with one element
        per promised spectrum), each ``{"name", "long_name", "first", "last",
        "n", "unit_ID", "dimension_type"}``; ``first`` and ``last`` are scaled.
        ``name`` is the short label, or ``dim<i>`` when that is empty or
        repeated (with ``_`` added while another dimension has that name).

        Example::

            >>> [d["name"] for d in s.dimensions]                 # doctest: +SKIP
            ['time']
        """
        dims = self._file.record("dimensions")  # only those along the series are read
        labels = [d["short_label"] for d in dims]
        # A label of its own stays; the others are named dim<i>, kept clear
        # of every name taken (a dimension labelled "dim1" exists).
        kept = {name for name in labels if name and labels.count(name) == 1}
        out: list[dict[str, Any]] = []
        used: set[str] = set()
        for i, d in enumerate(dims):
            name = d["short_label"]
            if name not in kept:
                name = f"dim{i}"
                while name in kept or name in used:
                    name += "_"
            used.add(name)
            out.append({"name": name, "long_name": d["long_label"],
                        "first": float(d["first_dim"]) * d["scale_dim"],
                        "last": float(d["last_dim"]) * d["scale_dim"],
                        "n": d["num_elements"], "unit_ID": d["unit_ID"],
                        "dimension_type": d["dimension_type"]})
        return out

    @cached_property
    def coords(self) -> dict[str, NDArray[np.float64]]:
        """The series' dimensions as float64 arrays of ``len(s)`` values,
        ``np.linspace(first, last, n)[:len(s)]`` each, keyed by the dimension's
        ``name`` (its short label; ``long_name`` is in :attr:`dimensions`).

        Example::

            >>> s.coords["t"][:3]                                 # doctest: +SKIP
            array([ 0., 30., 60.])
        """
        return {d["name"]: _read_only(np.frombuffer(_native.linspace(d["first"], d["last"], d["n"], self._len), _F8))
                for d in self.dimensions}

    @cached_property
    def titles(self) -> list[str] | None:
        """Each spectrum's title from its mini header, or None without mini headers.

        Example::

            >>> s.titles[:2]                                      # doctest: +SKIP
            ['spectrum 0', 'spectrum 1']
        """
        # From .meta: one pass over the mini headers serves both.
        meta = self.meta
        return None if meta is None else self._file.titles(meta)

    @cached_property
    def meta(self) -> NDArray[np.void] | None:
        """Every mini header field by its record name, as a structured
        array of ``len(s)`` rows, or None without mini headers. Fields:
        num_scans, start_time, temp, pressure, spec_title (bytes), x_position,
        y_position, detector_ID, pk_height, and direction for version 3.

        Example::

            >>> s.meta["start_time"][:3], s.meta.dtype.names[:3]  # doctest: +SKIP
            (array([1000, 1010, 1020], dtype=uint32), ('num_scans', 'start_time', 'temp'))
        """
        fields = self._file.meta_fields()
        if fields is None:
            return None
        out = np.empty(self._len, np.dtype(fields))
        self._file.read_meta(out, 0, self._len)
        return _read_only(out)

    @property
    def mini_header_version(self) -> int | None:
        """0 or 3 for the spectra's mini headers, None without them.

        Example::

            >>> s.mini_header_version                              # doctest: +SKIP
            3
        """
        return self._mini_version

    def to_xarray(self) -> xr.Dataset:
        """An xarray Dataset of the values (``spectra``), the axis and the headers, loaded.

        Needs ``pip install "karvoreader[xarray]"``. Example::

            >>> ds = s.to_xarray()                                # doctest: +SKIP
        """
        from .._xarray.engine import to_xarray
        return to_xarray(self)

    def to_pandas(self) -> pd.DataFrame:
        """A table of the spectra's metadata (no values are read), a row per
        spectrum, indexed by ``spectrum_in_file`` (its index in the file; a
        ``spectrum`` column repeats it under its former name until karvo 0.2.0).

        Columns: ``title`` (str), ``file_title`` (the file's own title, on
        every row, for joining tables of many files), the dimension
        coordinates by name, and the
        other mini header fields in their stored types (``spec_title`` is
        the ``title`` column); a name taken already gets ``_`` appended.
        Without mini headers, the file's title and the coordinates. Needs
        ``pip install "karvoreader[pandas]"``. Example::

            >>> df = s.to_pandas()                                # doctest: +SKIP
            >>> df.loc[df["temp"] > 300, "title"]                 # doctest: +SKIP
        """
        from .._views.pandas import series_table
        return series_table(self)

    def _repr_html_(self) -> str:
        """A summary for notebooks: the headers, and a heat map of at most 256
        spectra, evenly spaced, of at most 4 MiB of values read."""
        from .._views.html import series_html
        return series_html(self)

    # -- life ------------------------------------------------------------------
    def close(self) -> None:
        """Closes the file; reads running on other threads finish first.

        Example::

            >>> s.close(); s.closed                               # doctest: +SKIP
            True
        """
        self._file.close()

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has run.

        Example::

            >>> with karvo.open("run42.kvr") as s: pass            # doctest: +SKIP
            >>> s.closed
            True
        """
        return bool(self._file.closed)

    def __repr__(self) -> str:
        cut = f" (of {self.expected_spectra}, cut)" if self.truncated else ""
        closed = ", closed" if self.closed else ""
        return (f"<karvo.Series {self.title!r}: {self._len} spectra{cut} x {self._points} points, "
                f"x {self._first_x:g} to {self._last_x:g}, {self.dtype.name}{closed}>")
