#!/usr/bin/env python3
"""Speed and memory benchmarks for karvo (spectra as numpy arrays).

    python benchmarks/bench_karvo.py [--quick] [--rounds N] [--data DIR]
                                     [--strict] [--json FILE]

K8 to K10 time the xarray engine and karvo.open_mfdataset on a LocalCluster
of two worker processes against dask's threaded scheduler
(benchmarks/cluster_rows.py);
they are left out when xarray or dask.distributed is missing.

Every karvo call is timed side by side with its anchor, the plain read that
bounds it, in the same run: one warm-up round, then N timed rounds that
visit every workload (starting from a different one each round) and rotate
which of a workload's functions goes first.  Reported times are medians
over the timed rounds; each ratio is the median karvo time over the median
anchor time of the same run.

The files are written by our own writer (tools/karvo_writer.py) into DIR
(default .bench-data/, shared with bench.py), in a child process.  Peak
memory of np.asarray(s) is measured in fresh child processes.

Exit status is 0 whatever the numbers, unless --strict is given, in which
case a missed target exits with 1.  --quick shrinks every workload tenfold
for a smoke run (the cluster rows read 5 files instead of 200).
"""

import json
import os
import random
import re
import struct
import sys
import warnings
from array import array

import numpy as np

from cluster_rows import campaign_jobs, campaign_params, cluster_measures
from common import (KINDS, KiB, PeakRss, child_env, child_mode, finish,
                    fmt_kib, kw, median, parse_options, prepare_in_child,
                    progress, ratio_row, read_whole, run_children, run_rounds,
                    series_shapes, single_values, warm_cache,
                    write_bytes_file)


def import_karvo():
    try:
        import karvo
    except ImportError as e:
        sys.exit("bench_karvo: cannot import karvo (%s); build it and put the "
                 "build directory on PYTHONPATH" % e)
    return karvo


# --- files --------------------------------------------------------------------

SINGLE_POINTS = 1024


MANY_FILES = 200
SMALL_FILES = 2000          # single spectra of SMALL_POINTS each, for K11
SMALL_POINTS = 64


def many_params(scale, k):
    """File k of the many files read by karvo.read_many (copy tells them apart)."""
    return dict(n_spectra=max(100 // scale, 1), num_points=1024, element_size=4,
                mini_hdr=True, mini_header_type=3, copy=k)


def jobs(scale):
    out = {name: ("series", p) for name, p in series_shapes(scale).items()}
    out["single"] = ("single", dict(num_points=SINGLE_POINTS))
    for k in range(MANY_FILES):
        out["many%03d" % k] = ("series", many_params(scale, k))
    for k in range(max(SMALL_FILES // scale, 1)):
        out["small%04d" % k] = ("small", dict(num_points=SMALL_POINTS, copy=k))
    out.update(campaign_jobs(scale))
    return out


def build_small_file(num_points, copy):
    """A single spectrum whose first value tells the copies apart."""
    return kw.single_spectrum_file(values=[float(copy)] + single_values(num_points)[1:])


BENCH_KINDS = {**KINDS, "small": (lambda p: "%d-%d" % (p["num_points"], p["copy"]),
                                  write_bytes_file(build_small_file))}


def series_layout(params):
    return kw.SeriesFile(**params).layout


def record_dtype(params):
    """A spectrum record as numpy sees it: the mini header's fields (if any)
    followed by the values."""
    fields = []
    if params["mini_hdr"]:
        name = ("SeriesSpecheaderVer3" if params.get("mini_header_type")
                else "SeriesSpecheader")
        # the writer's struct format of the mini header, field by field
        packer = kw._MINI3 if name.endswith("Ver3") else kw._MINI
        codes = re.findall(r"(\d*)([a-zA-Z])", packer.format.lstrip("<"))
        kinds = {"I": "<u4", "f": "<f4"}
        fields = [(f, "S" + n if c == "s" else kinds[c])
                  for f, (n, c) in zip(kw.FIELDS[name], codes)]
    values = "<f4" if params["element_size"] == 4 else "<f8"
    return np.dtype(fields + [("values", values, (params["num_points"],))])


# --- what is timed ------------------------------------------------------------

def into_one_buffer(paths):
    """The anchor of read_many: each file's bytes read with readinto into one
    buffer allocated per call (as read_many allocates Y)."""
    sizes = [os.path.getsize(p) for p in paths]

    def run():
        view = memoryview(bytearray(sum(sizes)))
        at = 0
        for path, n in zip(paths, sizes):
            with open(path, "rb", buffering=0) as f:
                f.readinto(view[at:at + n])
            at += n
    return run


def make_measures(karvo, paths, scale, keep_open):
    """[(name, size, karvo call, [(anchor name, anchor, target), ...]), ...]"""
    shapes = series_shapes(scale)
    w1, w2, w3 = paths["w1"], paths["w2"], paths["w3"]

    def load(path):
        def run():
            with karvo.open(path) as s:
                np.asarray(s)
        return run

    def meta(path):
        def run():
            with karvo.open(path) as s:
                s.meta
        return run

    def records(path, params):
        dtype = record_dtype(params)
        offset = series_layout(params).spectrum_offset(0)
        n = params["n_spectra"]

        def run():
            np.fromfile(path, dtype=dtype, count=n, offset=offset)
        return run

    # random single spectra from an open series, and the same bytes by pread
    params2 = shapes["w2"]
    picks = random.Random(7).choices(range(params2["n_spectra"]),
                                     k=max(1000 // scale, 1))
    series = keep_open(karvo.open(w2))
    layout = series_layout(params2)
    fd = keep_open(os.open(w2, os.O_RDONLY))
    offsets = [layout.values_offset(i) for i in picks]
    size = layout.values_size

    def items():
        for i in picks:
            series[i]

    def preads():
        pread = os.pread
        for off in offsets:
            pread(fd, size, off)

    # many small files: karvo.read against plain Python with struct
    single = paths["single"]
    reps = max(5000 // scale, 1)
    header = struct.Struct("<30s256sssHHHHII")       # num_sections is [7]
    entry = struct.Struct("<HIIHI")
    spectral = struct.Struct("<IIIIfffIIIfIIIfIfIfIfffffIIIIIIIIII")
    assert (header.size, entry.size, spectral.size) == (304, 16, 140)

    def reads():
        read = karvo.read
        for _ in range(reps):
            read(single)

    def plain_reads():
        for _ in range(reps):
            with open(single, "rb") as f:
                count = header.unpack(f.read(304))[7]
                where = {}
                for t, off, _n, _u, _l in entry.iter_unpack(f.read(16 * count)):
                    where.setdefault(t, off)
                f.seek(where[2])
                num_points = spectral.unpack(f.read(140))[1]
                f.seek(where[3])
                array("f").frombytes(f.read(4 * num_points))

    # many series files into one array and table, against reading their
    # bytes into one buffer allocated per call (as read_many allocates Y)
    many = [paths["many%03d" % k] for k in range(MANY_FILES)]

    def read_many():
        karvo.read_many(many)

    plain_many = into_one_buffer(many)

    # many small files: read_many against a loop of karvo.read over them
    small = sorted(p for name, p in paths.items() if name.startswith("small"))

    def read_many_small():
        karvo.read_many(small)

    def loop_small():
        read = karvo.read
        for path in small:
            read(path)

    # many typical series: read_many against their bytes into one buffer
    campaign = [paths[k] for k in sorted(paths) if k.startswith("campaign")]

    def read_many_campaign():
        karvo.read_many(campaign)

    plain_campaign = into_one_buffer(campaign)

    def shape(s, extra=""):
        return "%s x %s %s%s" % (f"{s['n_spectra']:,}", f"{s['num_points']:,}",
                                 "f32" if s["element_size"] == 4 else "f64",
                                 extra)
    return [
        ("K1 np.asarray, many small", shape(shapes["w1"], ", v3 mini"),
         load(w1), [("readinto", read_whole(w1), 1.5),
                    ("fromfile records", records(w1, shapes["w1"]), 0.7)]),
        ("K2 np.asarray, typical", shape(shapes["w2"], ", mini"),
         load(w2), [("readinto", read_whole(w2), 1.1)]),
        ("K3 np.asarray, large", shape(shapes["w3"]),
         load(w3), [("readinto", read_whole(w3), 1.1)]),
        ("K4 .meta", shape(shapes["w1"], ", v3 mini"),
         meta(w1), [("readinto", read_whole(w1), 2.0)]),
        ("K5 random s[i]", "%s x s[i], %s" % (f"{len(picks):,}",
                                              shape(params2)),
         items, [("os.pread", preads, 2.0)]),
        ("K6 karvo.read, small files", "%s x %s points" % (
            f"{reps:,}", f"{SINGLE_POINTS:,}"),
         reads, [("plain py", plain_reads, 1.3)]),
        ("K7 karvo.read_many", "%d files x %s" % (MANY_FILES, shape(many_params(scale, 0), ", v3 mini")),
         read_many, [("readinto one buffer", plain_many, 1.5)]),
        ("K11 karvo.read_many, small files", "%s single spectra x %d points" % (
            f"{len(small):,}", SMALL_POINTS),
         read_many_small, [("loop of karvo.read", loop_small, 1.0)]),
        ("K12 karvo.read_many, typical series", "%d files x %s" % (
            len(campaign), shape(campaign_params(0), ", mini")),
         read_many_campaign, [("readinto one buffer", plain_campaign, 1.3)]),
    ]


def verify(karvo, paths, scale):
    """One checked pass, so that a broken reader can't pass for a fast one."""
    shapes = series_shapes(scale)
    for name in ("w1", "w2", "w3"):
        params = shapes[name]
        n, p = params["n_spectra"], params["num_points"]
        # the writer's spectrum k holds k, then 0.25 * j
        row = np.asarray(kw.SeriesFile(**params).values(0))
        with karvo.open(paths[name]) as s:
            got = np.asarray(s)
            if (got.shape != (n, p)
                    or got.dtype != np.dtype("f%d" % params["element_size"])
                    or not np.array_equal(got[:, 0], np.arange(n))
                    or not (got[:, 1:] == row[1:]).all()):
                sys.exit("bench_karvo: %s read back wrong" % name)
            del got
            if name == "w1":
                meta = s.meta
                k = np.arange(n)
                if (meta is None or len(meta) != n
                        or not np.array_equal(meta["num_scans"], k + 1)
                        or not np.array_equal(meta["start_time"], 1000 + 10 * k)
                        or not np.array_equal(meta["direction"], k % 2)
                        or s.titles[-1] != "spectrum %d" % (n - 1)):
                    sys.exit("bench_karvo: w1 mini headers read back wrong")
            if name == "w2":
                layout = series_layout(params)
                with open(paths[name], "rb") as f:
                    f.seek(layout.values_offset(n - 1))
                    raw = np.frombuffer(f.read(layout.values_size), "<f4")
                if not np.array_equal(s[n - 1], raw) or \
                        not np.array_equal(s[-1], raw):
                    sys.exit("bench_karvo: w2 s[i] read back wrong")
    many = [paths["many%03d" % k] for k in range(MANY_FILES)]
    _x, Y, table = karvo.read_many(many)
    n = many_params(scale, 0)["n_spectra"]
    if (Y.shape != (MANY_FILES * n, 1024) or len(table) != len(Y)
            or not np.array_equal(Y[:, 0], np.tile(np.arange(n), MANY_FILES))
            or not np.array_equal(Y[-n:], np.asarray(karvo.read(many[-1])[1]))):
        sys.exit("bench_karvo: read_many read back wrong")
    small = [paths[k] for k in sorted(paths) if k.startswith("small")]
    _x, Y, _table = karvo.read_many(small)
    if (Y.shape != (len(small), SMALL_POINTS)
            or not np.array_equal(Y[:, 0], np.arange(len(small)))
            or not np.array_equal(Y[:, 1:], np.broadcast_to(
                np.float32(single_values(SMALL_POINTS)[1:]), (len(small), SMALL_POINTS - 1)))):
        sys.exit("bench_karvo: read_many of small files read back wrong")
    x, y = karvo.read(paths["single"])
    if (not np.array_equal(y, np.float32(single_values(SINGLE_POINTS)))
            or len(x) != SINGLE_POINTS):
        sys.exit("bench_karvo: single spectrum read back wrong")


# --- memory (child processes) -------------------------------------------------

def mem_child(path):
    """np.asarray of one series; print the peak RSS raise over it, in KiB."""
    karvo = import_karvo()
    np.asarray(np.zeros(1))                 # numpy's first-use costs first
    with karvo.open(path) as s:
        probe = PeakRss().start()
        a = np.asarray(s)
        raised = probe.raise_kib()
    print(json.dumps({"raise_kib": raised, "result_kib": a.nbytes / KiB,
                      "exact": probe.exact}))


def memory_rows(env, paths, scale, runs):
    shapes = series_shapes(scale)
    rows, results = [], []
    slack = 2_000_000 / KiB                 # 2 MB beyond the result, in KiB
    for name, label in (("w1", "M1"), ("w2", "M2"), ("w3", "M3")):
        out = run_children(env, __file__, ["--mem-child", paths[name]], runs)
        raised = median(r["raise_kib"] for r in out)
        result = out[0]["result_kib"]
        extra = raised - result
        ok = extra <= slack
        params = shapes[name]
        rows.append(("%s np.asarray peak RSS" % label, "%s x %s" % (
            f"{params['n_spectra']:,}", f"{params['num_points']:,}"),
            fmt_kib(raised), "result %s" % fmt_kib(result),
            "%+d KiB" % extra, "<= +2 MB", ok))
        results.append(dict(workload=label, file=name, raise_kib=raised,
                            result_kib=result, extra_kib=extra,
                            limit_kib=slack, ok=ok,
                            exact=all(r["exact"] for r in out)))
    return rows, results


# --- main ---------------------------------------------------------------------

def main():
    args = parse_options(__doc__)
    scale = args.scale
    if child_mode(args, jobs(scale), BENCH_KINDS, mem_child):
        return 0

    karvo = import_karvo()
    warnings.simplefilter("error", karvo.TruncatedWarning)   # files are whole
    paths = prepare_in_child(__file__, args.data, args.quick, jobs(scale),
                             BENCH_KINDS, progress)
    warm_cache(paths)
    verify(karvo, paths, scale)
    held = []

    def keep_open(obj):
        held.append(obj)
        return obj
    cpu = {}
    try:
        measures = make_measures(karvo, paths, scale, keep_open)
        times = run_rounds([(m[0], [m[2]] + [a[1] for a in m[3]])
                            for m in measures], args.rounds,
                           0.01 if args.quick else 0.1, progress=progress,
                           cpu=cpu)
    finally:
        for obj in held:
            if isinstance(obj, int):
                os.close(obj)
            else:
                obj.close()

    rows, results = [], []
    for name, desc, _fn, anchors in measures:
        for slot, (aname, _anchor, target) in enumerate(anchors, 1):
            row, result = ratio_row(name, desc, times[name][0], aname,
                                    times[name][slot], target,
                                    (cpu[name][0], cpu[name][slot]))
            rows.append(row)
            results.append(result)

    # after the other rows: the cluster's processes would share their cores
    campaign = [paths[k] for k in sorted(paths) if k.startswith("campaign")]
    for name, desc, anchors, on_cluster in cluster_measures(
            campaign, lambda measures: run_rounds(
                measures, args.rounds, 0.01 if args.quick else 0.1,
                progress=progress), progress):
        for aname, target, anchor_times in anchors:
            row, result = ratio_row(name, desc, on_cluster, aname,
                                    anchor_times, target)
            rows.append(row)
            results.append(result)

    mrows, mresults = memory_rows(child_env(karvo), paths, scale,
                                  1 if args.quick else 3)
    rows += mrows
    results += mresults

    return finish(args, "karvo benchmarks (numpy %s)" % np.__version__,
                  rows, results)


if __name__ == "__main__":
    sys.exit(main())
