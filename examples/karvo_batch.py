"""Band maxima of every spectrum in many files, computed in worker processes.

    python examples/karvo_batch.py [file ...]

Opened files pickle as their path and options and reopen in the worker, so
they can be handed to a process pool as they are; nothing of their content
crosses the process boundary.  Without arguments it uses the bundled
examples.
"""
from __future__ import annotations

import os
import sys
from concurrent.futures import ProcessPoolExecutor

import numpy as np

import karvo

HERE = os.path.dirname(os.path.abspath(__file__))


def band_maxima(opened: karvo.Series | karvo.Spectrum) -> tuple[str, list[float]]:
    """The x of the largest value of each spectrum (reopened in this process)."""
    with opened:
        rows = np.atleast_2d(np.asarray(opened))
        return opened.title or opened.path, [float(opened.x[i]) for i in rows.argmax(axis=1)]


def main(paths: list[str]) -> int:
    opened = [karvo.open(p) for p in paths]
    try:
        with ProcessPoolExecutor(max_workers=2) as pool:
            for title, maxima in pool.map(band_maxima, opened):
                print(f"{title}: {', '.join(f'{m:.1f}' for m in maxima)}")
    finally:
        for f in opened:
            f.close()
    return 0


if __name__ == "__main__":
    given = sys.argv[1:] or [os.path.join(HERE, "polystyrene_film_absorbance"),
                             os.path.join(HERE, "reaction_band_growth.series")]
    sys.exit(main(given))
