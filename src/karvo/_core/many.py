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
import threading
import warnings
from contextlib import contextmanager, nullcontext
from typing import (TYPE_CHECKING, Any, Callable, ContextManager, Iterable, Iterator, Literal, Protocol,
                    Sequence, TypeVar, Union)

import numpy as np

from .. import _native
from .api import open_to_read
from .._errors import FormatError, TruncatedError, TruncatedWarning
from .._extras import optional, require
from .._storage.location import Location, display_name
from .inputs import expand_input
from .names import unique
from .open_files import OPEN_FILES, FileKey, file_key
from .opened import KEPT_HEAD, PathLike, TruncatedPolicy, check_policy
from .table import IN_FILE, IN_FILE_ALIAS, table_columns
from .series import Series
from .spectrum import F4, F8, Spectrum
from .workers import Workers, batches
from .._storage.listing import url_files
from .._storage.sources import Prefetched, is_file_object, local_path, prefetch

if TYPE_CHECKING:
    from concurrent.futures import Executor

    import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]

    from numpy.typing import NDArray

__all__ = ["read_many"]

Sources = Union[PathLike, Sequence[PathLike]]
Collect = Callable[[Any], Any]
# Skipped files named in the warning; the count says how many more.
_NAMED_SKIPS = 20
# A series of at most SMALL bytes of values is read in read_many's first pass
# and held until the second copies it into place, while all that is held
# stays under HELD: copying a quarter of a megabyte costs about what opening
# the file again does, and a folder of more files than the cache of open
# files keeps would open every one of them again.
SMALL = 256 << 10
HELD = 32 << 20
# URLs whose first reads are made together, a wave at a time: their first
# MiB each is held until the wave's opens are done (read_many keeps it on).
WAVE = 256


class _Budget:
    """What read_many's first pass may still hold of values, across
    threads; and the remote series it keeps open for the second pass."""

    def __init__(self) -> None:
        self._left = HELD
        self._lock = threading.Lock()
        self._held: list[Series] = []

    def take(self, nbytes: int) -> bool:
        """Whether a series of nbytes of values is read now (and counted)."""
        if nbytes > SMALL:
            return False
        with self._lock:
            if nbytes > self._left:
                return False
            self._left -= nbytes
            return True

    def hold(self, series: Series) -> None:
        """Keeps series open for the second pass, until close_held()."""
        with self._lock:
            self._held.append(series)

    def close_held(self) -> None:
        with self._lock:
            held, self._held = self._held, []
        for series in held:
            series.close()


class _Part:
    """One file as the first pass saw it."""

    # read_many's remote series, open for the second pass (see _part_of)
    held: Series | None = None

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
            # called "title"; as the table's own columns, "file" and the index
            # within the file (by its name and its former one).
            head = {} if opened.titles is not None else {"title": np.full(self.rows, "", dtype=object)}
            self.columns = {**head, **_clear_of(table_columns(opened), {"file", IN_FILE, IN_FILE_ALIAS, *head})}
        else:
            self.rows = 1
            self.values = opened.y[np.newaxis]
            self.cut = None
            self.columns = {"title": np.array([opened.title], dtype=object),
                            "file_title": np.array([opened.title], dtype=object)}



class _Single(_Part):
    """A single spectrum that the native module read whole and closed, as
    (title, first_x, last_x, values): nothing opens it again, so it has no
    location or key. Its arrays are made when asked for: read_many copies
    the values of neighbouring single spectra, and builds their titles'
    columns, at once (a folder of thousands costs a few microseconds a
    file, most of it the native open)."""

    dtype = F4
    collected = None
    rows = 1
    cut = None

    def __init__(self, name: str, read: tuple[str, float, float, bytearray],
                 axes: dict[tuple[float, float, int], NDArray[np.float64]]) -> None:
        # axes holds the axes made so far, by (first_x, last_x, points): most files of a folder share one
        self.name = name
        self.title, first_x, last_x, self.raw = read
        points = len(self.raw) // 4
        x = axes.get((first_x, last_x, points))
        if x is None:
            x = axes[first_x, last_x, points] = np.frombuffer(_native.linspace(first_x, last_x, points, points), F8)
        self.x = x

    @property
    def values(self) -> NDArray[np.float32]:  # type: ignore[override]
        return np.frombuffer(self.raw, F4)[np.newaxis]

    @property
    def columns(self) -> dict[str, Any]:  # type: ignore[override]
        titles = np.array([self.title], dtype=object)
        return {"title": titles, "file_title": titles}


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
        if local_path(where) is None:  # a URL: one object, or the objects of a folder or pattern
            listed = url_files(where, storage_options)
            return ([where], False, []) if listed is None else (listed, True, [])
        if glob.has_magic(where):
            return sorted(p for p in glob.glob(where, recursive=True) if not os.path.isdir(p)), True, []
        return [where], False, []
    if is_file_object(sources):
        return [sources], False, []
    if not isinstance(sources, Iterable):
        raise TypeError(f"karvo.read_many takes a list of paths, a folder or a glob pattern, "
                        f"not {type(sources).__name__}")
    return [p if is_file_object(p) else os.fspath(p) for p in sources], False, []


def _first(path: Any, truncated: str, found: bool, storage_options: dict[str, Any] | None,
           collect: Collect | None = None, kept: list[FileKey] | None = None,
           read_small: _Budget | None = None, prefetched: Prefetched | None = None) -> _Part | tuple[str, str]:
    """The first pass over one file; (name, reason) for a found file that
    is not a spectral data file. A series is left open in the cache of open
    files for the reads after, its key added to kept, where kept is given;
    with read_small, a series of at most SMALL bytes of values is read now
    (while the budget lasts), as a single spectrum is, and closed (a folder of thousands of small
    files would only churn the cache)."""
    name = display_name(path)
    if found and local_path(path) is not None and not os.path.isfile(path):  # a pipe or socket would block, a dead link fail
        return name, f"{name}: not a regular file"
    # A cut series warns from the calling thread afterwards, not from here.
    try:
        # A URL's first MiB (a small object whole) kept for the first look's
        # reads, and for read_many's values right after; a lazy Dataset lets
        # go of it after the look (_part_of), so that every later read is checked.
        opened = open_to_read(path, _policy(truncated), storage_options, prefetched)
    except FormatError as e:
        return _not_spectral(name, e, found)
    return _part_of(path, opened, collect, kept, read_small)


def _policy(truncated: str) -> TruncatedPolicy:
    """What the first pass opens with: a cut series warns afterwards, from
    the calling thread, not from a worker."""
    return "raise" if truncated == "raise" else "ignore"


def _not_spectral(name: str, e: FormatError, found: bool) -> tuple[str, str]:
    """A file found in a folder or by a pattern that karvo can't read is
    passed over; one named by the caller, or a cut one, is an error."""
    if not found or isinstance(e, TruncatedError):
        raise e
    return name, str(e)


def _part_of(path: Any, opened: Series | Spectrum, collect: Collect | None, kept: list[FileKey] | None,
             read_small: _Budget | None) -> _Part:
    """The first pass over an opened file: _first's, from the open on."""
    try:
        part = _Part(path, opened, collect)
        if read_small is None:
            opened._file.drop_head()
        if read_small is not None and isinstance(opened, Series) and \
                read_small.take(part.rows * len(part.x) * part.dtype.itemsize):
            part.values = opened.read()
    except BaseException:
        opened.close()
        raise
    if kept is None or part.values is not None:     # a single spectrum's values are read already
        opened.close()
    elif read_small is not None and isinstance(opened, Series) and opened._fetched is not None:
        # Read right after, and holding no descriptor: kept by its part, out
        # of the cache of open files, whose bound would close (and the second
        # pass open again) the first of many.
        part.held = opened
        read_small.hold(opened)
    else:
        OPEN_FILES.adopt(part.key, opened)
        kept.append(part.key)
    return part


def _is_local(path: Any) -> bool:
    return type(path) is str and "://" not in path


def _fetched(path: Any) -> bool:
    """Whether path's bytes are fetched (a URL, a file object), not read locally."""
    return not _is_local(path) and (is_file_object(path) or local_path(path) is None)


def _is_url(path: Any) -> bool:
    return isinstance(path, str) and "://" in path and local_path(path) is None


def _firsts(batch: Sequence[Any], truncated: str, found: bool, storage_options: dict[str, Any] | None,
            collect: Collect | None, kept: list[FileKey] | None,
            read_small: _Budget | None, prefetched: dict[str, Prefetched]) -> list[_Part | tuple[str, str]]:
    """_first of each file of a batch (a URL's first read made already where
    prefetched holds it). Local paths whose single spectra are read now go
    to the native module in one call: for a folder of small files, a call
    and a File object each would cost as much as the reads."""
    if not (read_small is not None and collect is None and all(_is_local(p) for p in batch)):
        # taken, not looked up: its first MiB goes with its open (only str URLs are keys)
        return [_first(p, truncated, found, storage_options, collect, kept, read_small,
                       prefetched.pop(p, None) if type(p) is str else None)
                for p in batch]
    out: list[_Part | tuple[str, str]] = []
    paths = list(batch)
    if found:   # a pipe or socket would block, a dead link fail
        for path in paths:
            if not os.path.isfile(path):
                out.append((path, f"{path}: not a regular file"))
        paths = [p for p in paths if os.path.isfile(p)] if out else paths
    opened: list[Any] = _native.open_many(paths)
    axes: dict[tuple[float, float, int], NDArray[np.float64]] = {}
    try:
        for k, (path, got) in enumerate(zip(paths, opened)):
            opened[k] = None
            if isinstance(got, tuple):
                out.append(_Single(path, got, axes))
            elif isinstance(got, FormatError):
                out.append(_not_spectral(path, got, found))
            elif isinstance(got, BaseException):
                raise got
            else:
                series = Series._from_native(got, path, _policy(truncated), stacklevel=2)
                out.append(_part_of(path, series, collect, kept, read_small))
    finally:
        for got in opened:      # the series not reached after a failure
            if isinstance(got, _native.File):
                got.close()
    return out


class OnAxis(Protocol):
    """What the rule of one spectral axis looks at: a file's display name and axis."""

    @property
    def name(self) -> str: ...

    @property
    def x(self) -> NDArray[np.float64]: ...


Item = TypeVar("Item", bound=OnAxis)


def axis_text(part: OnAxis) -> str:
    x = part.x
    return f"{len(x)} points" + (f", x {x[0]:g} to {x[-1]:g}" if len(x) else "")


def how_differs(odd: OnAxis, ref: OnAxis) -> str:
    """How odd's axis differs from ref's, odd's own first."""
    if len(odd.x) != len(ref.x):
        how = f"{len(odd.x)} points against {len(ref.x)}"
    else:
        differ = np.flatnonzero((odd.x != ref.x) & ~(np.isnan(odd.x) & np.isnan(ref.x)))
        if not len(differ):     # NaN among them: unequal bit for bit only
            how = "the same points, NaN among them"
        else:
            k = int(differ[0])
            how = f"x[{k}] is {float(odd.x[k])!r} against {float(ref.x[k])!r}"
    if len(odd.x) and len(ref.x):
        how += f" (x {odd.x[0]:g} to {odd.x[-1]:g} against {ref.x[0]:g} to {ref.x[-1]:g})"
    return how


Mismatched = Literal["raise", "skip"]


def check_mismatched(mismatched: str) -> None:
    if mismatched not in ("raise", "skip"):
        raise ValueError(f"mismatched must be 'raise' or 'skip', not {mismatched!r}")


def majority(parts: Sequence[Item]) -> tuple[list[Item], list[Item]]:
    """The parts of the spectral axis that most of them share (where as
    many share two, that of the first part), and the others, each in the
    order given. Axes are the same when their values are, bit for bit."""
    groups: dict[tuple[int, bytes], list[Item]] = {}
    for part in parts:
        x = np.ascontiguousarray(part.x, dtype=np.float64) + 0.0   # + 0.0: -0.0 is 0.0, as they compare
        groups.setdefault((len(x), x.tobytes()), []).append(part)
    if len(groups) <= 1:
        return list(parts), []
    shared = max(groups.values(), key=len)          # the first of the largest: ties go to the first file
    kept = {id(p) for p in shared}
    return shared, [p for p in parts if id(p) not in kept]


def of_that_axis(shared: Sequence[OnAxis]) -> str:
    """" and N other files of that axis", after the name of shared[0]."""
    return f" and {len(shared) - 1} other file{'s' if len(shared) > 2 else ''} of that axis" \
        if len(shared) > 1 else ""


def one_axis(parts: list[Item], mismatched: str, task: str,
             stacklevel: int) -> tuple[list[Item], NDArray[np.float64]]:
    """The parts of the spectral axis that most of them share (where as
    many share two, that of the first part) and that axis. The others are
    an error naming every one of them ("raise"), or left out with one
    UserWarning naming them ("skip"), warned at stacklevel from the caller."""
    check_mismatched(mismatched)
    shared, odd = majority(parts)
    if not odd:
        return parts, parts[0].x
    ref = shared[0]
    others = of_that_axis(shared)
    if mismatched == "raise":
        more = "".join(f"; {p.name}: {how_differs(p, ref)}" for p in odd[1:])
        raise FormatError(f"{odd[0].name}: its spectral axis differs from that of {ref.name}{others}: "
                          f"{how_differs(odd[0], ref)}{more}", odd[0].name)
    names = "; ".join(f"{p.name} ({axis_text(p)})" for p in odd)
    warnings.warn(f"{task} left out {len(odd)} file{'s' if len(odd) > 1 else ''} whose spectral axis differs "
                  f"from that of {ref.name}{others} ({axis_text(ref)}): {names}", UserWarning,
                  stacklevel=stacklevel)
    return shared, ref.x


def _reopened(part: _Part) -> ContextManager[Series]:
    """The series that a first pass saw: the one its part holds, or from
    the cache of open files (opened again if the cache closed it: an error
    if it is not the very same file any more), held open until the block ends."""
    if part.held is not None:
        return nullcontext(part.held)
    return OPEN_FILES.held(part.key)  # type: ignore[return-value]


def _read_batch(batch: Sequence[tuple[_Part, int, int]], Y: NDArray[Any]) -> int:
    """The second pass over a batch of files: each one's values into its
    rows [a, b) of Y (neighbouring single spectra read already, at once).
    Returns how many files it read."""
    k = 0
    while k < len(batch):
        part, a, b = batch[k]
        if isinstance(part, _Single):
            run = [part.raw]
            for following, row, _ in batch[k + 1:]:
                if not isinstance(following, _Single) or row != a + len(run):
                    break
                run.append(following.raw)
            Y[a:a + len(run)] = np.frombuffer(b"".join(run), F4).reshape(len(run), -1)
            k += len(run)
            continue
        _read_into(part, Y[a:b])
        k += 1
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
    if part.held is not None:       # its first MiB let go of as soon as it is read
        part.held.close()


@contextmanager
def _dropped(kept: list[FileKey], budget: _Budget) -> Iterator[None]:
    """Closes the files of kept, and those the budget holds, when the block
    ends, however it ends."""
    try:
        yield
    finally:
        try:
            OPEN_FILES.drop(kept)
        finally:
            budget.close_held()


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


def _pieces(parts: list[_Part]) -> tuple[list[dict[str, Any]], list[int]]:
    """The parts' columns and row counts, each run of single spectra read
    whole as one piece."""
    pieces: list[dict[str, Any]] = []
    sizes: list[int] = []
    run: list[str] = []

    def end_run() -> None:
        if run:
            titles = np.array(run, dtype=object)
            pieces.append({"title": titles, "file_title": titles})
            sizes.append(len(run))
            run.clear()
    for part in parts:
        if isinstance(part, _Single):
            run.append(part.title)
            continue
        end_run()
        pieces.append(part.columns)
        sizes.append(part.rows)
    end_run()
    return pieces, sizes


def _table(pd: Any, parts: list[_Part]) -> pd.DataFrame:
    order: dict[str, None] = {"title": None, "file_title": None}
    seen: set[tuple[str, ...]] = set()      # a folder's files mostly share their columns
    for part in parts:
        if not isinstance(part, _Single) and (names := tuple(part.columns)) not in seen:   # a single's are there
            seen.add(names)
            order.update(dict.fromkeys(names))
    sizes = [p.rows for p in parts]
    starts = np.cumsum([0] + sizes[:-1], dtype=np.int64)
    in_file = np.arange(sum(sizes), dtype=np.int64) - np.repeat(starts, sizes)
    data: dict[str, Any] = {
        "file": np.repeat(np.array([p.name for p in parts], dtype=object), sizes),
        IN_FILE: in_file,
    }
    pieces, piece_sizes = _pieces(parts)
    for name in order:
        data[name] = _column(pd, [p.get(name) for p in pieces], piece_sizes)
    data[IN_FILE_ALIAS] = in_file.copy()    # the former name, last, until karvo 0.2.0
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


def survey(pool: Executor | Workers, sources: Sources, truncated: str, storage_options: dict[str, Any] | None,
           task: str, stacklevel: int, collect: Collect | None = None,
           kept: list[FileKey] | None = None, mismatched: str = "raise",
           budget: _Budget | None = None) -> tuple[list[_Part], NDArray[np.float64]]:
    """The first pass over the files that sources names, on pool: a _Part
    for each spectral data file of the axis most of them share, and that
    axis (the others: see one_axis). Warns of the files skipped and
    (when truncated is "warn") of cut series, at stacklevel from the
    caller of the caller; task names the caller in messages. With kept,
    the series stay in the cache of open files, their keys in kept, for
    the caller to drop when done, however the survey ends: after the pool
    has finished (a failure leaves the other files' opens running)."""
    paths, found, passed_over = _listed(sources, storage_options)
    remote = any(_fetched(p) for p in paths)
    firsts: list[_Part | tuple[str, str]] = []
    # A wave of files at a time: the first reads of its URLs made together on
    # the file system's event loop, as fs.cat reads many objects (threads
    # each asking for one fought over the interpreter); then the opens, which
    # ask for more only where an object's first MiB doesn't hold its headers
    # (the pool takes them over once they wait).
    step = WAVE if remote else max(len(paths), 1)
    for k in range(0, len(paths), step):
        wave = paths[k:k + step]
        prefetched: dict[str, Prefetched] = {}      # the last wave's let go of before this one's come
        prefetched = prefetch([p for p in wave if _is_url(p)], storage_options, KEPT_HEAD) if remote else {}
        if isinstance(pool, Workers) and any(_fetched(p) and not (isinstance(p, str) and p in prefetched)
                                             for p in wave):
            pool.expect_waits()     # each open of these waits on the network
        firsts += [part for batch in pool.map(lambda batch: _firsts(batch, truncated, found, storage_options, collect,
                                                                    kept, budget, prefetched),
                                              batches(wave, remote))
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
    ``spectrum_in_file`` (the index within its file), ``title`` (str; the file's
    title for a single spectrum, empty without mini headers),
    ``file_title`` (the file's own title: what sample records name), then the
    columns of :meth:`karvo.Series.to_pandas` (missing where a file has
    no such column), and last ``spectrum``, a copy of ``spectrum_in_file``
    under its former name, kept until karvo 0.2.0. ``progress=True`` shows a
    bar when tqdm is installed.
    Files are read on a pool of threads. Needs
    ``pip install "karvoreader[pandas]"``.

    Example::

        >>> x, Y, table = karvo.read_many("runs/")                    # doctest: +SKIP
        >>> Y[table["temp"] > 300]                                    # doctest: +SKIP
    """
    check_policy(truncated)
    check_mismatched(mismatched)
    pd = require("pandas", "pandas", "karvo.read_many")
    kept: list[FileKey] = []        # series the first pass left open for the second
    budget = _Budget()              # of values read at the first pass, and the remote series it holds
    with _dropped(kept, budget), Workers() as pool:      # the pool done before the drop
        parts, x = survey(pool, sources, truncated, storage_options, "karvo.read_many", stacklevel=3, kept=kept,
                          mismatched=mismatched, budget=budget)
        starts = np.cumsum([0] + [p.rows for p in parts])
        Y = np.empty((int(starts[-1]), len(x)), np.result_type(*(p.dtype for p in parts)))
        bar = _Bar(len(parts), progress)
        # The series last opened first (those the cache of open files still
        # holds); single spectra, read already, in runs of neighbours.
        rows = list(zip(parts, starts[:-1], starts[1:]))
        second = [r for r in rows if isinstance(r[0], _Single)] + [r for r in rows[::-1] if not isinstance(r[0], _Single)]
        done = pool.map(lambda batch: _read_batch(batch, Y), batches(second, pool.pooled))
        try:
            for n in done:
                bar.update(n)
        finally:
            done.close()  # after a failure, the files not started yet stay unread
            bar.close()
    return np.array(x), Y, _table(pd, parts)
