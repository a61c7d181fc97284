"""The ``karvo`` command: look into spectral data files, export them, plot them.

    karvo info PATH...                 what each file holds (--json for scripts)
    karvo export PATH... -o OUT        csv, tsv, npz, nc, zarr or parquet (files stacked)
    karvo plot PATH [-o OUT.png]       a picture of the spectra
    karvo refs PATH... -o OUT.json     Zarr references reading the spectra in place

PATH may also be a URL (s3://bucket/run42, https://host/run42, any protocol
fsspec knows) with ``--storage-option KEY=VALUE`` for its file system;
credentials and endpoints come from the environment (AWS_ACCESS_KEY_ID,
AWS_ENDPOINT_URL, ...), where the storage libraries look for them.

Exit status: 0 when everything worked, 1 when a file could not be read or
written, 2 for a usage error, 130 when interrupted, 141 when the reader of
its output went away (as for a command that SIGPIPE ends).
"""
from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
import sys
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import karvo

from .._extras import MissingDependency, install_hint
from .._core.inputs import Found, expand_input
from .refs import add_refs_command, run_refs
from .._storage.location import display_name
from .._storage.sources import local_path, read_error

EXAMPLE = "examples/reaction_band_growth.series"


def _version() -> str:
    version = getattr(karvo, "__version__", None)
    if version is None:
        from importlib.metadata import PackageNotFoundError, version as installed
        try:
            version = installed("karvoreader")
        except PackageNotFoundError:
            version = "unknown"
    return str(version)


def spectra_range(text: str) -> tuple[int | None, int | None]:
    """``START:STOP`` (either may be left out, negatives count from the end)
    or a single index ``I``, read like a Python slice."""
    try:
        if ":" not in text:
            index = int(text)
            return index, (index + 1) or None
        start, stop = text.split(":")
        return (int(start) if start.strip() else None,
                int(stop) if stop.strip() else None)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a range of spectra; write START:STOP, e.g. 0:100") from None


def number_range(text: str) -> tuple[float, float]:
    """``A:B``, two different finite numbers (a leading minus needs the
    ``--xlim=-5:10`` form)."""
    try:
        a, b = (float(part) for part in text.split(":"))
    except ValueError:
        a = b = float("nan")
    inf = float("inf")
    if not (-inf < a < inf and -inf < b < inf) or a == b:   # also refuses nan
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a range; write A:B with two different numbers, e.g. 1800:1500")
    return a, b


def _bounded(kind: type, low: float, high: float) -> Any:
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            value = None
        if value is None or not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{text!r}: give a number from {low:g} to {high:g}")
        return value
    return parse


def storage_option(text: str) -> tuple[str, Any]:
    """``KEY=VALUE``; VALUE is read as JSON when it is JSON (true, 3,
    {"endpoint_url": "..."}), else kept as text."""
    key, sep, value = text.partition("=")
    if not sep or not key.strip():
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a storage option; write KEY=VALUE, e.g. anon=true")
    try:
        return key.strip(), json.loads(value)
    except ValueError:
        return key.strip(), value


MAX_SIZE = 10 * 10**9        # bytes a long export writes without --force or a yes
_UNITS = {"": 1, "k": 10**3, "m": 10**6, "g": 10**9, "t": 10**12,
          "ki": 2**10, "mi": 2**20, "gi": 2**30, "ti": 2**40}


def byte_size(text: str) -> int:
    """A number of bytes: ``500MB``, ``2.5G``, ``10GB``, ``1GiB``, ``0``
    (k, M, G, T count in thousands; Ki, Mi, Gi, Ti in 1024s)."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([kmgt]i?)?b?\s*", text, re.IGNORECASE)
    if match is None:
        raise argparse.ArgumentTypeError(f"{text!r} is not a size; write e.g. 500MB, 2.5GB or 10G")
    return int(float(match.group(1)) * _UNITS[(match.group(2) or "").lower()])


def size_text(size: int) -> str:
    """Bytes as people read them: 940 bytes, 52.4 kB, 1.05 GB (units of 1000)."""
    if size < 1000:
        return f"{size} bytes"
    for unit, scale in (("kB", 10**3), ("MB", 10**6), ("GB", 10**9)):
        if size < 999.5 * scale:        # 999.6 kB would show as 1e+03
            return f"{size / scale:.3g} {unit}"
    tb = size / 10**12
    return f"{tb:.3g} TB" if tb < 999.5 else f"{tb:,.0f} TB"


def _subcommand(sub: Any, name: str, summary: str, examples: str) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = sub.add_parser(
        name, help=summary, description=summary[0].upper() + summary[1:] + ".",
        epilog="examples:\n" + examples,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.set_defaults(parser=parser)   # usage errors found later show this usage
    parser.add_argument(
        "--storage-option", type=storage_option, action="append", default=[],
        dest="storage_options", metavar="KEY=VALUE",
        help="an option of the file system of a URL (repeatable; VALUE is JSON or text), "
             "e.g. anon=true or 'client_kwargs={\"endpoint_url\": \"http://...\"}'")
    return parser


class _Paths(argparse.Action):
    """The inputs of export; the first is also ``path``, which a one-file
    export names in its messages."""

    def __call__(self, parser: Any, namespace: argparse.Namespace, values: Any, option: Any = None) -> None:
        namespace.paths = values
        namespace.path = values[0]


def build_parser() -> argparse.ArgumentParser:
    from .._export.single import FORMATS

    parser = argparse.ArgumentParser(
        prog="karvo",
        description="Look into FT-IR and Raman spectral data files "
                    "(single spectra and series), export them and plot them.",
        epilog=f"example:\n  karvo info {EXAMPLE}\n\n"
               "'karvo COMMAND --help' describes each command.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = _subcommand(
        sub, "info", "say what each file holds",
        f"  karvo info {EXAMPLE}\n"
        "  karvo info --json run*.spa > runs.json\n"
        "  karvo info measurements/     (every file below it, a line each)\n\n"
        "One file is described in a block; several files or a folder get a line\n"
        "per file.  A named file that can't be read is reported on standard error\n"
        "as 'karvo: PATH: reason'; the others are still shown and the exit status\n"
        "is 1.  Inside folders, files that aren't spectral data are reported as\n"
        "'karvo: PATH: skipped: reason' and don't change the exit status; names\n"
        "starting with '.' are passed over.  Files whose spectral axis differs\n"
        "from the one most files listed share (as karvo export and karvo.read_many\n"
        "decide it) are marked '(other axis)' and named in a note on standard\n"
        "error; --json gives axis_differs for each file.")
    info.add_argument("paths", nargs="+", metavar="PATH",
                      help="spectral data files, or folders to look through")
    info.add_argument("--json", action="store_true",
                      help="print one JSON list, an object per file")
    info.add_argument("--mismatched", choices=("raise", "skip"), default=None,
                      help="files whose spectral axis differs from the one most files share are "
                           "marked and named in a note (default); raise: also exit 1, as karvo export "
                           "would; skip: leave them out, as karvo export --mismatched skip would")

    export = _subcommand(
        sub, "export", "write the spectra of files in a format other tools read",
        f"  karvo export {EXAMPLE} -o example.csv\n"
        f"  karvo export {EXAMPLE} -o first_three.npz --spectra 0:3\n"
        f"  karvo export {EXAMPLE} -o example.nc\n"
        "  karvo export runs/ extra.spa -o all.parquet     (every file, stacked)\n"
        "  karvo export runs/ -o tidy.csv --layout long    (a row per value)\n\n"
        "csv/tsv: column x, then a column per spectrum headed by its title (or its\n"
        "index where titles are missing or repeat).  npz: x, values, index,\n"
        "coords/NAME, titles, meta and metadata (JSON).  nc and zarr: the xarray\n"
        "dataset (needs xarray, dask and h5netcdf).  parquet: a row per spectrum\n"
        "(needs pyarrow).  OUT is written under a temporary name\n"
        "and renamed when complete.\n\n"
        "Several files or a folder are stacked as karvo.read_many stacks them (the\n"
        "spectral axis most files share; a file of another is named and nothing is\n"
        "written, status 1, unless --mismatched skip leaves it out), with\n"
        "read_many's table: header rows file, spectrum, title, ... above the csv/tsv\n"
        "columns; columns of parquet; file, index, titles, columns/NAME in npz;\n"
        "coordinates along 'spectrum' in nc/zarr.  Inside folders, files that aren't\n"
        "spectral data are reported as skipped; a named file that can't be read is\n"
        "reported, the others are written and the status is 1.  --layout long:\n"
        "a row per value (file, spectrum, x, value, then the metadata), csv/tsv/parquet;\n"
        "its size is told before it is written, and above --max-size (10GB) it is\n"
        "asked for on a terminal, refused elsewhere (status 1), unless --force.")
    export.add_argument("paths", nargs="+", action=_Paths, metavar="PATH",
                        help="spectral data files, or folders to look through")
    export.add_argument("-o", "--output", required=True, metavar="OUT",
                        help="file to write; its extension gives the format")
    export.add_argument("--format", choices=FORMATS,
                        help="format to write (default: from OUT's extension)")
    export.add_argument("--spectra", type=spectra_range, metavar="START:STOP",
                        help="export only these spectra of a series, like a Python slice "
                             "(the last ten: --spectra=-10:); of several files, of their "
                             "spectra stacked")
    export.add_argument("--mismatched", choices=("raise", "skip"), default="raise",
                        help="files whose spectral axis differs from the one most files share: an "
                             "error naming each (raise, the default), or left out with a note naming "
                             "each (skip)")
    export.add_argument("--layout", choices=("wide", "long"), default="wide",
                        help="wide (default): the layouts described below; long: a row per value with "
                             "columns file, spectrum, x, value and the metadata (csv, tsv, parquet)")
    export.add_argument("--max-size", type=byte_size, default=MAX_SIZE, metavar="SIZE",
                        help="--layout long: the most it writes without asking (on a terminal) or "
                             "--force; its size is told before writing (default 10GB; e.g. 500MB, 2.5GB)")
    export.add_argument("--force", action="store_true",
                        help="--layout long: write it whatever its size")

    plot = _subcommand(
        sub, "plot", "draw a spectrum, or a series as a heat map above a few of its spectra",
        f"  karvo plot {EXAMPLE} -o example.png\n"
        f"  karvo plot {EXAMPLE} -o example.svg --spectra 1:4\n"
        f"  karvo plot {EXAMPLE} -o zoom.png --xlim 1800:1500 --clim 0:0.5\n"
        f"  karvo plot {EXAMPLE}            (opens a window)\n\n"
        f"Needs matplotlib: {install_hint('plot')}.")
    plot.add_argument("path", metavar="PATH", help="spectral data file")
    plot.add_argument("-o", "--output", metavar="OUT",
                      help="image to write (.png, .svg, .pdf, ...); without it, show a window")
    plot.add_argument("--spectra", type=spectra_range, metavar="START:STOP",
                      help="plot only these spectra of a series")
    plot.add_argument("--lines", type=_bounded(int, 1, 20), default=5, metavar="N",
                      help="spectra of a series drawn as lines (default 5)")
    plot.add_argument("--dpi", type=_bounded(float, 10, 1000), default=100.0,
                      help="resolution of a PNG (default 100: 800 x 600 pixels)")
    plot.add_argument("--xlim", type=number_range, metavar="A:B",
                      help="only this range of the spectral axis, drawn the way the file runs "
                           "and thinned on its own (negative: --xlim=-5:10)")
    plot.add_argument("--clim", type=number_range, metavar="LO:HI",
                      help="colour limits of a series' heat map")
    plot.add_argument("--xlabel", metavar="TEXT", help="label of the spectral axis")
    plot.add_argument("--ylabel", metavar="TEXT",
                      help="label of the values (a series: its lines' axis and the colour bar)")
    add_refs_command(sub, _subcommand)
    return parser


# --- reporting -------------------------------------------------------------

def _reason(exc: BaseException, path: str) -> str:
    """The reason of an error, without the file name that we print anyway."""
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    message = str(exc) or type(exc).__name__
    shown = display_name(path)      # what karvo's own messages name a URL by
    for prefix in (path, repr(path), f'"{path}"', shown):
        if message.startswith(prefix):
            message = message[len(prefix):].lstrip(" :,-") or message
            break
    return message


def _complain(path: str, exc: BaseException | str) -> None:
    # a URL as given may hold a password or a signature: shown without them
    reason = exc if isinstance(exc, str) else _reason(exc, path)
    print(f"karvo: {display_name(path)}: {reason}", file=sys.stderr)


def _open(path: str, args: argparse.Namespace) -> karvo.Series | karvo.Spectrum:
    # karvo.open refuses what is not a regular file without waiting on it
    # (a FIFO, a device) and names the file.
    try:
        return karvo.open(path, truncated="ignore", storage_options=dict(args.storage_options) or None)
    except (karvo.FormatError, OSError, MissingDependency):
        raise
    except Exception as exc:
        if local_path(path) is not None:
            raise
        # The storage layer under a URL refused (no credentials, an endpoint
        # out of reach, a protocol fsspec doesn't know): this file can't be
        # read, as for a local file that can't be opened. From None: the
        # client's error quotes the URL it asked for, secrets and all.
        raise read_error(path, exc) from None


def _note_if_cut(obj: karvo.Series | karvo.Spectrum) -> None:
    if isinstance(obj, karvo.Series) and obj.truncated:
        _complain(obj.path, f"the file is cut short: it holds {len(obj)} of "
                            f"{obj.expected_spectra} spectra; using those")


def _range(args: argparse.Namespace) -> tuple[int, int | None]:
    start, stop = args.spectra or (None, None)
    return start or 0, stop


# --- commands --------------------------------------------------------------

def _refuse_to_overwrite_the_source(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    out = args.output
    if out is not None and os.path.exists(out) and os.path.exists(args.path) \
            and os.path.samefile(out, args.path):
        parser.error(f"-o {out}: that is the file being read; give another name")


def _info_of(found: Found, documents: list[dict[str, Any]], args: argparse.Namespace) -> int:
    """Adds the facts of one file to ``documents``: 1 when it was shown,
    0 when not (a named file's failure is added as an error)."""
    from .info import summary

    try:
        with _open(found.path, args) as obj:
            documents.append(summary(obj, found.path))
        return 1
    except (karvo.FormatError, OSError) as exc:
        if found.named:
            _complain(found.path, exc)
            documents.append({"path": display_name(found.path), "error": _reason(exc, found.path)})
        else:
            _complain(found.path, f"skipped: {_reason(exc, found.path)}")
        return 0


def run_info(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    """One named file: its facts as a labelled block.  Several, or a folder:
    a line per file.  A named input that can't be read sets the status to 1;
    inside a folder, a file that isn't spectral data is only reported as
    skipped, and a folder with no readable file at all counts as bad."""
    from .info import compare_axes, table, text

    status = 0
    documents: list[dict[str, Any]] = []
    for given in args.paths:
        try:
            inputs = expand_input(given, dict(args.storage_options) or None)
        except OSError as exc:              # a named folder that can't be listed
            _complain(given, exc)
            documents.append({"path": given, "error": _reason(exc, given)})
            status = 1
            continue
        for path, reason in inputs.skipped:
            _complain(path, f"skipped: {reason}")
        shown = sum(_info_of(found, documents, args) for found in inputs.files)
        if shown < len(inputs.files) and inputs.files[0].named:
            status = 1
        elif not shown and not (inputs.files and inputs.files[0].named):
            reason = "no spectral data file found in this folder"
            _complain(given, reason)
            documents.append({"path": given, "error": reason})
            status = 1
    # the spectral axes the files listed share, compared as read_many compares them
    documents, notes, differ = compare_axes(documents, args.mismatched)
    for note in notes:
        print(f"karvo: {note}", file=sys.stderr)
    status = max(status, differ)
    if args.json:
        print(json.dumps(documents, indent=2))
        return status
    facts = [d for d in documents if "error" not in d]
    if len(args.paths) == 1 and len(facts) == 1 and facts[0]["path"] == display_name(args.paths[0]):
        print(text(facts[0]))          # one named file: the labelled block
    elif facts:
        print(table(facts))
    return status


@contextlib.contextmanager
def _source(args: argparse.Namespace, parser: argparse.ArgumentParser) -> Iterator[karvo.Series | karvo.Spectrum]:
    """The file to export or plot, once the options are known to fit it."""
    _refuse_to_overwrite_the_source(args, parser)
    with _open(args.path, args) as obj:
        if args.spectra and not isinstance(obj, karvo.Series):
            parser.error(f"--spectra: {display_name(args.path)} holds a single spectrum, not a series")
        _note_if_cut(obj)
        yield obj


def _write_failed(args: argparse.Namespace, exc: Exception, what: str) -> int:
    """Report an error met while writing OUT; errors of the source propagate."""
    if isinstance(exc, karvo.FormatError) or (isinstance(exc, OSError) and
                                               exc.filename in (args.path, display_name(args.path))):
        raise exc
    _complain(args.output, exc if isinstance(exc, OSError) else f"could not write {what}: {exc}")
    return 1


def _gathered(args: argparse.Namespace) -> tuple[list[Any], int]:
    """The files that the export's inputs name, each looked at once: their
    first-pass parts, and 1 when a named input was bad (reported), else 0.
    Files inside folders that aren't spectral data are reported as skipped."""
    from .._export.stack import first_pass

    status = 0
    out = args.output if os.path.exists(args.output) else None
    parts: list[Any] = []
    for given in args.paths:
        try:
            inputs = expand_input(given, dict(args.storage_options) or None)
        except OSError as exc:              # a named folder that can't be listed
            _complain(given, exc)
            status = 1
            continue
        for path, reason in inputs.skipped:
            _complain(path, f"skipped: {reason}")
        looked = first_pass(inputs.files, dict(args.storage_options) or None, lambda p: _open(p, args))
        for found, part in zip(inputs.files, looked):
            if isinstance(part, tuple):
                _complain(found.path, part[1] if found.named else f"skipped: {_reason(part[1], found.path)}")
                status = 1 if found.named else status
                continue
            if out is not None and os.path.exists(found.path) and os.path.samefile(args.output, found.path):
                args.parser.error(f"-o {args.output}: that is {found.path}, a file being read; "
                                  "give another name")
            if part.cut is not None:
                _complain(found.path, f"the file is cut short: it holds {part.cut[1]} of "
                                      f"{part.cut[0]} spectra; using those")
            parts.append(part)
        if not any(not isinstance(p, tuple) for p in looked) and not (inputs.files and inputs.files[0].named):
            _complain(given, "no spectral data file found in this folder")
            status = 1
    return parts, status


class _TooLarge(Exception):
    """A long export above --max-size, refused before anything is written."""


def _size_check(args: argparse.Namespace) -> Callable[[int], None]:
    """What a long export does with the size it is about to write: tells
    it; above --max-size (and without --force) asks when standard input and
    error are a terminal, and refuses on any answer but yes, or elsewhere."""
    shown = display_name(args.output)

    def check(size: int) -> None:
        print(f"karvo: writing about {size_text(size)} to {shown}", file=sys.stderr, flush=True)
        if args.force or size <= args.max_size:
            return
        limit = f"the limit of {size_text(args.max_size)} (--max-size)"
        if sys.stdin is not None and sys.stdin.isatty() and sys.stderr.isatty():
            print(f"karvo: that is more than {limit}; continue? [y/N] ", end="", file=sys.stderr, flush=True)
            if sys.stdin.readline().strip().lower() in ("y", "yes"):
                return
        raise _TooLarge(f"about {size_text(size)} to write, more than {limit}; nothing written "
                        "(--force writes it, --max-size SIZE sets another limit)")
    return check


def _export_many(args: argparse.Namespace, fmt: str) -> int:
    """Several inputs, a folder, or the long layout: the spectra stacked."""
    from .._export.stack import Stack, export_stack

    parts, status = _gathered(args)
    if not parts:
        print("karvo: nothing to export; no output written", file=sys.stderr)
        return 1
    try:
        with warnings.catch_warnings(record=True) as left_out:
            warnings.simplefilter("always", UserWarning)
            stack = Stack(parts, *_range(args), mismatched=args.mismatched)
        for note in left_out:
            print(f"karvo: {note.message}", file=sys.stderr)
        export_stack(stack, args.output, fmt, args.layout, _size_check(args))
    except _TooLarge as exc:
        _complain(args.output, exc)
        return 1
    except karvo.FormatError as exc:       # axes that differ, or a file changed meanwhile
        _complain(exc.path or args.output, exc)
        return 1
    except OSError as exc:
        if exc.filename is not None and os.fsdecode(exc.filename) in (p.name for p in parts):
            _complain(os.fsdecode(exc.filename), exc)
            return 1
        _complain(args.output, exc)
        return 1
    except (ValueError, TypeError) as exc:
        _complain(args.output, f"could not write {fmt}: {exc}")
        return 1
    return status


def _lists(args: argparse.Namespace) -> bool:
    """Whether the one input is a URL of a folder or pattern (its objects stacked)."""
    from .._storage.listing import url_files
    return local_path(args.path) is None and url_files(args.path, dict(args.storage_options) or None) is not None


def run_export(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from .._export.single import LONG_FORMATS, export, format_of

    fmt = args.format or format_of(args.output)
    if fmt is None:
        parser.error(f"can't tell the format from {args.output!r}; "
                     "give --format csv|tsv|npz|nc|zarr|parquet")
    if args.layout == "long" and fmt not in LONG_FORMATS:
        parser.error(f"--layout long writes a table: give OUT as csv, tsv or parquet, not {fmt}")
    if len(args.paths) > 1 or args.layout == "long" or os.path.isdir(args.path) or _lists(args):
        return _export_many(args, fmt)
    with _source(args, parser) as obj:
        try:
            export(obj, args.output, fmt, *_range(args))
        except (OSError, ValueError, TypeError) as exc:
            return _write_failed(args, exc, fmt)
    return 0


def run_plot(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from .._views.plot import NothingToPlot, image_formats, plot

    if args.output is not None:
        kind = os.path.splitext(args.output)[1].lstrip(".").lower()
        formats = image_formats()
        if formats and kind not in formats:
            parser.error(f"can't write a picture as {kind or 'a file without extension'!r}; "
                         f"give OUT ending in one of: {', '.join(sorted(formats))}")
    with _source(args, parser) as obj:
        start, stop = _range(args)
        try:
            if args.clim and not isinstance(obj, karvo.Series):
                parser.error(f"--clim: {display_name(args.path)} holds a single spectrum, which has no heat map")
            plot(obj, args.output, dpi=args.dpi, start=start, stop=stop, lines=args.lines,
                 xlim=args.xlim, clim=args.clim, xlabel=args.xlabel, ylabel=args.ylabel)
        except NothingToPlot as exc:
            _complain(args.path, exc)
            return 1
        except (OSError, ValueError, TypeError) as exc:
            return _write_failed(args, exc, "the picture")
    return 0


def _run_refs(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    return run_refs(args, parser, _complain)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``karvo`` command with ``argv`` (default: the command line)."""
    args = build_parser().parse_args(argv)
    path = getattr(args, "path", None) or "karvo"
    run = {"info": run_info, "export": run_export, "plot": run_plot, "refs": _run_refs}[args.command]
    try:
        status = run(args, args.parser)
        if sys.stdout is not None:  # None when started with standard output closed
            sys.stdout.flush()      # a reader gone shows here, not as a complaint at exit
        return status
    except MissingDependency as exc:
        print(f"karvo: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of our output went away (karvo info ... | head): end
        # quietly, as cat or grep do, with no message and the status a shell
        # gives a command that SIGPIPE ended (128 + 13), so that
        # `set -o pipefail` treats karvo like them. Output still buffered goes
        # to /dev/null, so that nothing complains at exit either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except (karvo.FormatError, OSError) as exc:
        named = exc.filename if isinstance(exc, OSError) and exc.filename else path
        _complain(os.fsdecode(named), exc)
        return 1
    except KeyboardInterrupt:
        print("karvo: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:  # a fault of ours: still one line, not a traceback
        _complain(path, f"unexpected {type(exc).__name__}: {exc} (please report this)")
        return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
