"""The xarray engine on URLs: lazy over HTTP, open_mfdataset over s3:// on a
cluster of worker processes; real servers on 127.0.0.1 (tests/servers.py)."""
import os
import shutil
import sys

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")

from karvo.xarray_backend import KarvoBackendEntrypoint  # noqa: E402
from servers import s3_options  # noqa: E402
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


@pytest.fixture(scope="module")
def client():
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                  processes=True, dashboard_address=None,
                                  worker_dashboard_address=None) as cluster, \
            distributed.Client(cluster) as c:
        yield c
    cloudpickle.unregister_pickle_by_value(sys.modules[__name__])


def test_open_mfdataset_over_s3_on_worker_processes(s3_endpoint, s3_bucket, client, tmp_path):
    """The storage options travel with the arrays: the workers have no
    credentials or endpoint in their environment."""
    import s3fs
    options = s3_options(s3_endpoint)
    fs = s3fs.S3FileSystem(**options, skip_instance_cache=True)
    paths, urls = [], []
    for i in range(3):
        paths.append(str(tmp_path / f"run{i}"))
        series(paths[-1], n_spectra=12, num_points=64, seed=100.0 * i)
        urls.append(f"s3://{s3_bucket}/mf/run{i}")
        fs.put_file(paths[-1], urls[-1])
    assert not any(k.startswith("AWS_") and k != "AWS_CA_BUNDLE"
                   for k in client.run(lambda: dict(os.environ)).popitem()[1])
    opened = dict(engine=ENGINE, combine="nested", concat_dim="file",
                  parallel=True, coords="all", chunks={"spectrum": 5})
    with xr.open_mfdataset(urls, storage_options=options, **opened) as remote, \
            xr.open_mfdataset(paths, **opened) as local:
        assert remote.spectra.shape == (3, 12, 64)
        got = client.compute(remote.spectra.data, sync=True)
        np.testing.assert_array_equal(got, local.spectra.values)
