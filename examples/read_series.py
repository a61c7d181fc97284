"""Read a series file and print its description and its first spectra.

    python examples/read_series.py [path] [count]

Without arguments it reads the bundled example, examples/reaction_band_growth.series.
"""

import os
import sys

import karvoreader


def main(path, count=3):
    series = karvoreader.open_file(path)
    if series is None:
        print(f"{path}: not a series file")
        return 1
    stream = series.open_series()
    spectral_axis, dimensions = next(stream)
    print(f"spectral axis: {spectral_axis['n']} points from {spectral_axis['first']:g} to {spectral_axis['last']:g}")
    for dim in dimensions:
        print(f"dimension: {dim['n']} spectra from {dim['first']:g} to {dim['last']:g}")
    shown = 0
    for header, values in stream:
        if shown < count:
            head = ", ".join(f"{v:.4g}" for v in values[:6])
            print(f"{header['title'] or '(untitled)'}: {len(values)} values [{head}, ...]")
        shown += 1
    print(f"{shown} spectra in all")
    stream.close()
    return 0


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "reaction_band_growth.series")
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    sys.exit(main(path, count))
