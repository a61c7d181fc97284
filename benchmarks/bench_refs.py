#!/usr/bin/env python3
"""Zarr references of a large series against reading its metadata.

    python benchmarks/bench_refs.py [--quick] [--rounds N] [--data DIR]
                                    [--strict] [--json FILE]

R3: ``karvo.references(p)`` (the engine's store at header cost, then a chunk
reference per spectrum) on a series of 100,000 spectra x 128 float32 points
with version-3 mini headers (61 MB), against
``with karvo.open(p) as s: s.meta`` on the same file, in the same run:
interleaved rounds after a warm-up, medians.  Target: at most 2 x.  The
references are checked once against the file's layout.  --quick: 10,000
spectra.
"""
import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tools"))

from common import finish, parse_options, progress, ratio_row, run_rounds, warm_cache  # noqa: E402

import karvo  # noqa: E402
from karvo_writer import SeriesFile  # noqa: E402

POINTS = 128
TARGET = 2.0


def series_file(folder, spectra):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "refs_%dx%d_mini3" % (spectra, POINTS))
    sf = SeriesFile(n_spectra=spectra, num_points=POINTS, element_size=4, mini_hdr=True,
                    mini_header_type=1, values=lambda k: [float(k % 97)] * POINTS)
    if not os.path.exists(path) or os.path.getsize(path) != sf.layout.file_size:
        progress("writing %s" % path)
        sf.write(path)
    return path, sf.layout


def check(refs, layout, spectra):
    chunks = {k: v for k, v in refs["refs"].items() if k.startswith("spectra/") and "/." not in k}
    assert len(chunks) == spectra, len(chunks)
    for k in (0, spectra // 2, spectra - 1):
        _, offset, length = chunks["spectra/%d.0" % k]
        assert (offset, length) == (layout.values_offset(k), layout.values_size), k


def main():
    args = parse_options(__doc__)
    spectra = 100_000 // args.scale
    path, layout = series_file(args.data, spectra)
    warm_cache({"R3": path})
    check(karvo.references(path), layout, spectra)

    def meta():
        with karvo.open(path) as s:
            s.meta

    def refs():
        karvo.references(path)

    times = run_rounds([("R3", [refs, meta])], args.rounds, min_sample=0.2,
                       progress=progress)["R3"]
    row, result = ratio_row(
        "R3 references", "%d x %d float32, v3 mini headers (%.0f MB)" % (
            spectra, POINTS, os.path.getsize(path) / 1e6),
        times[0], ".meta", times[1], TARGET)
    return finish(args, "bench_refs", [row], [result])


if __name__ == "__main__":
    sys.exit(main())
