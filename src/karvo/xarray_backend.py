"""The ``karvo`` engine for xarray, as its entry point names it
(``karvo.xarray_backend:KarvoBackendEntrypoint``); it lives in
``karvo._xarray.engine``."""
from ._xarray.engine import (KarvoArray, KarvoBackendEntrypoint, KarvoDataStore, load_coordinates, same_x_as,
                             to_xarray)

__all__ = ["KarvoArray", "KarvoBackendEntrypoint", "KarvoDataStore", "load_coordinates", "same_x_as",
           "to_xarray"]
