#!/usr/bin/env python3
"""Speed and memory benchmarks for karvoreader.

    python benchmarks/bench.py [--quick] [--rounds N] [--data DIR] [--strict]
                               [--json FILE]

The workloads are written with our own writer (tools/karvo_writer.py) into
DIR (default: .bench-data/ under the repository) and reused on later runs
while their parameters and the writer are unchanged.  Every file is read
once to warm the page cache, then one warm-up round and N timed rounds run
every measurement interleaved: each round visits every workload, and within
a workload the library and its anchor alternate which goes first.  Reported
times are medians over the timed rounds; each ratio is the median library
time over the median anchor time of the same run.

Memory is measured in child processes (peak RSS raise of a full walk, and
whether it grows with the number of spectra); start-up compares whole
interpreter processes importing the module against importing struct and
array.

Exit status is 0 whatever the numbers, unless --strict is given, in which
case a missed target exits with 1.  --quick shrinks every workload tenfold
for a smoke run.
"""

import collections
import contextlib
import io
import json
import os
import statistics
import struct
import subprocess
import sys
import threading
import time

from common import KINDS as COMMON_KINDS
from common import (KiB, PeakRss, child_env, child_mode, finish, fmt_kib,
                    fmt_time, kw, parse_options, prepare_in_child, progress,
                    ratio_row, read_forward, read_whole, run_children,
                    run_rounds, series_shapes, warm_cache, write_bytes_file)


def import_reader():
    """Import karvoreader without letting its import-time line through."""
    with contextlib.redirect_stdout(io.StringIO()):
        try:
            import karvoreader
        except ImportError as e:
            sys.exit("bench: cannot import karvoreader (%s); build it and put "
                     "the build directory on PYTHONPATH" % e)
    return karvoreader


# --- workloads -----------------------------------------------------------------

def series_params(scale):
    """name -> keyword arguments of write_series.  scale is 1 or 10."""
    shapes = series_shapes(scale)
    w1, w2, w3 = shapes["w1"], shapes["w2"], shapes["w3"]

    def n(x):
        return max(x // scale, 1)
    return {
        "w1": w1,
        "w2": w2,
        "w3": w3,
        "w3b": dict(w3, copy=2),                 # the second file of W6
        # the same shapes with a tenth of the spectra, for RSS growth
        "w1s": dict(w1, n_spectra=n(10_000)),
        "w2s": dict(w2, n_spectra=n(200)),
    }


def directory_spec(scale):
    # the section count is a 16-bit field: 65,535 is the most a file holds
    return dict(entries=max(65_535 // scale, 1), types=(100, 2, 100, 302),
                wanted=100)


def single_spec():
    return dict(num_points=1024)


def build_directory_file(entries, types, wanted):
    b = kw.SpaBuilder(file_type=1)
    b.add(2, kw.pack_main_spectral_header(num_points=0))
    for i in range(1, entries):
        b.add_entry(types[i % len(types)], 304 + 16 * entries,
                    length=140, index_unsigned=i & 0xFFFF, index_long=i)
    return b.build()


KINDS = dict(COMMON_KINDS,
             directory=(lambda p: "%d" % p["entries"],
                        write_bytes_file(build_directory_file)))


def jobs(scale):
    out = {name: ("series", p) for name, p in series_params(scale).items()}
    out["w4"] = ("directory", directory_spec(scale))
    out["w5"] = ("single", single_spec())
    return out


# --- what is timed -------------------------------------------------------------

def make_measures(kr, paths, scale):
    params = series_params(scale)
    dspec = directory_spec(scale)
    reps = max(5000 // scale, 1)
    consume = collections.deque(maxlen=0).extend

    def walk(path):
        consume(kr.open_file(path).open_series())

    limit, stream = read_whole, read_forward

    def directory(path):
        spa = kr.SPAFile(path)
        list(spa.find_indextypes(dspec["wanted"]))

    def directory_anchor(path):
        n = dspec["entries"]
        with open(path, "rb") as f:
            data = f.read()
        list(struct.iter_unpack("<HIIHI", memoryview(data)[304:304 + 16 * n]))

    def singles(path):
        SPAFile = kr.SPAFile
        for _ in range(reps):
            spa = SPAFile(path)
            spa.read(spa.find_indextype(2))

    header = struct.Struct("<30s256sssHHHHII")
    entry = struct.Struct("<HIIHI")
    spectral = struct.Struct("<IIIIfffIIIfIIIfIfIfIfffffIIIIIIIIII")
    assert (header.size, entry.size, spectral.size) == (304, 16, 140)

    def singles_anchor(path):
        for _ in range(reps):
            with open(path, "rb") as f:
                header.unpack(f.read(304))
                off = entry.unpack(f.read(16))[1]
                f.seek(off)
                spectral.unpack(f.read(140))

    def threaded(a, b, job=walk):
        errors = []

        def one(p):
            try:
                job(p)
            except BaseException as e:  # reported by the caller's thread
                errors.append(e)
        ts = [threading.Thread(target=one, args=(p,)) for p in (a, b)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        if errors:
            raise errors[0]

    def sequential(a, b, job=walk):
        job(a)
        job(b)

    # What this machine allows at best: the stream anchor, two threads
    # against one after the other (readinto lets other threads run too).
    raw_a, raw_b = stream(paths["w3"]), stream(paths["w3b"])

    def raw_threaded():
        threaded(raw_a, raw_b, job=lambda run: run())

    w1, w2, w3, w3b = paths["w1"], paths["w2"], paths["w3"], paths["w3b"]
    p4, p5 = paths["w4"], paths["w5"]

    def shape(s):
        return "%s x %s %s" % (f"{s['n_spectra']:,}", f"{s['num_points']:,}",
                               "f32" if s["element_size"] == 4 else "f64")
    return [
        ("W1 many small spectra", shape(params["w1"]) + ", v3 mini",
         lambda: walk(w1), "limit", limit(w1), 12.0),
        ("W2 typical series", shape(params["w2"]) + ", mini",
         lambda: walk(w2), "stream", stream(w2), 1.5),
        ("W3 large spectra", shape(params["w3"]) + ", no mini",
         lambda: walk(w3), "stream", stream(w3), 1.3),
        ("W4 large directory", f"{dspec['entries']:,} entries",
         lambda: directory(p4), "iter_unpack", lambda: directory_anchor(p4), 3.0),
        ("W5 many small files", f"{reps:,} x open+read",
         lambda: singles(p5), "plain py", lambda: singles_anchor(p5), 1.3),
        ("W6 threads", "2 x W3, 2 threads",
         lambda: threaded(w3, w3b), "serial", lambda: sequential(w3, w3b), 0.65),
        ("W6 ceiling (info)", "2 x W3 raw 1 MiB reads",
         raw_threaded, "serial", lambda: (raw_a(), raw_b()), None),
    ]


def verify(kr, paths, scale):
    """One checked pass, so that a broken reader can't pass for a fast one."""
    params = series_params(scale)
    for name in ("w1", "w2", "w3", "w3b"):
        s = params[name]
        n, last = 0, None
        for item in kr.open_file(paths[name]).open_series():
            n += 1
            last = item
        vals = last[1]
        want_code = "f" if s["element_size"] == 4 else "d"
        if (n != s["n_spectra"] + 1 or len(vals) != s["num_points"]
                or vals.typecode != want_code
                or vals[0] != s["n_spectra"] - 1
                or (s["num_points"] > 1 and vals[1] != 0.25)):
            raise SystemExit("bench: %s read back wrong (%d items)" % (name, n))
    d = directory_spec(scale)
    found = list(kr.SPAFile(paths["w4"]).find_indextypes(d["wanted"]))
    want = [i for i in range(1, d["entries"])
            if d["types"][i % len(d["types"])] == d["wanted"]]
    if found != want:
        raise SystemExit("bench: w4 directory look-up wrong")
    spa = kr.SPAFile(paths["w5"])
    if spa.read(spa.find_indextype(2)).num_points != single_spec()["num_points"]:
        raise SystemExit("bench: w5 header read back wrong")


# --- memory (child processes) ----------------------------------------------------

def mem_child(path):
    """Walk one series; print the peak RSS raise over the walk, in KiB."""
    kr = import_reader()
    series = kr.open_file(path)
    probe = PeakRss().start()
    n = 0
    for _item in series.open_series():
        n += 1
    del _item
    print(json.dumps({"raise_kib": probe.raise_kib(), "items": n,
                      "exact": probe.exact}))


def fresh_child(path, rounds):
    """W2 in a process of its own: median walk and anchor times (seconds).

    The walk's cost depends on what the allocator does with the memory of
    the arrays a caller drops; in the main benchmark process, earlier
    workloads have already moved the allocator's thresholds.
    """
    kr = import_reader()
    consume = collections.deque(maxlen=0).extend
    buf = bytearray(1024 * KiB)

    def walk():
        consume(kr.open_file(path).open_series())

    def anchor():
        with open(path, "rb", buffering=0) as f:
            while f.readinto(buf):
                pass
    times = ([], [])
    for r in range(rounds + 1):
        pair = [(0, walk), (1, anchor)]
        if r % 2:
            pair.reverse()
        for slot, fn in pair:
            t0 = time.perf_counter()
            for _ in range(10):
                fn()
            if r:
                times[slot].append((time.perf_counter() - t0) / 10)
    print(json.dumps({"walk": statistics.median(times[0]),
                      "anchor": statistics.median(times[1])}))


def mem_raise(env, path, runs):
    return statistics.median(
        r["raise_kib"] for r in run_children(env, __file__,
                                             ["--mem-child", path], runs))


def startup(env, runs):
    cmds = [[sys.executable, "-c", "import karvoreader"],
            [sys.executable, "-c", "import struct, array"]]
    times = ([], [])
    for r in range(runs + 1):              # first pair is a warm-up
        order = [0, 1] if r % 2 else [1, 0]
        for i in order:
            t0 = time.perf_counter()
            subprocess.run(cmds[i], env=env, check=True,
                           stdout=subprocess.DEVNULL)
            dt = time.perf_counter() - t0
            if r:
                times[i].append(dt)
    return statistics.median(times[0]), statistics.median(times[1])


def main():
    args = parse_options(__doc__)
    scale, data, rounds = args.scale, args.data, args.rounds
    if args.fresh_child:
        fresh_child(args.fresh_child, rounds)
        return 0
    if child_mode(args, jobs(scale), KINDS, mem_child):
        return 0

    kr = import_reader()
    paths = prepare_in_child(__file__, data, args.quick, jobs(scale), KINDS,
                             progress)
    warm_cache(paths)
    verify(kr, paths, scale)
    measures = make_measures(kr, paths, scale)
    times = run_rounds([(m[0], [m[2], m[4]]) for m in measures], rounds,
                       0.01 if args.quick else 0.1, progress=progress)

    rows, results = [], []
    for name, desc, _lib, aname, _anchor, target in measures:
        row, result = ratio_row(name, desc, times[name][0], aname,
                                times[name][1], target)
        rows.append(row)
        results.append(result)

    env = child_env(kr)
    # W2 again, in a process where no other workload ran before it
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--fresh-child",
                          paths["w2"], "--rounds", str(rounds)], env=env, check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    fresh = json.loads(out.strip().splitlines()[-1])
    ratio = fresh["walk"] / fresh["anchor"]
    rows.append(("W2 in a fresh process", "as W2, nothing run before",
                 fmt_time(fresh["walk"]), "stream %s" % fmt_time(fresh["anchor"]),
                 "%.2f x" % ratio, "<= 1.5 x", ratio <= 1.5))
    results.append(dict(workload="W2 fresh", time=fresh["walk"], anchor=fresh["anchor"],
                        ratio=ratio, target=1.5, ok=ratio <= 1.5))

    # memory: peak RSS raise of a full W3 walk, and growth with spectra count
    mruns = 1 if args.quick else 3
    params = series_params(scale)
    s3 = params["w3"]
    spec_kib = s3["num_points"] * s3["element_size"] / KiB
    r3 = mem_raise(env, paths["w3"], mruns)
    rows.append(("M1 W3 walk peak RSS", "raise over walk", fmt_kib(r3),
                 "3 spectra %s" % fmt_kib(3 * spec_kib),
                 "%.2f x" % (r3 / (3 * spec_kib)), "< 1 x", r3 < 3 * spec_kib))
    results.append(dict(workload="M1", raise_kib=r3, limit_kib=3 * spec_kib,
                        ok=r3 < 3 * spec_kib))
    grow_limit = 1024
    for label, small, large in (("M2 RSS growth W1", "w1s", "w1"),
                                ("M3 RSS growth W2", "w2s", "w2")):
        rs, rl = mem_raise(env, paths[small], mruns), mem_raise(env, paths[large], mruns)
        g = rl - rs
        ok = g < grow_limit
        rows.append((label, "%s vs %s spectra" % (
            f"{params[large]['n_spectra']:,}", f"{params[small]['n_spectra']:,}"),
            "%s -> %s" % (fmt_kib(rs), fmt_kib(rl)), "growth %+d KiB" % g,
            "", "< %d KiB" % grow_limit, ok))
        results.append(dict(workload=label, small_kib=rs, large_kib=rl,
                            growth_kib=g, limit_kib=grow_limit, ok=ok))

    sruns = 6 if args.quick else 21
    s_lib, s_anc = startup(env, sruns)
    ok = s_lib / s_anc <= 1.2
    rows.append(("S start-up", "%d processes each" % sruns, fmt_time(s_lib),
                 "struct,array %s" % fmt_time(s_anc), "%.2f x" % (s_lib / s_anc),
                 "<= 1.2 x", ok))
    results.append(dict(workload="S", time=s_lib, anchor=s_anc,
                        ratio=s_lib / s_anc, target=1.2, ok=ok))

    return finish(args, "karvoreader benchmarks", rows, results)


if __name__ == "__main__":
    sys.exit(main())
