#!/usr/bin/env python3
"""Bounded random mutation round for the karvo package: damaged copies of
good files from our writer (fields set to extreme values, bytes flipped, the
file cut) must open and read, or fail with karvo's own errors. Run it under
the sanitizer build to catch memory faults and unbacked allocations:

    PYTHONPATH=<build dir> python fuzz/fuzz_karvo.py SECONDS [--seed N] [--out DIR]

Exits 1 when an input made karvo fail otherwise; such inputs are saved to DIR.
"""
import argparse
import os
import random
import sys
import tempfile
import time
import traceback
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))

import numpy as np  # noqa: E402

import karvo  # noqa: E402
import karvo_writer as W  # noqa: E402

EXTREME = [0, 1, 2, 3, 4, 8, 11, 0x7F, 0x80, 0xFF, 0xFFFF, 0x7FFFFFFF, 0x80000000,
           0xFFFFFFFF, 2 ** 63, 2 ** 64 - 1, 300, 325]


def good_files():
    return [W.SeriesFile(n_spectra=5, num_points=4, mini_header_type=3, bench_hdr=True).to_bytes(),
            W.SeriesFile(n_spectra=3, num_points=300, mini_hdr=False, element_size=8,
                         extended=True).to_bytes(),
            W.SeriesFile(n_spectra=40, num_points=2, section_number=2).to_bytes(),
            W.single_spectrum_file(values=[1.0, 2.0, 3.0])]


def mutate(rng, data):
    b = bytearray(data)
    for _ in range(rng.choice([1, 1, 2, 3])):
        at = rng.randrange(len(b))
        width = rng.choice([1, 2, 4, 8])
        v = rng.choice(EXTREME) if rng.random() < 0.7 else rng.randrange(1 << (8 * width))
        b[at:at + width] = (v & ((1 << (8 * width)) - 1)).to_bytes(width, "little")[:len(b) - at]
    if rng.random() < 0.15:
        del b[rng.randrange(len(b)):]
    return bytes(b)


def exercise(path):
    with karvo.open(path, truncated="ignore") as obj:
        a = np.asarray(obj)
        if isinstance(obj, karvo.Series):
            obj.meta, obj.titles, obj.coords, obj.header, obj.dimensions, obj.spectral_header
            if len(obj):
                # Bit for bit: damaged values may be NaN.
                assert obj[[len(obj) - 1, 0]].tobytes() == a[[-1, 0]].tobytes()
                assert obj[::2].tobytes() == a[::2].tobytes()
        repr(obj)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("seconds", type=float)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--out", default=None, help="folder for inputs that failed otherwise")
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    rng = random.Random(args.seed)
    bases = good_files()
    work = tempfile.mkdtemp(prefix="karvo-fuzz-")
    path = os.path.join(work, "mutant")
    outcomes, found = {}, 0
    deadline = time.monotonic() + args.seconds
    while time.monotonic() < deadline:
        data = mutate(rng, rng.choice(bases))
        with open(path, "wb") as f:
            f.write(data)
        try:
            exercise(path)
            kind = "read"
        except karvo.FormatError as e:
            kind = type(e).__name__
        except Exception:
            kind = "other failure"
            found += 1
            out = args.out or work
            os.makedirs(out, exist_ok=True)
            with open(os.path.join(out, "finding-%d" % found), "wb") as f:
                f.write(data)
            if found <= 3:
                traceback.print_exc()
        outcomes[kind] = outcomes.get(kind, 0) + 1
    os.unlink(path)
    print("karvo fuzz: %d inputs, %s" % (sum(outcomes.values()), outcomes))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
