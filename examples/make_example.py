"""Write the bundled example files, made by our own writer.

examples/reaction_band_growth.series: a small series.  Five spectra of 32
single-precision points each, every spectrum preceded by a version-3 mini
header carrying its title, and one time dimension running over the five
spectra.

examples/polystyrene_film_absorbance: a single spectrum, the mid-infrared
absorbance of a thin polystyrene film from 4000 to 400 cm-1 (901 points,
synthetic bands at the film's well-known positions).

Read them back with:

    import karvo
    x, Y = karvo.read("examples/reaction_band_growth.series")          # (32,), (5, 32)
    x, y = karvo.read("examples/polystyrene_film_absorbance")   # (901,), (901,)
"""

import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))

import karvo_writer as kw  # noqa: E402

N_SPECTRA = 5
N_POINTS = 32

# polystyrene film: (position cm-1, absorbance, half width cm-1)
FILM_BANDS = [(3082, 0.18, 6), (3060, 0.35, 7), (3026, 0.55, 8),
              (2923, 0.80, 14), (2850, 0.35, 10), (1601, 0.30, 4),
              (1583, 0.08, 4), (1493, 0.75, 5), (1452, 0.70, 6),
              (1028, 0.25, 4), (906, 0.12, 4), (757, 1.10, 6),
              (698, 1.40, 7), (540, 0.45, 8)]
FILM_FIRST_X, FILM_LAST_X, FILM_POINTS = 4000.0, 400.0, 901


def absorbance(k):
    # one band whose height grows along the series
    return [0.05 + (0.2 + 0.1 * k) * math.exp(-((j - 16) / 4.0) ** 2)
            for j in range(N_POINTS)]


def film_absorbance():
    step = (FILM_LAST_X - FILM_FIRST_X) / (FILM_POINTS - 1)
    out = []
    for j in range(FILM_POINTS):
        x = FILM_FIRST_X + step * j
        # Lorentzian bands on a gently sloping baseline
        y = 0.02 + 0.01 * (4000.0 - x) / 3600.0
        y += sum(h / (1.0 + ((x - c) / w) ** 2) for c, h, w in FILM_BANDS)
        out.append(y)
    return out


def write_series_example(path=os.path.join(HERE, "reaction_band_growth.series")):
    kw.write_series(
        path, n_spectra=N_SPECTRA, num_points=N_POINTS, element_size=4,
        mini_header_type=3, values=absorbance, file_id=b"Example reaction",
        titles=lambda k: b"Reaction step %d, t = %d s" % (k + 1, 30 * k),
        spectral=dict(first_x=1800.0, last_x=1700.0, x_units=1, y_units=17),
        series=dict(series_ID=b"example reaction", z_short_label=b"t",
                    z_long_label=b"time (s)"),
        dimensions=[dict(dimension_type=1, first_dim=0, last_dim=120,
                         scale_dim=1.0, num_elements=N_SPECTRA, unit_ID=1,
                         short_label=b"t", long_label=b"time (s)")])
    return path


def write_film_example(path=os.path.join(HERE, "polystyrene_film_absorbance")):
    data = kw.single_spectrum_file(
        values=film_absorbance(), file_id=b"Polystyrene film, 32 scans",
        first_x=FILM_FIRST_X, last_x=FILM_LAST_X, x_units=1, y_units=17,
        num_scans=32)
    with open(path, "wb") as fh:
        fh.write(data)
    return path


def main():
    return [write_series_example(), write_film_example()]


if __name__ == "__main__":
    print("\n".join(main()))
