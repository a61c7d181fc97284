"""The ``karvo`` engine for xarray: spectral files as labelled, lazy Datasets.

A series file opens as a Dataset with the data variable ``spectra`` on the
dimensions ``("spectrum", "x")``; a single-spectrum file as one with the data
variable ``spectrum`` on ``("x",)``.  Opening reads the file header, the
directory, the series header and the mini headers; values are read when they
are indexed, and only the rows asked for.  What a lazy array holds is the
absolute path, the layout and the file's identity seen at open (never an open
file), so it pickles to dask workers in other processes or on other machines
that see the same files; a worker that finds another file under that path (or
the file changed since) raises karvo.FormatError rather than read it.

A URL (s3://, https://, any protocol fsspec knows) opens the same way, given
``engine="karvo"`` (the engine does not fetch an object just to tell whether
it is one of ours) and, where the environment does not say them,
``storage_options`` for its file system; those travel with the arrays.

    >>> import xarray as xr
    >>> ds = xr.open_dataset("run42", engine="karvo")                  # doctest: +SKIP
    >>> ds = xr.open_dataset("run42", engine="karvo", chunks={"spectrum": 1000})  # doctest: +SKIP
    >>> ds = xr.open_mfdataset(paths, engine="karvo", combine="nested",
    ...                        concat_dim="file", coords="all", join="exact",
    ...                        preprocess=load_coordinates, parallel=True)  # doctest: +SKIP
    >>> ds = xr.open_dataset("s3://bucket/run42", engine="karvo",
    ...                      storage_options={"anon": True})         # doctest: +SKIP

Per-spectrum coordinates are read with the headers and held in memory; the
Dataset names its file in the attribute ``source``: its absolute path, or
its URL without user info, query string and fragment (the URL as given,
which may carry a password or a signature, stays with the arrays that
fetch).
"""
from __future__ import annotations

import asyncio
import os
from collections.abc import Callable, Iterable, Mapping
from typing import Any, Literal, TypeGuard, Union

import numpy as np
from numpy.typing import NDArray

from .._extras import install_hint

try:
    from xarray import Dataset, Variable
    from xarray.backends import (AbstractDataStore, BackendArray,
                                 BackendEntrypoint,
                                 StoreBackendEntrypoint)
    from xarray.core import indexing
except ImportError as exc:  # pragma: no cover - exercised without xarray
    raise ImportError(
        "karvo's xarray engine needs xarray (and dask for chunks= and "
        "open_mfdataset): " + install_hint("xarray")) from exc

from .._core.api import open as open_file
from .._core.names import unique as _unique, variable_name
from .._core.open_files import OPEN_FILES, FileKey, Keeping, copied_options, file_key
from .._core.opened import absolute
from .._core.series import Series
from .._core.spectrum import Spectrum
from .._core.units import unit_codes, unit_name
from .._errors import FormatError
from .._storage.location import Location, display_name
from .._storage.sources import local_path

__all__ = ["KarvoBackendEntrypoint", "KarvoArray", "to_xarray",
           "load_coordinates", "same_x_as"]

Opened = Union[Series, Spectrum]
Truncated = Literal["warn", "raise", "ignore"]

# Names the Dataset itself uses; a series dimension or mini header field with
# one of these names is renamed so that nothing is overwritten.
_RESERVED = frozenset({"spectra", "spectrum", "x", "title"})

# Rows are read in blocks of about this many bytes when only some of their
# points are kept.
_BLOCK_BYTES = 16 << 20


def _open(path: str, storage_options: Mapping[str, Any] | None,
          truncated: Truncated) -> Opened:
    return open_file(path, truncated=truncated,
                     storage_options=None if storage_options is None else dict(storage_options))


class AsyncReads:
    """xarray's asynchronous loading (``await ds.load_async()``): a read runs
    on a thread of the running event loop's executor, so that the reads of
    several variables or Datasets awaited together overlap their waits."""

    def __getitem__(self, key: indexing.ExplicitIndexer) -> NDArray[Any]:  # pragma: no cover - each array has its own
        raise NotImplementedError

    async def async_getitem(self, key: indexing.ExplicitIndexer) -> NDArray[Any]:
        return await asyncio.to_thread(self.__getitem__, key)


class KarvoArray(AsyncReads, BackendArray):
    """The values of one file, read on demand.

    Holds the key of its file in the process's cache of open files (its
    kind and location: absolute path or URL, options and the identity seen
    at open; the file is opened again where the array is unpickled, once
    per process) and the shape and dtype seen at open.
    Indexing goes through xarray's explicit indexing adapter: rows are read
    as one request per contiguous run, or as the listed rows; points are
    picked from the rows in memory (a row is contiguous on disk), block by
    block when only some are kept.
    """

    def __init__(self, key: FileKey, shape: tuple[int, ...], dtype: np.dtype[Any],
                 keeping: Keeping | None = None) -> None:
        self.key = key
        self.shape = shape
        self.dtype = dtype
        # the store's hold on the open file: it lasts while an array of it does
        self._keeping = keeping

    def __getstate__(self) -> dict[str, Any]:
        # a copy elsewhere takes its file from that process's cache
        return {k: v for k, v in self.__dict__.items() if k != "_keeping"}

    @property
    def location(self) -> Location:
        return self.key.location

    def __getitem__(self, key: indexing.ExplicitIndexer) -> NDArray[Any]:
        return _outer_getitem(key, self.shape, self.dtype, self._raw_getitem)

    def _raw_getitem(self, key: tuple[Any, ...]) -> NDArray[Any]:
        with OPEN_FILES.held(self.key) as obj:
            self._check_layout(obj)
            if not _is_series(obj):             # single spectrum: read at open
                values: NDArray[Any] = np.asarray(obj)[key]
                return values
            rows, points = key
            if isinstance(rows, (int, np.integer)):
                row: NDArray[Any] = obj.read(int(rows), int(rows) + 1)[0]
                return row if _takes_all(points, self.shape[1]) else row[points].copy()
            return self._read_rows(obj, rows, points)

    def _read_rows(self, series: Series, rows: slice | NDArray[Any],
                   points: Any) -> NDArray[Any]:
        """Rows as one read per contiguous run.  When only some points are
        kept, rows are read in blocks of about _BLOCK_BYTES and only those
        points are kept of each, so a narrow band of a large series needs
        the memory of the result and one block, not of every row."""
        n_rows, n_points = self.shape
        if isinstance(rows, slice) and rows.step in (None, 1):
            start, stop, _ = rows.indices(n_rows)
            count = max(0, stop - start)

            def read(a: int, b: int) -> NDArray[Any]:
                return series.read(start + a, start + b)
        else:
            index = (np.arange(*rows.indices(n_rows)) if isinstance(rows, slice)
                     else np.asarray(rows, dtype=np.intp))
            count = index.size

            def read(a: int, b: int) -> NDArray[Any]:
                if a == b:
                    return np.empty((0, n_points), self.dtype)
                return series[index[a:b]]
        if _takes_all(points, n_points):
            return read(0, count)
        block = max(1, _BLOCK_BYTES // max(1, n_points * self.dtype.itemsize))
        return np.concatenate([read(a, min(a + block, count))[:, points]
                               for a in range(0, count, block) or [0]])

    def _check_layout(self, obj: Opened) -> None:
        # A file replaced, rewritten or cut since the open must not hand out
        # other values under this layout: the identity tells (the file opened
        # again by a worker or after the cache dropped it, or rewritten in
        # place under the open one); the layout is checked as well, in case
        # a rewrite kept size and time stamp.
        obj._check_unchanged(self.location.identity, self.location.machine)
        shape, dtype = tuple(obj.shape), np.dtype(obj.dtype)
        if shape != self.shape or dtype != self.dtype:
            name = self.location.display
            raise FormatError(
                f"{name}: the file changed since it was opened: it now "
                f"holds {shape} {dtype}, opened as {self.shape} {self.dtype}", name)


def _outer_getitem(key: indexing.ExplicitIndexer, shape: tuple[int, ...],
                   dtype: np.dtype[Any],
                   raw_getitem: Callable[[tuple[Any, ...]], NDArray[Any]]
                   ) -> NDArray[Any]:
    """What a backend array that takes outer keys with one vector gives
    for key, raw_getitem reading it."""
    if isinstance(key, indexing.OuterIndexer) and any(
            isinstance(k, np.ndarray) and k.size == 0 for k in key.tuple):
        # An empty list selects nothing, and some xarray releases fail
        # to split such a key for the adapter: the empty result is here.
        return np.empty(tuple(
            len(range(*k.indices(n))) if isinstance(k, slice) else k.size
            for k, n in zip(key.tuple, shape)
            if not isinstance(k, (int, np.integer))), dtype)
    return indexing.explicit_indexing_adapter(  # type: ignore[no-any-return]
        key, shape, indexing.IndexingSupport.OUTER_1VECTOR, raw_getitem)


def _is_series(obj: Opened) -> TypeGuard[Series]:
    return len(obj.shape) == 2


def _takes_all(key: Any, n: int) -> bool:
    """Whether key, an index along n points, keeps them all, in order (dask
    asks for slice(0, n, 1) where xarray asks for slice(None))."""
    return isinstance(key, slice) and key.indices(n) == (0, n, 1)


def _netcdf_attr(value: Any) -> Any:
    """value as a type NetCDF and Zarr attributes can hold, or None to skip."""
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, int):
        return value if -2**63 <= value < 2**63 else None
    if isinstance(value, (float, str)):
        return value
    return None


def _source(path: str | bytes) -> str:
    """What names a file in its Dataset (the attribute ``source``, the
    coordinate ``file``): its absolute path, or its URL's display name."""
    local = local_path(path)
    return display_name(path) if local is None else os.fsdecode(absolute(local))


def _attrs(obj: Opened, source: str | None) -> dict[str, Any]:
    """The file's title and source, then the series header's and the main
    spectral header's numeric and text fields (a spectral field whose name
    the series header already uses gets the prefix ``spectral_``)."""
    attrs: dict[str, Any] = {"title": obj.title}
    if source is not None:
        attrs["source"] = source
    if _is_series(obj):
        headers = [("", obj.header), ("spectral_", obj.spectral_header or {})]
    else:
        headers = [("", obj.header)]
    for prefix, header in headers:
        for name, value in header.items():
            value = _netcdf_attr(value)
            if value is not None:
                attrs[prefix + name if name in attrs else name] = value
    return attrs


def _spectrum_coords(series: Series,
                     reserved: frozenset[str]) -> dict[str, Variable]:
    """Everything along ``spectrum``: the series dimensions (named as
    Series.coords names them), the titles, and every other mini header
    field.  Names that clash with the Dataset's own (reserved) get an
    underscore."""
    dims = ("spectrum",)
    coords: dict[str, Variable] = {}
    taken = set(reserved)
    described = {d["name"]: d for d in series.dimensions}
    for name, values in series.coords.items():
        info = described.get(name, {})
        attrs = {k: v for k in ("long_name", "unit_ID", "dimension_type")
                 if (v := _netcdf_attr(info.get(k))) is not None}
        label, name = name, _unique(variable_name(name), taken)
        if name != label:
            attrs["label"] = label
        taken.add(name)
        coords[name] = Variable(dims, np.asarray(values), attrs)
    if series.titles is not None:
        # Fixed-width text (numpy's "U"), not objects: dask sizes its chunks
        # by the item size, which objects don't have.
        coords["title"] = Variable(dims, np.array(series.titles, dtype=str))
    meta = series.meta
    if meta is not None and meta.dtype.names:
        for field in meta.dtype.names:
            if field == "spec_title":           # that is the title coordinate
                continue
            name = _unique(field, taken)
            taken.add(name)
            coords[name] = Variable(dims, np.ascontiguousarray(meta[field]))
    return coords


def _variables(obj: Opened, values: Any, file: str | None = None,
               reserved: frozenset[str] = frozenset()
               ) -> tuple[dict[str, Variable], list[str]]:
    """The variables of obj's Dataset with `values` as its data, and the
    names among them that are coordinates.  Given file, the coordinate
    ``file`` holds it for every spectrum.  A series coordinate named as
    one of reserved is renamed as one named ``file`` is."""
    x_code, y_code = unit_codes(obj)
    x = Variable(("x",), np.asarray(obj.x, dtype=np.float64),
                 {"long_name": "spectral axis", **_unit_attrs("x_units", x_code)})
    value_attrs = _unit_attrs("y_units", y_code)
    if _is_series(obj):
        # No preferred chunks: any run of rows is one read, so every split
        # the caller picks (chunks={"spectrum": n}, "auto") is as good.
        data = Variable(("spectrum", "x"), values, value_attrs)
        if file is None:
            coords = _spectrum_coords(obj, _RESERVED)
        else:
            coords = _spectrum_coords(obj, _RESERVED | {"file", "file_title"} | reserved)
            coords["file"] = Variable(("spectrum",), np.full(obj.shape[0], file))
            # the file's own title, as read_many's table has it: what a
            # lab's records name, where each spectrum's title is another
            coords["file_title"] = Variable(("spectrum",), np.full(obj.shape[0], obj.title))
        variables = {"spectra": data, "x": x, **coords}
        return variables, ["x", *coords]
    variables = {"spectrum": Variable(("x",), values, value_attrs), "x": x}
    if file is not None:                    # a single spectrum: one file
        variables["file"] = Variable((), np.array(file))
        variables["file_title"] = Variable((), np.array(obj.title))
    return variables, list(variables)[1:]


def _unit_attrs(field: str, code: int | None) -> dict[str, Any]:
    """The unit code as the header names it, and ``units`` only when
    karvo.unit_names names that code."""
    if code is None:
        return {}
    name = unit_name(code)
    return {field: code} if name is None else {field: code, "units": name}


def to_xarray(obj: Opened) -> Dataset:
    """The Dataset of an open karvo.Series or karvo.Spectrum, values loaded.

    Same variables, coordinates and attributes as
    ``xr.open_dataset(obj.path, engine="karvo")``.

    >>> with karvo.open("run42") as s:                  # doctest: +SKIP
    ...     ds = s.to_xarray()
    """
    variables, coord_names = _variables(obj, np.asarray(obj))
    data_vars = {k: v for k, v in variables.items() if k not in coord_names}
    coords = {k: variables[k] for k in coord_names}
    # the path made absolute at open: the working folder may have changed since
    return Dataset(data_vars, coords=coords,
                   attrs=_attrs(obj, obj._location.display))


def load_coordinates(ds: Dataset) -> Dataset:
    """ds with its coordinates held in memory as numpy arrays.

    Opened with chunks (as open_mfdataset opens every file), xarray puts
    every coordinate that is not an index into a dask array, although the
    engine read it with the headers: each then adds tasks to every graph
    that carries it (computing ``ds.temp``, or ``ds.spectra.max("x")``
    whose result keeps the coordinates along ``spectrum``).  Given to
    open_mfdataset as ``preprocess=load_coordinates``, the concatenated
    coordinates are numpy arrays and cost no task.  Computing them here
    reads nothing: their values are in the graph.

    Opened without chunks, xarray wraps every coordinate that is not an
    index after the engine returns (to copy on write, to cache), and its
    repr shows ``...`` for them; ``load_coordinates(ds)`` loads those in
    place, as ``ds.load()`` would without reading the values, and the repr
    shows them.
    """
    for name in ds.coords:
        variable = ds.variables[name]
        if name not in ds.xindexes and variable.chunks is None:
            variable.load()                 # the engine's numpy array, unwrapped
    lazy = [name for name in ds.coords
            if name not in ds.xindexes and ds.variables[name].chunks is not None]
    if not lazy:
        return ds
    from dask.base import compute           # only chunked Datasets get here
    values = compute(*(ds.variables[name].data for name in lazy),  # type: ignore[no-untyped-call]
                     scheduler="synchronous")
    return ds.assign_coords({name: ds.variables[name].copy(data=np.asarray(v))
                             for name, v in zip(lazy, values)})


class _SameX:
    """open_mfdataset's preprocess that checks each file's spectral axis
    against a reference file's, then loads the coordinates.  It pickles
    with the reference axis, so it runs where the files are opened."""

    def __init__(self, reference: str | os.PathLike[str],
                 storage_options: Mapping[str, Any] | None) -> None:
        with _open(os.fspath(reference), storage_options, "ignore") as obj:
            self.x = np.asarray(obj.x, dtype=np.float64)
        self.reference = _source(os.fspath(reference))

    def __call__(self, ds: Dataset) -> Dataset:
        x = ds["x"].values
        if x.shape != self.x.shape or not np.array_equal(x, self.x):
            source = ds.attrs.get("source", "a file")
            ds.close()          # open_mfdataset closes none of its files then
            raise ValueError(
                f"{source}: its spectral axis ({_describe_axis(x)}) is not "
                f"that of {self.reference} ({_describe_axis(self.x)})")
        return load_coordinates(ds)


def _describe_axis(x: NDArray[Any]) -> str:
    if x.size == 0:
        return "no points"
    return f"{x.size:,} points from {x[0]:g} to {x[-1]:g}"


def same_x_as(reference: str | os.PathLike[str],
              storage_options: Mapping[str, Any] | None = None) -> _SameX:
    """A preprocess for open_mfdataset that raises ValueError naming the
    file whose spectral axis ``x`` differs from that of the file
    `reference` (xarray's join="exact" says only that ``x`` differs), and
    loads each file's coordinates as load_coordinates does. A URL is
    opened with storage_options, as the engine opens it.

    >>> ds = xr.open_mfdataset(paths, engine="karvo", combine="nested",
    ...                        concat_dim="file", coords="all", join="exact",
    ...                        preprocess=same_x_as(paths[0]))   # doctest: +SKIP
    """
    return _SameX(reference, storage_options)


class KarvoDataStore(AbstractDataStore):
    """One open spectral file as xarray's decoding machinery sees it."""

    def __init__(self, path: str, truncated: Truncated = "warn",
                 file_coordinate: bool = False,
                 storage_options: Mapping[str, Any] | None = None) -> None:
        # Absolute: a task may run where the working folder is another one.
        # A URL of a remote file system stays as it is.
        local = local_path(path)
        self.path = path if local is None else os.fsdecode(absolute(local))
        self.source = _source(self.path)
        # a copy: the caller's dict may change after the open
        self.storage_options = copied_options(storage_options)
        # karvo warns of a cut file, or raises, as the caller asked; the
        # file then stays in the process's cache of open files for the reads
        opened = _open(self.path, self.storage_options, truncated)
        self._key = file_key(opened)
        OPEN_FILES.adopt(self._key, opened)
        self._keeping = Keeping([self._key])
        try:
            with OPEN_FILES.held(self._key) as obj:
                self._variables, coord_names = _variables(
                    obj, self._lazy(obj), self.source if file_coordinate else None)
                self._attrs = _attrs(obj, self.source)
                # where the values lie in the file described here (references read it)
                self.geometry: dict[str, Any] = dict(obj._file.info)
        except BaseException:
            self._keeping.close()
            raise
        # decode_coords picks the coordinates up from the global attribute,
        # which holds whatever drop_variables removes.
        self._attrs["coordinates"] = " ".join(n for n in coord_names if n != "x")

    def _lazy(self, obj: Opened) -> indexing.LazilyIndexedArray:
        return indexing.LazilyIndexedArray(KarvoArray(self._key, tuple(obj.shape), np.dtype(obj.dtype),
                                                    self._keeping))

    def get_variables(self) -> Mapping[str, Variable]:
        return self._variables

    def get_attrs(self) -> Mapping[str, Any]:
        return self._attrs

    def get_dimensions(self) -> Mapping[str, int]:
        return {str(d): n for v in self._variables.values()
                for d, n in zip(v.dims, v.shape)}

    def close(self) -> None:
        self._keeping.close()


def _path_of(filename_or_obj: Any) -> str | None:
    if isinstance(filename_or_obj, (str, os.PathLike)):
        path = os.fspath(filename_or_obj)
        return path if isinstance(path, str) else os.fsdecode(path)
    return None


class KarvoBackendEntrypoint(BackendEntrypoint):
    """Open FT-IR and Raman spectral files (single spectra and series) in
    xarray, lazily.  Files of this format have no fixed extension: the
    engine recognises them by their content.

    >>> import xarray as xr
    >>> ds = xr.open_dataset("run42", engine="karvo")   # doctest: +SKIP
    """

    description = ("Open FT-IR and Raman spectral files and series files "
                   "(any file name) lazily with karvo")
    url = "https://pypi.org/project/karvoreader/"
    open_dataset_parameters = (
        "filename_or_obj", "drop_variables", "mask_and_scale",
        "decode_times", "concat_characters", "decode_coords", "use_cftime",
        "decode_timedelta", "truncated", "file_coordinate", "storage_options")

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        path = _path_of(filename_or_obj)
        # Telling a remote object by its content would fetch it for every
        # guess xarray makes; engine="karvo" opens one.
        if path is None or local_path(path) is None:
            return False
        try:
            # karvo.open looks before it opens: a directory or a FIFO fails
            # at once, as a file that may not be read does.
            open_file(path, truncated="ignore").close()
        except (ValueError, OSError):       # karvo.FormatError is a ValueError
            return False
        return True

    def open_dataset(
            self, filename_or_obj: Any, *,
            drop_variables: str | Iterable[str] | None = None,
            mask_and_scale: bool = True, decode_times: bool = True,
            concat_characters: bool = True, decode_coords: bool = True,
            use_cftime: bool | None = None,
            decode_timedelta: bool | None = None,
            truncated: Truncated = "warn",
            file_coordinate: bool = False,
            storage_options: Mapping[str, Any] | None = None) -> Dataset:
        """A Dataset over the file at filename_or_obj (a path or URL: the
        engine hands it, not an open file, to the tasks that read values).

        truncated: what to do with a series cut short ("warn", "raise" or
        "ignore"), as for karvo.open.
        file_coordinate: add the coordinates ``file`` and ``file_title``
        (the file's own title) along ``spectrum``
        holding the file's source (the attribute ``source``), for telling
        apart the spectra of files concatenated along ``spectrum``.
        storage_options: options of the file system of a URL, as for
        karvo.open (they are pickled with the arrays; credentials are
        better left to the environment).
        """
        path = _path_of(filename_or_obj)
        if path is None:
            raise TypeError(
                "the karvo engine opens files by path or URL (str or os.PathLike), "
                f"not {type(filename_or_obj).__name__}")
        store = KarvoDataStore(path, truncated=truncated, file_coordinate=file_coordinate,
                               storage_options=storage_options)
        try:
            ds = StoreBackendEntrypoint().open_dataset(
                store, drop_variables=drop_variables,
                mask_and_scale=mask_and_scale, decode_times=decode_times,
                concat_characters=concat_characters,
                decode_coords=decode_coords, use_cftime=use_cftime,
                decode_timedelta=decode_timedelta)
            # The coordinates were read with the headers: hold them as the
            # numpy arrays they are (decoding wrapped them lazily), so
            # nothing that computes one goes back to the file.
            for name in ds.coords:
                ds.variables[name].load()
            # xarray names the file by what it was given (a URL's password
            # and signature too) unless the engine does
            ds.encoding["source"] = store.source
        except BaseException:
            store.close()
            raise
        return ds
