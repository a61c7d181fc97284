"""Files and engine selection shared by the xarray and distributed tests."""
import importlib.metadata

import numpy as np

from karvo_writer import single_spectrum_file, write_series


def engine():
    """"karvo" when the package is installed (entry point registered), else
    the entrypoint class itself, which xarray takes as an engine too."""
    try:
        importlib.metadata.distribution("karvoreader")
    except importlib.metadata.PackageNotFoundError:
        from karvo.xarray_backend import KarvoBackendEntrypoint
        return KarvoBackendEntrypoint
    return "karvo"


def series(path, n_spectra=6, num_points=16, seed=0.0, title="", **kw):
    """A series file whose values differ per file, row and point; returns
    the writer's SeriesFile (expected values, titles, layout)."""
    kw.setdefault("mini_hdr", True)
    kw.setdefault("mini_header_type", 1)
    return write_series(
        str(path), n_spectra=n_spectra, num_points=num_points,
        file_id=title.encode("ascii"),
        values=lambda k: [seed + 10 * k + 0.5 * j for j in range(num_points)],
        **kw)


def expected_values(sf):
    return np.array([sf.values(k) for k in range(sf.n_spectra)],
                    dtype=np.float32 if sf.element_size == 4 else np.float64)


def numpy_read(path, sf):
    """The spectra of a series file straight from its bytes with numpy,
    independent of karvo (the writer says where they lie)."""
    lay = sf.layout
    fields = [("values", "<f%d" % sf.element_size, sf.num_points)]
    if lay.mini_size:
        fields.insert(0, ("mini", "V%d" % lay.mini_size))
    records = np.fromfile(path, dtype=np.dtype(fields), count=sf.n_spectra,
                          offset=lay.spectrum_offset(0))
    return records["values"]


def rewrite_values(path, sf, new):
    """Overwrite every spectrum's values in place with new (spectra, points)."""
    lay = sf.layout
    with open(path, "r+b") as fh:
        for k, row in enumerate(np.asarray(new, dtype="<f%d" % sf.element_size)):
            fh.seek(lay.values_offset(k))
            fh.write(row.tobytes())


def single(path, num_points=32, title="", **msh):
    values = [1.5 * j - 3 for j in range(num_points)]
    with open(path, "wb") as fh:
        fh.write(single_spectrum_file(values=values, file_id=title.encode("ascii"),
                                      **msh))
    return np.array(values, dtype=np.float32)
