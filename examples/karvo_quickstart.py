"""Read the bundled examples with karvo: a single spectrum and a series.

    python examples/karvo_quickstart.py [spectrum] [series]

Without arguments it reads examples/polystyrene_film_absorbance and
examples/reaction_band_growth.series (both written by examples/make_example.py).
"""
from __future__ import annotations

import os
import sys

import numpy as np

import karvo

HERE = os.path.dirname(os.path.abspath(__file__))


def show_spectrum(path: str) -> None:
    # one call: the spectral axis and the values
    x, y = karvo.read(path)
    strongest = int(np.argmax(y))
    print(f"{path}: {len(y)} points, {x[0]:g} to {x[-1]:g}; "
          f"strongest band at {x[strongest]:.0f} ({y[strongest]:.3f})")

    # the same file kept open: title and the main spectral header
    with karvo.open(path) as sp:
        print(f"  {sp!r}")
        print(f"  title {sp.title!r}, {sp.header['num_scans']} scans")


def show_series(path: str) -> None:
    with karvo.open(path) as s:
        print(f"{path}: {s!r}")
        if not isinstance(s, karvo.Series):
            print("  (a single spectrum, not a series)")
            return
        print(f"  {len(s)} spectra of {s.shape[1]} {s.dtype} points, "
              f"x from {s.x[0]:g} to {s.x[-1]:g}")
        for name, values in s.coords.items():
            print(f"  {name}: {', '.join(f'{v:g}' for v in values)}")

        first: np.ndarray = s[0]             # one spectrum, 1-D
        every_other: np.ndarray = s[::2]     # 2-D
        everything = np.asarray(s)           # (spectra, points)
        print(f"  s[0] peaks at {first.max():.3f}; s[::2] is {every_other.shape}; "
              f"mean of all {everything.mean():.4f}")

        if s.titles is not None:
            print(f"  titles: {s.titles[0]!r} ... {s.titles[-1]!r}")
        if s.meta is not None:
            print(f"  start times: {s.meta['start_time'].tolist()}")

        # rows 1..3 into a buffer of our own
        buf = np.empty((3, s.shape[1]), dtype=s.dtype)
        s.read(1, 4, out=buf)
        maxima = ", ".join(f"{m:.3f}" for m in buf.max(axis=1))
        print(f"  rows 1-3 read into a buffer: maxima {maxima}")


def main(argv: list[str]) -> int:
    spectrum = argv[1] if len(argv) > 1 else os.path.join(HERE, "polystyrene_film_absorbance")
    series = argv[2] if len(argv) > 2 else os.path.join(HERE, "reaction_band_growth.series")
    try:
        show_spectrum(spectrum)
        show_series(series)
    except karvo.FormatError as e:      # not a file karvo can read, or cut short
        print(e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
