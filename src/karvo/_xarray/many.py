"""karvo.open_mfdataset: many files as one lazy Dataset along ``spectrum``.

The first pass is read_many's (one open per file on a pool of threads,
the files left in the process's cache of open files until the Dataset is
closed): it takes each file's variables as the xarray engine names
them, whose coordinates are joined here in memory. The values stay in the
files. Without chunks they are a lazily indexed array that reads the rows
asked for, file by file; with chunks, a dask array whose every chunk is a
run of rows, read by one task that may span several files, so that a
cluster runs a task per chunk rather than per file.

What a task carries is small and picklable: for each file it reads, its
location (absolute path or URL as given, storage options, identity) and
row count (_File). It takes each file from its process's cache of open files,
opening it there the first time (only the very file the first pass saw:
another under that path raises karvo.FormatError), so that a worker opens a
file once however many tasks read it.
"""
from __future__ import annotations

from typing import Any, Iterator, Mapping, Sequence, Union, cast

import numpy as np
from numpy.typing import NDArray
from xarray import Dataset, Variable
from xarray.backends import BackendArray
from xarray.core import indexing

from .._errors import FormatError
from .._extras import require
from .._core.many import Sources, _Part, check_mismatched, survey
from .._core.open_files import OPEN_FILES, FileKey, Keeping
from .._core.opened import check_policy
from .._core.series import Series
from .._core.spectrum import Spectrum
from .._core.table import IN_FILE
from .._core.workers import Workers, batches
from .._storage.location import local_path
from .engine import AsyncReads, _attrs, _outer_getitem, _takes_all, _variables

__all__ = ["Chunks", "open_mfdataset"]

Chunks = Union[None, int, str, Mapping[str, Union[int, str, None]]]


class _File:
    """One file as a task needs it to read its rows again."""

    __slots__ = ("key", "single", "rows", "points", "remote", "_keeping")

    def __init__(self, part: _Part, keeping: Keeping | None = None) -> None:
        # the Dataset's hold on the open files: it lasts while a task or an
        # array of them does (never pickled: a copy elsewhere takes its
        # files from that process's cache)
        self._keeping = keeping
        # its kind and location (a local path made absolute at open: a task
        # may run where the working folder is another one)
        self.key: FileKey = part.key
        self.single = part.values is not None
        self.rows = part.rows
        self.points = len(part.x)
        # read over the network: a task's files read at once, their waits overlapping
        self.remote = not part.location.is_file_object and local_path(part.location.source) is None

    def __getstate__(self) -> tuple[Any, ...]:
        return tuple(getattr(self, k) for k in self.__slots__[:-1])

    def __setstate__(self, state: tuple[Any, ...]) -> None:
        self.remote = False         # a task pickled before files knew it
        for k, v in zip(self.__slots__, state):
            setattr(self, k, v)
        self._keeping = None

    def fill(self, rows: slice | NDArray[np.intp], points: Any, out: NDArray[Any]) -> None:
        """Its rows (a slice of step 1, or an index array) into out, only
        the given points of each."""
        if self.single:             # read whole at its open, and closed at once: not kept
            with cast(Spectrum, self.key.open()) as single:
                out[...] = np.asarray(single.y)[np.newaxis][rows][:, points]
            return
        with OPEN_FILES.held(self.key) as held:
            obj = cast(Series, held)
            if len(obj) != self.rows or len(obj.x) != self.points:
                raise FormatError(f"{obj.path}: the file changed since it was opened: it now holds "
                                  f"{len(obj)} x {len(obj.x)}, opened as {self.rows} x {self.points}", obj.path)
            whole = _takes_all(points, self.points)
            if isinstance(rows, slice):
                if whole and out.dtype == obj.dtype and out.flags.c_contiguous:
                    obj.read(rows.start, rows.stop, out=out)
                    return
                values = obj.read(rows.start, rows.stop)
            else:
                values = obj[rows]
            out[...] = values if whole else values[:, points]


def _runs(firsts: NDArray[np.int64], rows: NDArray[np.intp]
          ) -> Iterator[tuple[int, int, int, slice | NDArray[np.intp]]]:
    """(file, a, b, local rows) for each run of rows[a:b] in one file;
    firsts holds each file's first row. Ascending runs are slices."""
    if rows.size == 0:
        return
    owner = np.searchsorted(firsts, rows, side="right") - 1  # empty files own no row
    bounds = [0, *(np.flatnonzero(np.diff(owner)) + 1).tolist(), rows.size]
    for a, b in zip(bounds[:-1], bounds[1:]):
        k = int(owner[a])
        local = rows[a:b] - firsts[k]
        if int(local[-1]) - int(local[0]) == b - a - 1 and (b - a == 1 or bool((np.diff(local) == 1).all())):
            yield k, a, b, slice(int(local[0]), int(local[-1]) + 1)
        else:
            yield k, a, b, local


Piece = tuple[_File, int, int, Union[slice, NDArray[np.intp]]]


def _fill_all(pieces: Sequence[Piece], points: Any, out: NDArray[Any]) -> None:
    """Each piece's rows of its file (those points of them) into out[a:b];
    the files of several pieces read at once where they are remote, their
    requests overlapping."""
    def fill(run: Sequence[Piece]) -> None:
        for file, a, b, rows in run:
            file.fill(rows, points, out[a:b])
    if len(pieces) > 1 and any(file.remote for file, *_ in pieces):
        with Workers() as workers:
            workers.expect_waits()
            for _ in workers.map(fill, batches(pieces, waits=True)):
                pass
    else:
        fill(pieces)


class _Run:
    """A dask task: a run of rows and points, read from the files it spans."""

    def __init__(self, pieces: Sequence[tuple[_File, int, int, slice | NDArray[np.intp]]],
                 points: slice, dtype: np.dtype[Any]) -> None:
        self.pieces = tuple(pieces)
        self.points = points                # a slice of step 1, from 0
        self.dtype = dtype

    def __call__(self) -> NDArray[Any]:
        count = sum(b - a for _, a, b, _ in self.pieces)
        out = np.empty((count, self.points.stop - self.points.start), self.dtype)
        _fill_all(self.pieces, self.points, out)
        return out


class _ManyArray(AsyncReads, BackendArray):
    """The values of every file, read on demand: the rows asked for, file by file."""

    def __init__(self, files: list[_File], dtype: np.dtype[Any]) -> None:
        self.files = files
        self.firsts = np.cumsum([0] + [f.rows for f in files[:-1]], dtype=np.int64)
        self.shape = (sum(f.rows for f in files), files[0].points)
        self.dtype = dtype

    def __getitem__(self, key: indexing.ExplicitIndexer) -> NDArray[Any]:
        return _outer_getitem(key, self.shape, self.dtype, self._raw_getitem)

    def _raw_getitem(self, key: tuple[Any, ...]) -> NDArray[Any]:
        rows, points = key
        n_rows, n_points = self.shape
        index = _index(rows, n_rows)
        picked = slice(int(points), int(points) + 1) if isinstance(points, (int, np.integer)) else points
        _index(picked, n_points)                # bounds checked before any read
        width = len(range(n_points)[picked]) if isinstance(picked, slice) else len(picked)
        out = np.empty((index.size, width), self.dtype)
        _fill_all([(self.files[k], a, b, local) for k, a, b, local in _runs(self.firsts, index)], picked, out)
        if isinstance(points, (int, np.integer)):
            out = out[:, 0]
        return out[0] if isinstance(rows, (int, np.integer)) else out


def _index(key: Any, n: int) -> NDArray[np.intp]:
    """key (an int, slice or index array along n) as an array of indices
    from 0, IndexError for one outside."""
    if isinstance(key, slice):
        return np.arange(*key.indices(n), dtype=np.intp)
    index = np.atleast_1d(np.asarray(key)).astype(np.intp)
    bad = (index < -n) | (index >= n)
    if bad.any():
        raise IndexError(f"index {int(index[bad][0])} outside {n}")
    return np.where(index < 0, index + n, index)


def _dask_values(files: list[_File], dtype: np.dtype[Any], chunks: Chunks) -> Any:
    """The values as a dask array: a task per chunk, each reading its rows
    from the files they lie in."""
    da = require("dask.array", "xarray", "karvo.open_mfdataset with chunks")
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph

    array = _ManyArray(files, dtype)
    n_rows, n_points = array.shape
    if isinstance(chunks, Mapping):
        unknown = set(chunks) - {"spectrum", "x"}
        if unknown:
            raise ValueError(f"karvo.open_mfdataset chunks along spectrum and x, not {sorted(unknown)}")
        asked: tuple[Any, Any] = (chunks.get("spectrum", -1), chunks.get("x", -1))
    else:
        asked = (chunks, -1)
    asked = tuple(-1 if c is None else c for c in asked)  # type: ignore[assignment]
    row_chunks, point_chunks = da.core.normalize_chunks(asked, array.shape, dtype=dtype)
    name = "karvo-open_mfdataset-" + tokenize(
        [(f.key.location.source, f.key.location.identity, f.rows) for f in files], row_chunks, point_chunks,
        str(dtype))
    row_edges = np.cumsum((0,) + row_chunks)
    point_edges = np.cumsum((0,) + point_chunks)
    graph: dict[Any, Any] = {}
    for i, (a, b) in enumerate(zip(row_edges[:-1], row_edges[1:])):
        pieces = [(files[k], ra, rb, local) for k, ra, rb, local
                  in _runs(array.firsts, np.arange(a, b, dtype=np.intp))]
        for j, (p, q) in enumerate(zip(point_edges[:-1], point_edges[1:])):
            graph[(name, i, j)] = (_Run(pieces, slice(int(p), int(q)), dtype),)
    layers = HighLevelGraph.from_collections(name, graph, dependencies=())
    return da.Array(layers, name, (row_chunks, point_chunks), dtype=dtype,
                    meta=np.empty((0, 0), dtype))


def _collect(opened: Series | Spectrum) -> tuple[dict[str, Variable], dict[str, Any]]:
    """In the first pass, what the Dataset takes of an open file: the
    engine's variables, with the coordinate ``file``, and attributes.
    The values are a stand-in: they are never read here."""
    source = opened._location.display
    stand_in = np.broadcast_to(np.zeros((), opened.dtype), opened.shape)
    variables, _ = _variables(opened, stand_in, source, frozenset({IN_FILE}))
    if isinstance(opened, Spectrum):
        # one row: the file's title and source label it, as read_many's table does
        values = variables.pop("spectrum")
        variables = {"spectra": values, "x": variables["x"],
                     "title": Variable(("spectrum",), np.array([opened.title])),
                     "file_title": Variable(("spectrum",), np.array([opened.title])),
                     "file": Variable(("spectrum",), np.array([source]))}
    return variables, _attrs(opened, None)


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, float) and isinstance(b, float) and a != a and b != b:
        return True
    return type(a) is type(b) and bool(a == b)


def _common(attrs: Sequence[Mapping[str, Any]]) -> dict[str, Any]:
    """The attributes, those whose values differ between files dropped
    (xarray's combine_attrs="drop_conflicts")."""
    out: dict[str, Any] = {}
    dropped: set[str] = set()
    for one in attrs:
        for key, value in one.items():
            if key in dropped:
                continue
            if key in out and not _same(out[key], value):
                del out[key]
                dropped.add(key)
            elif key not in out:
                out[key] = value
    return out


def _joined(pieces: list[NDArray[Any] | None], sizes: list[int]) -> NDArray[Any]:
    """A coordinate along spectrum from each file's values; where a file has
    none, NaN (floats), "" (text) or None (anything else, as objects)."""
    present = [p for p in pieces if p is not None]
    try:
        kind = np.result_type(*present)
    except TypeError:                       # text and numbers: objects
        kind = np.dtype(object)
    if len(present) < len(pieces):
        fill: Any = np.nan if kind.kind in "fc" else "" if kind.kind == "U" else None
        if fill is None:
            kind = np.dtype(object)
        pieces = [p if p is not None else np.full(n, fill, kind) for p, n in zip(pieces, sizes)]
    return np.concatenate([np.asarray(p).astype(kind, copy=False) for p in pieces])


def open_mfdataset(sources: Sources, *, chunks: Chunks = None, truncated: str = "warn",
                   mismatched: str = "raise", storage_options: dict[str, Any] | None = None) -> Dataset:
    check_policy(truncated)
    check_mismatched(mismatched)
    kept: list[FileKey] = []                # the series left open, until the Dataset is closed
    keeping = Keeping(kept)
    try:
        with Workers() as pool:  # done (every open ended) before a drop
            parts, x = survey(pool, sources, truncated, storage_options, "karvo.open_mfdataset",
                              stacklevel=4, collect=_collect, kept=kept, mismatched=mismatched)
    except BaseException:
        keeping.close()
        raise
    try:
        ds = _dataset(parts, x, chunks, keeping)
    except BaseException:
        keeping.close()
        raise
    ds.set_close(keeping.close)
    return ds


def _dataset(parts: list[_Part], x: NDArray[np.float64], chunks: Chunks,
             keeping: Keeping | None = None) -> Dataset:
    if any(p.location.is_file_object for p in parts):
        raise TypeError("karvo.open_mfdataset opens files by path or URL (its tasks open them again), "
                        "not file objects")
    sizes = [p.rows for p in parts]
    collected: list[dict[str, Variable]] = [p.collected[0] for p in parts]
    files = [_File(p, keeping) for p in parts]
    dtype = np.result_type(*(p.dtype for p in parts))
    values: Any = (indexing.LazilyIndexedArray(_ManyArray(files, dtype)) if chunks is None
                   else _dask_values(files, dtype, chunks))
    spectra = Variable(("spectrum", "x"), values, _common([v["spectra"].attrs for v in collected]))
    x_var = Variable(("x",), np.asarray(x, dtype=np.float64), _common([v["x"].attrs for v in collected]))
    names: dict[str, None] = {}
    for variables in collected:
        names.update(dict.fromkeys(n for n in variables if n not in ("spectra", "x", "file", "file_title")))
    coords: dict[str, Variable] = {"x": x_var}
    for name in [*names, "file", "file_title"]:
        have = [v.get(name) for v in collected]
        coords[name] = Variable(("spectrum",), _joined([None if v is None else v.values for v in have], sizes),
                                _common([v.attrs for v in have if v is not None]))
    coords[IN_FILE] = Variable(("spectrum",), np.concatenate([np.arange(n, dtype=np.int64) for n in sizes]))
    attrs = _common([p.collected[1] for p in parts])
    return Dataset({"spectra": spectra}, coords=coords, attrs=attrs)
