"""Many files as one export: their spectra stacked as ``karvo.read_many``
stacks them, with the columns of its table, but read a chunk of spectra at a
time so that memory stays bounded however many files there are.

The first pass (``first_pass``) opens each file, checking its structure,
takes what the export needs (axis, dtype, spectra, per-spectrum metadata)
and closes it again; writing opens each series again, the very file seen
before, for its rows.  The columns of a file that lacks one are missing
there: masked here, then null (Parquet), an empty cell (CSV/TSV), or NaN
and "" (npz, NetCDF, zarr; integers with a missing value become float64).
"""
from __future__ import annotations

import contextlib
import csv
import functools
import io
import os
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

from .. import _native
from .._core.api import open as _open
from .._storage.atomic import replaced_on_success
from .._storage.location import local_path
from .._errors import FormatError
from .single import (LONG_FORMATS, Progress, Rows, _NoProgress,
                      _npz_member, axis_metadata, parquet_writer, progress_bar, value_lists,
                      write_labelled, write_text_table)
from .._extras import optional, require
from .._core.inputs import Found
from .._core.many import _Part, _reopened, one_axis
from .._core.table import IN_FILE, IN_FILE_ALIAS
from .._core.names import unique, variable_name
from .._core.open_files import OPEN_FILES

LONG_ROWS = 1 << 18   # rows of the long layout per Parquet row group (metadata repeated in each)
LONG_CALL_ROWS = 1 << 16   # rows of long text per native call (each up to ~70 bytes + its metadata)


def first_pass(found: Sequence[Found], storage_options: dict[str, Any] | None = None,
               opener: Callable[[str], Any] | None = None) -> list[_Part | tuple[Found, BaseException]]:
    """Each file opened (by ``opener``, which must raise FormatError or
    OSError for a file it can't read), looked at and closed, on a pool of
    threads: its ``_Part``, or the file and the error that refused it. A
    URL is opened, then again for its rows, with storage_options."""
    open_one = opener or (lambda path: _open(path, "ignore", storage_options=storage_options))

    def look(f: Found) -> _Part | tuple[Found, BaseException]:
        # found in a local folder: a pipe would block, a dead link fail (a URL's listing holds objects only)
        if not f.named and local_path(f.path) is not None and not os.path.isfile(f.path):
            return f, OSError(0, "not a regular file")
        try:
            with open_one(f.path) as opened:
                return _Part(f.path, opened)
        except (FormatError, OSError) as exc:
            return f, exc

    with ThreadPoolExecutor() as pool:
        return list(pool.map(look, found))


def _joined(pieces: list[np.ndarray | None], sizes: list[int]) -> np.ndarray:
    """One column from each file's values: masked where a file has none."""
    present = [p for p in pieces if p is not None]
    if not present:            # no spectra selected
        return np.empty(0, object)
    if len(present) == len(pieces):
        return np.concatenate(present)
    kind = np.result_type(*present)
    blank = "" if kind.kind == "O" else 0
    values = np.concatenate([p if p is not None else np.full(n, blank, kind) for p, n in zip(pieces, sizes)])
    missing = np.concatenate([np.full(n, p is None) for p, n in zip(pieces, sizes)])
    return np.ma.MaskedArray(values, missing)


def filled(column: np.ndarray) -> np.ndarray:
    """A column for formats without missing values: NaN for numbers (integers
    with a missing value widened to float64, exact to 2**53), "" for text."""
    if not isinstance(column, np.ma.MaskedArray):
        return column
    if column.dtype.kind == "O":
        return column.filled("")
    blank = np.ma.getmaskarray(column)
    values = np.array(np.ma.getdata(column), dtype=column.dtype if column.dtype.kind == "f" else np.float64)
    values[blank] = np.nan
    return values


def _cells(column: np.ndarray) -> list[str]:
    """Text of a metadata column: floats as the values of the table are
    written (the shortest text that reads back to the same value of their
    type, laid out as Python's repr lays out a float), other values as
    ``str`` gives them, missing ones empty."""
    blank = np.ma.getmaskarray(column)
    data = np.ma.getdata(column)
    if data.dtype.kind == "f" and data.dtype.itemsize in (4, 8):
        cells = _native.number_cells(data)
    else:
        cells = [str(v) for v in data.tolist()]
    if blank.any():
        for k in np.flatnonzero(blank).tolist():
            cells[k] = ""
    return cells


class Stack(Rows):
    """Spectra start:stop of the files' stacked spectra (``parts`` in order),
    checked to share one spectral axis."""

    def __init__(self, parts: Sequence[_Part], start: int = 0, stop: int | None = None,
                 mismatched: str = "raise"):
        # the files of the axis most share; the others an error, or left out with a warning
        parts, self.x = one_axis(list(parts), mismatched, "karvo export", stacklevel=3)
        self.dtype = np.dtype(np.result_type(*(p.dtype for p in parts)))
        total = sum(p.rows for p in parts)
        start, stop, _ = slice(start, stop).indices(total)
        stop = max(start, stop)
        self.n = stop - start
        # (part, first row, end row) of each file that has selected spectra
        self.pieces: list[tuple[_Part, int, int]] = []
        offset = 0
        for part in parts:
            lo, hi = max(start - offset, 0), min(stop - offset, part.rows)
            if lo < hi:
                self.pieces.append((part, lo, hi))
            offset += part.rows
        sizes = [hi - lo for _, lo, hi in self.pieces]
        order: dict[str, None] = {"title": None, "file_title": None}
        for part, _, _ in self.pieces:
            order.update(dict.fromkeys(part.columns))
        # the columns of read_many's table, the index within the file under
        # its former name last (a copy, until karvo 0.2.0; "index" in npz, nc, zarr)
        in_file = np.concatenate([np.arange(lo, hi, dtype=np.int64) for _, lo, hi in self.pieces]
                                 or [np.empty(0, np.int64)])
        self.columns: dict[str, np.ndarray] = {
            "file": np.repeat(np.array([p.name for p, _, _ in self.pieces], dtype=object), sizes),
            IN_FILE: in_file,
        }
        for name in order:
            self.columns[name] = _joined(
                [None if (c := p.columns.get(name)) is None else c[lo:hi] for p, lo, hi in self.pieces], sizes)
        self.columns[IN_FILE_ALIAS] = in_file

    def chunks(self, bar: Progress, chunk: int | None = None) -> Iterator[tuple[int, np.ndarray]]:
        """(offset in the stack, 2-D rows) for every selected spectrum, at
        most ``chunk`` spectra at a time and never across two files."""
        chunk = chunk or self.chunk
        offset = 0
        for part, lo, hi in self.pieces:
            with contextlib.ExitStack() as held:
                # a series is opened once for all its chunks
                source = part.values if part.values is not None else held.enter_context(_reopened(part))
                for a in range(lo, hi, chunk):
                    b = min(a + chunk, hi)
                    yield offset, _rows(source, a, b, self.dtype)
                    offset += b - a
                    bar.update(b - a)


def _rows(source: Any, a: int, b: int, dtype: np.dtype[Any]) -> np.ndarray:
    """Rows [a, b) of a single spectrum's values or of an open series, as dtype."""
    return np.asarray(source[a:b] if isinstance(source, np.ndarray) else source.read(a, b), dtype=dtype)


def read_rows(part: _Part, a: int, b: int, dtype: np.dtype[Any]) -> np.ndarray:
    """Rows [a, b) of one file, as dtype (a task of its own)."""
    if part.values is not None:
        return _rows(part.values, a, b, dtype)
    with _reopened(part) as s:
        return _rows(s, a, b, dtype)


def _beside(columns: dict[str, np.ndarray], fixed: Sequence[str]) -> dict[str, np.ndarray]:
    """columns, those named like one of the layout's own (``fixed``) renamed
    by appending ``_``: the layout's names stay as documented."""
    taken = set(columns) | set(fixed)
    out: dict[str, np.ndarray] = {}
    for name, values in columns.items():
        if name in fixed:
            name = unique(name, taken)
            taken.add(name)
        out[name] = values
    return out


def _line(cells: Sequence[str], delimiter: str) -> str:
    """One row of CSV/TSV text, quoted where needed, without its newline."""
    text = io.StringIO()
    csv.writer(text, delimiter=delimiter, lineterminator="").writerow(cells)
    return text.getvalue()


# --- wide: the single-file layouts, a file column added ---------------------

def wide_header(stack: Stack) -> list[list[str]]:
    """CSV/TSV header rows: one per column of the table (file,
    spectrum_in_file, title, ...), its name first, then its value for each spectrum; then a
    row ``x`` alone, naming the first column of the rows below (where pandas
    looks for the name of the index under a header of several rows)."""
    return [[name, *_cells(values)] for name, values in _beside(stack.columns, ["x"]).items()] \
        + [["x", *[""] * stack.n]]


def write_npz(stack: Stack, path: str, bar: Progress) -> None:
    """x, values (spectra x points), file, spectrum_in_file (and its former
    name, index), titles, and columns/NAME for every other column of the table."""
    import zipfile
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED, allowZip64=True) as zf:
        _npz_member(zf, "x", stack.x)
        with zf.open("values.npy", "w", force_zip64=True) as fh:
            np.lib.format.write_array_header_2_0(fh, {
                "descr": np.lib.format.dtype_to_descr(stack.dtype),
                "fortran_order": False, "shape": (stack.n, stack.points)})
            for _a, rows in stack.chunks(bar):
                fh.write(np.ascontiguousarray(rows).data)
        names = {"file": "file", IN_FILE: IN_FILE, IN_FILE_ALIAS: "index", "title": "titles"}
        for name, values in stack.columns.items():
            values = filled(values)
            _npz_member(zf, names.get(name, f"columns/{name}"),
                        values.astype(str) if values.dtype.kind == "O" else values)


def _arrow(pa: Any, values: np.ndarray) -> Any:
    """A column as an Arrow array, nulls where it is masked."""
    mask = np.ma.getmaskarray(values) if isinstance(values, np.ma.MaskedArray) else None
    data = np.ma.getdata(values)
    kind = pa.string() if data.dtype.kind == "O" else pa.from_numpy_dtype(data.dtype)
    return pa.array(data, type=kind, mask=mask)


def _parquet_schema(pa: Any, stack: Stack, head: dict[str, Any], tail: dict[str, np.ndarray]) -> Any:
    def kind(values: np.ndarray) -> Any:
        return pa.string() if values.dtype.kind == "O" else pa.from_numpy_dtype(values.dtype)
    return pa.schema([*head.items(), *((name, kind(v)) for name, v in tail.items())],
                     metadata=axis_metadata(stack.x))


def _gathered(chunks: Iterator[tuple[int, np.ndarray]], size: int) -> Iterator[tuple[int, np.ndarray]]:
    """The chunks of a stack joined across files into runs of at least
    ``size`` spectra (the last may be shorter): a row group of Parquet each,
    rather than one per small file."""
    held: list[np.ndarray] = []
    first = count = 0
    for a, rows in chunks:
        if not held:
            first = a
        held.append(rows)
        count += rows.shape[0]
        if count >= size:
            yield first, held[0] if len(held) == 1 else np.concatenate(held)
            held, count = [], 0
    if held:
        yield first, held[0] if len(held) == 1 else np.concatenate(held)


def _ahead(items: Iterator[tuple[int, np.ndarray]]) -> Iterator[tuple[int, np.ndarray]]:
    """items, the next one read on a thread of its own while this one is
    written (Arrow encodes without the interpreter lock): the reads and the
    encoding share two cores rather than taking turns on one."""
    try:
        with ThreadPoolExecutor(1) as pool:
            pending = pool.submit(next, items, None)
            while (item := pending.result()) is not None:
                pending = pool.submit(next, items, None)
                yield item
    finally:
        # After the pool has ended (no read of items runs any more): a writer
        # that failed leaves the files items holds open closed now, not
        # whenever the garbage collector gets to them.
        close = getattr(items, "close", None)
        if close is not None:
            close()


def write_parquet(stack: Stack, path: str, bar: Progress) -> None:
    """A row per spectrum: the table's columns, then ``values`` (a
    fixed-size list of the points); the axis in the schema's metadata. A
    row group per chunk of spectra (CHUNK_BYTES of values), across files."""
    pa = require("pyarrow", "parquet", "Parquet export")
    pq = require("pyarrow.parquet", "parquet", "Parquet export")
    value_type = pa.list_(pa.from_numpy_dtype(stack.dtype), stack.points or -1)
    columns = _beside(stack.columns, ["values"])
    schema = _parquet_schema(pa, stack, {}, columns).append(pa.field("values", value_type))
    with parquet_writer(pa, pq, path, schema, "values") as writer:
        for a, rows in _ahead(_gathered(stack.chunks(bar), stack.chunk)):
            b = a + rows.shape[0]
            arrays = [_arrow(pa, values[a:b]) for values in columns.values()]
            arrays.append(value_lists(pa, rows, value_type))
            writer.write_table(pa.Table.from_arrays(arrays, schema=schema))


@contextlib.contextmanager
def dataset(stack: Stack, fmt: str) -> Iterator[Any]:
    """The stack as an xarray Dataset: ``spectra`` (spectrum, x), the axis
    ``x`` and every column of the table as a coordinate along ``spectrum``
    (the former name of ``spectrum_in_file``, ``spectrum``, as ``index``,
    which it was called here before); lazy, read a chunk at a time, when
    dask is installed."""
    xr = require("xarray", "xarray", f"{fmt} export")
    da = optional("dask.array")
    if da is None:
        values = np.empty((stack.n, stack.points), stack.dtype)
        for a, rows in stack.chunks(_NoProgress()):
            values[a:a + rows.shape[0]] = rows
    else:
        dask = require("dask", "xarray", f"{fmt} export")
        blocks = []
        for part, lo, hi in stack.pieces:
            for a in range(lo, hi, stack.chunk):
                b = min(a + stack.chunk, hi)
                blocks.append(da.from_delayed(dask.delayed(read_rows)(part, a, b, stack.dtype),
                                              (b - a, stack.points), stack.dtype))
        # zarr wants even chunks: blocks end where files do, so they are merged anew
        values = da.concatenate(blocks).rechunk({0: stack.chunk}) if blocks else \
            np.empty((0, stack.points), stack.dtype)
    coords: dict[str, Any] = {"x": ("x", stack.x)}
    taken = {"x", "spectra", "spectrum", "index"}
    for name, column in stack.columns.items():
        former = name == IN_FILE_ALIAS
        safe = "index" if former else unique(variable_name(name), taken)
        taken.add(safe)
        column = filled(column)
        attrs = {"label": name} if safe != name and not former else {}
        coords[safe] = ("spectrum", column.astype(str) if column.dtype.kind == "O" else column, attrs)
    yield xr.Dataset({"spectra": (("spectrum", "x"), values)}, coords=coords)


# --- long: a row per value ---------------------------------------------------

LONG = ("file", IN_FILE, "x", "value")


def long_columns(stack: Stack) -> dict[str, np.ndarray]:
    """The metadata columns of the long table (title, coordinates, mini
    header fields, and last spectrum, the former name of spectrum_in_file)
    by the names it gives them, after file, spectrum_in_file, x and value."""
    rest = {name: values for name, values in stack.columns.items() if name not in ("file", IN_FILE)}
    return _beside(rest, LONG)


def write_long_text(stack: Stack, path: str, delimiter: str, bar: Progress) -> None:
    """A row per value: file, spectrum_in_file, x, value, then the spectrum's
    metadata; numbers formatted natively as in the wide table."""
    rest = long_columns(stack)
    header = [*LONG, *rest]
    x = np.ascontiguousarray(stack.x, dtype=np.float64)
    points = stack.points
    per_call = max(1, LONG_CALL_ROWS // max(1, points))   # spectra per native call
    span = max(1, min(points, LONG_CALL_ROWS))             # points per call of a long spectrum
    with open(path, "wb") as fh:
        fh.write((_line(header, delimiter) + "\n").encode("utf-8"))
        for a, rows in stack.chunks(bar):
            for s0 in range(0, rows.shape[0], per_call):
                s1 = min(s0 + per_call, rows.shape[0])
                # the text of these spectra's metadata only: a chunk of short
                # spectra may hold the whole stack, the call at most LONG_CALL_ROWS
                spectra = slice(a + s0, a + s1)
                heads_text = [_cells(stack.columns[name][spectra]) for name in ("file", IN_FILE)]
                tails_text = [_cells(values[spectra]) for values in rest.values()]
                heads = [(_line([cells[k] for cells in heads_text], delimiter) + delimiter).encode("utf-8")
                         for k in range(s1 - s0)]
                tails = [(delimiter + _line([cells[k] for cells in tails_text], delimiter)).encode("utf-8")
                         if rest else b"" for k in range(s1 - s0)]
                for p0 in range(0, points, span):   # one spectrum at a time when it is long
                    p1 = min(p0 + span, points)
                    fh.write(_native.long_rows(x[p0:p1], rows[s0:s1, p0:p1], heads, tails, delimiter))


def write_long_parquet(stack: Stack, path: str, bar: Progress) -> None:
    """A row per value: file, spectrum_in_file, x, value, then the spectrum's
    metadata, in row groups of about LONG_ROWS rows."""
    pa = require("pyarrow", "parquet", "Parquet export")
    pq = require("pyarrow.parquet", "parquet", "Parquet export")
    rest = long_columns(stack)
    head = {"file": pa.string(), IN_FILE: pa.int64(), "x": pa.float64(),
            "value": pa.from_numpy_dtype(stack.dtype)}
    schema = _parquet_schema(pa, stack, head, rest)
    points = stack.points
    with parquet_writer(pa, pq, path, schema, "value") as writer:
        for a, rows in stack.chunks(bar, max(1, LONG_ROWS // max(1, points))):
            k = rows.shape[0]
            # each spectrum's metadata repeated on its rows by Arrow (no Python str per row)
            each = pa.array(np.repeat(np.arange(k, dtype=np.int64), points))
            arrays = [_arrow(pa, stack.columns[name][a:a + k]).take(each) for name in ("file", IN_FILE)]
            arrays += [pa.array(np.tile(stack.x, k)), pa.array(np.ascontiguousarray(rows).reshape(-1))]
            arrays += [_arrow(pa, values[a:a + k]).take(each) for values in rest.values()]
            writer.write_table(pa.Table.from_arrays(arrays, schema=schema))


SIZE_SAMPLE = 64   # spectra whose metadata text sizes a long CSV (values: at most 3 read)


def long_size(stack: Stack, fmt: str) -> int:
    """Bytes of the long layout of ``stack`` as ``fmt``, before writing it.

    csv/tsv: an estimate, the rows times the text of a row: the metadata
    of up to SIZE_SAMPLE spectra spread over the stack, the axis, and the
    values of up to three spectra (the first of the first, middle and last
    file), laid out as written. parquet: a bound, the values at their own
    size (written plain), a dictionary index of up to 2 bytes for
    x (8 past 65,536 points, where the dictionary gives way), and the
    metadata, repeated in runs, at most 16 bytes a column a spectrum, and
    the footer, which holds the axis."""
    rows = stack.n * stack.points
    rest = long_columns(stack)
    if fmt == "parquet":
        x_bytes = 2 if stack.points <= 1 << 16 else 8
        # the footer: the axis as JSON, and again in Arrow's schema, base64
        footer = 3 * sum(len(text) for text in axis_metadata(stack.x).values()) + (1 << 16)
        return rows * (stack.dtype.itemsize + x_bytes) + stack.n * 16 * (2 + len(rest)) + footer
    delimiter = "," if fmt == "csv" else "\t"
    header = len((_line([*LONG, *rest], delimiter) + "\n").encode("utf-8"))
    if not rows:
        return header

    def mean_length(cells: list[str]) -> float:
        return sum(len(c.encode("utf-8")) for c in cells) / max(1, len(cells))

    sample = np.unique(np.linspace(0, stack.n - 1, min(stack.n, SIZE_SAMPLE)).round().astype(np.int64))
    texts = [_cells(stack.columns[name][sample]) for name in ("file", IN_FILE)] + \
        [_cells(values[sample]) for values in rest.values()]
    metadata = mean_length([_line([cells[k] for cells in texts], delimiter) for k in range(len(sample))])
    x = np.ascontiguousarray(stack.x, dtype=np.float64)
    x_text = mean_length(_native.number_cells(x[::max(1, x.shape[0] // 4096)]))
    picked = {id(p): (p, lo) for p, lo, _ in (stack.pieces[0], stack.pieces[len(stack.pieces) // 2],
                                              stack.pieces[-1])}
    values = np.concatenate([read_rows(part, lo, lo + 1, stack.dtype)[0] for part, lo in picked.values()])
    value_text = mean_length(_native.number_cells(np.ascontiguousarray(values)))
    # a row is that line with x and value put in after its second cell: two
    # more delimiters, and the newline
    return header + int(rows * (metadata + x_text + value_text + 3))


def export_stack(stack: Stack, out: str, fmt: str, layout: str = "wide",
                 check: Callable[[int], object] | None = None) -> None:
    """Write the stack to ``out`` in format ``fmt`` and ``layout`` (wide:
    the single-file layouts with the table's columns; long: a row per value,
    csv, tsv and parquet only). ``check`` is given the size of a long
    layout (``long_size``) before anything is written, and may raise to
    stop it. The files read meanwhile are kept open in the process's
    cache, and closed when it is written or fails."""
    try:
        _export_stack(stack, out, fmt, layout, check)
    finally:
        OPEN_FILES.drop([part.key for part, _, _ in stack.pieces])


def _export_stack(stack: Stack, out: str, fmt: str, layout: str,
                  check: Callable[[int], object] | None = None) -> None:
    label = os.path.basename(out)
    if layout == "long" and fmt not in LONG_FORMATS:
        raise ValueError(f"the long layout is written as csv, tsv or parquet, not {fmt}")
    if layout == "long" and check is not None:
        if fmt == "parquet":
            require("pyarrow.parquet", "parquet", "Parquet export")
        check(long_size(stack, fmt))
    if fmt in ("nc", "zarr"):
        write_labelled(functools.partial(dataset, stack), out, fmt)
        return
    if fmt == "parquet":
        require("pyarrow.parquet", "parquet", "Parquet export")
    delimiter = "," if fmt == "csv" else "\t"
    total, unit = (stack.points, "rows") if fmt in ("csv", "tsv") and layout == "wide" else (stack.n, "spectra")
    with replaced_on_success(out) as temp, progress_bar(total, label, unit) as bar:
        if layout == "long":
            if fmt == "parquet":
                write_long_parquet(stack, temp, bar)
            else:
                write_long_text(stack, temp, delimiter, bar)
        elif fmt in ("csv", "tsv"):
            write_text_table(stack, temp, delimiter, bar, wide_header(stack))  # type: ignore[arg-type]
        elif fmt == "npz":
            write_npz(stack, temp, bar)
        else:
            write_parquet(stack, temp, bar)


__all__ = ["LONG_FORMATS", "Stack", "export_stack", "first_pass"]
