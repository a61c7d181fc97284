"""Virtual Zarr references: a spectral file read as a Zarr store in place.

:func:`references` describes a file as a Zarr (format 2) store whose chunks
are byte ranges of the original file, in the reference format that fsspec's
``ReferenceFileSystem`` reads (``{"version": 1, "refs": {...}}``).  Tools that
know Zarr but not this file format then read the spectra straight from the
file, wherever it is served, without karvo::

    >>> refs = karvo.references("run42")                          # doctest: +SKIP
    >>> ds = xr.open_dataset("reference://", engine="zarr", backend_kwargs={
    ...     "consolidated": False,
    ...     "storage_options": {"fo": refs, "remote_protocol": "file"}})  # doctest: +SKIP

The variables, coordinates and attributes are those of the xarray engine
(``engine="karvo"``): they are taken from the engine's own store, opened at
header cost, so the two never differ.  Values are chunked by spectrum (runs
of spectra when no mini header lies between them); ``x`` and everything along
``spectrum`` are written into the references themselves.
"""
from __future__ import annotations

import base64
import json
import os
import zlib
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np

from .. import _native
from .._errors import FormatError
from .._core.opened import absolute
from .._storage.location import display_name
from .._storage.sources import ObjectIdentity, local_path

__all__ = ["references", "combine", "redacted"]

# Contiguous spectra (no mini headers between them) are referenced in runs of
# at most this many bytes, so that one read serves many spectra.
RUN_BYTES = 8 << 20

# Attributes of a Zarr variable that the Zarr engine of xarray reads as its
# dimension names.
DIMENSIONS = "_ARRAY_DIMENSIONS"

# The root attribute that records each file referred to as it was when the
# references were made (url, size, etag, mtime), for `karvo refs --check`.
SOURCES = "karvo_sources"


def references(source: str | os.PathLike[str], *, storage_options: Mapping[str, Any] | None = None,
               url: str | None = None) -> dict[str, Any]:
    """Zarr references to the spectra of ``source``, in place.

    Returns ``{"version": 1, "refs": {...}}``: Zarr format 2 metadata with
    the variables, coordinates and attributes that
    ``xr.open_dataset(source, engine="karvo")`` gives; the values as byte
    ranges of the file, and the spectral axis and everything along
    ``spectrum`` (titles, series dimensions, mini header fields) written
    into the references.  A series cut short gives its complete spectra
    (with karvo.TruncatedWarning, as the engine does).

    url: the location written into the references for the file (default:
    the absolute path, or the URL read), for references built from a local
    copy of a file that is served elsewhere.
    storage_options: for a source given as a URL, the options of its file
    system.

    The root attribute ``karvo_sources`` records the file as it was opened
    for them: ``[{"url": ..., "size": ..., "etag": ..., "mtime": ...}]``
    (its display name; the store's ETag, or None, and modification time as
    it tells it; a local file's mtime in nanoseconds; with ``url``, the
    size alone), which ``karvo refs --check`` compares with the file now.

    The chunk references hold the URL as given, user info and query string
    too (a signature, a token): they must fetch the bytes.  The attributes
    name the file without them, as the engine does; :func:`redacted` takes
    them out of the chunk references too, for references to be shared.
    """
    store, info, location = _open_store(_text_of(source), storage_options)
    try:
        variables, attrs = store.get_variables(), dict(store.get_attrs())
    finally:
        store.close()
    target = location if url is None else url
    if url is not None and "source" in attrs:
        attrs["source"] = display_name(url)    # where these references send readers
    attrs[SOURCES] = [_source_record(store._key.location.identity, target, info["size"], url is None)]
    return _zarr_refs(variables, attrs, _chunks(variables, info, target))


def _source_record(identity: Any, target: str, size: int, read_there: bool) -> dict[str, Any]:
    """What the references record of the object they refer to: its display
    name, size, ETag and modification time, as seen when it was opened for
    them (a local file: its mtime in ns; device and inode mean the file on
    this machine only). Only the size when the file read is a copy of the
    one they refer to (read_there False): its time is the copy's."""
    etag = mtime = None
    if isinstance(identity, ObjectIdentity):
        size, etag, mtime = identity
    elif identity is not None:
        size, mtime = identity.size, identity.mtime_ns
    if not read_there:
        etag = mtime = None
    return {"url": display_name(target), "size": int(size), "etag": etag, "mtime": mtime}


def combine(parts: Sequence[tuple[str, dict[str, Any]]], mismatched: str = "raise",
            task: str = "karvo.references", stacklevel: int = 2) -> dict[str, Any]:
    """One store of the references of several files, concatenated along
    ``spectrum`` as ``karvo.open_mfdataset`` concatenates them, with the
    coordinate ``file`` naming each spectrum's file.  parts: (file name,
    references) pairs, in order; a single spectrum is one row.

    The files of another spectral axis than most share are an error naming
    each of them (``mismatched="raise"``) or left out with one UserWarning
    naming them (``"skip"``), as for ``karvo.read_many``; files whose
    values are of another type than the others' don't combine (a chunk
    reference can't convert them).  A variable along ``spectrum`` that a
    file lacks (a series without mini headers has no titles, a field of
    another mini header type) is missing on its rows: NaN for floats,
    ``""`` for text, and for integers a value none of the files holds,
    written as the array's fill value, which Zarr readers give as
    ``_FillValue`` and xarray masks.  Attributes that differ between the
    files are dropped (xarray's ``combine_attrs="drop_conflicts"``)."""
    from .._core.many import check_mismatched, one_axis

    check_mismatched(mismatched)
    if len(parts) == 1:
        return parts[0][1]
    files = [_Stacked(name, refs) for name, refs in parts]
    for f in files:
        if "file" in f.meta:
            raise ValueError(f"{f.name} has a variable named file, the coordinate that "
                             "would name each spectrum's file: it doesn't combine")
    files, _ = one_axis(files, mismatched, task, stacklevel + 1)
    first = files[0]
    for f in files[1:]:
        if f.dtype != first.dtype:
            raise ValueError(f"{first.name} and {f.name} hold values of different types "
                             f"({first.dtype.name}, {f.dtype.name}): they don't combine")
    counts = [f.rows for f in files]
    out: dict[str, Any] = {".zgroup": json.dumps({"zarr_format": 2})}
    attrs = _dropping_conflicts([{k: v for k, v in f.attrs.items() if k != SOURCES} for f in files])
    records = [f.attrs.get(SOURCES) for f in files]
    if all(isinstance(r, list) for r in records):  # a part without one leaves the whole unrecorded
        kept: list[Any] = []
        for record in (r for rs in records for r in (rs or [])):
            if record not in kept:      # a file named twice
                kept.append(record)
        attrs[SOURCES] = kept
    coordinates: dict[str, None] = {}
    for f in files:
        coordinates.update(dict.fromkeys(f.attrs.get("coordinates", "").split()))
    for f in files:
        coordinates.update(dict.fromkeys(f.along))
    coordinates["file"] = None
    attrs.pop("coordinates", None)
    attrs["coordinates"] = " ".join(coordinates)
    out[".zattrs"] = json.dumps(attrs)
    out.update(_copy(first.refs, "x"))
    out["x/.zattrs"] = json.dumps(_dropping_conflicts([f.meta["x"][1] for f in files]))
    out.update(_stack_chunks(files, counts))
    names: dict[str, None] = {}
    for f in files:
        names.update(dict.fromkeys(n for n in f.along if n not in names))
    for name in names:
        pieces = [f.along.get(name) for f in files]
        values, fill = _joined([None if p is None else p[0] for p in pieces], counts, name)
        var_attrs = _dropping_conflicts([p[1] for p in pieces if p is not None])
        var_attrs[DIMENSIONS] = ["spectrum"]
        out.update(_inline(name, values, var_attrs, fill))
    out.update(_inline("file", np.repeat(np.array([f.name for f in files]), counts), {DIMENSIONS: ["spectrum"]}))
    return {"version": 1, "refs": out}


# --- one file ---------------------------------------------------------------

def _open_store(source: str, storage_options: Mapping[str, Any] | None) -> tuple[Any, dict[str, Any], str]:
    """The engine's store of source, the file's geometry (the native
    structure's scalars) and the location of its bytes.  The geometry is
    that of the open file that the store described, so the chunks point
    where the variables say they are."""
    from .engine import KarvoDataStore

    store = KarvoDataStore(source, truncated="warn", storage_options=storage_options)
    return store, store.geometry, file_name(source, None)


def _text_of(source: Any) -> str:
    """source as text, taken once (a second __fspath__ may name another file)."""
    if isinstance(source, (str, bytes, os.PathLike)):
        return os.fsdecode(os.fspath(source))
    raise TypeError("references say where the file is, so they are built from a path or a URL, "
                    f"not {type(source).__name__}")


def _chunks(variables: Mapping[str, Any], info: Mapping[str, Any], url: str) -> dict[str, Any]:
    """The chunk grid and chunk references of the values variable."""
    if "spectra" in variables:
        held, points = variables["spectra"].shape
        size, stride, mini = info["values_size"], info["stride"], info["mini_size"]
        run = _run_length(held, size) if mini == 0 else 1
        try:
            keys = _native.chunk_refs("spectra", url, info["data_start"] + mini, stride, size, held, run,
                                      info["size"])
        except ValueError as exc:
            name = display_name(url)
            raise FormatError(f"{name}: {exc}", name) from None
        return {"name": "spectra", "chunks": [run, max(1, points)], "keys": keys}
    (points,) = variables["spectrum"].shape
    size = points * variables["spectrum"].dtype.itemsize
    keys = {"spectrum/0": [url, info["values_offset"], size]} if size else {}
    return {"name": "spectrum", "chunks": [max(1, points)], "keys": keys}


def _run_length(count: int, size: int) -> int:
    """Spectra per chunk when they lie back to back: the largest divisor of
    count (every chunk full) whose run stays within RUN_BYTES."""
    limit = max(1, RUN_BYTES // max(1, size))
    if count <= limit:
        return max(1, count)
    best, d = 1, 1
    while d * d <= count:
        if count % d == 0:
            for run in (d, count // d):
                if best < run <= limit:
                    best = run
        d += 1
    return best


def _zarr_refs(variables: Mapping[str, Any], attrs: Mapping[str, Any], chunks: Mapping[str, Any]) -> dict[str, Any]:
    # The chunk references are most of it: the rest goes into their dict.
    refs: dict[str, Any] = chunks["keys"]
    refs.update({".zgroup": json.dumps({"zarr_format": 2}), ".zattrs": json.dumps(_plain(attrs))})
    for name, var in variables.items():
        var_attrs = {**_plain(var.attrs), DIMENSIONS: list(var.dims)}
        if name == chunks["name"]:
            dtype = np.dtype(var.dtype).newbyteorder("<")
            refs[f"{name}/.zarray"] = _zarray(var.shape, chunks["chunks"], dtype)
            refs[f"{name}/.zattrs"] = json.dumps(var_attrs)
        else:
            refs.update(_inline(name, np.asarray(var.values), var_attrs))
    return {"version": 1, "refs": refs}


def _zarray(shape: Iterable[int], chunks: Iterable[int], dtype: np.dtype[Any],
            compressor: dict[str, Any] | None = None, fill_value: int | None = None) -> str:
    return json.dumps({"zarr_format": 2, "shape": list(shape), "chunks": list(chunks),
                       "dtype": dtype.str, "compressor": compressor, "filters": None,
                       "fill_value": fill_value, "order": "C", "dimension_separator": "."})


# Fixed-width text is mostly padding (4 bytes a character, to the longest
# title or file name): written compressed, it takes a few percent of the room.
TEXT_LEVEL = 1
TEXT_COMPRESSOR = {"id": "zlib", "level": TEXT_LEVEL}


def _only_chunk(name: str, ndim: int) -> str:
    """The key of the one chunk of a variable written inline."""
    return f"{name}/" + (".".join(["0"] * ndim) or "0")


def _inline(name: str, values: np.ndarray[Any, Any], attrs: Mapping[str, Any],
            fill_value: int | None = None) -> dict[str, str]:
    """A variable whose one chunk is written into the references (base64);
    fill_value, where given, marks the missing values."""
    if values.dtype.kind in "OT":               # text held as objects: fixed width
        values = values.astype(str)
    if values.dtype.kind == "U" and values.dtype.itemsize == 0:
        values = values.astype("<U1")
    values = np.ascontiguousarray(values, dtype=values.dtype.newbyteorder("<"))
    chunk = [max(1, n) for n in values.shape]
    compressor = TEXT_COMPRESSOR if values.dtype.kind == "U" else None
    out = {f"{name}/.zarray": _zarray(values.shape, chunk, values.dtype, compressor, fill_value),
           f"{name}/.zattrs": json.dumps(_plain(attrs))}
    if values.size:
        data: Any = values.data.cast("B")    # no copy: values is contiguous
        if compressor:
            data = zlib.compress(data, TEXT_LEVEL)
        out[_only_chunk(name, values.ndim)] = "base64:" + base64.b64encode(data).decode("ascii")
    return out


def _plain(attrs: Mapping[str, Any]) -> dict[str, Any]:
    """Attributes as JSON holds them (numpy scalars as Python numbers)."""
    return {k: v.item() if isinstance(v, np.generic) else v for k, v in attrs.items()}


# --- several files ------------------------------------------------------------

def _metadata(refs: Mapping[str, Any]) -> dict[str, tuple[dict[str, Any], dict[str, Any], Any]]:
    """Per variable (and "" for the group): its .zarray, its .zattrs and its
    first chunk (the values of a variable written inline)."""
    out: dict[str, tuple[dict[str, Any], dict[str, Any], Any]] = {"": ({}, json.loads(refs[".zattrs"]), None)}
    for key, text in refs.items():
        if key.endswith("/.zarray"):
            name, zarray = key[:-len("/.zarray")], json.loads(text)
            first = refs.get(_only_chunk(name, len(zarray["shape"])))
            out[name] = (zarray, json.loads(refs[f"{name}/.zattrs"]), first)
    return out


class _Stacked:
    """One file's references as they stack: its axis, values and the
    variables along spectrum (a single spectrum's title as one row)."""

    def __init__(self, name: str, refs: Mapping[str, Any]) -> None:
        self.name = name
        self.refs: Mapping[str, Any] = refs["refs"]
        self.meta = _metadata(self.refs)
        self.attrs: dict[str, Any] = self.meta[""][1]
        self.x = np.asarray(_inline_values(self.refs, "x", self.meta["x"][0]), dtype=np.float64)
        self.single = "spectra" not in self.meta
        values = self.meta["spectrum" if self.single else "spectra"]
        self.dtype = np.dtype(values[0]["dtype"])
        self.values_attrs = {k: v for k, v in values[1].items() if k != DIMENSIONS}
        # (values, attributes) of each variable along spectrum
        self.along: dict[str, tuple[np.ndarray[Any, Any], dict[str, Any]]] = {}
        if self.single:
            self.rows = 1
            self.along["title"] = (np.array([str(self.attrs.get("title", ""))]), {})
            return
        self.rows = int(values[0]["shape"][0])
        for key, (zarray, zattrs, _) in self.meta.items():
            dims = zattrs.get(DIMENSIONS, [])
            if key in ("", "spectra", "x"):
                continue
            if dims != ["spectrum"]:
                raise ValueError(f"{name}: its variable {key} lies along {dims}, not along spectrum: "
                                 "it doesn't combine")
            self.along[key] = (_inline_values(self.refs, key, zarray),
                               {k: v for k, v in zattrs.items() if k != DIMENSIONS})


def _dropping_conflicts(all_attrs: Sequence[Mapping[str, Any]]) -> dict[str, Any]:
    """The attributes, those whose values differ between files dropped
    (xarray's combine_attrs="drop_conflicts")."""
    out: dict[str, Any] = {}
    dropped: set[str] = set()
    for attrs in all_attrs:
        for key, value in attrs.items():
            if key in dropped:
                continue
            if key in out and out[key] != value:
                del out[key]
                dropped.add(key)
            elif key not in out:
                out[key] = value
    return out


def _joined(pieces: Sequence[np.ndarray[Any, Any] | None], sizes: Sequence[int],
            name: str) -> tuple[np.ndarray[Any, Any], int | None]:
    """A variable along spectrum from each file's values, and its fill
    value: where a file has none, NaN (floats), "" (text) or, for integers,
    the fill value, one that no file holds (never one that reads as real)."""
    present = [p for p in pieces if p is not None]
    try:
        kind = np.result_type(*present)
    except TypeError:
        raise ValueError(f"the files hold {name} as text in some and as numbers in others: "
                         "they don't combine") from None
    if kind.kind == "b":
        kind = np.dtype(np.uint8)
    if len(present) == len(pieces):
        return np.concatenate([p.astype(kind, copy=False) for p in present]), None
    fill: int | None = None
    blank: Any
    if kind.kind in "fc":
        blank = np.nan
    elif kind.kind in "US":
        blank = ""
    else:
        fill = _unused(kind, np.concatenate(present).astype(kind, copy=False))
        if fill is None:        # every value of the type taken: one wider
            kind = np.dtype(np.int64) if kind.itemsize < 8 else np.dtype(np.float64)
            return _joined([None if p is None else p.astype(kind) for p in pieces], sizes, name)
        blank = fill
    return np.concatenate([p.astype(kind, copy=False) if p is not None else np.full(n, blank, kind)
                           for p, n in zip(pieces, sizes)]), fill


def _unused(kind: np.dtype[Any], values: np.ndarray[Any, Any]) -> int | None:
    """A value of the integer type kind that values doesn't hold: the
    lowest of a signed type, the highest of an unsigned one, or the nearest
    free one after it; None where none is free."""
    info = np.iinfo(kind)
    taken = set(np.unique(values).tolist())
    step = 1 if kind.kind == "i" else -1
    start = info.min if kind.kind == "i" else info.max
    for k in range(len(taken) + 1):
        candidate = start + step * k
        if candidate not in taken and info.min <= candidate <= info.max:
            return int(candidate)
    return None


def _copy(refs: Mapping[str, Any], name: str) -> dict[str, Any]:
    return {k: v for k, v in refs.items() if k.startswith(name + "/")}


def _inline_values(refs: Mapping[str, Any], name: str, zarray: Mapping[str, Any]) -> np.ndarray[Any, Any]:
    key = _only_chunk(name, len(zarray["shape"]))
    dtype = np.dtype(zarray["dtype"])
    if key not in refs:
        return np.empty(zarray["shape"], dtype)
    data = base64.b64decode(refs[key][len("base64:"):])
    if zarray.get("compressor"):
        data = zlib.decompress(data)
    return np.frombuffer(data, dtype).reshape(zarray["shape"])


def _stack_chunks(files: Sequence[_Stacked], counts: Sequence[int]) -> dict[str, Any]:
    """The values of every file, one spectrum a chunk (every chunk of a
    Zarr array has the same shape, and the files' runs may differ)."""
    first = files[0]
    points = len(first.x)
    total = sum(counts)
    attrs = _dropping_conflicts([f.values_attrs for f in files])
    attrs[DIMENSIONS] = ["spectrum", "x"]
    out: dict[str, Any] = {"spectra/.zarray": _zarray([total, points], [1, max(1, points)], first.dtype),
                           "spectra/.zattrs": json.dumps(attrs)}
    size = first.dtype.itemsize * points
    row = 0
    for f, count in zip(files, counts):
        if f.single:
            target = f.refs.get("spectrum/0")
            if target is not None:
                out[f"spectra/{row}.0"] = list(target)
        else:
            run = f.meta["spectra"][0]["chunks"][0]
            for k in range(0, count, run):
                target, at, _ = f.refs.get(f"spectra/{k // run}.0", [None, 0, 0])
                if target is None:
                    continue
                for j in range(min(run, count - k)):
                    out[f"spectra/{row + k + j}.0"] = [target, at + j * size, size]
        row += count
    return out


def json_bytes(refs: Mapping[str, Any]) -> bytes:
    """The text json.dumps(refs) gives, as bytes (ASCII): the dict of
    references formatted natively (json.dumps takes four to eight times as
    long on a reference per spectrum), json.dumps for anything else."""
    if list(refs) == ["version", "refs"] and refs["version"] == 1 and type(refs["version"]) is int:
        try:
            return b'{"version": 1, "refs": ' + _native.refs_json(refs["refs"]) + b"}"
        except TypeError:
            pass
    return json.dumps(refs).encode("ascii")


def redacted(refs: Mapping[str, Any]) -> dict[str, Any]:
    """refs with the location of every chunk reference written without user
    info, query string and fragment (its display name), for sharing: a
    reader then needs credentials of its own where the store asks for them
    (a signed URL's signature no longer travels with them)."""
    shown: dict[str, str] = {}          # a few locations, for a reference per spectrum
    out: dict[str, Any] = {}
    for key, value in refs["refs"].items():
        if isinstance(value, (list, tuple)) and value and isinstance(value[0], str):
            where = value[0]
            if where not in shown:
                shown[where] = display_name(where)
            value = [shown[where], *value[1:]]
        out[key] = value
    return {**refs, "refs": out}


def file_name(source: str, url: str | None) -> str:
    """What the coordinate ``file`` calls a file: url when given, else the
    URL read, or the absolute path of a local file (``file://`` URLs too)."""
    if url is not None:
        return url
    local = local_path(source)
    return source if local is None else os.fsdecode(absolute(local))
