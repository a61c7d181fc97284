"""The README's recipes: each code block run as written against the bundled
examples computes what the README says it does, and the committed pictures
and the second example run are what docs/make_figures.py makes of them now."""
import io
import json
import math
import os
import sys

import numpy as np
import pytest

import karvo

CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(CHECKOUT, "docs"))
import make_figures  # noqa: E402

xr = pytest.importorskip("xarray")
pytest.importorskip("pandas")
matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg", force=True)
import matplotlib.pyplot as plt  # noqa: E402

RECIPES = {os.path.basename(r.figure): r for r in make_figures.recipes()}
HEIGHTS = 0.2 + 0.1 * np.arange(5)         # the band's height in spectrum k of both runs
BASELINES = {"reaction_band_growth.series": 0.05, "reaction_band_growth_rerun.series": 0.06}


def band(x, height, baseline):
    return baseline + height * np.exp(-(((x - make_figures.BAND_CENTRE) / make_figures.BAND_WIDTH) ** 2))


def run(name):
    if name == "recipe_common_grid.png":
        pytest.importorskip("scipy")    # xarray's interp
    names, fig = make_figures.recipe_figure(RECIPES[name])
    return names, fig


def test_every_picture_has_its_recipe():
    assert sorted(RECIPES) == sorted(make_figures.FINISH)


def _band_area(names):
    area = names["area"]
    assert area.dims == ("t",)
    np.testing.assert_array_equal(area.t, [0, 30, 60, 90, 120])
    window = names["band"].x.values
    assert np.all(np.diff(window) > 0) and 1720 <= window[0] and window[-1] <= 1780 and window.size > 10
    # the baseline gone, the area scales with the band's height: positive,
    # and a little short of the whole Gaussian's (its tails lie outside)
    per_height = area.values / HEIGHTS
    np.testing.assert_allclose(per_height, per_height[0], rtol=1e-5)
    whole = math.sqrt(math.pi) * make_figures.BAND_WIDTH
    assert 0.9 * whole < per_height[0] < whole


def _common_grid(names):
    both, grid = names["both"], names["grid"]
    assert both.dims == ("spectrum", "x") and both.shape == (10, 51)
    np.testing.assert_allclose(grid[[0, -1]], [1700, 1800])
    np.testing.assert_array_equal(both.x, grid)
    files = [os.path.basename(str(f)) for f in both.file.values]
    assert files == ["reaction_band_growth.series"] * 5 + ["reaction_band_growth_rerun.series"] * 5
    np.testing.assert_array_equal(both.t, np.tile([0, 30, 60, 90, 120], 2))
    # each spectrum is its run's band on the grid, however its own axis ran
    # (linear interpolation of a band this wide is within 0.01 of it)
    for k, f in enumerate(files):
        expected = band(grid, HEIGHTS[k % 5], BASELINES[f])
        np.testing.assert_allclose(both[k].values, expected, atol=0.012, err_msg=f"{f} spectrum {k % 5}")


def _dates(names):
    ds, started = names["ds"], names["ds"].started.values
    # what the block's comment says the file holds, as stored
    with karvo.open(os.path.join(CHECKOUT, "examples", "reaction_band_growth.series")) as s:
        assert s.file_header["time"] == 0
        assert s.meta["start_time"].dtype == np.uint32
        np.testing.assert_array_equal(s.meta["start_time"], [1000, 1010, 1020, 1030, 1040])
    assert ds.start_time.dtype == np.uint32
    assert started.dtype.kind == "M"
    np.testing.assert_array_equal(started.astype("datetime64[s]").astype(np.int64), ds.start_time.values)
    np.testing.assert_allclose(names["fig"].axes[0].get_lines()[0].get_ydata(), HEIGHTS + 0.05, rtol=1e-6)


CHECKS = {"recipe_band_area.png": _band_area, "recipe_common_grid.png": _common_grid,
          "recipe_dates.png": _dates}


@pytest.mark.parametrize("name", sorted(RECIPES))
def test_recipe_computes_what_the_readme_says(name):
    names, fig = run(name)
    try:
        CHECKS[name](dict(names, fig=fig))
    finally:
        plt.close(fig)


def test_karvo_makes_no_dates_of_the_stored_times():
    # the file states no epoch: nothing the engine gives is a date
    with xr.open_dataset(os.path.join(CHECKOUT, "examples", "reaction_band_growth.series"),
                         engine="karvo") as ds:
        assert [n for n, v in ds.variables.items() if v.dtype.kind in "mM"] == []
        assert not any(isinstance(v, np.datetime64) for v in ds.attrs.values())


def _same_drawing(fresh, stored, where="figure"):
    """Texts alike, numbers alike to float precision."""
    if isinstance(fresh, dict):
        assert isinstance(stored, dict) and fresh.keys() == stored.keys(), where
        for key in fresh:
            _same_drawing(fresh[key], stored[key], f"{where}.{key}")
    elif isinstance(fresh, list):
        assert isinstance(stored, list) and len(fresh) == len(stored), where
        for k, (a, b) in enumerate(zip(fresh, stored)):
            _same_drawing(a, b, f"{where}[{k}]")
    elif isinstance(fresh, float):
        assert fresh == pytest.approx(stored, rel=1e-6, abs=1e-9, nan_ok=True), where
    else:
        assert fresh == stored, where


@pytest.mark.parametrize("name", sorted(RECIPES))
def test_committed_picture_is_what_the_recipe_draws(name):
    import matplotlib.image as mpimg
    from PIL import Image

    _, fig = run(name)
    try:
        fresh = json.loads(json.dumps(make_figures.drawn(fig)))
        png = io.BytesIO()
        fig.savefig(png, format="png", dpi=make_figures.DPI)
    finally:
        plt.close(fig)
    path = RECIPES[name].figure
    stale = f"docs/{name} is stale: run python docs/make_figures.py"
    assert os.path.exists(path), stale
    with Image.open(path) as committed:
        stored = json.loads(committed.text.get(make_figures.DRAWN_KEY, "null"))
    assert stored is not None, stale
    _same_drawing(fresh, stored)
    png.seek(0)
    now, then = mpimg.imread(png)[..., :3], mpimg.imread(path)[..., :3]
    assert now.shape == then.shape, stale
    assert np.abs(now - then).mean() < 0.06, stale


def test_committed_rerun_example_is_what_make_figures_writes(tmp_path):
    fresh = make_figures.write_rerun_example(str(tmp_path / "rerun.series"))
    with open(fresh, "rb") as a, open(make_figures.RERUN, "rb") as b:
        assert a.read() == b.read(), "examples/reaction_band_growth_rerun.series is stale: " \
                                     "run python docs/make_figures.py"
