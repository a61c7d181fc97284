"""The xarray engine on URLs over a real HTTP server on 127.0.0.1
(tests/servers.py); open_mfdataset over s3:// on worker processes is in
test_karvo_distributed.py."""
import os
import shutil

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

from karvo.xarray_backend import KarvoBackendEntrypoint  # noqa: E402
from xarray_files import engine, series  # noqa: E402

ENGINE = engine()


def test_open_dataset_over_http_is_lazy_and_never_guessed(http_server, tmp_path):
    path = str(tmp_path / "lazy.series")
    series(path, n_spectra=30, num_points=256)
    shutil.copyfile(path, os.path.join(http_server.root, "lazy.series"))
    url = http_server.url_of("lazy.series")
    backend = KarvoBackendEntrypoint()
    assert backend.guess_can_open(path)
    http_server.reset()
    assert not backend.guess_can_open(url) and http_server.count() == 0

    with xr.open_dataset(path, engine=ENGINE) as local, \
            xr.open_dataset(url, engine=ENGINE, storage_options={}) as ds:
        http_server.reset()
        np.testing.assert_array_equal(ds.spectra[17].values, local.spectra[17].values)
        assert http_server.count() == 1, http_server.log
        xr.testing.assert_identical(ds.load(), local.load())
