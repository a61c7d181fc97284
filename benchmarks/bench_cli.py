"""Time and peak memory of ``karvo export`` to each format, on one series.

    python benchmarks/bench_cli.py [--spectra 5000] [--points 4096] [--data DIR]

Runs the installed ``karvo`` command (``python -m karvo`` where it is not on
the PATH) as a child process per format and reports its wall time and its
peak resident memory above that of a child that only imports what the
command imports.  The series is written by tools/karvo_writer.py.  Target:
the export's extra memory stays bounded (at most 80 MiB: a CSV block, or a
few chunks of spectra in flight), however large the series: compare the last column
with the values' size.  CSV is written at least at CSV_TARGET_MBS megabytes
of text per second (the "MB/s written" column); ``csv-long`` is the long
layout (``--layout long``: a row per value, its metadata repeated on each).

Then a stack: ``--stack`` files of 50 x 4,096 float32 spectra with mini
headers, their values a smooth band plus noise in the low bits (as measured
spectra have), exported as one Parquet file and as one NetCDF file, the two
alternating for ``--rounds`` rounds (medians). Target: Parquet takes no
longer than NetCDF and is no larger than the files it reads.
"""
from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))

from karvo_writer import write_series  # noqa: E402

FORMATS = ["csv", "csv-long", "npz", "parquet", "nc", "zarr"]
TARGET_MIB = 80
CSV_TARGET_MBS = 60


def measure(command: list[str]) -> tuple[float, float]:
    """(wall seconds, peak RSS in MiB) of the command, run by a fresh helper
    (RUSAGE_CHILDREN keeps the largest child a process ever had)."""
    probe = ("import resource, subprocess, sys, time; t = time.perf_counter(); "
             "subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL); "
             "print(time.perf_counter() - t, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024)")
    out = subprocess.run([sys.executable, "-c", probe, *command], check=True,
                         capture_output=True, text=True).stdout.split()
    return float(out[0]), float(out[1])


def _size(path: str) -> int:
    """Bytes of a file, or of every file under a folder (zarr)."""
    if not os.path.isdir(path):
        return os.path.getsize(path)
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(path) for f in files)


def write_stack(folder: str, files: int, spectra: int = 50, points: int = 4096) -> list[str]:
    """files series of spectra x points float32 with version-3 mini headers:
    written by our writer, then their values replaced by a band and noise."""
    import numpy as np
    from karvo_writer import SeriesFile

    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(0)
    x = np.linspace(0.0, 1.0, points)
    band = np.exp(-((x - 0.3) / 0.02) ** 2) + 0.5 * np.exp(-((x - 0.7) / 0.05) ** 2)
    paths = []
    for f in range(files):
        path = os.path.join(folder, f"run{f:04d}.series")
        series = SeriesFile(n_spectra=spectra, num_points=points, mini_header_type=3)
        series.write(path)
        with open(path, "r+b") as fh:
            for k in range(spectra):
                fh.seek(series.layout.values_offset(k))
                fh.write((band * (1 + 0.01 * k) + rng.normal(0, 1e-3, points)).astype("<f4").tobytes())
        paths.append(path)
    return paths


def stack_rows(folder: str, files: int, rounds: int, karvo: list[str]) -> None:
    """Parquet against NetCDF for one stack of files, alternating."""
    import statistics

    stack = os.path.join(folder, "stack")
    paths = write_stack(stack, files)
    size_in = sum(os.path.getsize(p) for p in paths)
    print(f"\nstack: {files} files x 50 x 4096 float32, mini headers: {size_in / 1e6:.0f} MB of files")
    times: dict[str, list[float]] = {"parquet": [], "nc": []}
    sizes: dict[str, int] = {}
    for _ in range(rounds):
        for kind in times:
            out = os.path.join(folder, "stack." + kind)
            wall, _peak = measure(karvo + ["export", stack, "-o", out])
            times[kind].append(wall)
            sizes[kind] = _size(out)
            os.remove(out)
    print("| export of the stack | seconds (median) | all rounds | MB written | size / files |")
    print("|---|---|---|---|---|")
    for kind, walls in times.items():
        print(f"| {kind} | {statistics.median(walls):.2f} | "
              f"{', '.join(f'{w:.2f}' for w in walls)} | {sizes[kind] / 1e6:.0f} | {sizes[kind] / size_in:.2f} |")
    ratio = statistics.median(times["parquet"]) / statistics.median(times["nc"])
    print(f"parquet / nc: {ratio:.2f} x the time (target <= 1), "
          f"{sizes['parquet'] / size_in:.2f} x the files' size (target <= 1)")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--spectra", type=int, default=5000)
    ap.add_argument("--points", type=int, default=4096)
    ap.add_argument("--data", default=None, help="folder for the series and the exports")
    ap.add_argument("--formats", default=",".join(FORMATS), help="comma-separated (default: all; none: '')")
    ap.add_argument("--stack", type=int, default=300, help="files of the stack (0: no stack rows)")
    ap.add_argument("--rounds", type=int, default=3, help="rounds of the stack rows")
    args = ap.parse_args()
    folder = args.data or tempfile.mkdtemp(prefix="karvo-bench-cli-")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "series")
    small = os.path.join(folder, "small")
    write_series(path, n_spectra=args.spectra, num_points=args.points, mini_header_type=3)
    write_series(small, n_spectra=10, num_points=args.points, mini_header_type=3)
    values_mib = args.spectra * args.points * 4 / 2**20
    script = shutil.which("karvo")
    karvo = [script] if script else [sys.executable, "-m", "karvo"]
    print(f"series: {args.spectra} x {args.points} float32 = {values_mib:.0f} MiB of values")
    print("| format | seconds | MiB/s of values | MB/s written | peak RSS MiB |"
          " above the same export of 10 spectra, MiB |")
    print("|---|---|---|---|---|---|")
    worst = 0.0
    for fmt in filter(None, args.formats.split(",")):
        kind, _, layout = fmt.partition("-")
        out = os.path.join(folder, "out." + kind)
        options = ["--layout", layout] if layout else []
        try:
            _, base = measure(karvo + ["export", small, "-o", out, *options])
            wall, peak = measure(karvo + ["export", path, "-o", out, *options])
        except subprocess.CalledProcessError:
            print(f"| {fmt} | failed (library or engine missing?) | | | | |")
            continue
        extra = peak - base
        worst = max(worst, extra)
        written = _size(out) / 1e6 / wall
        print(f"| {fmt} | {wall:.2f} | {values_mib / wall:.0f} | {written:.0f} | {peak:.0f} | {extra:.0f} |")
        if kind in ("csv", "tsv"):
            print(f"{fmt}: {written:.0f} MB/s of text (target >= {CSV_TARGET_MBS})")
    print(f"at most {worst:.0f} MiB more than for 10 spectra "
          f"(target <= {TARGET_MIB} MiB; the values are {values_mib:.0f} MiB)")
    if args.stack:
        stack_rows(folder, args.stack, args.rounds, karvo)
    if not args.data:
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
