"""Where a file lives, and the name it is shown by.

A :class:`Location` is what opens a file again, wherever that happens (a
Series unpickled in another process, a dask task, read_many's second pass):
the local path or URL with the storage options of its file system, the
identity the file had when it was first opened, and the machine where a
local identity was taken. It carries the URL as given, with whatever it
holds for the server: a password in its user info, a signature or a token
in its query string. Those open the object, and must not end up in what
people see or keep. So everything that shows or stores a file's name
(reprs, messages, Dataset attributes, coordinates, tables, exported files,
references' attributes) uses :func:`display_name`; only the code that
fetches bytes reads ``Location.source``.
"""
from __future__ import annotations

import os
import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Union
from urllib.parse import unquote, urlsplit

if TYPE_CHECKING:
    from .identity import FileIdentity
    from .sources import ObjectIdentity

__all__ = ["Location", "display_name", "is_file_object", "local_path", "name_of_file_object", "without_secrets"]

# A URL: a scheme, then "://"; or fsspec's chained form ("simplecache::s3://...").
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.\-]*(::[A-Za-z][A-Za-z0-9+.\-]*)*://")
# Where fsspec's chain of URLs goes on: "::" before a protocol's name (not
# the "::" of an IPv6 address, "http://[::1]:8080/...").
_CHAINED = re.compile(r"::(?=[A-Za-z][A-Za-z0-9+.\-]*(?:://|::|$))")
# A URL inside a message (a client's error quotes the URL it requested):
# up to a space, a quote or an angle bracket.
_URL_IN_TEXT = re.compile(r"[A-Za-z][A-Za-z0-9+.\-]*://[^\s'\"<>]*")


def is_file_object(source: Any) -> bool:
    """Whether source is an open file object rather than a path or URL."""
    return not isinstance(source, (str, bytes, os.PathLike)) and hasattr(source, "read") and hasattr(source, "seek")


def local_path(source: Any) -> Any:
    """The local path that source names (os.fspath of it; a ``file://`` URL
    turned into its path), or None for a URL of another protocol."""
    p = os.fspath(source)  # once: a second __fspath__ call may name another file
    text = p.decode(errors="surrogateescape") if isinstance(p, bytes) else p
    if "://" not in text or not _URL.match(text):
        return p
    parts = urlsplit(text)
    if parts.scheme.lower() == "file" and parts.netloc in ("", "localhost") and not parts.query:
        return unquote(parts.path, errors="surrogateescape")
    return None


def name_of_file_object(fobj: Any) -> str:
    """What messages call a file object: its name when it has a text one."""
    name = getattr(fobj, "name", None)
    return name if isinstance(name, str) else f"<{type(fobj).__name__}>"


def _one_url(part: str) -> str:
    """One URL of a chain without its user info, query and fragment."""
    part = re.split(r"[?#]", part, maxsplit=1)[0]
    if "://" not in part:
        return part             # a protocol of the chain alone ("simplecache")
    scheme, rest = part.split("://", 1)
    authority, slash, path = rest.partition("/")
    # user:password@host:port -> host:port (an "@" of the path stays)
    return f"{scheme}://{authority.rpartition('@')[2]}{slash}{path}"


def display_name(source: Any) -> str:
    """The name a file is shown by: a local path as given; a URL with its
    user info (``user:password@``), query string (signatures, tokens) and
    fragment removed, every URL of an fsspec chain alike
    (``simplecache::s3://bucket/key``); a file object by its name."""
    if is_file_object(source):
        return name_of_file_object(source)
    text = os.fsdecode(os.fspath(source))
    if "://" not in text or not _URL.match(text):
        return text
    return "::".join(_one_url(part) for part in _CHAINED.split(text))


def without_secrets(text: str) -> str:
    """text with every URL in it shown by its display name: the message of
    a storage client's error quotes the URL it asked for, query and all."""
    if "://" not in text:
        return text
    return _URL_IN_TEXT.sub(lambda m: display_name(m[0]), text)


@dataclass(frozen=True, repr=False)
class Location:
    """Where an opened file lives: all that opens it again, and only it.

    ``source`` is the absolute local path, the URL as given (user info and
    query too: they may be what lets the server hand out the object) or
    the file object; ``storage_options`` the options of the URL's file
    system (a copy taken at open) or None; ``identity`` the file as first
    opened (:class:`~karvo._storage.identity.FileIdentity` of a local file,
    :class:`~karvo._storage.sources.ObjectIdentity` of an object by URL,
    None for a file object); ``machine`` where a local identity was taken
    (device and inode numbers mean that file only there), else None.

    It pickles with all of these (a file object does not pickle), so that
    what travels opens the very file; its repr shows only the display name.
    """

    source: Any
    storage_options: Union[dict[str, Any], None] = None
    identity: Union[FileIdentity, ObjectIdentity, None] = None
    machine: Union[str, None] = None

    @property
    def display(self) -> str:
        """The name it is shown by (:func:`display_name` of the source)."""
        return display_name(self.source)

    @property
    def is_file_object(self) -> bool:
        return is_file_object(self.source)

    def __repr__(self) -> str:
        return f"<karvo location {self.display!r}>"
