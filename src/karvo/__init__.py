"""Spectra from FT-IR and Raman spectrometer files as numpy arrays."""
from __future__ import annotations

from . import _native  # noqa: F401

__all__: list[str] = []
