"""Turning the paths a caller names into the files to read: a named file is
kept as it is (reading it says whether it exists), a named folder is walked
recursively in sorted order.

Inside folders, names starting with "." are passed over without a word
(hidden files and our own exports' temporary names), links to folders are
not followed (a link back up would never end) and what is neither a file nor
a folder (a FIFO, a socket, a device) is listed as skipped with the reason,
as is a folder inside that can't be listed.
"""
from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any, NamedTuple, Union

from .._storage.listing import url_files
from .._storage.location import local_path

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


def expand_input(given: PathLike, storage_options: dict[str, Any] | None = None) -> Inputs:
    """The files of one named path: itself, or a folder's content.  A named
    folder that can't be listed raises the ``OSError``, as reading a named
    file that can't be opened would.  A URL is a folder where it ends in
    "/" or its file system says so, and a pattern where its path holds one
    (its files as the file system finds them, sorted; see listing.py)."""
    path = os.fsdecode(os.fspath(given))
    if local_path(path) is None:
        found = url_files(path, storage_options)
        if found is None:
            return Inputs([Found(path, path, True)], [])
        return Inputs([Found(url, path, False) for url in found], [])
    if not os.path.isdir(path):
        return Inputs([Found(path, path, True)], [])
    files: list[Found] = []
    skipped: list[tuple[str, str]] = []
    # a stack of listings rather than recursion: no depth limit to meet
    stack = [iter(_listing(path))]
    while stack:
        entry = next(stack[-1], None)
        if entry is None:
            stack.pop()
            continue
        sub = entry.path
        try:
            if entry.is_dir(follow_symlinks=False):
                stack.append(iter(_listing(sub)))
            elif entry.is_dir():
                skipped.append((sub, "a link to a folder, not followed"))
            elif entry.is_file():
                files.append(Found(sub, path, False))
            else:
                skipped.append((sub, "not a regular file"))
        except OSError as exc:   # unreadable, or gone between the listing and the look
            skipped.append((sub, exc.strerror or str(exc)))
    return Inputs(files, skipped)


def _listing(folder: str) -> list[os.DirEntry[str]]:
    with os.scandir(folder) as entries:
        return sorted((e for e in entries if not e.name.startswith(".")), key=lambda e: e.name)
