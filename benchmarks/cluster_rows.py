"""The rows of bench_karvo.py that time the xarray engine on a dask cluster.

A campaign of files opened with open_mfdataset the way README recommends
(one chunk per file, join="exact", preprocess=load_coordinates), once with
a LocalCluster of two worker processes as the scheduler and once with
dask's threaded scheduler, in the same process and the same run:

  K8  a coordinate: ds.temp.compute()
  K9  ds.spectra.max("x").compute(), whose result keeps the coordinates
      along spectrum

and the same campaign opened with karvo.open_mfdataset, whose chunks of
ROWS_PER_CHUNK spectra span files (FILES * 50 / ROWS_PER_CHUNK tasks):

  K10  ds.spectra.max("x").compute()
  K10c a coordinate: ds.temp.compute()

Each row's anchor is the same call on the threaded scheduler; K9 and K10
have a second one, without a target: the same reduction over
dask.array.ones of the same chunks on the cluster, which reads no file
(what dask itself costs per task there).  The cluster is bounded by
timeouts (start, every computation, close) and is
always closed.
"""

import contextlib

import numpy as np

FILES = 200
QUICK_FILES = 5
TIMEOUT = 300               # seconds for one computation on the cluster
# K10: 100 files of 50 spectra a task, 80 MB (under dask's 128 MiB "auto"),
# a task for each worker; chunks of 1000 spectra cost the cluster 3 to 5 x
# the threads' time, as ten tasks of dask.array.ones cost it nearly as much
ROWS_PER_CHUNK = 5000


def campaign_params(k):
    """File k of the campaign (copy tells them apart)."""
    return dict(n_spectra=50, num_points=4096, element_size=4, mini_hdr=True,
                mini_header_type=1, copy=k)


def campaign_jobs(scale):
    n = QUICK_FILES if scale > 1 else FILES
    return {"campaign%03d" % k: ("series", campaign_params(k)) for k in range(n)}


def _modules():
    try:
        import dask
        import dask.array
        import distributed
        import xarray
        import karvo
        from karvo.xarray_backend import (KarvoBackendEntrypoint,
                                          load_coordinates)
    except ImportError as e:
        return None, str(e)
    return (dask, distributed, xarray, KarvoBackendEntrypoint,
            load_coordinates, karvo), None


def _open(xr, engine, load_coordinates, paths):
    return xr.open_mfdataset(paths, engine=engine, combine="nested",
                             concat_dim="file", coords="all", join="exact",
                             parallel=True, preprocess=load_coordinates)


@contextlib.contextmanager
def local_cluster(distributed, dask):
    """A LocalCluster of 2 worker processes of 1 thread on 127.0.0.1 and
    its Client, closed on every way out."""
    with dask.config.set({"distributed.comm.timeouts.connect": "60s"}):
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True,
            host="127.0.0.1", dashboard_address="127.0.0.1:0",
            worker_dashboard_address=None, scheduler_kwargs={"dashboard": False})
    try:
        client = distributed.Client(cluster, timeout=60)
        try:
            yield client
        finally:
            client.close(timeout=30)
    finally:
        cluster.close(timeout=30)


def cluster_measures(paths, run_measures, progress):
    """[(name, size, [(anchor, target, anchor times), ...], cluster times)],
    or [] when xarray or dask.distributed is missing.  run_measures(
    [(name, [fn, ...])]) times them as bench_karvo times its rows (the
    process CPU time would leave out the workers': it is not shown)."""
    mods, missing = _modules()
    if mods is None:
        progress("K8 to K10 skipped: %s" % missing)
        return []
    dask, distributed, xr, engine, load_coordinates, karvo = mods
    size = "%d files x 50 x 4,096 f32, mini" % len(paths)
    with contextlib.ExitStack() as stack:
        with dask.config.set(scheduler="threads"):
            local = stack.enter_context(_open(xr, engine, load_coordinates, paths))
        client = stack.enter_context(local_cluster(distributed, dask))
        # opened through the client: the opens run on the workers
        remote = stack.enter_context(_open(xr, engine, load_coordinates, paths))

        def on_cluster(fn):
            def run():
                # what users call; what holds dask arrays goes to the
                # cluster as client.compute, to bound it in time
                out = fn(remote)
                if not dask.is_dask_collection(out):
                    return out.compute()
                return client.compute(out).result(timeout=TIMEOUT)
            return run

        def threaded(fn):
            def run():
                out = fn(local)
                if not dask.is_dask_collection(out):
                    return out.compute()
                return out.compute(scheduler="threads")
            return run

        # holds no open file: the same Dataset serves both schedulers
        many = karvo.open_mfdataset(paths, chunks={"spectrum": ROWS_PER_CHUNK})

        def spanning(fn):
            return lambda ds: fn(many)

        k8, k9 = (lambda ds: ds.temp), (lambda ds: ds.spectra.max("x"))
        k10, k10c = spanning(k9), spanning(k8)
        for fn in (k8, k9, k10, k10c):          # same answers, or no row
            a, b = on_cluster(fn)(), threaded(fn)()
            if not a.identical(b) or not np.isfinite(a.values).all():
                raise SystemExit("bench_karvo: the cluster's %s differs from "
                                 "the threads'" % a.name)
        if not np.array_equal(on_cluster(k10)().values.ravel(),
                              threaded(k9)().values.ravel()):
            raise SystemExit("bench_karvo: karvo.open_mfdataset's maxima "
                             "differ from the engine's")

        def floor(ds):
            ones = dask.array.ones(ds.spectra.shape, ds.spectra.dtype,
                                   chunks=ds.spectra.chunks).max(axis=-1)
            return lambda: client.compute(ones).result(timeout=TIMEOUT)
        times = run_measures([("K8", [on_cluster(k8), threaded(k8)]),
                              ("K9", [on_cluster(k9), threaded(k9), floor(remote)]),
                              ("K10", [on_cluster(k10), threaded(k10), floor(many)]),
                              ("K10c", [on_cluster(k10c), threaded(k10c)])])
    k8, k9, k10, k10c = (times[k] for k in ("K8", "K9", "K10", "K10c"))
    spans = "%s, chunks of %d spectra" % (size, ROWS_PER_CHUNK)
    return [("K8 coordinate on a cluster", size, [("threads", 2.0, k8[1])], k8[0]),
            ("K9 max on a cluster", size,
             [("threads", 1.5, k9[1]), ("dask.array.ones", None, k9[2])], k9[0]),
            ("K10 max on a cluster, karvo.open_mfdataset", spans,
             [("threads", 1.5, k10[1]), ("dask.array.ones", None, k10[2])], k10[0]),
            ("K10c coordinate on a cluster, karvo.open_mfdataset", spans,
             [("threads", 2.0, k10c[1])], k10c[0])]
