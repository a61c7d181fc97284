"""The reading core: a spectral data file opened by path, URL or file object
as a :class:`Series` or a :class:`Spectrum` (what they share: ``opened``),
``karvo.open``/``karvo.read`` (``api``), many files at once
(``many``, found by ``inputs``), the table of a series' spectra
(``table``), unit codes (``units``) and variable names (``names``). It
reads through ``_storage`` and the native module, and loads no optional
library: views and integrations are imported inside the methods that
return them."""
