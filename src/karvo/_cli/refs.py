"""``karvo refs``: Zarr references to spectral files, written as JSON."""
from __future__ import annotations

import argparse
import glob
import os
import sys
import warnings
from collections.abc import Callable
from typing import Any

import karvo

from .._core.inputs import expand_input
from .._storage.listing import is_pattern, url_files
from .._xarray.references import combine, file_name, json_bytes, redacted, references
from .._storage.location import display_name
from .._storage.sources import local_path, read_error

Complain = Callable[[str, "BaseException | str"], None]


def add_refs_command(sub: Any, subcommand: Callable[..., argparse.ArgumentParser]) -> None:
    refs = subcommand(
        sub, "refs", "write Zarr references that read the spectra in place, without karvo",
        "  karvo refs run42 -o run42.json\n"
        "  karvo refs day1/run* -o day1.json      (one store; the coordinate file names each spectrum's)\n"
        "  karvo refs 'day*/run*' -o days.json    (a pattern karvo expands, sorted; ** spans folders)\n"
        "  karvo refs campaign/ -o campaign.json --mismatched skip\n"
        "  karvo refs run42 -o run42.json --url s3://bucket/run42\n"
        "  karvo refs 'https://host/run42?X-Amz-Signature=...' -o run42.json --redact\n\n"
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
        "those.  --redact writes the chunk references without them too, for sharing.")
    refs.add_argument("sources", nargs="+", metavar="SOURCE",
                      help="spectral data files, by path or URL, folders (walked as karvo info walks them) "
                           "or glob patterns (sorted)")
    refs.add_argument("-o", "--output", required=True, metavar="OUT", help="JSON file to write")
    refs.add_argument("--url", metavar="URL",
                      help="where readers find the file (one SOURCE): for a local copy of a file served elsewhere")
    refs.add_argument("--mismatched", choices=("raise", "skip"), default="raise",
                      help="files whose spectral axis differs from the one most files share: an "
                           "error naming each (raise, the default), or left out with a note naming "
                           "each (skip)")
    refs.add_argument("--redact", action="store_true",
                      help="write every URL without user info and query string (passwords, signatures, "
                           "tokens), for sharing: readers then need credentials of their own")


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

    if args.url is not None and len(args.sources) != 1:
        parser.error("--url names where one file is served; give one SOURCE with it")
    # --storage-option KEY=VALUE pairs, for sources given as URLs
    options = dict(args.storage_options) if getattr(args, "storage_options", None) else None
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
            combined = combine(parts, args.mismatched, "karvo refs")
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
