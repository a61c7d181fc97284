"""The karvo engine on a real dask.distributed cluster of worker processes."""
import os
import signal
import sys
import time

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")

from xarray_files import engine, numpy_read, series  # noqa: E402

N_FILES = 50


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("campaign")
    made = [(d / ("run%02d" % i), series(d / ("run%02d" % i), n_spectra=20,
                                        num_points=64, seed=1000.0 * i))
            for i in range(N_FILES)]
    return [str(p) for p, _ in made], [numpy_read(p, sf) for p, sf in made]


@pytest.fixture(scope="module")
def client():
    # workers import this module's helpers by value: they don't see tests/
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                  processes=True, dashboard_address=None,
                                  worker_dashboard_address=None) as cluster, \
            distributed.Client(cluster) as c:
        yield c
    cloudpickle.unregister_pickle_by_value(sys.modules[__name__])


def open_campaign(paths, **kw):
    return xr.open_mfdataset(paths, engine=engine(), combine="nested",
                             concat_dim="file", parallel=True, coords="all", **kw)


def test_sums_and_means_per_file_equal_a_serial_read(client, files):
    paths, serial = files
    with open_campaign(paths) as ds:
        assert ds.spectra.shape == (N_FILES, 20, 64)
        sums, means = client.compute(
            [ds.spectra.sum(("spectrum", "x")), ds.spectra.mean(("spectrum", "x"))],
            sync=True)
    np.testing.assert_allclose(sums, [a.sum(dtype=np.float64) for a in serial],
                               rtol=1e-6)
    np.testing.assert_allclose(means, [a.mean(dtype=np.float64) for a in serial],
                               rtol=1e-6)
    # the values were read by workers in two processes other than this one
    pids = set(client.run(os.getpid).values())
    assert len(pids) == 2 and os.getpid() not in pids


def _slow(block):
    time.sleep(0.02)
    return block


def _finished(dask_scheduler):
    return sum(ts.state == "memory" for ts in dask_scheduler.tasks.values())


def test_a_worker_killed_mid_computation_loses_nothing(client, files):
    paths, serial = files
    with open_campaign(paths, chunks={"spectrum": 5}) as ds:
        # 200 blocks of 20 ms each: long enough to lose a worker half-way
        per_file = ds.spectra.data.map_blocks(_slow).sum(axis=(1, 2), dtype=np.float64)
        future = client.compute(per_file)
        deadline = time.monotonic() + 30
        while client.run_on_scheduler(_finished) < 10 and time.monotonic() < deadline:
            time.sleep(0.02)
        assert not future.done()
        victim, pid = sorted(client.run(os.getpid).items())[0]
        os.kill(pid, signal.SIGKILL)
        result = future.result(timeout=60)
    assert victim not in client.scheduler_info()["workers"]
    np.testing.assert_allclose(result, [a.sum(dtype=np.float64) for a in serial],
                               rtol=1e-6)


def test_workers_in_another_folder_read_the_file_opened_here(client, tmp_path, monkeypatch):
    import karvo
    here, there = tmp_path / "here", tmp_path / "there"
    for folder, seed in ((here, 1.0), (there, 2.0)):   # same name and shape
        folder.mkdir()
        series(folder / "run", n_spectra=4, num_points=8, seed=seed)
    monkeypatch.chdir(here)
    started_in = client.run(os.getcwd)
    client.run(os.chdir, str(there))
    try:
        with xr.open_dataset("run", engine=engine(), chunks={"spectrum": 2}) as ds:
            first = client.compute(ds.spectra[:, 0], sync=True)
            np.testing.assert_array_equal(first, 1.0 + 10 * np.arange(4))
            # another file of that name and shape put in its place
            series(tmp_path / "new", n_spectra=4, num_points=8, seed=3.0)
            os.replace(tmp_path / "new", here / "run")
            with pytest.raises(karvo.FormatError, match="changed since it was opened"):
                client.compute(ds.spectra.sum(), sync=True)
    finally:
        for worker, folder in started_in.items():
            client.run(os.chdir, folder, workers=[worker])


def test_open_mfdataset_over_s3_on_worker_processes(s3_endpoint, s3_bucket, client, tmp_path):
    """The storage options travel with the arrays: the workers have no
    credentials or endpoint in their environment."""
    import s3fs
    from servers import s3_options
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
    opened = dict(engine=engine(), combine="nested", concat_dim="file",
                  parallel=True, coords="all", chunks={"spectrum": 5})
    with xr.open_mfdataset(urls, storage_options=options, **opened) as remote, \
            xr.open_mfdataset(paths, **opened) as local:
        assert remote.spectra.shape == (3, 12, 64)
        got = client.compute(remote.spectra.data, sync=True)
        np.testing.assert_array_equal(got, local.spectra.values)
