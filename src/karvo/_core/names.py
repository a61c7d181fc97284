"""Names of Dataset variables that NetCDF and zarr can store.

A series dimension is named by its label in the file, which is free text
("T/K", "time (s)").  NetCDF refuses ``/`` in a name and zarr takes it for a
group, so the coordinate would be lost on the way; a space would split the
``coordinates`` attribute that lists them.  Such a label becomes a name of
letters, digits, ``_``, ``.`` and ``-`` (starting with a letter, digit or
``_``), and the label itself is kept in the variable's ``label`` attribute.
"""
from __future__ import annotations

import re
import unicodedata

_UNSAFE = re.compile(r"[^\w.\-]")


def variable_name(label: str) -> str:
    """``label`` with every character NetCDF or zarr could take amiss
    replaced by ``_``."""
    name = _UNSAFE.sub("_", unicodedata.normalize("NFC", label)).rstrip()
    if not name or not (name[0].isalnum() or name[0] == "_"):
        name = "_" + name
    return name


def unique(name: str, taken: set[str]) -> str:
    """``name``, with ``_`` added until no name in ``taken`` is the same."""
    while name in taken:
        name += "_"
    return name
