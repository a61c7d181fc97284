"""karvo.unit_names reaches every view of a file: the notebook summaries,
``karvo info``, the plots and the engine's Datasets; without it, the codes
show."""
import json

import pytest

import karvo
from karvo import cli
from karvo_writer import single_spectrum_file, write_series

X_NAME, Y_NAME = "lab x unit", "lab y unit"     # nothing karvo could make up itself


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A series and a single spectrum, x unit code 3, y unit code 17."""
    folder = tmp_path_factory.mktemp("units")
    series, single = str(folder / "series"), str(folder / "single")
    write_series(series, n_spectra=3, num_points=40,
                 spectral=dict(first_x=3000.0, last_x=1000.0, x_units=3, y_units=17))
    with open(single, "wb") as fh:
        fh.write(single_spectrum_file(values=[float(j) for j in range(11)], x_units=3, y_units=17))
    return {"series": series, "single": single}


@pytest.fixture
def names():
    """karvo.unit_names, as it was again after the test."""
    saved = dict(karvo.unit_names)
    karvo.unit_names.clear()
    yield karvo.unit_names
    karvo.unit_names.clear()
    karvo.unit_names.update(saved)


def _html(path):
    with karvo.open(path) as obj:
        return [obj._repr_html_()]


def _info(path, capsys):
    assert cli.main(["info", path]) == 0
    text = capsys.readouterr().out
    assert cli.main(["info", "--json", path]) == 0
    facts = json.loads(capsys.readouterr().out)
    facts = facts[0] if isinstance(facts, list) else facts
    # --json: the codes, and their names or null
    return [text, " ".join(facts[f"{axis}_unit_name"] or f"unit code {facts[f'{axis}_units']}"
                           for axis in "xy")]


def _plot(path):
    mpl = pytest.importorskip("matplotlib")
    mpl.use("Agg", force=True)
    import matplotlib.pyplot as plt
    from karvo._views import plot
    with karvo.open(path) as obj:
        fig = plot.figure(obj)
    try:
        return [" ".join(f"{ax.get_xlabel()} {ax.get_ylabel()}" for ax in fig.axes)]
    finally:
        plt.close(fig)


def _dataset(path):
    xr = pytest.importorskip("xarray")
    with xr.open_dataset(path, engine="karvo") as ds:
        var = "spectra" if "spectra" in ds else "spectrum"
        return [f"{ds['x'].attrs.get('units')} {ds[var].attrs.get('units')}"]


VIEWS = {"html": _html, "info": _info, "plot": _plot, "dataset": _dataset}


@pytest.mark.parametrize("kind", ["series", "single"])
@pytest.mark.parametrize("view", sorted(VIEWS))
def test_named_codes_reach_the_view(files, names, capsys, kind, view):
    show = VIEWS[view]
    args = (files[kind], capsys) if view == "info" else (files[kind],)
    if view != "dataset":            # a Dataset states a unit only where it is named
        for shown in show(*args):
            assert "unit code 3" in shown and "unit code 17" in shown and X_NAME not in shown
    names.update({3: X_NAME, 17: Y_NAME})
    for shown in show(*args):
        assert X_NAME in shown and Y_NAME in shown and "unit code" not in shown
