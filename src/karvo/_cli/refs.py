"""``karvo refs``: Zarr references to spectral files, written as JSON."""
from __future__ import annotations

import argparse
import glob
import json
import os
import stat
import sys
import warnings
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import karvo

from .._core.inputs import expand_input
from .._storage.listing import is_pattern, url_files
from .._errors import FormatError
from .._xarray.references import SOURCES, combine, file_name, json_bytes, redacted, references
from .._storage.identity import _when
from .._storage.location import display_name
from .._storage.sources import Remote, local_path, read_error

Complain = Callable[[str, "BaseException | str"], None]


def add_refs_command(sub: Any, subcommand: Callable[..., argparse.ArgumentParser]) -> None:
    refs = subcommand(
        sub, "refs", "write Zarr references that read the spectra in place, without karvo",
        "  karvo refs run42 -o run42.json\n"
        "  karvo refs day1/run* -o day1.json      (one store; the coordinate file names each spectrum's)\n"
        "  karvo refs 'day*/run*' -o days.json    (a pattern karvo expands, sorted; ** spans folders)\n"
        "  karvo refs campaign/ -o campaign.json --mismatched skip\n"
        "  karvo refs run42 -o run42.json --url s3://bucket/run42\n"
        "  karvo refs 'https://host/run42?X-Amz-Signature=...' -o run42.json --redact\n"
        "  karvo refs --check run42.json          (are the files still the ones referred to?)\n\n"
        "Any Zarr reader opens OUT through fsspec's reference file system, e.g.\n"
        "  xr.open_dataset('reference://', engine='zarr', backend_kwargs={'consolidated': False,\n"
        "                  'storage_options': {'fo': 'run42.json', 'remote_protocol': 'file'}})\n"
        "Several files are stacked along spectrum as karvo.read_many stacks them:\n"
        "the spectral axis most files share; a file of another is named and\n"
        "nothing is written (status 1), unless --mismatched skip leaves it out.\n"
        "Series with and without mini headers stack; what a file lacks is missing\n"
        "there (NaN, \"\", or the fill value of an integer variable), and attributes\n"
        "on which the files differ are left out.  The chunk\n"
        "references keep each URL as given (a signature or a token in it, which\n"
        "they need to fetch); the attributes and the file coordinate never hold\n"
        "those.  --redact writes the chunk references without them too, for sharing.\n\n"
        "The references record each file's size and identity (its ETag, else its\n"
        "modification time) as it was read.  --check REFS asks each file's store\n"
        "for them again (one request a file, none of its bytes) and names every\n"
        "file replaced or gone since: status 0 when none is, 1 when any is, 2 when\n"
        "one can't be checked (out of reach, or references of an older karvo,\n"
        "which record none).")
    refs.add_argument("sources", nargs="*", metavar="SOURCE",
                      help="spectral data files, by path or URL, folders (walked as karvo info walks them) "
                           "or glob patterns (sorted)")
    refs.add_argument("-o", "--output", metavar="OUT", help="JSON file to write (required with SOURCE)")
    refs.add_argument("--url", metavar="URL",
                      help="where readers find the file (one SOURCE): for a local copy of a file served elsewhere")
    refs.add_argument("--mismatched", choices=("raise", "skip"),
                      help="files whose spectral axis differs from the one most files share: an "
                           "error naming each (raise, the default), or left out with a note naming "
                           "each (skip)")
    refs.add_argument("--redact", action="store_true",
                      help="write every URL without user info and query string (passwords, signatures, "
                           "tokens), for sharing: readers then need credentials of their own")
    refs.add_argument("--check", metavar="REFS",
                      help="instead of writing references: whether the files that the references REFS "
                           "refer to are still the ones they were made from (with no SOURCE or -o)")


def _sources(given: list[str], complain: Complain, options: dict[str, Any] | None) -> list[tuple[str, bool]]:
    """(source, named) for each file to refer to: a folder's files in
    sorted order, the entries it passes over reported as skipped; the
    files a glob pattern matches (local or a URL's), sorted. Files found
    rather than named are passed over where they aren't spectral data."""
    out: list[tuple[str, bool]] = []
    for source in given:
        local = local_path(source)
        if (is_pattern(source) if local is None else glob.has_magic(source) and not os.path.lexists(local)):
            out += [(path, False) for path in _matches(source, local, options)]
            continue
        if local is None:
            listed = url_files(source, options)    # a folder's objects, or None for one object
            out += [(source, True)] if listed is None else [(url, False) for url in listed]
            continue
        if not os.path.isdir(local):
            out.append((source, True))
            continue
        found = expand_input(local)
        for path, reason in found.skipped:
            complain(path, f"skipped: {reason}")
        out += [(f.path, False) for f in found.files]
    return out


def _matches(pattern: str, local: str | None, options: dict[str, Any] | None) -> list[str]:
    """The files a pattern matches, sorted (folders among them passed over);
    a pattern matching nothing is an error naming it."""
    if local is None:
        found = url_files(pattern, options) or []
    else:
        found = sorted(p for p in glob.glob(local, recursive=True) if not os.path.isdir(p))
    if not found:
        raise FileNotFoundError(2, "no file matches this pattern", pattern)
    return found


def run_refs(args: argparse.Namespace, parser: argparse.ArgumentParser, complain: Complain) -> int:
    from .._storage.atomic import replaced_on_success

    # --storage-option KEY=VALUE pairs, for sources given as URLs
    options = dict(args.storage_options) if getattr(args, "storage_options", None) else None
    if args.check is not None:
        given = [name for name, value in (("SOURCE", args.sources), ("-o", args.output), ("--url", args.url),
                                          ("--mismatched", args.mismatched), ("--redact", args.redact)) if value]
        if given:
            parser.error(f"--check reads references and writes none: give no {', '.join(given)} with it")
        return check_refs(args.check, options, complain)
    if not args.sources:
        parser.error("give the SOURCE files to refer to (or --check REFS)")
    if args.output is None:
        parser.error("the following arguments are required: -o/--output")
    if args.url is not None and len(args.sources) != 1:
        parser.error("--url names where one file is served; give one SOURCE with it")
    parts = []
    try:
        sources = _sources(args.sources, complain, options)
    except OSError as exc:                  # a named folder that can't be listed, a pattern matching nothing
        complain(exc.filename or args.sources[0], exc)
        return 1
    for source, named in sources:
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always", karvo.TruncatedWarning)
                refs = references(source, storage_options=options, url=args.url)
        except karvo.FormatError as exc:
            if not named:                   # found in a folder: what isn't spectral data is passed over
                reason, shown = str(exc), display_name(source)
                for name in (exc.path, source, shown):
                    if name and reason.startswith(f"{name}: "):
                        reason = reason[len(name) + 2:]
                        break
                complain(source, f"skipped: {reason}")
                continue
            complain(source, exc)
            return 1
        except OSError as exc:
            complain(source, exc)
            return 1
        except Exception as exc:
            if local_path(source) is not None:
                raise
            # the storage layer under a URL refused: a file that can't be read
            complain(source, read_error(source, exc))
            return 1
        for warning in caught:
            cut = warning.message
            if isinstance(cut, karvo.TruncatedWarning):
                complain(source, f"the file is cut short: it holds {cut.found} of {cut.expected} spectra; "
                                 "referring to those")
            else:
                warnings.warn_explicit(cut, warning.category, warning.filename, warning.lineno)
        parts.append((display_name(file_name(source, args.url)), refs))
    if not parts:
        complain(args.output, "no spectral data file among the sources; nothing written")
        return 1
    try:
        with warnings.catch_warnings(record=True) as left_out:
            warnings.simplefilter("always", UserWarning)
            combined = combine(parts, args.mismatched or "raise", "karvo refs")
        for note in left_out:               # as karvo export says it
            print(f"karvo: {note.message}", file=sys.stderr)
    except karvo.FormatError as exc:       # axes that differ: the first such file named first
        complain(exc.path or args.output, exc)
        return 1
    except ValueError as exc:
        complain(args.output, exc)
        return 1
    if args.redact:
        combined = redacted(combined)
    try:
        with replaced_on_success(args.output) as temporary, open(temporary, "wb") as out:
            out.write(json_bytes(combined))
    except OSError as exc:
        complain(args.output, exc)
        return 1
    return 0


# --- karvo refs --check --------------------------------------------------------

# Files asked after at once: each request waits on the network, not on us.
CHECK_THREADS = 16

SAME, CHANGED, UNCHECKED = "same", "changed", "unchecked"


class _Unreadable(ValueError):
    """References that --check can't go by, and why."""


class _NotAFile(Exception):
    """A folder (or a device, a FIFO) where a referenced local file was."""


def check_refs(path: str, options: dict[str, Any] | None, complain: Complain) -> int:
    """``karvo refs --check REFS``: 0 when every file the references record
    is the one they were made from, 1 when any changed or is gone (each
    named), 2 when any can't be checked (out of reach; no record)."""
    try:
        records, targets = _recorded(path)
    except OSError as exc:
        complain(path, exc)
        return 2
    except _Unreadable as exc:
        complain(path, str(exc))
        return 2
    unrecorded = sorted(set(targets) - {r["url"] for r in records})
    for name in unrecorded:
        complain(name, "referred to, but the references hold no record of it: it can't be checked")
    # Files shown by one name (URLs that differ in their query only, as
    # versions of one object do) are recorded in the order they are referred to.
    pending = {name: iter(urls) for name, urls in targets.items()}
    reached = [next(pending.get(r["url"], iter(())), r["url"]) for r in records]

    def one(pair: tuple[dict[str, Any], str]) -> tuple[str, str]:
        return _check_one(pair[0], pair[1], options)

    if len(records) > 1:
        with ThreadPoolExecutor(min(CHECK_THREADS, len(records))) as pool:
            results = list(pool.map(one, zip(records, reached)))
    else:
        results = [one(pair) for pair in zip(records, reached)]
    for record, (status, message) in zip(records, results):
        if message:
            complain(record["url"], message)
    statuses = {status for status, _ in results}
    if CHANGED in statuses:
        return 1
    if UNCHECKED in statuses or unrecorded:
        return 2
    count = len(records)
    print(f"{display_name(path)}: {count} file{'' if count == 1 else 's'} unchanged since the references were made")
    return 0


def _recorded(path: str) -> tuple[list[dict[str, Any]], dict[str, list[str]]]:
    """The record of the files that the references at path refer to (their
    root attribute karvo_sources), and the locations of the files as their
    chunk references give them, by display name, in the order referred to
    (the URL as given: what reaches the file, which the record names
    without secrets)."""
    with open(path, "rb") as fh:
        try:
            refs = json.load(fh)
        except (ValueError, UnicodeDecodeError):
            raise _Unreadable("not JSON: not references that karvo refs writes") from None
    body = refs.get("refs") if isinstance(refs, dict) else None
    if not isinstance(body, dict):
        raise _Unreadable('not references that karvo refs writes (no "refs" in it)')
    try:
        attrs = body.get(".zattrs")
        attrs = json.loads(attrs) if isinstance(attrs, (str, bytes)) else attrs
    except ValueError:
        attrs = None
    if not isinstance(attrs, dict):
        raise _Unreadable("not references that karvo refs writes (no attributes of the group)")
    records = attrs.get(SOURCES)
    if records is None:
        raise _Unreadable("holds no record of its sources (made by an older karvo): "
                          "make the references again to check them")
    if not isinstance(records, list) or not all(_is_record(r) for r in records):
        raise _Unreadable(f"its attribute {SOURCES} is not a record that karvo refs writes")
    targets: dict[str, list[str]] = {}
    seen: set[str] = set()
    for value in body.values():
        if isinstance(value, list) and value and isinstance(value[0], str) and value[0] not in seen:
            seen.add(value[0])
            targets.setdefault(display_name(value[0]), []).append(value[0])
    return records, targets


def _is_record(record: Any) -> bool:
    return (isinstance(record, dict) and isinstance(record.get("url"), str)
            and type(record.get("size")) is int and isinstance(record.get("etag"), (str, type(None)))
            and isinstance(record.get("mtime"), (str, int, type(None))) and type(record.get("mtime")) is not bool)


def _check_one(record: dict[str, Any], target: str, options: dict[str, Any] | None) -> tuple[str, str]:
    """(status, what to say of it, "" for nothing) for one recorded file,
    asked after at target: its size, ETag and time, by one request."""
    try:
        size, etag, mtime = _identity_now(target, options)
    except FileNotFoundError:
        return CHANGED, "missing"
    except _NotAFile:
        return CHANGED, "changed since the references were made (not a regular file now)"
    except (OSError, FormatError) as exc:
        reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        shown = display_name(target)
        if reason.startswith(f"{shown}: "):
            reason = reason[len(shown) + 2:]
        if isinstance(exc, PermissionError) and shown == target:
            reason += (" (its URL in the references holds no credentials, as after --redact: "
                       "give them with --storage-option or in the environment)")
        return UNCHECKED, f"can't be checked: {reason}"
    differ = []
    if size != record["size"]:
        differ.append(f"size {size} against {record['size']}")
    if record["etag"] is not None and etag is not None:
        if etag != record["etag"]:
            differ.append(f"ETag {etag} against {record['etag']}")
    elif record["mtime"] is not None and mtime is not None:
        if mtime != record["mtime"]:
            differ.append(f"modified {_time(mtime)} against {_time(record['mtime'])}")
    elif not differ:
        whose = "the references record" if record["etag"] is None and record["mtime"] is None else "its store tells"
        return SAME, (f"of the same size ({size} bytes), which is all that was compared: "
                      f"{whose} no ETag or modification time of it")
    if differ:
        return CHANGED, f"changed since the references were made ({'; '.join(differ)})"
    return SAME, ""


def _identity_now(target: str, options: dict[str, Any] | None) -> tuple[int, str | None, str | int | None]:
    """(size, ETag, modification time) of the file at target now: a local
    file's by os.stat (its mtime in ns), an object's as its store tells
    them (one info request, none of its bytes)."""
    local = local_path(target)
    if local is None:
        return Remote(target, options).identity
    st = os.stat(local)
    if not stat.S_ISREG(st.st_mode):
        raise _NotAFile(display_name(target))
    return st.st_size, None, st.st_mtime_ns


def _time(mtime: str | int) -> str:
    """A recorded modification time as people read it: a local file's
    (ns) as a UTC time, a store's as the store wrote it."""
    return _when(mtime) if isinstance(mtime, int) else mtime
