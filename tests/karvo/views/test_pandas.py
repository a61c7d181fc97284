"""Series.to_pandas (the metadata table) and Spectrum.to_pandas (values by x)."""
import sys

import numpy as np
import pytest

import karvo
import karvo_writer as W

pd = pytest.importorskip("pandas")


def test_series_table_holds_every_spectrums_metadata_exactly(tmp_path):
    # A dimension named like a mini header field, text with non-ASCII bytes,
    # and a start time beyond the int32 range.
    dims = [dict(num_elements=3, first_dim=0, last_dim=2, scale_dim=0.5, short_label=b"temp", long_label=b"T"),
            dict(num_elements=3, first_dim=10, last_dim=30, scale_dim=1.0, short_label=b"title", long_label=b"")]
    sf = W.write_series(str(tmp_path / "s"), n_spectra=3, dimensions=dims, mini_header_type=1,
                        mini={"start_time": 3_000_000_000},
                        titles=lambda k: b"caf\xe9 %d" % k)
    with karvo.open(str(tmp_path / "s")) as s:
        df = s.to_pandas()
        assert df.index.name == "spectrum_in_file" and df.index.tolist() == [0, 1, 2]
        assert list(df.columns) == ["title", "file_title", "temp", "title_", "num_scans", "start_time", "temp_", "pressure",
                                    "x_position", "y_position", "detector_ID", "pk_height", "direction", "spectrum"]
        assert df["spectrum"].tolist() == [0, 1, 2]       # the index's former name, until karvo 0.2.0
        assert df["title"].tolist() == [sf.title(k) for k in range(3)] == s.titles
        assert all(type(t) is str for t in df["title"])
        assert df["temp"].tolist() == [0.0, 0.5, 1.0] and df["title_"].tolist() == [10.0, 20.0, 30.0]
        assert df["start_time"].dtype == np.uint32 and (df["start_time"] == 3_000_000_000).all()
        for field in ("num_scans", "pressure", "x_position", "detector_ID", "pk_height", "direction"):
            assert np.array_equal(df[field].to_numpy(), s.meta[field]) and df[field].dtype == s.meta[field].dtype
        assert df["temp_"].tolist() == s.meta["temp"].tolist()


def test_series_table_without_mini_headers_and_when_cut(tmp_path):
    path = str(tmp_path / "s")
    W.write_series(path, n_spectra=2, max_spectra=5, mini_hdr=False, file_id=b"run 7, cell A")
    with karvo.open(path, truncated="ignore") as s:
        df = s.to_pandas()
    assert list(df.columns) == ["file_title", "t", "spectrum"] and df["t"].tolist() == [0.0, 1.0] and len(df) == 2
    assert df["file_title"].tolist() == ["run 7, cell A"] * 2


def test_spectrum_as_a_pandas_series_of_y_by_x(write):
    sp = karvo.open(write(W.single_spectrum_file(values=[1.0, 2.5, -3.0], file_id=b"film")))
    got = sp.to_pandas()
    assert got.name == "film" and got.index.name == "x"
    assert np.array_equal(got.index.to_numpy(), sp.x) and np.array_equal(got.to_numpy(), sp.y)
    got.iloc[0] = 99.0  # a copy of its own: the spectrum is unchanged
    assert sp.y[0] == 1.0


@pytest.mark.parametrize("kind", ["series", "spectrum"])
def test_without_pandas_the_error_says_what_to_install(tmp_path, monkeypatch, kind):
    path = str(tmp_path / "f")
    if kind == "series":
        W.write_series(path)
    else:
        (tmp_path / "f").write_bytes(W.single_spectrum_file(values=[1.0]))
    opened = karvo.open(path)
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r'pip install "karvoreader\[pandas\]"'):
        opened.to_pandas()
    opened.close()
