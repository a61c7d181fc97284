"""The objects that a URL names as a folder or a pattern.

``s3://bucket/campaign/`` (or ``s3://bucket/campaign``, where the store
says it is a folder) stands for every object under it, and
``s3://bucket/runs/*.kvr`` for those its pattern matches: listed by the
URL's file system (``fs.find``, ``fs.glob``), sorted, as URLs of the same
protocol. Names starting with "." are passed over, as in local folders.
Over HTTP a URL is a folder only where it ends in "/", and only where the
server gives a page of links that fsspec can read; a query string (a
signature) is never read as a pattern.
"""
from __future__ import annotations

import glob
import posixpath
from typing import Any

from .location import display_name
from .sources import file_system, read_error

__all__ = ["url_files"]


def _is_http(url: str) -> bool:
    return url.lower().startswith(("http://", "https://"))


def is_pattern(url: str) -> bool:
    """Whether a URL's path holds a glob pattern (not its query string)."""
    return glob.has_magic(url.partition("?")[0] if _is_http(url) else url)


def _visible(fs: Any, name: str, root: str) -> bool:
    """Whether no part of name below root starts with "." (hidden files and
    our own exports' temporary names)."""
    below = name[len(root):] if name.startswith(root) else posixpath.basename(name)
    return not any(part.startswith(".") for part in below.split("/") if part)


def url_files(url: str, storage_options: dict[str, Any] | None) -> list[str] | None:
    """The URLs of the objects a folder or pattern URL names, sorted; None
    for a URL of one object (nothing is asked of the store for an HTTP URL
    that doesn't end in "/"). A folder that the file system can't list is
    an OSError naming it."""
    http = _is_http(url)
    pattern = is_pattern(url)
    if http and not pattern and not url.partition("?")[0].endswith("/"):
        return None
    name = display_name(url)
    fs, path = file_system(url, storage_options)
    try:
        if pattern:
            found = fs.glob(path, detail=True)
            root = ""
        else:
            if not url.endswith("/") and not fs.isdir(path):
                return None
            root = path.rstrip("/") + "/"
            found = fs.find(path, detail=True)
    except FileNotFoundError:
        raise FileNotFoundError(2, "no such folder", name) from None
    except NotImplementedError:
        raise OSError(95, "this file system can't list a folder", name) from None
    except MemoryError:
        raise
    except Exception as exc:        # the client's own (no credentials, out of reach): from None, as it quotes the URL
        raise read_error(url, exc) from None
    files = sorted(fs.unstrip_protocol(n) for n, info in found.items()
                   if info.get("type") == "file" and _visible(fs, n, root))
    if http and not pattern and not files:
        raise OSError(5, "not a folder that can be listed (the server gave no page of links to files)", name)
    return files
