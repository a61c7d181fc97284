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
from .._storage.sources import local_path

__all__ = ["references", "combine", "redacted"]

# Contiguous spectra (no mini headers between them) are referenced in runs of
# at most this many bytes, so that one read serves many spectra.
RUN_BYTES = 8 << 20

# Attributes of a Zarr variable that the Zarr engine of xarray reads as its
# dimension names.
DIMENSIONS = "_ARRAY_DIMENSIONS"


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
    return _zarr_refs(variables, attrs, _chunks(variables, info, target))


def combine(parts: Sequence[tuple[str, dict[str, Any]]]) -> dict[str, Any]:
    """One store of the references of several files on the same spectral
    axis, concatenated along ``spectrum``, with the coordinate ``file``
    naming each spectrum's file.  Attributes that differ between the files
    are dropped (xarray's ``combine_attrs="drop_conflicts"``).  parts:
    (file name, references) pairs, in order."""
    if len(parts) == 1:
        return parts[0][1]
    metas = [_metadata(refs["refs"]) for _, refs in parts]
    first_name, first = parts[0][0], metas[0]
    for (name, _), meta in zip(parts[1:], metas[1:]):
        _check_alike(first_name, first, name, meta)
    counts = [meta["spectra"][0]["shape"][0] for meta in metas]
    out: dict[str, Any] = {".zgroup": json.dumps({"zarr_format": 2})}
    out[".zattrs"] = json.dumps(_common_attrs([m[""][1] for m in metas]))
    for name, (zarray, zattrs, _) in first.items():
        if not name:
            continue
        dims = zattrs[DIMENSIONS]
        if "spectrum" not in dims:              # x and its kind: the same in every file
            out.update(_copy(parts[0][1]["refs"], name))
            continue
        if name == "spectra":
            out.update(_stack_chunks(parts, metas, counts))
            continue
        values = np.concatenate([_inline_values(refs["refs"], name, meta[name][0])
                                 for (_, refs), meta in zip(parts, metas)])
        out.update(_inline(name, values, zattrs))
    files = np.array([name for name, _ in parts])
    out.update(_inline("file", np.repeat(files, counts), {DIMENSIONS: ["spectrum"]}))
    attrs = json.loads(out[".zattrs"])
    if "coordinates" in attrs:
        attrs["coordinates"] = " ".join([*attrs["coordinates"].split(), "file"])
        out[".zattrs"] = json.dumps(attrs)
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
            compressor: dict[str, Any] | None = None) -> str:
    return json.dumps({"zarr_format": 2, "shape": list(shape), "chunks": list(chunks),
                       "dtype": dtype.str, "compressor": compressor, "filters": None,
                       "fill_value": None, "order": "C", "dimension_separator": "."})


# Fixed-width text is mostly padding (4 bytes a character, to the longest
# title or file name): written compressed, it takes a few percent of the room.
TEXT_LEVEL = 1
TEXT_COMPRESSOR = {"id": "zlib", "level": TEXT_LEVEL}


def _only_chunk(name: str, ndim: int) -> str:
    """The key of the one chunk of a variable written inline."""
    return f"{name}/" + (".".join(["0"] * ndim) or "0")


def _inline(name: str, values: np.ndarray[Any, Any], attrs: Mapping[str, Any]) -> dict[str, str]:
    """A variable whose one chunk is written into the references (base64)."""
    if values.dtype.kind in "OT":               # text held as objects: fixed width
        values = values.astype(str)
    if values.dtype.kind == "U" and values.dtype.itemsize == 0:
        values = values.astype("<U1")
    values = np.ascontiguousarray(values, dtype=values.dtype.newbyteorder("<"))
    chunk = [max(1, n) for n in values.shape]
    compressor = TEXT_COMPRESSOR if values.dtype.kind == "U" else None
    out = {f"{name}/.zarray": _zarray(values.shape, chunk, values.dtype, compressor),
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


def _check_alike(first_name: str, first: Mapping[str, Any], name: str, meta: Mapping[str, Any]) -> None:
    """Files combine along spectrum when they hold the same variables of the
    same kind on the same spectral axis."""
    if "spectra" not in first or "spectra" not in meta:
        raise ValueError(f"{first_name}, {name}: only series files combine along spectrum")
    if _axis(first) != _axis(meta):
        raise ValueError(f"{first_name} and {name} have different spectral axes "
                         f"({_describe_axis(first)}; {_describe_axis(meta)}): they don't combine")
    if "file" in first:
        raise ValueError(f"{first_name} has a variable named file, the coordinate that "
                         "would name each spectrum's file: it doesn't combine")
    # Text may differ in width; the type, dimensions and attributes (units,
    # names) of everything else must agree.
    layout = {k: (z["dtype"] if z["dtype"][1] != "U" else "U", a) for k, (z, a, _) in first.items() if k}
    other = {k: (z["dtype"] if z["dtype"][1] != "U" else "U", a) for k, (z, a, _) in meta.items() if k}
    if layout != other:
        differ = sorted(k for k in layout.keys() | other.keys() if layout.get(k) != other.get(k))
        raise ValueError(f"{first_name} and {name} hold different variables or types "
                         f"({', '.join(differ)}): they don't combine")


def _axis(meta: Mapping[str, Any]) -> tuple[Any, ...]:
    """What must agree for spectra to stack: the axis' points and
    attributes, and the values' type."""
    return meta["x"][0]["shape"][0], meta["x"][2], meta["x"][1], meta["spectra"][0]["dtype"]


def _describe_axis(meta: Mapping[str, Any]) -> str:
    return f"{meta['x'][0]['shape'][0]} points, {np.dtype(meta['spectra'][0]['dtype']).name}"


def _common_attrs(all_attrs: Sequence[Mapping[str, Any]]) -> dict[str, Any]:
    first = all_attrs[0]
    return {k: v for k, v in first.items() if all(k in a and a[k] == v for a in all_attrs[1:])}


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


def _stack_chunks(parts: Sequence[tuple[str, dict[str, Any]]], metas: Sequence[Mapping[str, Any]],
                  counts: Sequence[int]) -> dict[str, Any]:
    """The values of every file, one spectrum a chunk (every chunk of a
    Zarr array has the same shape, and the files' runs may differ)."""
    first_zarray, zattrs, _ = metas[0]["spectra"]
    points = first_zarray["shape"][1]
    total = sum(counts)
    out: dict[str, Any] = {"spectra/.zarray": _zarray([total, points], [1, max(1, points)], np.dtype(first_zarray["dtype"])),
           "spectra/.zattrs": json.dumps(zattrs)}
    row = 0
    for (_, refs), meta, count in zip(parts, metas, counts):
        run = meta["spectra"][0]["chunks"][0]
        size = np.dtype(first_zarray["dtype"]).itemsize * points
        for k in range(0, count, run):
            target, at, _ = refs["refs"].get(f"spectra/{k // run}.0", [None, 0, 0])
            if target is None:
                continue
            for j in range(run):
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
