"""A series' heat map in its notebook summary: what it draws, what it reads
(a bounded sample, by a URL's or file object's fetches too), and a summary
that survives a picture that can't be drawn."""
import base64
import io
import os
import re

import numpy as np
import pytest

import karvo
import karvo_writer as W
from karvo._views import html as views

PIL = pytest.importorskip("PIL.Image")

NAN_RGB = (190, 190, 190)
LOWEST, HIGHEST = (68, 1, 84), (253, 231, 37)


class Counting(io.BytesIO):
    """A file object that records the size of every read."""

    def __init__(self, data):
        super().__init__(data)
        self.sizes = []

    def read(self, n=-1):
        out = super().read(n)
        self.sizes.append(len(out))
        return out


def _picture(page):
    found = re.search(r'src="data:image/png;base64,([^"]+)"', page)
    assert found, page
    return np.asarray(PIL.open(io.BytesIO(base64.b64decode(found.group(1)))).convert("RGB"))


def test_heat_map_draws_spectra_upwards_binned_with_nan_and_infinities(tmp_path):
    # 4 spectra of 600 points, runs of 3 points averaged (200 columns):
    # spectrum k holds k + j / 1000; spectrum 2 holds NaN at points 0 to 2
    # (a whole run) and at point 3 (one of a run), +inf at points 6 to 8
    def values(k):
        row = [k + j / 1000 for j in range(600)]
        if k == 2:
            row[0:4] = [float("nan")] * 4
            row[6:9] = [float("inf")] * 3
        return row
    path = str(tmp_path / "s")
    W.write_series(path, n_spectra=4, num_points=600, values=values,
                   dimensions=[dict(num_elements=4, first_dim=0, last_dim=30, scale_dim=1.0,
                                    short_label=b"t", long_label=b"time (s)")])
    with karvo.open(path) as s:
        page = s._repr_html_()
    image = _picture(page)
    assert image.shape == (4, 200, 3)
    # the first spectrum at the bottom: its first run darkest, the last
    # spectrum's last run brightest (percentiles of 0.1 and 99.9 of 800 values)
    assert tuple(image[3, 0]) == LOWEST and tuple(image[0, -1]) == HIGHEST
    assert (np.diff(image[1:, 100].astype(int).sum(axis=1)) < 0).all()   # upwards brighter, mid-axis
    assert tuple(image[1, 0]) == NAN_RGB            # spectrum 2's run of NaN only
    assert tuple(image[1, 1]) != NAN_RGB            # NaN beside finite values: their mean
    assert tuple(image[1, 2]) == HIGHEST            # a run of +inf: the highest colour
    assert (image != NAN_RGB).any(axis=2).sum() == 4 * 200 - 1
    for shown in ("all 4 spectra; means of 3 points", "> NaN", "<span>time (s)</span>", "<span>30</span>",
                  "<span>x (unit code 1)</span>", "<span>value (unit code 17)</span>"):
        assert shown in page


@pytest.mark.parametrize("stride_points", [64, 1000])
def test_file_objects_fetches_for_the_picture_stay_within_the_budget(monkeypatch, stride_points):
    # 2000 spectra: of 64 points the picks lie close and are read through
    # as one run; of 1000 points they are fetched apart
    data = W.SeriesFile(n_spectra=2000, num_points=stride_points).to_bytes()
    budget = 100_000
    monkeypatch.setattr(views, "THUMBNAIL_BYTES", budget)
    reader = Counting(data)
    with karvo.open(reader) as s:
        del reader.sizes[:]
        page = s._repr_html_()
        fetched = sum(reader.sizes)
        assert 0 < fetched <= budget
        drawn = int(re.search(r"(\d+) of 2000 spectra", page).group(1))
        assert drawn * stride_points * 4 <= fetched
        assert _picture(page).shape[0] == drawn


@pytest.mark.parametrize("error", [OSError(5, "Input/output error", "gone.series"), MemoryError()])
def test_a_picture_that_cant_be_read_leaves_the_summary(tmp_path, monkeypatch, error):
    path = str(tmp_path / "s")
    W.write_series(path, n_spectra=3, num_points=8)

    def failing(series):
        raise error
    monkeypatch.setattr(views, "_read_rows", failing)
    with karvo.open(path) as s:
        page = s._repr_html_()
    assert "3 × 8" in page and "data:image" not in page
    assert f"not drawn: {type(error).__name__}" in page


def test_ctrl_c_while_drawing_is_not_swallowed(tmp_path, monkeypatch):
    path = str(tmp_path / "s")
    W.write_series(path, n_spectra=3, num_points=8)

    def interrupted(series):
        raise KeyboardInterrupt
    monkeypatch.setattr(views, "_read_rows", interrupted)
    with karvo.open(path) as s, pytest.raises(KeyboardInterrupt):
        s._repr_html_()


@pytest.mark.parametrize("n, points, expected", [
    (0, 8, "no picture"), (3, 0, "no picture"),
    (2, 2000, "a spectrum is 7.8 KiB (8,000 bytes), more than the 3.9 KiB (4,000 bytes) read for one")])
def test_series_without_a_picture(tmp_path, monkeypatch, n, points, expected):
    monkeypatch.setattr(views, "THUMBNAIL_BYTES", 4000)
    path = str(tmp_path / "s")
    W.write_series(path, n_spectra=n, max_spectra=max(n, 1), num_points=points)
    with karvo.open(path, truncated="ignore") as s:
        page = s._repr_html_()
    assert "data:image" not in page and "not drawn" not in page
    assert (expected in page) == (expected != "no picture")


@pytest.mark.parametrize("long_name, label, unit", [
    (b"time (s)", "dimension t (time)", " s"), (b"T [K]", "dimension t (T)", " K"),
    (b"pressure", "dimension t (pressure)", ""), (b"(min)", "dimension t", " min"), (b"", "dimension t", ""),
    (b"t", "dimension t", ""), (b"rate (1/s) (x)", "dimension t (rate (1/s))", " x")])
def test_dimension_ranges_carry_the_unit_their_long_name_states(tmp_path, monkeypatch, long_name, label, unit):
    # unit_ID 1, the code the spectral axis' unit has too: never named for a dimension
    monkeypatch.setitem(karvo.unit_names, 1, "cm⁻¹")
    path = str(tmp_path / "s")
    W.write_series(path, n_spectra=3, num_points=8, dimensions=[dict(
        num_elements=3, first_dim=0, last_dim=2985, scale_dim=1.0, unit_ID=1, short_label=b"t",
        long_label=long_name)])
    with karvo.open(path) as s:
        page = s._repr_html_()
    assert re.search(rf"<th [^>]*>{re.escape(label)}</th><td [^>]*>0 to 2985{unit}</td>", page)
    assert "2985 cm" not in page and "4000 to 400 (cm⁻¹)" in page


def test_a_urls_requests_for_the_picture_stay_within_the_budget(http_server, monkeypatch):
    pytest.importorskip("fsspec")
    pytest.importorskip("aiohttp")
    W.write_series(os.path.join(http_server.root, "big"), n_spectra=2000, num_points=1000)
    monkeypatch.setattr(views, "THUMBNAIL_BYTES", 100_000)
    with karvo.open(http_server.url_of("big")) as s:
        http_server.reset()
        page = s._repr_html_()
    ranges = [r for method, path, r in http_server.log if method == "GET"]
    assert ranges and all(r and r.startswith("bytes=") for r in ranges)    # no whole-file GET
    fetched = sum(int(b) - int(a) + 1 for a, b in (r[6:].split("-") for r in ranges))
    assert fetched <= 100_000 and "data:image/png" in page
