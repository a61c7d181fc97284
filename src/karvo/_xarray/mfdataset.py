"""karvo.open_mfdataset, importable without xarray: the work is done in
_xarray_many, imported on the first call."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Mapping, Union

from .._extras import require
from .._core.opened import TruncatedPolicy

if TYPE_CHECKING:
    import xarray as xr  # type: ignore[import-untyped, import-not-found, unused-ignore]

    from .._core.many import Mismatched, Sources

__all__ = ["open_mfdataset"]


def open_mfdataset(sources: Sources, *, chunks: Union[None, int, str, Mapping[str, Union[int, str, None]]] = None,
                   truncated: TruncatedPolicy = "warn", mismatched: Mismatched = "raise",
                   storage_options: dict[str, Any] | None = None) -> xr.Dataset:
    """Many files as one lazy xarray Dataset, concatenated along ``spectrum``.

    ``sources`` is as for :func:`karvo.read_many`: a list of paths or URLs
    (in that order), a folder or a glob pattern (sorted), with
    ``storage_options`` for the URLs' file systems; files found in a folder
    or by a pattern that are not spectral data files are skipped with a
    ``UserWarning``. The files of another spectral axis than most share
    are an error naming each of them, or left out with a warning naming
    them (``mismatched``, as for :func:`karvo.read_many`). ``truncated`` is
    as for :func:`karvo.open`.

    The Dataset has the dimensions ``(spectrum, x)``, the data variable
    ``spectra`` (numpy's result type of the files' dtypes) and the same
    coordinates, with the same names, dtypes and attributes, as
    ``xr.open_dataset(path, engine="karvo", file_coordinate=True)`` gives
    for each file, joined along ``spectrum`` and held in memory: ``file``
    (each spectrum's file, as the engine's ``source`` attribute names it),
    ``file_title`` (that file's own title), ``spectrum_in_file`` (its index
    there), ``title``, the dimension
    coordinates and the mini header fields. A coordinate that some files
    lack is NaN there (floats), "" (text) or None (other kinds, as objects).
    The attributes are those of the files that none contradicts, without
    ``source`` (the coordinate ``file`` tells it).

    The values are read when asked for, from the files that the first look
    at them left open in the process's cache of open files (closed with the
    Dataset). With ``chunks=None``, ``spectra`` is lazily indexed:
    indexing reads only the rows asked for. With ``chunks`` it is a dask
    array whose chunks are runs of rows that span files, one task each, so
    that a cluster runs few tasks: an int or ``"auto"`` is the chunk along
    ``spectrum`` (``x`` whole), a dict may give ``"spectrum"`` and ``"x"``.
    A task carries the absolute path or URL, the storage options, the
    identity and the row count of the files it reads; where it runs it
    opens only those very files (another file under the same path raises
    :class:`karvo.FormatError`). File objects are not taken.

    Needs ``pip install "karvoreader[xarray]"``.

    Example::

        >>> ds = karvo.open_mfdataset("runs/*.kvr", chunks={"spectrum": 1000})  # doctest: +SKIP
        >>> ds.spectra.max("x").compute()                                      # doctest: +SKIP
        >>> ds.spectra.sel(spectrum=ds.file == ds.file[0])                     # doctest: +SKIP
    """
    require("xarray", "xarray", "karvo.open_mfdataset")
    from .many import open_mfdataset as opened

    return opened(sources, chunks=chunks, truncated=truncated, mismatched=mismatched,
                  storage_options=storage_options)
