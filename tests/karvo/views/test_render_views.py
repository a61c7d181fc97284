"""docs/render_views.py writes a page of each notebook view, and shoots it
where Chromium is installed."""
import types
import os

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "..", "docs", "render_views.py")


@pytest.fixture(scope="module")
def render_views():
    import runpy
    return types.SimpleNamespace(**runpy.run_path(SCRIPT, run_name="render_views"))


def test_pages_of_every_view(render_views, tmp_path):
    pages = {os.path.basename(p): open(p, encoding="utf-8").read() for p in render_views.write_pages(str(tmp_path))}
    for name in ("series.html", "series_large.html"):
        assert "karvo.Series" in pages[name] and "data:image/png;base64," in pages[name]
        assert "(cm⁻¹)" in pages[name] and " s</td>" in pages[name]   # named codes, a dimension's unit
    assert "256 of 600 spectra" in pages["series_large.html"] and "> NaN" in pages["series_large.html"]
    assert "karvo.Spectrum" in pages["spectrum.html"] and "<polyline" in pages["spectrum.html"]
    if "dataset.html" in pages:
        assert "xarray.Dataset" in pages["dataset.html"] and "0.0 30.0 60.0" in pages["dataset_loaded.html"]
    if "read_many.html" in pages:
        assert "640 rows" in pages["read_many.html"]
    assert all(p.startswith("<!doctype html>") for p in pages.values())


def test_screenshot(render_views, tmp_path):
    browser = render_views.chromium()
    if browser is None:
        pytest.skip("no Chromium here")
    page = tmp_path / "page.html"
    page.write_text(render_views.page("a page", "<b>karvo</b>"), encoding="utf-8")
    render_views.screenshot(browser, str(page), str(tmp_path / "page.png"), str(tmp_path / "profile"))
    assert (tmp_path / "page.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
