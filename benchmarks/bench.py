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

import argparse
import collections
import contextlib
import gc
import hashlib
import io
import json
import math
import os
import resource
import statistics
import struct
import subprocess
import sys
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WRITER = os.path.join(REPO, "tools", "karvo_writer.py")
sys.path.insert(0, os.path.dirname(WRITER))

import karvo_writer as kw  # noqa: E402

KiB = 1024
MiB = 1024 * KiB


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

def series_specs(scale):
    """name -> keyword arguments of write_series.  scale is 1 or 10."""
    def n(x):
        return max(x // scale, 1)
    w1 = dict(n_spectra=n(100_000), num_points=16, element_size=4,
              mini_hdr=True, mini_header_type=3)
    w2 = dict(n_spectra=n(2_000), num_points=4096, element_size=4,
              mini_hdr=True, mini_header_type=0)
    w3 = dict(n_spectra=n(200), num_points=65536, element_size=8,
              mini_hdr=False)
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


def build_single_file(num_points):
    return kw.single_spectrum_file(values=[0.5 * j for j in range(num_points)])


def file_name(kind, key):
    """Named after the content alone, so quick and full runs share files."""
    tag = hashlib.sha1(json.dumps(key, sort_keys=True).encode()).hexdigest()
    p = key["params"]
    if kind == "series":
        what = "%dx%d-f%d" % (p["n_spectra"], p["num_points"],
                              8 * p["element_size"])
    elif kind == "directory":
        what = "%d" % p["entries"]
    else:
        what = "%d" % p["num_points"]
    return "%s-%s-%s.spa" % (kind, what, tag[:8])


def prepare_data(root, scale):
    """Write the workload files that are missing or stale; return their paths."""
    os.makedirs(root, exist_ok=True)
    with open(WRITER, "rb") as fh:
        writer_hash = hashlib.sha256(fh.read()).hexdigest()
    manifest_path = os.path.join(root, "manifest.json")
    try:
        with open(manifest_path) as fh:
            manifest = json.load(fh)
    except (OSError, ValueError):
        manifest = {}
    for fname in list(manifest):            # files of an older writer
        if manifest[fname].get("key", {}).get("writer") != writer_hash:
            with contextlib.suppress(OSError):
                os.remove(os.path.join(root, fname))
            del manifest[fname]

    jobs = {name: ("series", p) for name, p in series_specs(scale).items()}
    jobs["w4"] = ("directory", directory_spec(scale))
    jobs["w5"] = ("single", single_spec())
    paths, written = {}, []
    for name, (kind, params) in jobs.items():
        key = json.loads(json.dumps(                 # as the manifest holds it
            {"kind": kind, "params": params, "writer": writer_hash}))
        fname = file_name(kind, key)
        path = os.path.join(root, fname)
        paths[name] = path
        entry = manifest.get(fname)
        if (entry and entry.get("key") == key and os.path.exists(path)
                and os.path.getsize(path) == entry.get("size")):
            continue
        tmp = path + ".part"
        if kind == "series":
            kw.write_series(tmp, **{k: v for k, v in params.items()
                                    if k != "copy"})
        else:
            data = (build_directory_file(**params) if kind == "directory"
                    else build_single_file(**params))
            with open(tmp, "wb") as fh:
                fh.write(data)
        os.replace(tmp, path)
        manifest[fname] = {"key": key, "size": os.path.getsize(path)}
        written.append(name)
        with open(manifest_path, "w") as fh:
            json.dump(manifest, fh, indent=1, sort_keys=True)
    return paths, written


# --- what is timed -------------------------------------------------------------

def make_measures(kr, paths, scale):
    specs = series_specs(scale)
    dspec = directory_spec(scale)
    reps = max(5000 // scale, 1)
    consume = collections.deque(maxlen=0).extend

    def walk(path):
        consume(kr.open_file(path).open_series())

    def limit(path):
        buf = bytearray(os.path.getsize(path))

        def run():
            with open(path, "rb", buffering=0) as f:
                f.readinto(buf)
        return run

    def stream(path):
        buf = bytearray(MiB)

        def run():
            with open(path, "rb", buffering=0) as f:
                while f.readinto(buf):
                    pass
        return run

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
        ("W1 many small spectra", shape(specs["w1"]) + ", v3 mini",
         lambda: walk(w1), "limit", limit(w1), 12.0),
        ("W2 typical series", shape(specs["w2"]) + ", mini",
         lambda: walk(w2), "stream", stream(w2), 1.5),
        ("W3 large spectra", shape(specs["w3"]) + ", no mini",
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
    specs = series_specs(scale)
    for name in ("w1", "w2", "w3", "w3b"):
        s = specs[name]
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


def warm_cache(paths):
    buf = bytearray(MiB)
    for p in paths.values():
        with open(p, "rb", buffering=0) as f:
            while f.readinto(buf):
                pass


def run_rounds(measures, rounds, min_sample, warmup=1, progress=None):
    """Times per call: {name: ([library...], [anchor...])}.

    The warm-up round also calibrates: a function that runs for less than
    min_sample seconds is called enough times in a row to fill a sample,
    and the sample is divided by that count.
    """
    times = {m[0]: ([], []) for m in measures}
    number = {}
    for r in range(warmup + rounds):
        k = r % len(measures)
        for m in measures[k:] + measures[:k]:
            name, _desc, lib, _aname, anchor, _target = m
            pair = [(0, lib), (1, anchor)]
            if r % 2:
                pair.reverse()
            for slot, fn in pair:
                reps = number.get((name, slot), 1)
                gc.collect()
                t0 = time.perf_counter()
                for _ in range(reps):
                    fn()
                dt = (time.perf_counter() - t0) / reps
                if r >= warmup:
                    times[name][slot].append(dt)
                elif r == warmup - 1:
                    number[(name, slot)] = max(1, min(10_000, math.ceil(
                        min_sample / max(dt, 1e-7))))
        if progress:
            progress("round %d/%d%s" % (r + 1, warmup + rounds,
                                       " (warm-up)" if r < warmup else ""))
    return times


# --- memory (child processes) ----------------------------------------------------

def _status_kib(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def mem_child(path):
    """Walk one series; print the peak RSS raise over the walk, in KiB."""
    kr = import_reader()
    series = kr.open_file(path)
    gc.collect()
    base = _status_kib("VmRSS")
    try:                                    # reset the high-water mark
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        exact = _status_kib("VmHWM") <= base + 64
    except OSError:
        exact = False
    if not exact:
        base = max(_status_kib("VmHWM") or 0,
                   resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    n = 0
    for _item in series.open_series():
        n += 1
    del _item
    peak = max(_status_kib("VmHWM") or 0,
               resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
               if not exact else 0)
    print(json.dumps({"raise_kib": peak - base, "items": n, "exact": exact}))


def fresh_child(path, rounds):
    """W2 in a process of its own: median walk and anchor times (seconds).

    The walk's cost depends on what the allocator does with the memory of
    the arrays a caller drops; in the main benchmark process, earlier
    workloads have already moved the allocator's thresholds.
    """
    kr = import_reader()
    consume = collections.deque(maxlen=0).extend
    buf = bytearray(MiB)

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


def child_env(kr):
    env = dict(os.environ)
    where = os.path.dirname(os.path.abspath(kr.__file__))
    env["PYTHONPATH"] = os.pathsep.join(
        [where] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


def mem_raise(env, path, runs):
    vals = []
    for _ in range(runs):
        out = subprocess.run([sys.executable, os.path.abspath(__file__),
                              "--mem-child", path], env=env, check=True,
                             stdout=subprocess.PIPE, text=True).stdout
        vals.append(json.loads(out.strip().splitlines()[-1])["raise_kib"])
    return statistics.median(vals)


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


# --- report -------------------------------------------------------------------

def fmt_time(s):
    if s >= 1:
        return "%.3f s" % s
    if s >= 1e-3:
        return "%.2f ms" % (s * 1e3)
    return "%.1f us" % (s * 1e6)


def fmt_kib(k):
    return "%.1f MiB" % (k / 1024) if abs(k) >= 10 * 1024 else "%d KiB" % k


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="shrink every workload tenfold (smoke run)")
    ap.add_argument("--rounds", type=int, default=None,
                    help="timed rounds after the warm-up (default 7, quick 5)")
    ap.add_argument("--data", default=os.path.join(REPO, ".bench-data"),
                    help="folder for the generated files (default .bench-data/)")
    ap.add_argument("--strict", action="store_true",
                    help="exit 1 when a target is missed")
    ap.add_argument("--json", metavar="FILE", help="also write results as JSON")
    ap.add_argument("--mem-child", metavar="PATH", help=argparse.SUPPRESS)
    ap.add_argument("--fresh-child", metavar="PATH", help=argparse.SUPPRESS)
    ap.add_argument("--write-data", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.mem_child:
        mem_child(args.mem_child)
        return 0
    if args.fresh_child:
        fresh_child(args.fresh_child, args.rounds or 7)
        return 0
    scale = 10 if args.quick else 1
    data = os.path.abspath(args.data)
    if args.write_data:
        _paths, written = prepare_data(data, scale)
        print(json.dumps(written))
        return 0

    rounds = args.rounds if args.rounds is not None else (5 if args.quick else 7)
    if rounds < 1:
        ap.error("--rounds must be at least 1")

    def progress(msg):
        print("  " + msg, file=sys.stderr, flush=True)

    kr = import_reader()
    # the writing happens in a child, so it doesn't count in our peak RSS
    t0 = time.perf_counter()
    cmd = [sys.executable, os.path.abspath(__file__), "--write-data",
           "--data", data] + (["--quick"] if args.quick else [])
    written = json.loads(subprocess.run(cmd, check=True, stdout=subprocess.PIPE,
                                        text=True).stdout)
    paths, rewritten = prepare_data(data, scale)
    assert not rewritten
    if written:
        progress("wrote %s in %.1f s" % (", ".join(written),
                                         time.perf_counter() - t0))
    warm_cache(paths)
    verify(kr, paths, scale)
    measures = make_measures(kr, paths, scale)
    times = run_rounds(measures, rounds, 0.01 if args.quick else 0.1,
                       progress=progress)

    rows, results = [], []
    for name, desc, _lib, aname, _anchor, target in measures:
        lib_t, anc_t = times[name]
        lm, am = statistics.median(lib_t), statistics.median(anc_t)
        ratio = lm / am
        ok = None if target is None else ratio <= target
        rows.append((name, desc, fmt_time(lm), "%s %s" % (aname, fmt_time(am)),
                     "%.2f x" % ratio, "" if target is None else "<= %g x" % target,
                     ok))
        results.append(dict(workload=name, time=lm, anchor=am, anchor_kind=aname,
                            ratio=ratio, target=target, ok=ok, times=lib_t,
                            anchor_times=anc_t))

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
    specs = series_specs(scale)
    s3 = specs["w3"]
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
            f"{specs[large]['n_spectra']:,}", f"{specs[small]['n_spectra']:,}"),
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

    head = ("workload", "size", "median", "anchor median", "ratio", "target", "")
    verdict = {True: "pass", False: "FAIL", None: ""}
    table = [head] + [r[:6] + (verdict[r[6]],) for r in rows]
    widths = [max(len(str(r[i])) for r in table) for i in range(len(head))]
    print("karvoreader benchmarks: %s, %d rounds after 1 warm-up, Python %s"
          % ("quick" if args.quick else "full", rounds, sys.version.split()[0]))
    load, cpus = os.getloadavg()[0], os.cpu_count() or 1
    if load > 0.5 * cpus:
        print("note: load average %.1f on %d CPUs; expect noisy numbers"
              % (load, cpus))
    for i, r in enumerate(table):
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print("peak RSS of this process: %s" % fmt_kib(peak))

    if args.json:
        with open(args.json, "w") as fh:
            json.dump(dict(quick=args.quick, rounds=rounds, results=results,
                           peak_rss_kib=peak), fh, indent=1)
    failed = [r[0] for r in rows if r[6] is False]
    return 1 if (args.strict and failed) else 0


if __name__ == "__main__":
    sys.exit(main())
