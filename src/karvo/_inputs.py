"""Turning the paths a caller names into the files to read: a named file is
kept as it is (reading it says whether it exists), a named folder is walked
recursively in sorted order.

Inside folders, names starting with "." are passed over without a word
(hidden files and our own exports' temporary names), links to folders are
not followed (a link back up would never end) and what is neither a file nor
a folder (a FIFO, a socket, a device) is listed as skipped with the reason,
as is a folder that can't be listed.
"""
from __future__ import annotations

import os
from collections.abc import Iterable
from typing import NamedTuple, Union

PathLike = Union[str, "os.PathLike[str]"]


class Found(NamedTuple):
    path: str        # as given, or joined onto the named folder's path as given
    origin: str      # the named input it came from (itself for a named file)
    named: bool      # named by the caller rather than found inside a folder


class Inputs(NamedTuple):
    files: list[Found]
    skipped: list[tuple[str, str]]   # (path, reason) of entries inside folders passed over


def expand_inputs(paths: Iterable[PathLike]) -> Inputs:
    """The files that ``paths`` name, in the order given, each folder's
    content in sorted order in its place."""
    files: list[Found] = []
    skipped: list[tuple[str, str]] = []
    for given in paths:
        one = expand_input(given)
        files += one.files
        skipped += one.skipped
    return Inputs(files, skipped)


def expand_input(given: PathLike) -> Inputs:
    """The files of one named path: itself, or a folder's content."""
    path = os.fsdecode(os.fspath(given))
    if not os.path.isdir(path):
        return Inputs([Found(path, path, True)], [])
    files: list[Found] = []
    skipped: list[tuple[str, str]] = []
    _walk(path, path, files, skipped)
    return Inputs(files, skipped)


def _walk(folder: str, origin: str, files: list[Found], skipped: list[tuple[str, str]]) -> None:
    try:
        with os.scandir(folder) as listing:
            entries = sorted((e for e in listing if not e.name.startswith(".")), key=lambda e: e.name)
    except OSError as exc:
        skipped.append((folder, exc.strerror or str(exc)))
        return
    for entry in entries:
        path = os.path.join(folder, entry.name)
        try:
            if entry.is_dir(follow_symlinks=False):
                _walk(path, origin, files, skipped)
            elif entry.is_dir():
                skipped.append((path, "a link to a folder, not followed"))
            elif entry.is_file():
                files.append(Found(path, origin, False))
            else:
                skipped.append((path, "not a regular file"))
        except OSError as exc:   # gone or unreadable between the listing and the look
            skipped.append((path, exc.strerror or str(exc)))
