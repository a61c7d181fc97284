"""karvo.read_many: the spectra of many files as one array and one table.

Two passes, each on a pool of threads: the first opens every file (checking
its structure) and takes what the result needs to be laid out (points,
spectra, dtype, metadata), leaving each series open in the process's cache
of open files; the second reads each series' values from there straight
into its rows of the one preallocated array. The cache is bounded, so that a
folder of thousands of files never holds thousands of open handles: a file
it closed meanwhile is opened again (only the very file seen before).
"""
from __future__ import annotations

import glob
import os
import warnings
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Callable, ContextManager, Iterable, Iterator, Literal, Sequence, Union

import numpy as np

from .api import open as _open
from .._errors import FormatError, TruncatedError, TruncatedWarning
from .._extras import optional, require
from .._storage.location import Location, display_name
from .inputs import expand_input
from .names import unique
from .open_files import OPEN_FILES, FileKey, file_key
from .opened import PathLike, TruncatedPolicy, check_policy
from .table import table_columns
from .series import Series
from .spectrum import Spectrum
from .._storage.sources import is_file_object, local_path

if TYPE_CHECKING:
    from concurrent.futures import Executor

    import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]

    from numpy.typing import NDArray

__all__ = ["read_many"]

Sources = Union[PathLike, Sequence[PathLike]]
Collect = Callable[[Any], Any]
# Skipped files named in the warning; the count says how many more.
_NAMED_SKIPS = 20
# A series of at most this many bytes of values is read in read_many's first
# pass (held until the second copies it): cheaper than opening it twice.
SMALL = 16 << 10


class _Part:
    """One file as the first pass saw it."""

    def __init__(self, path: Any, opened: Any, collect: Collect | None = None) -> None:
        # what opens this very file again (the URL as given among it)
        self.location: Location = opened._location
        self.key = file_key(opened)       # the file in the cache of open files
        # what shows it: a local path as given, a URL without its secrets
        self.name = display_name(path)
        self.x: NDArray[np.float64] = opened.x
        self.dtype = opened.dtype
        self.values: NDArray[Any] | None = None
        # what the caller takes from the open file besides (open_mfdataset: its variables)
        self.collected: Any = None if collect is None else collect(opened)
        if isinstance(opened, Series):
            self.rows = len(opened)
            self.cut = (opened.expected_spectra, len(opened)) if opened.truncated else None
            # Without mini headers the title is empty, and a dimension may be
            # called "title"; as the table's own columns, "file" and "spectrum".
            head = {} if opened.titles is not None else {"title": np.full(self.rows, "", dtype=object)}
            self.columns = {**head, **_clear_of(table_columns(opened), {"file", "spectrum", *head})}
        else:
            self.rows = 1
            self.values = opened.y[np.newaxis]
            self.cut = None
            self.columns = {"title": np.array([opened.title], dtype=object),
                            "file_title": np.array([opened.title], dtype=object)}


def _clear_of(columns: dict[str, Any], taken: set[str]) -> dict[str, Any]:
    """columns, those named in taken renamed by appending ``_``."""
    out: dict[str, Any] = {}
    for name, values in columns.items():
        if name in taken:
            name = unique(name, taken | set(columns) | set(out))
        out[name] = values
    return out


def _listed(sources: Any, storage_options: dict[str, Any] | None = None) -> tuple[list[Any], bool,
                                                                                 list[tuple[str, str]]]:
    """The paths that sources names, whether they were found (in a folder
    or by a pattern) rather than named one by one, and the (name, reason)
    of entries of a folder passed over (links to folders, pipes, ...)."""
    if isinstance(sources, (str, bytes, os.PathLike)):
        where: Any = os.fspath(sources)  # str or bytes
        if os.path.isdir(where):
            inputs = expand_input(os.fsdecode(where))  # a named folder that can't be listed raises
            return ([f.path for f in inputs.files], True,
                    [(path, f"{path}: {reason}") for path, reason in inputs.skipped])
        if local_path(where) is None:  # a URL: one object, or the objects of a pattern
            if not glob.has_magic(where):
                return [where], False, []
            return _url_glob(where, storage_options), True, []
        if glob.has_magic(where):
            return sorted(p for p in glob.glob(where, recursive=True) if not os.path.isdir(p)), True, []
        return [where], False, []
    if is_file_object(sources):
        return [sources], False, []
    if not isinstance(sources, Iterable):
        raise TypeError(f"karvo.read_many takes a list of paths, a folder or a glob pattern, "
                        f"not {type(sources).__name__}")
    return [p if is_file_object(p) else os.fspath(p) for p in sources], False, []


def _url_glob(pattern: str, storage_options: dict[str, Any] | None) -> list[str]:
    """The URLs of the objects that a URL pattern matches, sorted."""
    fsspec = require("fsspec", "remote", f"reading {display_name(pattern)}")
    fs, path = fsspec.core.url_to_fs(pattern, **(storage_options or {}))
    found = fs.glob(path, detail=True)
    return sorted(fs.unstrip_protocol(name) for name, info in found.items() if info.get("type") == "file")


def _first(path: Any, truncated: str, found: bool, storage_options: dict[str, Any] | None,
           collect: Collect | None = None, kept: list[FileKey] | None = None,
           read_small: bool = False) -> _Part | tuple[str, str]:
    """The first pass over one file; (name, reason) for a found file that
    is not a spectral data file. A series is left open in the cache of open
    files for the reads after, its key added to kept, where kept is given;
    with read_small, a series of at most SMALL bytes of values is read now,
    as a single spectrum is, and closed (a folder of thousands of small
    files would only churn the cache)."""
    name = display_name(path)
    if found and local_path(path) is not None and not os.path.isfile(path):  # a pipe or socket would block, a dead link fail
        return name, f"{name}: not a regular file"
    # A cut series warns from the calling thread afterwards, not from here.
    try:
        opened = _open(path, "raise" if truncated == "raise" else "ignore", storage_options=storage_options)
    except TruncatedError:
        raise
    except FormatError as e:
        if not found:
            raise
        return name, str(e)
    try:
        part = _Part(path, opened, collect)
        if read_small and isinstance(opened, Series) and part.rows * len(part.x) * part.dtype.itemsize <= SMALL:
            part.values = opened.read()
    except BaseException:
        opened.close()
        raise
    if kept is None or part.values is not None:     # a single spectrum's values are read already
        opened.close()
    else:
        OPEN_FILES.adopt(part.key, opened)
        kept.append(part.key)
    return part


def _axis_text(part: _Part) -> str:
    x = part.x
    return f"{len(x)} points" + (f", x {x[0]:g} to {x[-1]:g}" if len(x) else "")


def _how_differs(odd: _Part, ref: _Part) -> str:
    """How odd's axis differs from ref's, odd's own first."""
    if len(odd.x) != len(ref.x):
        how = f"{len(odd.x)} points against {len(ref.x)}"
    else:
        k = int(np.flatnonzero(odd.x != ref.x)[0])
        how = f"x[{k}] is {float(odd.x[k])!r} against {float(ref.x[k])!r}"
    if len(odd.x) and len(ref.x):
        how += f" (x {odd.x[0]:g} to {odd.x[-1]:g} against {ref.x[0]:g} to {ref.x[-1]:g})"
    return how


Mismatched = Literal["raise", "skip"]


def check_mismatched(mismatched: str) -> None:
    if mismatched not in ("raise", "skip"):
        raise ValueError(f"mismatched must be 'raise' or 'skip', not {mismatched!r}")


def one_axis(parts: list[_Part], mismatched: str, task: str,
             stacklevel: int) -> tuple[list[_Part], NDArray[np.float64]]:
    """The parts of the spectral axis that most of them share (where as
    many share two, that of the first part) and that axis. The others are
    an error naming every one of them ("raise"), or left out with one
    UserWarning naming them ("skip"), warned at stacklevel from the caller."""
    check_mismatched(mismatched)
    groups: dict[tuple[int, bytes], list[_Part]] = {}
    for part in parts:
        x = np.ascontiguousarray(part.x, dtype=np.float64)
        groups.setdefault((len(x), x.tobytes()), []).append(part)
    if len(groups) == 1:
        return parts, parts[0].x
    shared = max(groups.values(), key=len)          # the first of the largest: ties go to the first file
    kept = {id(p) for p in shared}
    odd = [p for p in parts if id(p) not in kept]
    ref = shared[0]
    others = f" and {len(shared) - 1} other file{'s' if len(shared) > 2 else ''} of that axis" \
        if len(shared) > 1 else ""
    if mismatched == "raise":
        more = "".join(f"; {p.name}: {_how_differs(p, ref)}" for p in odd[1:])
        raise FormatError(f"{odd[0].name}: its spectral axis differs from that of {ref.name}{others}: "
                          f"{_how_differs(odd[0], ref)}{more}", odd[0].name)
    names = "; ".join(f"{p.name} ({_axis_text(p)})" for p in odd)
    warnings.warn(f"{task} left out {len(odd)} file{'s' if len(odd) > 1 else ''} whose spectral axis differs "
                  f"from that of {ref.name}{others} ({_axis_text(ref)}): {names}", UserWarning,
                  stacklevel=stacklevel)
    return shared, ref.x


def _reopened(part: _Part) -> ContextManager[Series]:
    """The series that a first pass saw, from the cache of open files
    (opened again if the cache closed it: an error if it is not the very
    same file any more), held open until the block ends."""
    return OPEN_FILES.held(part.key)  # type: ignore[return-value]


def batches(items: Sequence[Any]) -> list[Sequence[Any]]:
    """items in runs of neighbours, a few per thread of a default pool: one
    task per file costs more than reading a small file, and a few per
    thread still keep every thread busy to the end."""
    count = min(len(items), 4 * min(32, (os.cpu_count() or 1) + 4))
    size = -(-len(items) // count) if count else 1
    return [items[k:k + size] for k in range(0, len(items), size)]


def _read_batch(batch: Sequence[tuple[_Part, int, int]], Y: NDArray[Any]) -> int:
    """The second pass over a batch of files: each one's values into its
    rows [a, b) of Y. Returns how many files it read."""
    for part, a, b in batch:
        _read_into(part, Y[a:b])
    return len(batch)


def _read_into(part: _Part, out: NDArray[Any]) -> None:
    """The second pass over one file: its values into out, its rows of Y."""
    if part.values is not None:
        out[...] = part.values
        return
    with _reopened(part) as s:
        if out.dtype == part.dtype:
            s.read(0, part.rows, out=out)
        else:
            out[...] = s.read(0, part.rows)


@contextmanager
def _dropped(kept: list[FileKey]) -> Iterator[None]:
    """Closes the files of kept when the block ends, however it ends."""
    try:
        yield
    finally:
        OPEN_FILES.drop(kept)


def _column(pd: Any, pieces: list[NDArray[Any] | None], sizes: list[int]) -> Any:
    """One table column from each file's values, None where a file has none."""
    present = [p for p in pieces if p is not None]
    if len(present) == len(pieces):
        return np.concatenate(present)
    kind = np.result_type(*present)
    if kind.kind == "f":
        return np.concatenate([p if p is not None else np.full(n, np.nan, kind) for p, n in zip(pieces, sizes)])
    if kind.kind in "iub":  # missing marked, the values kept exact
        values = np.concatenate([p if p is not None else np.zeros(n, kind) for p, n in zip(pieces, sizes)])
        missing = np.concatenate([np.full(n, p is None) for p, n in zip(pieces, sizes)])
        return pd.arrays.BooleanArray(values, missing) if kind.kind == "b" else \
            pd.arrays.IntegerArray(values, missing)
    return np.concatenate([p.astype(object) if p is not None else np.full(n, None, object)
                           for p, n in zip(pieces, sizes)])


def _table(pd: Any, parts: list[_Part]) -> pd.DataFrame:
    order: dict[str, None] = {"title": None, "file_title": None}
    for part in parts:
        order.update(dict.fromkeys(part.columns))
    sizes = [p.rows for p in parts]
    data: dict[str, Any] = {
        "file": np.repeat(np.array([p.name for p in parts], dtype=object), sizes),
        "spectrum": np.concatenate([np.arange(n, dtype=np.int64) for n in sizes]),
    }
    for name in order:
        data[name] = _column(pd, [p.columns.get(name) for p in parts], sizes)
    return pd.DataFrame(data)


class _Bar:
    def __init__(self, total: int, shown: bool) -> None:
        auto = optional("tqdm.auto") if shown else None
        self._bar = auto.tqdm(total=total, desc="karvo.read_many", unit=" files") if auto else None

    def update(self, n: int) -> None:
        if self._bar is not None:
            self._bar.update(n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def survey(pool: Executor, sources: Sources, truncated: str, storage_options: dict[str, Any] | None,
           task: str, stacklevel: int, collect: Collect | None = None,
           kept: list[FileKey] | None = None, mismatched: str = "raise",
           read_small: bool = False) -> tuple[list[_Part], NDArray[np.float64]]:
    """The first pass over the files that sources names, on pool: a _Part
    for each spectral data file of the axis most of them share, and that
    axis (the others: see one_axis). Warns of the files skipped and
    (when truncated is "warn") of cut series, at stacklevel from the
    caller of the caller; task names the caller in messages. With kept,
    the series stay in the cache of open files, their keys in kept, for
    the caller to drop when done, however the survey ends: after the pool
    has finished (a failure leaves the other files' opens running)."""
    paths, found, passed_over = _listed(sources, storage_options)
    firsts = [part for batch in pool.map(lambda batch: [_first(p, truncated, found, storage_options, collect, kept,
                                                               read_small) for p in batch], batches(paths))
              for part in batch]
    parts = [f for f in firsts if isinstance(f, _Part)]
    skipped = sorted(passed_over + [f for f in firsts if not isinstance(f, _Part)])
    if skipped:
        names = ", ".join(name for name, _ in skipped[:_NAMED_SKIPS])
        more = f" and {len(skipped) - _NAMED_SKIPS} more" if len(skipped) > _NAMED_SKIPS else ""
        files = "file that is not a spectral data file" if len(skipped) == 1 else \
            "files that are not spectral data files"
        warnings.warn(f"{task} skipped {len(skipped)} {files} karvo can read: {names}{more} "
                      f"(first: {skipped[0][1]})", UserWarning, stacklevel=stacklevel)
    if not parts:
        shown = display_name(sources) if isinstance(sources, (str, bytes, os.PathLike)) else \
            [display_name(p) for p in paths]
        raise ValueError(f"{task}: no spectral data files in {shown!r}")
    for part in parts:
        if part.cut is not None and truncated == "warn":
            expected, held = part.cut
            warnings.warn(TruncatedWarning(f"{part.name}: the series header promises {expected} spectra, "
                                           f"the file holds {held}", part.name, expected, held),
                          stacklevel=stacklevel)
    return one_axis(parts, mismatched, task, stacklevel)


def read_many(sources: Sources, *, truncated: TruncatedPolicy = "warn", mismatched: Mismatched = "raise",
              progress: bool = False, storage_options: dict[str, Any] | None = None) -> tuple[NDArray[np.float64], NDArray[Any], pd.DataFrame]:
    """Reads many files into one array: ``(x, Y, table)``.

    ``sources`` is a list of paths (read in that order), a folder (walked
    recursively) or a glob pattern (``**`` spans folders); URLs and binary
    file objects may stand for paths, as for :func:`karvo.open`, with
    ``storage_options`` for the URLs' file systems (a URL pattern, such as
    ``s3://bucket/runs/*.kvr``, is expanded by its file system); folders and
    patterns are read in sorted order of their paths, and the files found
    there that are not spectral data files are skipped with one
    ``UserWarning`` naming them (a file named in a list must be one).
    Every spectrum is a row of ``Y``: a series gives its spectra, a single
    spectrum one row. ``Y``'s dtype is numpy's result type of the files'
    (float64 when float32 and float64 files mix). ``x`` is the spectral
    axis that most files share (where as many share two, the first file's);
    a file of another axis is an error (``mismatched="raise"``, the
    default: :class:`karvo.FormatError` names every such file, with its own
    points and range against theirs) or is left out with one
    ``UserWarning`` naming every such file (``mismatched="skip"``).
    ``truncated`` is as for :func:`karvo.open`.

    ``table`` is a pandas DataFrame with a row per row of ``Y``: ``file``,
    ``spectrum`` (the index within its file), ``title`` (str; the file's
    title for a single spectrum, empty without mini headers),
    ``file_title`` (the file's own title: what sample records name), then the
    columns of :meth:`karvo.Series.to_pandas` (missing where a file has
    no such column). ``progress=True`` shows a bar when tqdm is installed.
    Files are read on a pool of threads. Needs
    ``pip install "karvoreader[pandas]"``.

    Example::

        >>> x, Y, table = karvo.read_many("runs/")                    # doctest: +SKIP
        >>> Y[table["temp"] > 300]                                    # doctest: +SKIP
    """
    from concurrent.futures import ThreadPoolExecutor  # here: importing karvo stays quick

    check_policy(truncated)
    check_mismatched(mismatched)
    pd = require("pandas", "pandas", "karvo.read_many")
    kept: list[FileKey] = []        # series the first pass left open for the second
    with _dropped(kept), ThreadPoolExecutor() as pool:      # the pool done before the drop
        parts, x = survey(pool, sources, truncated, storage_options, "karvo.read_many", stacklevel=3, kept=kept,
                          mismatched=mismatched, read_small=True)
        starts = np.cumsum([0] + [p.rows for p in parts])
        Y = np.empty((int(starts[-1]), len(x)), np.result_type(*(p.dtype for p in parts)))
        bar = _Bar(len(parts), progress)
        pending: list[Any] = []
        try:
            pending = [pool.submit(_read_batch, batch, Y)
                       for batch in batches(list(zip(parts, starts[:-1], starts[1:])))]
            for future in pending:
                bar.update(future.result())
        finally:
            for future in pending:
                future.cancel()  # after a failure, the files not started yet stay unread
            bar.close()
    return np.array(x), Y, _table(pd, parts)
