"""karvo for xarray and dask: the ``karvo`` engine (``engine``, the entry
point ``karvo.xarray_backend`` re-exports it), one lazy Dataset over many
files (``mfdataset``, built by ``many``) and chunk references for reading in
place without karvo (``references``). xarray and dask are imported only by
``engine`` and ``many``, which the rest imports inside its functions."""
