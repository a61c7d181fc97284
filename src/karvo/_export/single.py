"""``karvo export``: a file's spectra as CSV/TSV, npz, NetCDF, zarr or Parquet.

Series are read in chunks of spectra (``Series.read``), so the memory an
export needs stays bounded however long the series is: CSV, TSV, npz and
Parquet here, NetCDF and zarr through the xarray engine with dask chunks.  Every format is
written under a temporary name beside the target and renamed at the end.
"""
from __future__ import annotations

import contextlib
import csv
import functools
import io
import json
import os
import sys
import warnings
import zipfile
from collections import Counter
from collections.abc import Callable, Iterator
from typing import Any, ContextManager, Protocol

import numpy as np

from .. import _native
from .._core.series import Series
from .._core.spectrum import Spectrum
from .._storage.atomic import replaced_on_success
from .._extras import MissingDependency, optional, require
from .._core.names import unique
from .._core.table import IN_FILE

FORMATS = ("csv", "tsv", "npz", "nc", "zarr", "parquet")
LONG_FORMATS = ("csv", "tsv", "parquet")   # those that take the long layout (a row per value)
_EXTENSIONS = {".csv": "csv", ".tsv": "tsv", ".tab": "tsv", ".npz": "npz",
               ".nc": "nc", ".nc4": "nc", ".netcdf": "nc", ".zarr": "zarr",
               ".parquet": "parquet", ".pq": "parquet"}

CHUNK_BYTES = 8 << 20         # values read per request
TEXT_BLOCK_BYTES = 32 << 20   # values held while writing a CSV block of points
TEXT_CALL_VALUES = 1 << 18    # values formatted per native call (text at most ~33 bytes each)
PROGRESS_DELAY = 0.5          # seconds an export runs before its progress bar shows


def format_of(out: str) -> str | None:
    """The export format that OUT's extension names, if any."""
    return _EXTENSIONS.get(os.path.splitext(out.rstrip("/" + os.sep))[1].lower())


class Progress(Protocol):
    def update(self, n: int) -> object: ...


class _NoProgress:
    def update(self, n: int) -> None:
        pass


@contextlib.contextmanager
def progress_bar(total: int, label: str, unit: str) -> Iterator[Progress]:
    """A tqdm bar on standard error when that is a terminal; it appears only
    once the export has run for a moment (and never without tqdm)."""
    tqdm = optional("tqdm")
    if tqdm is None or not sys.stderr.isatty():
        yield _NoProgress()
        return
    with tqdm.tqdm(total=total, desc=label, unit=" " + unit, file=sys.stderr,
                   delay=PROGRESS_DELAY, leave=False, dynamic_ncols=True) as bar:
        yield bar


def _json_value(value: Any) -> Any:
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).hex()
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, np.ndarray):
        return value.tolist()
    raise TypeError(f"{type(value).__name__} is not JSON serialisable")


class Rows:
    """Spectra of one x axis and dtype, read a chunk of rows at a time."""

    x: np.ndarray
    dtype: np.dtype[Any]

    @property
    def points(self) -> int:
        return int(self.x.shape[0])

    @property
    def chunk(self) -> int:
        """Spectra per read request."""
        return max(1, CHUNK_BYTES // max(1, self.points * self.dtype.itemsize))


class Selection(Rows):
    """The spectra to export: rows [start, stop) of a series, or the one
    spectrum of a single-spectrum file (as one row)."""

    def __init__(self, obj: Series | Spectrum, start: int = 0, stop: int | None = None):
        self.obj = obj
        self.is_series = isinstance(obj, Series)
        count = len(obj) if isinstance(obj, Series) else 1
        self.start, self.stop, _ = slice(start, stop).indices(count)
        self.stop = max(self.stop, self.start)
        self.n = self.stop - self.start
        self.x: np.ndarray = obj.x
        self.dtype = np.dtype(obj.dtype)
        self.index = np.arange(self.start, self.stop, dtype=np.int64)

    def chunks(self, bar: Progress) -> Iterator[tuple[int, np.ndarray]]:
        """(offset in the selection, 2-D rows) for the whole selection; the
        array is reused between chunks."""
        if not isinstance(self.obj, Series):
            if self.n:
                yield 0, np.asarray(self.obj.y, dtype=self.dtype).reshape(1, -1)
                bar.update(1)
            return
        buffer = np.empty((min(self.chunk, self.n), self.points), self.dtype)
        for a in range(0, self.n, self.chunk):
            b = min(a + self.chunk, self.n)
            rows = self.obj.read(self.start + a, self.start + b, out=buffer[: b - a])
            yield a, rows
            bar.update(b - a)

    @property
    def titles(self) -> list[str] | None:
        if isinstance(self.obj, Series):
            titles = self.obj.titles
            return None if titles is None else list(titles[self.start:self.stop])
        return [self.obj.title]

    @property
    def coords(self) -> dict[str, np.ndarray]:
        if isinstance(self.obj, Series):
            return {name: values[self.start:self.stop]
                    for name, values in self.obj.coords.items()}
        return {}

    @property
    def meta(self) -> np.ndarray | None:
        if isinstance(self.obj, Series) and self.obj.meta is not None:
            return self.obj.meta[self.start:self.stop]
        return None

    def column_names(self) -> list[str]:
        """A column name per spectrum: its title, or its index in the file
        where the title is missing, repeated, or clashes with another name."""
        indices = [str(i) for i in self.index]
        names = list(self.titles or [""] * self.n)
        names = [t if t else i for t, i in zip(names, indices)]
        while True:
            counts = Counter(names)
            clash = [k for k, name in enumerate(names)
                     if name != indices[k] and (counts[name] > 1 or name == "x")]
            if not clash:
                return names
            for k in clash:
                names[k] = indices[k]

    def metadata(self) -> str:
        """The file's headers as JSON text."""
        obj = self.obj
        doc: dict[str, Any] = {"source": os.path.basename(obj.path), "title": obj.title,
                               "kind": "series" if self.is_series else "spectrum",
                               "first_x": float(self.x[0]) if self.points else None,
                               "last_x": float(self.x[-1]) if self.points else None,
                               "points": self.points}
        if isinstance(obj, Series):
            doc.update(spectra=[self.start, self.stop], expected_spectra=obj.expected_spectra,
                       dimensions=obj.dimensions, header=obj.header,
                       spectral_header=obj.spectral_header, bench_info=obj.bench_info)
        else:
            doc.update(header=obj.header)
        return json.dumps(doc, default=_json_value)


# --- CSV / TSV -------------------------------------------------------------

def write_text_table(sel: Selection, path: str, delimiter: str, bar: Progress,
                     header: list[list[str]] | None = None) -> None:
    """Column ``x``, then one column per spectrum: a row per spectral point,
    below the ``header`` rows (by default ``x`` and the column names).

    Rows run across spectra, so the spectra are gathered a block of points at
    a time (one pass over the selection per block), keeping memory bounded.
    Each number is the shortest text that reads back to the same value of its
    stored precision (``_native.text_rows``, formatted without the GIL).
    Writing the text takes far longer than reading, so ``bar`` counts rows.
    """
    per_point = max(1, sel.n) * sel.dtype.itemsize
    block = max(1, TEXT_BLOCK_BYTES // per_point)
    rows_per_call = max(1, TEXT_CALL_VALUES // (sel.n + 1))
    text = io.StringIO()
    csv.writer(text, delimiter=delimiter, lineterminator="\n").writerows(
        header or [["x", *sel.column_names()]])
    x = np.ascontiguousarray(sel.x, dtype=np.float64)
    with open(path, "wb") as fh:
        fh.write(text.getvalue().encode("utf-8"))
        for p0 in range(0, sel.points, block):
            p1 = min(p0 + block, sel.points)
            gathered = np.empty((p1 - p0, sel.n), sel.dtype)
            for a, rows in sel.chunks(_NoProgress()):
                gathered[:, a:a + rows.shape[0]] = rows[:, p0:p1].T
            for j0 in range(0, p1 - p0, rows_per_call):
                j1 = min(j0 + rows_per_call, p1 - p0)
                # spectra x points, contiguous along the spectra of a row
                fh.write(_native.text_rows(x[p0 + j0:p0 + j1], gathered[j0:j1].T, delimiter))
                bar.update(j1 - j0)


# --- npz -------------------------------------------------------------------

def _npz_member(zf: zipfile.ZipFile, name: str, array: np.ndarray) -> None:
    with zf.open(name + ".npy", "w", force_zip64=True) as fh:
        np.lib.format.write_array(fh, np.asanyarray(array), allow_pickle=False)


def write_npz(sel: Selection, path: str, bar: Progress) -> None:
    """x, values (spectra x points; 1-D for a single spectrum),
    spectrum_in_file (and ``index``, its former name, until karvo 0.2.0),
    coords/<name>, titles, meta (structured), metadata (JSON text): readable
    with ``numpy.load`` without pickle.  Values stream into the archive."""
    shape: tuple[int, ...] = (sel.n, sel.points) if sel.is_series else (sel.points,)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED, allowZip64=True) as zf:
        _npz_member(zf, "x", sel.x)
        with zf.open("values.npy", "w", force_zip64=True) as fh:
            np.lib.format.write_array_header_2_0(fh, {
                "descr": np.lib.format.dtype_to_descr(sel.dtype),
                "fortran_order": False, "shape": shape})
            for _a, rows in sel.chunks(bar):
                fh.write(np.ascontiguousarray(rows).data)
        if sel.is_series:
            _npz_member(zf, IN_FILE, sel.index)
            _npz_member(zf, "index", sel.index)
            for name, values in sel.coords.items():
                _npz_member(zf, f"coords/{name}", values)
        titles = sel.titles
        if titles is not None:
            _npz_member(zf, "titles", np.array(titles, dtype=str))
        meta = sel.meta
        if meta is not None:
            _npz_member(zf, "meta", meta)
        _npz_member(zf, "metadata", np.array(sel.metadata()))


# --- Parquet ---------------------------------------------------------------

def _unique(name: str, taken: set[str]) -> str:
    candidate = unique(name, taken)
    taken.add(candidate)
    return candidate


def write_parquet(sel: Selection, path: str, bar: Progress) -> None:
    """A row per spectrum: spectrum_in_file, title, one column per series
    dimension and per mini header field, ``index`` (the former name of
    spectrum_in_file, until karvo 0.2.0) and ``values`` (a fixed-size list
    of the points).
    The spectral axis and the headers are in the schema's metadata
    (``karvo.x`` as a JSON list, ``karvo.metadata``); a row group per chunk."""
    pa = require("pyarrow", "parquet", "Parquet export")
    pq = require("pyarrow.parquet", "parquet", "Parquet export")
    taken = {IN_FILE, "index", "title", "values"}
    titles = sel.titles
    coords = {_unique(name, taken): values for name, values in sel.coords.items()}
    meta = sel.meta
    meta_fields = {} if meta is None else {
        _unique(field, taken): field for field in meta.dtype.names or ()
        if field != "spec_title" and meta.dtype[field].kind in "biuf"}
    value_type = pa.list_(pa.from_numpy_dtype(sel.dtype), sel.points or -1)
    schema = pa.schema(
        [(IN_FILE, pa.int64())]
        + ([("title", pa.string())] if titles is not None else [])
        + [(name, pa.float64()) for name in coords]
        + [(name, pa.from_numpy_dtype(meta.dtype[field]))  # type: ignore[union-attr]
           for name, field in meta_fields.items()]
        + [("index", pa.int64()), ("values", value_type)],
        metadata={**axis_metadata(sel.x), "karvo.metadata": sel.metadata()})
    with parquet_writer(pa, pq, path, schema, "values") as writer:
        for a, rows in sel.chunks(bar):
            b = a + rows.shape[0]
            columns: list[Any] = [pa.array(sel.index[a:b])]
            if titles is not None:
                columns.append(pa.array(titles[a:b], pa.string()))
            columns += [pa.array(values[a:b]) for values in coords.values()]
            columns += [pa.array(meta[field][a:b])  # type: ignore[index]
                        for field in meta_fields.values()]
            columns.append(columns[0])      # index, the former name
            columns.append(value_lists(pa, rows, value_type))
            writer.write_table(pa.Table.from_arrays(columns, schema=schema))


def axis_metadata(x: np.ndarray) -> dict[str, str]:
    """The schema metadata that carries the spectral axis: ``karvo.x``, a
    JSON list (exact for float64). Not also ``PANDAS_ATTRS``, which
    read_parquet would put in ``DataFrame.attrs``: pandas copies attrs
    deeply on every operation, and 4,096 numbers there made a column's
    arithmetic 50 times slower. Arrow keeps a second copy of the metadata,
    base64, in its schema (``ARROW:schema``)."""
    return {"karvo.x": json.dumps(x.tolist())}


def parquet_writer(pa: Any, pq: Any, path: str, schema: Any, values: str) -> Any:
    """A ParquetWriter for a table of spectra whose points are column
    ``values`` (floats, or fixed-size lists of them).

    The points are noise in their low bits: they are written as they are,
    without a dictionary (of as many entries as values, it made the file a
    fifth larger than the spectra and took three times as long),
    statistics or compression (zstd at its fastest, byte planes split,
    saves a fifth of their size at twice the time of writing them). Every
    other column (file names, titles, the axis of the long layout, ...)
    repeats from row to row: dictionary-encoded and compressed."""
    field = schema.field(values)
    nested = pa.types.is_fixed_size_list(field.type) or pa.types.is_list(field.type)
    leaf = f"{values}.list.element" if nested else values
    others = [name for name in schema.names if name != values]
    codec = "zstd" if pa.Codec.is_available("zstd") else "snappy"
    return pq.ParquetWriter(
        path, schema, use_compliant_nested_type=True,   # names the leaf values.list.element
        compression={leaf: "none", **dict.fromkeys(others, codec)},
        use_dictionary=others, write_statistics=others)


def value_lists(pa: Any, rows: np.ndarray, value_type: Any) -> Any:
    """Rows of values as an Arrow column of fixed-size lists, a row each."""
    points = rows.shape[1]
    if not points:
        return pa.array([[]] * rows.shape[0], value_type)
    return pa.FixedSizeListArray.from_arrays(pa.array(np.ascontiguousarray(rows).reshape(-1)), points)


# --- NetCDF and zarr, through the xarray engine ----------------------------

@contextlib.contextmanager
def _dataset(sel: Selection, fmt: str) -> Iterator[Any]:
    """The selection as an xarray Dataset: lazy and chunked (read and written a
    chunk of spectra at a time) when dask is installed, else loaded."""
    xr = require("xarray", "xarray", f"{fmt} export")
    if getattr(sel.obj, "to_xarray", None) is None:
        raise MissingDependency(
            f"{fmt} export needs the xarray engine of karvo "
            "(Series.to_xarray), which this installation does not have")
    rows = {"spectrum": slice(sel.start, sel.stop)}
    if not sel.is_series or optional("dask.array") is None:
        ds = sel.obj.to_xarray()
        yield ds.isel(rows) if sel.is_series else ds
        return
    from .._xarray.engine import KarvoBackendEntrypoint  # (also where not installed)
    # opened again where it lives: the absolute path, or the URL as given
    # (its display name may not open it) with the options it was opened with
    location = sel.obj._location
    with xr.open_dataset(location.source, engine=KarvoBackendEntrypoint, truncated="ignore",
                         chunks={"spectrum": sel.chunk},
                         storage_options=location.storage_options) as ds:
        ds = ds.isel(rows)
        # the per-spectrum coordinates are small: load them (text needs it);
        # the values in even chunks from the first selected spectrum (for zarr)
        ds = ds.assign_coords({name: ds[name].load() for name in ds.coords})
        for name in ds.data_vars:
            ds[name] = ds[name].chunk({"spectrum": sel.chunk})
        yield ds


def _write(ds: Any, to: Any, label: str) -> None:
    """``to(compute=...)`` writes ``ds``; a chunked dataset is written chunk by
    chunk, with a progress bar where one is shown."""
    if not ds.chunks:
        to(compute=True)
        return
    pending = to(compute=False)
    tqdm_dask = optional("tqdm.dask")
    if tqdm_dask is None or not sys.stderr.isatty():
        pending.compute()
        return
    with tqdm_dask.TqdmCallback(desc=label, unit=" tasks", file=sys.stderr, delay=PROGRESS_DELAY,
                                leave=False, dynamic_ncols=True):
        pending.compute()


def write_netcdf(ds: Any, path: str, label: str) -> None:
    engine = "h5netcdf" if optional("h5netcdf") is not None else None
    _write(ds, functools.partial(ds.to_netcdf, path, engine=engine), label)


def write_zarr(ds: Any, path: str, label: str) -> None:
    with warnings.catch_warnings():
        # zarr warns about how it stores text coordinates; not the user's concern
        warnings.simplefilter("ignore")
        _write(ds, functools.partial(ds.to_zarr, path, mode="w"), label)


def write_labelled(dataset_of: Callable[[str], ContextManager[Any]], out: str, fmt: str) -> None:
    """Writes the Dataset that ``dataset_of(format name)`` gives to ``out``
    as NetCDF (``nc``) or zarr, under a temporary name until complete."""
    if fmt == "zarr":
        require("zarr", "all", "zarr export")
    writer = write_netcdf if fmt == "nc" else write_zarr
    with dataset_of("NetCDF" if fmt == "nc" else "zarr") as ds, \
            replaced_on_success(out, folder=fmt == "zarr") as temp:
        writer(ds, temp, os.path.basename(out))


def export(obj: Series | Spectrum, out: str, fmt: str,
           start: int = 0, stop: int | None = None) -> Selection:
    """Write the selected spectra of ``obj`` to ``out`` in format ``fmt``."""
    sel = Selection(obj, start, stop)
    label = os.path.basename(out)
    if fmt in ("nc", "zarr"):
        write_labelled(functools.partial(_dataset, sel), out, fmt)
        return sel
    if fmt == "parquet":
        require("pyarrow.parquet", "parquet", "Parquet export")
    text = fmt in ("csv", "tsv")
    total, unit = (sel.points, "rows") if text else (sel.n, "spectra")
    with replaced_on_success(out) as temp, progress_bar(total, label, unit) as bar:
        if text:
            write_text_table(sel, temp, "," if fmt == "csv" else "\t", bar)
        elif fmt == "npz":
            write_npz(sel, temp, bar)
        else:
            write_parquet(sel, temp, bar)
    return sel


__all__ = ["FORMATS", "export", "format_of", "Selection", "MissingDependency"]
