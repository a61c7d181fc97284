#!/usr/bin/env python3
"""The karvo engine on a local dask.distributed cluster against a serial read.

    python benchmarks/bench_xarray.py [--files 50] [--spectra 200]
        [--points 4096] [--workers 2] [--rounds 3] [--data DIR] [--quick]

Writes FILES series files of SPECTRA x POINTS float32 with our writer (into
DIR, default .bench-data/xarray/, reused while they have the right size),
reads each once to warm the page cache, then times, interleaved over ROUNDS
rounds (medians reported):

  serial numpy  for each file: np.asarray(karvo.open(p)), sum and mean
  dask threads  open_mfdataset(parallel=True, coords="all") + compute,
                threaded scheduler
  cluster       the same on a LocalCluster of WORKERS processes (1 thread
                each), once with one chunk per file and once with four

The cluster's start-up is timed apart.  Sums and means are checked against
the serial read.  Overhead per task = (cluster time - serial time) / tasks,
where tasks counts the opens and every task of the reduction graph.  Apart
from dask: what one task costs the engine itself (unpickle, open, check,
read), against np.fromfile.
"""
import argparse
import os
import pickle
import statistics
import sys
import time

import numpy as np

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tools"))

import dask  # noqa: E402
import distributed  # noqa: E402
import xarray as xr  # noqa: E402
from xarray.core import indexing  # noqa: E402

import karvo  # noqa: E402
from karvo.xarray_backend import KarvoArray, KarvoBackendEntrypoint  # noqa: E402
from karvo_writer import SeriesFile  # noqa: E402


def make_files(folder, n_files, spectra, points):
    os.makedirs(folder, exist_ok=True)
    paths = []
    for i in range(n_files):
        p = os.path.join(folder, "run%03d_%dx%d" % (i, spectra, points))
        sf = SeriesFile(n_spectra=spectra, num_points=points, element_size=4,
                        mini_hdr=True, mini_header_type=1)
        if not os.path.exists(p) or os.path.getsize(p) != sf.layout.file_size:
            sf.write(p)
        paths.append(p)
    return paths


def warm(paths):
    for p in paths:
        with open(p, "rb") as fh:
            while fh.read(1 << 20):
                pass


def serial(paths):
    sums, means = [], []
    for p in paths:
        with karvo.open(p) as s:
            a = np.asarray(s)
        sums.append(a.sum(dtype=np.float64))
        means.append(a.mean(dtype=np.float64))
    return np.array(sums), np.array(means)


def with_dask(paths, chunks, compute):
    """Open lazily and compute per-file sums and means; returns (sums, means,
    tasks, seconds to open)."""
    t = time.perf_counter()
    ds = xr.open_mfdataset(paths, engine=KarvoBackendEntrypoint,
                           combine="nested", concat_dim="file", coords="all",
                           parallel=True, chunks=chunks)
    t_open = time.perf_counter() - t
    dims = ("spectrum", "x")
    todo = [ds.spectra.sum(dims, dtype=np.float64),
            ds.spectra.mean(dims, dtype=np.float64)]
    tasks = len(dask.base.collections_to_expr(todo).optimize().__dask_graph__())
    sums, means = compute(todo)
    ds.close()
    return np.asarray(sums), np.asarray(means), tasks + len(paths), t_open


def engine_cost(paths, rounds):
    """What a task costs the engine itself, in this process: unpickle the
    lazy array, open the file, check its layout and read (one row, or all),
    against np.fromfile of the whole file.  Medians, ms per file."""
    arrays = []
    for p in paths:
        with xr.open_dataset(p, engine=KarvoBackendEntrypoint) as ds:
            a = ds.spectra.variable._data
            while not isinstance(a, KarvoArray):
                a = a.array
            arrays.append(pickle.dumps(a))
    one = indexing.BasicIndexer((slice(0, 1), slice(None)))

    def whole(a):  # as a dask task asks for its chunk: slice(0, n, 1) on each axis
        return a[indexing.BasicIndexer(tuple(slice(0, n, 1) for n in a.shape))]

    runs = {"row": lambda: [pickle.loads(b)[one] for b in arrays],
            "file": lambda: [whole(pickle.loads(b)) for b in arrays],
            "fromfile": lambda: [np.fromfile(p, np.uint8) for p in paths]}
    samples = {k: [] for k in runs}
    for _ in range(rounds + 1):
        for k, fn in runs.items():
            samples[k].append(timed(fn)[0] / len(paths) * 1e3)
    return {k: statistics.median(v[1:]) for k, v in samples.items()}, len(arrays[0])


def combine_cost(folder, n_files):
    """open_mfdataset of n_files small files with mini headers, xarray's
    default coords="different" against coords="all"; seconds, one run each."""
    paths = make_files(os.path.join(folder, "small"), n_files, 20, 64)
    out = {}
    for coords in ("different", "all"):
        t, ds = timed(lambda: xr.open_mfdataset(
            paths, engine=KarvoBackendEntrypoint, combine="nested",
            concat_dim="file", coords=coords))
        ds.close()
        out[coords] = t
    return out


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--files", type=int, default=50)
    ap.add_argument("--spectra", type=int, default=200)
    ap.add_argument("--points", type=int, default=4096)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--data", default=os.path.join(REPO, ".bench-data", "xarray"))
    ap.add_argument("--quick", action="store_true",
                    help="5 files of 20 x 512, one round: a smoke run")
    ap.add_argument("--combine", type=int, default=0, metavar="N",
                    help="also time open_mfdataset of N small files with "
                         "coords='different' (xarray's default) and 'all'")
    a = ap.parse_args()
    if a.quick:
        a.files, a.spectra, a.points, a.rounds = 5, 20, 512, 1

    paths = make_files(a.data, a.files, a.spectra, a.points)
    warm(paths)
    nbytes = sum(os.path.getsize(p) for p in paths)
    values_bytes = a.files * a.spectra * a.points * 4

    cost, pickled = engine_cost(paths, a.rounds)
    t_start, cluster = timed(lambda: distributed.LocalCluster(
        n_workers=a.workers, threads_per_worker=1, processes=True,
        dashboard_address=None, worker_dashboard_address=None))
    client = distributed.Client(cluster)
    client.run(lambda: __import__("karvo.xarray_backend"))   # warm imports

    def threads_run():
        with dask.config.set(scheduler="threads"):    # opens too, not the client
            return with_dask(paths, {}, lambda todo: dask.compute(*todo))

    def on_cluster(todo):
        return client.compute(todo, sync=True)

    quarter = max(1, a.spectra // 4)
    runs = {
        "serial numpy (karvo.open, one file after another)": lambda: serial(paths),
        "dask threads, open_mfdataset(parallel=True), 1 chunk/file":
            threads_run,
        "cluster %d procs, 1 chunk/file" % a.workers:
            lambda: with_dask(paths, {}, on_cluster),
        "cluster %d procs, chunks={'spectrum': %d} (4/file)" % (a.workers, quarter):
            lambda: with_dask(paths, {"spectrum": quarter}, on_cluster),
    }
    times = {k: [] for k in runs}
    opens = {k: [] for k in runs}
    results = {}
    for r in range(a.rounds + 1):              # round 0 warms up
        for name, fn in runs.items():
            t, out = timed(fn)
            if r:
                times[name].append(t)
                if len(out) == 4:
                    opens[name].append(out[3])
            results[name] = out
    client.close()
    cluster.close()

    ref_sums, ref_means = results[next(iter(runs))]
    t_serial = statistics.median(next(iter(times.values())))
    print("## karvo engine on a local cluster\n")
    print("%d files x %d spectra x %d points float32: %d spectra, %.1f MB of "
          "values, %.1f MB on disk; %d worker processes x 1 thread; machine: "
          "%d cores; medians of %d rounds\n"
          % (a.files, a.spectra, a.points, a.files * a.spectra,
             values_bytes / 1e6, nbytes / 1e6, a.workers, os.cpu_count(),
             a.rounds))
    print("cluster start-up (not in the times below): %.2f s; load average "
          "at the end: %.1f (a busy machine makes every ratio noisier)\n"
          % (t_start, os.getloadavg()[0]))
    print("| run | open | total | vs serial | tasks | overhead/task | same numbers |")
    print("|---|---|---|---|---|---|---|")
    for name in runs:
        t = statistics.median(times[name])
        out = results[name]
        diff = max(np.max(np.abs(out[0] / ref_sums - 1)),
                   np.max(np.abs(out[1] / ref_means - 1)))
        if len(out) == 2:
            opened, tasks, over = "", a.files, ""
        else:
            opened = "%.3f s" % statistics.median(opens[name])
            tasks = out[2]
            over = "%.2f ms" % ((t - t_serial) / tasks * 1e3)
        print("| %s | %s | %.3f s | %.2f x | %d | %s | %s (max rel. diff %.1e) |"
              % (name, opened, t, t / t_serial, tasks, over,
                 "yes" if diff < 1e-9 else "NO", diff))
    print("\nThe engine's own work per task (in one process: unpickle the lazy "
          "array, %d bytes; open the file; check its layout; read): %.2f ms "
          "for one row, %.2f ms for the whole file as a dask task asks for it, against %.2f ms for "
          "np.fromfile of the whole file." % (pickled, cost["row"], cost["file"],
                                               cost["fromfile"]))
    if a.combine:
        c = combine_cost(a.data, a.combine)
        print("\nopen_mfdataset of %d files of 20 x 64 with mini headers: "
              "%.1f s with coords='different' (xarray's default), %.1f s with "
              "coords='all'." % (a.combine, c["different"], c["all"]))


if __name__ == "__main__":
    main()
