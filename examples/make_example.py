"""Write examples/example_series.spa: a small series file.

Five spectra of 32 single-precision points each, every spectrum preceded by
a version-3 mini header carrying its title, and one time dimension running
over the five spectra.  Read it back with:

    import karvoreader
    series = karvoreader.open_file("examples/example_series.spa")
    for item in series.open_series():
        print(item)
"""

import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))

from karvo_writer import write_series  # noqa: E402

N_SPECTRA = 5
N_POINTS = 32


def absorbance(k):
    # one band whose height grows along the series
    return [0.05 + (0.2 + 0.1 * k) * math.exp(-((j - 16) / 4.0) ** 2)
            for j in range(N_POINTS)]


def main(path=os.path.join(HERE, "example_series.spa")):
    write_series(
        path, n_spectra=N_SPECTRA, num_points=N_POINTS, element_size=4,
        mini_header_type=3, values=absorbance,
        titles=lambda k: b"Reaction step %d, t = %d s" % (k + 1, 30 * k),
        spectral=dict(first_x=1800.0, last_x=1700.0, x_units=1, y_units=17),
        series=dict(series_ID=b"example reaction", z_short_label=b"t",
                    z_long_label=b"time (s)"),
        dimensions=[dict(dimension_type=1, first_dim=0, last_dim=120,
                         scale_dim=1.0, num_elements=N_SPECTRA, unit_ID=1,
                         short_label=b"t", long_label=b"time (s)")])
    return path


if __name__ == "__main__":
    print(main())
