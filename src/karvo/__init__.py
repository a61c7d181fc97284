"""Spectra from FT-IR and Raman spectrometer files as numpy arrays.

Files of this format have no fixed extension: :func:`open` and :func:`read`
go by content.

Example::

    >>> import karvo, numpy as np
    >>> x, y = karvo.read("polystyrene.kvr")          # doctest: +SKIP
    >>> with karvo.open("run42.kvr") as s:            # doctest: +SKIP
    ...     Y = np.asarray(s)                         # (spectra, points)
    ...     t = s.coords["t"]                         # by dimension name: "t", long_name "time (s)"
    >>> x, Y, table = karvo.read_many("runs/")        # doctest: +SKIP

:func:`read_many` reads a list of files, a folder or a glob pattern into one
array, with a pandas table of every spectrum's metadata;
:func:`open_mfdataset` opens them as one lazy xarray Dataset.
"""
from __future__ import annotations

from ._errors import FormatError, TruncatedError, TruncatedWarning
from . import _native
from ._core.api import open, read
from ._core.many import read_many
from ._xarray.mfdataset import open_mfdataset
from ._xarray.references import references
from ._core.series import Series
from ._core.spectrum import Spectrum
from ._core.units import unit_names

__version__: str = _native.__version__

# Pickles of a Series or Spectrum made before the package was split into
# subpackages name the modules of that time: they load as before.
from ._core import opened as _opened
from ._storage import sources as _sources
import sys as _sys
_sys.modules.setdefault(__name__ + "._opened", _opened)
_sys.modules.setdefault(__name__ + "._sources", _sources)
del _sys, _opened, _sources

# The public names show, and pickle, as karvo's own.
for _public in (FormatError, TruncatedError, TruncatedWarning, Series, Spectrum, open, read, read_many,
                open_mfdataset, references):
    _public.__module__ = __name__
del _public

__all__ = ["FormatError", "Series", "Spectrum", "TruncatedError", "TruncatedWarning", "__version__",
           "open", "open_mfdataset", "read", "read_many", "references", "unit_names"]
