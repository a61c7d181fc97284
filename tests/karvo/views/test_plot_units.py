"""Zooming a plot (x range, colour limits, labels) and the files' unit codes:
shown as codes, named only through karvo.unit_names."""
import numpy as np
import pytest

import karvo
from karvo import cli
from karvo._views import plot as _plot
from karvo_writer import single_spectrum_file, write_series

mpl = pytest.importorskip("matplotlib")
mpl.use("Agg", force=True)
import matplotlib.pyplot as plt  # noqa: E402

POINTS = 5000      # more than _plot.MAX_COLUMNS, so the whole axis is thinned


@pytest.fixture(scope="module")
def wide(tmp_path_factory):
    """A series of 3 spectra on 5000 points from 3000 down to 1000 (x code 3,
    y code 17); spectrum k holds k * 1000 + j at point j."""
    path = tmp_path_factory.mktemp("plot") / "wide"
    write_series(str(path), n_spectra=3, num_points=POINTS, element_size=8, mini_hdr=False,
                 spectral=dict(first_x=3000.0, last_x=1000.0, x_units=3, y_units=17),
                 values=lambda k: [k * 1000.0 + j for j in range(POINTS)])
    return str(path)


@pytest.fixture(scope="module")
def single(tmp_path_factory):
    path = tmp_path_factory.mktemp("plot") / "single"
    path.write_bytes(single_spectrum_file(values=[float(j) for j in range(11)],
                                          first_x=100.0, last_x=200.0, x_units=3, y_units=17))
    return str(path)


@pytest.fixture
def names():
    """karvo.unit_names, as it was again after the test."""
    saved = dict(karvo.unit_names)
    yield karvo.unit_names
    karvo.unit_names.clear()
    karvo.unit_names.update(saved)


@pytest.fixture
def drawn():
    figs = []

    def draw(path, **kw):
        with karvo.open(path) as obj:
            figs.append(_plot.figure(obj, **kw))
        return figs[-1]
    yield draw
    for fig in figs:
        plt.close(fig)


@pytest.mark.parametrize("xlim", [(1500.0, 1600.0), (1600.0, 1500.0)])
def test_series_x_range_is_read_alone_and_keeps_the_files_direction(wide, drawn, xlim):
    fig = drawn(wide, xlim=xlim, clim=(100.0, 2500.0), xlabel="wavenumber", ylabel="A")
    heat, curves, bar = fig.axes
    assert curves.get_xlim() == (1600.0, 1500.0)          # high to low, as stored
    image = heat.get_images()[0]
    x = np.linspace(3000.0, 1000.0, POINTS)
    cols = np.flatnonzero((x >= 1500) & (x <= 1600))
    assert image.get_array().shape == (3, cols.size)       # 250 points: no thinning
    left, right, _, _ = image.get_extent()
    assert left > right and left == pytest.approx(x[cols[0]] - (x[1] - x[0]) / 2)
    assert image.get_array()[1, 0] == 1000.0 + cols[0]     # the range's own values
    assert image.get_clim() == (100.0, 2500.0)
    assert curves.get_xlabel() == "wavenumber" and curves.get_ylabel() == "A"
    assert bar.get_ylabel() == "A"
    assert np.array_equal(curves.get_lines()[0].get_xdata(), x[cols])


def test_whole_axis_is_thinned_and_a_range_outside_it_is_refused(wide, drawn):
    image = drawn(wide).axes[0].get_images()[0]
    assert image.get_array().shape == (3, 1667)           # 5000 points in runs of 3
    with pytest.raises(_plot.NothingToPlot, match="no points lie in the x range 10 to 20"):
        drawn(wide, xlim=(10.0, 20.0))
    with pytest.raises(ValueError, match="clim"):
        drawn(wide, clim=(1.0, 1.0))


def test_spectrum_x_range_and_labels(single, drawn):
    ax = drawn(single, xlim=(150.0, 120.0)).axes[0]
    assert ax.get_xlim() == (120.0, 150.0)                 # stored low to high
    assert list(ax.get_lines()[0].get_ydata()) == [2.0, 3.0, 4.0, 5.0]
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("x (unit code 3)", "value (unit code 17)")
    with pytest.raises(ValueError, match="single spectrum"):
        drawn(single, clim=(0.0, 1.0))


def test_named_codes_label_the_axes(wide, drawn, names):
    names.update({3: "cm⁻¹", 17: "absorbance"})
    heat, curves, bar = drawn(wide).axes
    assert (curves.get_xlabel(), curves.get_ylabel()) == ("x (cm⁻¹)", "value (absorbance)")
    assert bar.get_ylabel() == "value (absorbance)"


def test_cli_zoom_options(wide, single, tmp_path, monkeypatch, capsys):
    seen = {}
    draw = _plot.plot                   # drawn for real; what reached it is kept

    def recording(obj, out, **kw):
        seen.update(kw)
        return draw(obj, out, **kw)
    monkeypatch.setattr(_plot, "plot", recording)
    assert cli.main(["plot", wide, "-o", str(tmp_path / "a.png"), "--xlim=1600:1500",
                     "--clim=-1:2e3", "--xlabel", "k", "--ylabel", "v"]) == 0
    assert (tmp_path / "a.png").read_bytes().startswith(b"\x89PNG")
    assert (seen["xlim"], seen["clim"], seen["xlabel"], seen["ylabel"]) == (
        (1600.0, 1500.0), (-1.0, 2000.0), "k", "v")
    for args in (["--xlim", "5:5"], ["--xlim", "nan:3"], ["--clim", "1"], ["--xlim", "a:b"]):
        with pytest.raises(SystemExit) as stop:
            cli.main(["plot", wide, "-o", str(tmp_path / "a.png"), *args])
        assert stop.value.code == 2 and "A:B" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        cli.main(["plot", single, "-o", str(tmp_path / "a.png"), "--clim", "0:1"])
    assert "single spectrum" in capsys.readouterr().err


@pytest.mark.parametrize("named", [False, True])
def test_xarray_unit_attributes_and_nc_round_trip(wide, single, tmp_path, names, named):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("h5netcdf")
    if named:
        names[3] = "cm⁻¹"
    for path, var in ((wide, "spectra"), (single, "spectrum")):
        with karvo.open(path) as obj:
            assert (obj.spectral_header if var == "spectra" else obj.header)["x_units"] == 3
            ds = obj.to_xarray()
        assert ds.attrs["x_units"] == 3 and ds.attrs["y_units"] == 17
        assert ds["x"].attrs["x_units"] == 3 and ds[var].attrs["y_units"] == 17
        assert "units" not in ds[var].attrs                   # 17 is never named here
        assert ds["x"].attrs.get("units") == ("cm⁻¹" if named else None)
        out = tmp_path / f"{var}.nc"
        assert cli.main(["export", path, "-o", str(out)]) == 0
        with xr.open_dataset(out) as back:
            assert back["x"].attrs["x_units"] == 3 and back[var].attrs["y_units"] == 17
            assert back["x"].attrs.get("units") == ("cm⁻¹" if named else None)


@pytest.mark.parametrize("long_name, legend", [(b"time (s)", "time = 150 s"), (b"time", "time = 150"),
                                               (b"", "t = 150")])
def test_untitled_spectra_are_named_by_their_coordinate_and_its_unit(tmp_path, drawn, long_name, legend):
    path = str(tmp_path / "s")
    write_series(path, n_spectra=5, num_points=8, mini_hdr=False, dimensions=[dict(
        num_elements=5, first_dim=0, last_dim=600, scale_dim=1.0, short_label=b"t", long_label=long_name)])
    heat, curves, _ = drawn(path).axes
    assert legend in [t.get_text() for t in curves.get_legend().get_texts()]
    assert heat.get_ylabel() == (long_name.decode() or "t")
