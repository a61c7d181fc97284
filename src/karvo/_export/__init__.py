"""``karvo export``'s writers: a file's spectra as CSV/TSV, npz, Parquet,
NetCDF or zarr (``single``), and many files stacked on one axis
(``stack``); every output is written under a temporary name and renamed
when complete (``karvo._storage.atomic``)."""
