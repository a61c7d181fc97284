"""Unit codes of the spectral axis and the values.

The main spectral header holds a code for the unit of the x axis
(``x_units``) and one for the values (``y_units``).  What the codes stand for
is written down nowhere the files point to, so karvo never names a unit by
itself: :data:`unit_names` maps codes to text, empty until a lab fills it for
its instruments, and everything that shows a unit goes through it.

Example::

    >>> import karvo
    >>> karvo.unit_names.update({3: "cm⁻¹", 17: "absorbance"})   # doctest: +SKIP
"""
from __future__ import annotations

from .series import Series
from .spectrum import Spectrum

unit_names: dict[int, str] = {}
"""Unit code -> text to show for it (e.g. ``{3: "cm⁻¹"}``).  Fill it in
place; codes not in it are shown as codes."""


def unit_codes(obj: Series | Spectrum) -> tuple[int | None, int | None]:
    """The (x, y) unit codes of a spectrum or series, None where the file has
    no main spectral header."""
    header = obj.spectral_header if isinstance(obj, Series) else obj.header
    if not header:
        return None, None
    x, y = header.get("x_units"), header.get("y_units")
    return (x if isinstance(x, int) else None, y if isinstance(y, int) else None)


def unit_name(code: int | None) -> str | None:
    """The text :data:`unit_names` gives ``code``, or None."""
    if code is None:
        return None
    name = unit_names.get(code)
    return name if isinstance(name, str) and name else None


def axis_label(quantity: str, code: int | None) -> str:
    """``quantity`` with its unit when the code is named, else with the code
    itself: "x (cm⁻¹)", "x (unit code 3)", or just "x" without a code."""
    name = unit_name(code)
    if name is not None:
        return f"{quantity} ({name})"
    return quantity if code is None else f"{quantity} (unit code {code})"
