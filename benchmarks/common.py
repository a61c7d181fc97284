"""What the benchmark scripts share: test files, interleaved timing rounds,
peak-RSS probes for child processes and the report table.

Files are written by our own writer (tools/karvo_writer.py), named after
their content (kind, parameters, a hash of the writer) so that the scripts
and their quick and full runs share them, and reused while a manifest in
the data folder says they are current.
"""

import contextlib
import gc
import hashlib
import json
import math
import os
import resource
import statistics
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WRITER = os.path.join(REPO, "tools", "karvo_writer.py")
DEFAULT_DATA = os.path.join(REPO, ".bench-data")
sys.path.insert(0, os.path.dirname(WRITER))

import karvo_writer as kw  # noqa: E402

KiB = 1024
MiB = 1024 * KiB


# --- test files ------------------------------------------------------------------

def series_shapes(scale):
    """The three series every benchmark reads (write_series keywords).

    many small spectra, a typical series, large spectra; scale is 1 or 10
    (a tenth of the spectra for a quick run)."""
    def n(x):
        return max(x // scale, 1)
    return {
        "w1": dict(n_spectra=n(100_000), num_points=16, element_size=4,
                   mini_hdr=True, mini_header_type=3),
        "w2": dict(n_spectra=n(2_000), num_points=4096, element_size=4,
                   mini_hdr=True, mini_header_type=0),
        "w3": dict(n_spectra=n(200), num_points=65536, element_size=8,
                   mini_hdr=False),
    }


def describe_series(p):
    return "%dx%d-f%d" % (p["n_spectra"], p["num_points"], 8 * p["element_size"])


def write_series_file(path, params):
    # "copy" only tells otherwise identical files apart
    kw.write_series(path, **{k: v for k, v in params.items() if k != "copy"})


def write_bytes_file(build):
    """A builder for prepare_files from a function params -> bytes."""
    def write(path, params):
        with open(path, "wb") as fh:
            fh.write(build(**params))
    return write


def single_values(num_points):
    return [0.5 * j for j in range(num_points)]


def build_single_file(num_points):
    """A single spectrum: main spectral header (type 2), values (type 3)."""
    return kw.single_spectrum_file(values=single_values(num_points))


# kind -> (short description of the parameters, writer of a file)
KINDS = {"series": (describe_series, write_series_file),
         "single": (lambda p: "%d" % p["num_points"],
                    write_bytes_file(build_single_file))}


def _file_name(kind, key, describe):
    tag = hashlib.sha1(json.dumps(key, sort_keys=True).encode()).hexdigest()
    return "%s-%s-%s.spa" % (kind, describe(key["params"]), tag[:8])


def prepare_files(root, jobs, kinds):
    """Write the files that are missing or stale; return ({name: path}, [written]).

    jobs: {name: (kind, params)}; kinds: {kind: (describe, write)} where
    describe(params) -> str goes into the file name and write(path, params)
    makes the file.
    """
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

    paths, written = {}, []
    for name, (kind, params) in jobs.items():
        describe, write = kinds[kind]
        key = json.loads(json.dumps(                 # as the manifest holds it
            {"kind": kind, "params": params, "writer": writer_hash}))
        fname = _file_name(kind, key, describe)
        path = os.path.join(root, fname)
        paths[name] = path
        entry = manifest.get(fname)
        if (entry and entry.get("key") == key and os.path.exists(path)
                and os.path.getsize(path) == entry.get("size")):
            continue
        tmp = path + ".part"
        write(tmp, params)
        os.replace(tmp, path)
        manifest[fname] = {"key": key, "size": os.path.getsize(path)}
        written.append(name)
        if len(written) % 100 == 1:     # now and then: thousands of small files
            _save(manifest_path, manifest)
    if written:
        _save(manifest_path, manifest)
    return paths, written


def _save(manifest_path, manifest):
    with open(manifest_path + ".part", "w") as fh:
        json.dump(manifest, fh, indent=1, sort_keys=True)
    os.replace(manifest_path + ".part", manifest_path)


def prepare_in_child(script, data, quick, jobs, kinds, progress):
    """Write the files in a child process (running `script --write-data`),
    so the writing doesn't count in this process's peak RSS; return the
    paths."""
    t0 = time.perf_counter()
    cmd = [sys.executable, os.path.abspath(script), "--write-data",
           "--data", data] + (["--quick"] if quick else [])
    written = json.loads(subprocess.run(cmd, check=True, stdout=subprocess.PIPE,
                                        text=True).stdout)
    paths, rewritten = prepare_files(data, jobs, kinds)
    assert not rewritten
    if written:
        progress("wrote %s in %.1f s" % (", ".join(written),
                                         time.perf_counter() - t0))
    return paths


def warm_cache(paths):
    buf = bytearray(MiB)
    for p in paths.values():
        with open(p, "rb", buffering=0) as f:
            while f.readinto(buf):
                pass


# --- anchors ----------------------------------------------------------------------

def read_whole(path):
    """One readinto of the whole file into a preallocated buffer."""
    buf = bytearray(os.path.getsize(path))

    def run():
        with open(path, "rb", buffering=0) as f:
            f.readinto(buf)
    return run


def read_forward(path, piece=MiB):
    """The file read forward in pieces into one reused buffer."""
    buf = bytearray(piece)

    def run():
        with open(path, "rb", buffering=0) as f:
            while f.readinto(buf):
                pass
    return run


# --- timing -----------------------------------------------------------------------

def run_rounds(measures, rounds, min_sample, warmup=1, progress=None,
               cpu=None):
    """Times per call: {name: [[times of fns[0]], [times of fns[1]], ...]}.

    measures: [(name, [fn, ...]), ...], a library function and its anchors.
    Every round visits every measure, starting from a different one each
    round, and rotates which function of a measure goes first.  The warm-up
    rounds also calibrate: a function that runs for less than min_sample
    seconds is called enough times in a row to fill a sample, and the sample
    is divided by that count.  When a dict is given as cpu, it gets the
    process CPU time per call in the same form (on a loaded machine it
    leaves out the time spent waiting for a core).
    """
    times = {name: [[] for _ in fns] for name, fns in measures}
    if cpu is not None:
        cpu.update({name: [[] for _ in fns] for name, fns in measures})
    number = {}
    for r in range(warmup + rounds):
        k = r % len(measures)
        for name, fns in measures[k:] + measures[:k]:
            slots = list(enumerate(fns))
            j = r % len(slots)
            for slot, fn in slots[j:] + slots[:j]:
                reps = number.get((name, slot), 1)
                gc.collect()
                c0 = time.process_time()
                t0 = time.perf_counter()
                for _ in range(reps):
                    fn()
                dt = (time.perf_counter() - t0) / reps
                if r >= warmup:
                    times[name][slot].append(dt)
                    if cpu is not None:
                        cpu[name][slot].append((time.process_time() - c0) / reps)
                elif r == warmup - 1:
                    number[(name, slot)] = max(1, min(10_000, math.ceil(
                        min_sample / max(dt, 1e-7))))
        if progress:
            progress("round %d/%d%s" % (r + 1, warmup + rounds,
                                       " (warm-up)" if r < warmup else ""))
    return times


# --- memory (in child processes) --------------------------------------------------

def status_kib(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


class PeakRss:
    """The peak RSS raise, in KiB, over what runs between start() and raise_kib().

    Resets the high-water mark through /proc/self/clear_refs; where that is
    not allowed it falls back to ru_maxrss, which only sees raises above
    the process's earlier peak.
    """

    def start(self):
        gc.collect()
        self.base = status_kib("VmRSS")
        try:
            with open("/proc/self/clear_refs", "w") as fh:
                fh.write("5")
            self.exact = status_kib("VmHWM") <= self.base + 64
        except OSError:
            self.exact = False
        if not self.exact:
            self.base = max(status_kib("VmHWM") or 0,
                            resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
        return self

    def raise_kib(self):
        peak = max(status_kib("VmHWM") or 0,
                   resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
                   if not self.exact else 0)
        return peak - self.base


def child_env(module):
    """The environment for a child that must import module from where we did."""
    env = dict(os.environ)
    where = os.path.dirname(os.path.abspath(module.__file__))
    if os.path.basename(module.__file__).startswith("__init__."):
        where = os.path.dirname(where)          # a package: its parent folder
    env["PYTHONPATH"] = os.pathsep.join(
        [where] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


def run_children(env, script, args, runs):
    """Run `script args` runs times; the JSON of each one's last line."""
    out = []
    for _ in range(runs):
        text = subprocess.run([sys.executable, os.path.abspath(script)] + args,
                              env=env, check=True, stdout=subprocess.PIPE,
                              text=True).stdout
        out.append(json.loads(text.strip().splitlines()[-1]))
    return out


# --- report -----------------------------------------------------------------------

def fmt_time(s):
    if s >= 1:
        return "%.3f s" % s
    if s >= 1e-3:
        return "%.2f ms" % (s * 1e3)
    return "%.1f us" % (s * 1e6)


def fmt_kib(k):
    return "%.1f MiB" % (k / 1024) if abs(k) >= 10 * 1024 else "%d KiB" % k


def median(xs):
    return statistics.median(xs)


def print_report(title, rows):
    """rows: (workload, size, median, anchor median, ratio, target, ok)."""
    head = ("workload", "size", "median", "anchor median", "ratio", "target", "")
    verdict = {True: "pass", False: "FAIL", None: ""}
    table = [head] + [r[:6] + (verdict[r[6]],) for r in rows]
    widths = [max(len(str(r[i])) for r in table) for i in range(len(head))]
    print(title)
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
    return peak


# --- the scripts' shared frame ------------------------------------------------------

def parse_options(doc):
    """The options every benchmark script takes; args.rounds and args.scale
    are resolved (scale 10 for --quick, else 1)."""
    import argparse
    ap = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="shrink every workload tenfold (smoke run)")
    ap.add_argument("--rounds", type=int, default=None,
                    help="timed rounds after the warm-up (default 7, quick 5)")
    ap.add_argument("--data", default=DEFAULT_DATA,
                    help="folder for the generated files (default .bench-data/)")
    ap.add_argument("--strict", action="store_true",
                    help="exit 1 when a target is missed")
    ap.add_argument("--json", metavar="FILE", help="also write results as JSON")
    ap.add_argument("--mem-child", metavar="PATH", help=argparse.SUPPRESS)
    ap.add_argument("--fresh-child", metavar="PATH", help=argparse.SUPPRESS)
    ap.add_argument("--write-data", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.rounds is None:
        args.rounds = 5 if args.quick else 7
    if args.rounds < 1:
        ap.error("--rounds must be at least 1")
    args.scale = 10 if args.quick else 1
    args.data = os.path.abspath(args.data)
    return args


def progress(msg):
    print("  " + msg, file=sys.stderr, flush=True)


def ratio_row(name, desc, lib_times, anchor_name, anchor_times, target,
              cpu_times=None):
    """(report row, JSON result) of a timed workload against one anchor.

    cpu_times: (library, anchor) CPU times per call, shown beside the
    ratio of wall times (which alone decides the verdict)."""
    lm, am = median(lib_times), median(anchor_times)
    ratio = lm / am
    ok = None if target is None else ratio <= target
    shown = "%.2f x" % ratio
    result = dict(workload=name, time=lm, anchor=am, anchor_kind=anchor_name,
                  ratio=ratio, target=target, ok=ok, times=lib_times,
                  anchor_times=anchor_times)
    if cpu_times:
        cpu_ratio = median(cpu_times[0]) / max(median(cpu_times[1]), 1e-9)
        shown += " (cpu %.2f x)" % cpu_ratio
        result.update(cpu_ratio=cpu_ratio, cpu_times=cpu_times[0],
                      anchor_cpu_times=cpu_times[1])
    row = (name, desc, fmt_time(lm), "%s %s" % (anchor_name, fmt_time(am)),
           shown, "" if target is None else "<= %g x" % target, ok)
    return row, result


def finish(args, title, rows, results):
    """Print the report, write the JSON if asked; the exit status."""
    peak = print_report("%s: %s, %d rounds after 1 warm-up, Python %s" % (
        title, "quick" if args.quick else "full", args.rounds,
        sys.version.split()[0]), rows)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(dict(quick=args.quick, rounds=args.rounds,
                           results=results, peak_rss_kib=peak), fh, indent=1)
    failed = [r[0] for r in rows if r[6] is False]
    return 1 if (args.strict and failed) else 0


def child_mode(args, jobs, kinds, mem_child):
    """Do the work of a child process (--write-data, --mem-child) if this is
    one; True when it was."""
    if args.mem_child:
        mem_child(args.mem_child)
    elif args.write_data:
        _paths, written = prepare_files(args.data, jobs, kinds)
        print(json.dumps(written))
    else:
        return False
    return True
