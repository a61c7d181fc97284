"""The notebook summaries (_repr_html_): escaped, script-free, cheap."""
import os
import re

import numpy as np
import pytest

import karvo
import karvo._views.html  # imported now: reading the module is no read of the file
import karvo_writer as W

HOSTILE = b"<script>alert('x')</script>&"


def _rchar():
    with open("/proc/self/io") as f:
        return int(re.search(r"rchar: (\d+)", f.read()).group(1))


def _assert_safe(page):
    assert "<script" not in page.lower() and "alert(&#x27;x&#x27;)" in page and "&lt;/script&gt;&amp;" in page
    assert not re.search(r"\son\w+=", page)  # no event handlers either


@pytest.mark.parametrize("close_first", [False, True])
def test_series_summary_is_escaped_and_reads_a_bounded_sample(tmp_path, monkeypatch, close_first):
    path = str(tmp_path / "s")
    dims = [dict(num_elements=600, first_dim=0, last_dim=599, scale_dim=2.0, short_label=HOSTILE[:30],
                 long_label=HOSTILE)]
    W.write_series(path, n_spectra=500, max_spectra=600, num_points=1000, dimensions=dims, file_id=HOSTILE,
                   truncate=None)
    # 10 spectra of 4000 bytes, 55 apart: each read alone
    monkeypatch.setattr(karvo._views.html, "THUMBNAIL_BYTES", 40_000)
    s = karvo.open(path, truncated="ignore")
    if close_first:
        s.close()  # the repr of a closed series still shows what was known
    before = _rchar()
    page = s._repr_html_()
    # a closed file: less than one spectrum of 1000 float32 values; an open
    # one: the spectra drawn and no more than a few headers besides
    assert _rchar() - before < (4000 if close_first else 40_000 + 4000)
    _assert_safe(page)
    for shown in ("500 × 1000", "float32", "4000 to 400", "500 of 600 spectra held", "0 to 998",
                  f"({os.path.getsize(path):,} bytes)"):
        assert shown in page
    assert ("closed" in page) == close_first
    assert ("10 of 500 spectra, evenly spaced; means of 4 points" in page) != close_first
    assert ("data:image/png" in page) != close_first
    s.close()


@pytest.mark.parametrize("values", [list(np.sin(np.arange(5000) / 300.0)), [1.0], [], [float("nan")] * 3])
def test_spectrum_summary_is_escaped_with_an_outline(write, values):
    sp = karvo.open(write(W.single_spectrum_file(values=values, file_id=HOSTILE)))
    sp.close()
    page = sp._repr_html_()
    _assert_safe(page)
    assert re.search(rf"<th [^>]*>points</th><td [^>]*>{len(values)}</td>", page) and "closed" in page
    outline = re.search(r'<polyline [^>]*points="([^"]*)"', page)
    if len(values) < 2 or not np.isfinite(values).any():
        assert outline is None
    else:
        points = [tuple(map(float, p.split(","))) for p in outline.group(1).split()]
        assert 2 <= len(points) <= 400  # a long spectrum thinned to each bin's extremes
        xs, ys = zip(*points)
        assert list(xs) == sorted(xs) and min(xs) == 0 and max(xs) == 320
        assert min(ys) == 0 and max(ys) == 80


def test_summaries_name_units_as_unit_names_does_and_dimensions_by_their_long_name(tmp_path, monkeypatch):
    path = str(tmp_path / "s")
    dims = [dict(num_elements=3, first_dim=0, last_dim=2985, scale_dim=1.0, short_label=b"t",
                 long_label=b"time (s)")]
    W.write_series(path, n_spectra=3, num_points=8, dimensions=dims)
    with open(tmp_path / "one", "wb") as fh:
        fh.write(W.single_spectrum_file(values=[1.0, 2.0]))
    with karvo.open(path) as s, karvo.open(str(tmp_path / "one")) as sp:
        assert "4000 to 400 (unit code 1)" in s._repr_html_() and "dimension t (time)" in s._repr_html_()
        monkeypatch.setitem(karvo.unit_names, 1, "cm⁻¹")
        monkeypatch.setitem(karvo.unit_names, 17, "absorbance")
        for page in (s._repr_html_(), sp._repr_html_()):
            assert "4000 to 400 (cm⁻¹)" in page and "absorbance" in page
