"""karvo.read_many: many files (a list, a folder, a glob) as one array and one table."""
import os
import warnings

import numpy as np
import pytest

import karvo
import karvo_writer as W
from conftest import assert_child_ok, open_fds, run_python

pd = pytest.importorskip("pandas")


@pytest.fixture
def folder(tmp_path):
    """a (float32, v3 mini headers, start times past 2**31), sub/b (float64,
    none), c (a single spectrum), and a text file; the same x everywhere."""
    (tmp_path / "sub").mkdir()
    a = W.write_series(str(tmp_path / "a"), n_spectra=3, mini_header_type=3, mini={"start_time": 3_000_000_000})
    b = W.write_series(str(tmp_path / "sub" / "b"), n_spectra=2, element_size=8, mini_hdr=False)
    (tmp_path / "c").write_bytes(W.single_spectrum_file(values=[0.5 * j for j in range(8)], first_x=4000.0,
                                                        last_x=400.0, file_id=b"film"))
    (tmp_path / "notes.txt").write_text("not a spectrum " * 40)
    os.mkfifo(tmp_path / "sub" / "pipe")  # opening it would wait for a writer
    os.symlink("gone", tmp_path / "sub" / "dead")
    return tmp_path, a, b


def expected_rows(tmp_path, order):
    rows = {"a": np.asarray(karvo.read(str(tmp_path / "a"))[1]),
            "sub/b": np.asarray(karvo.read(str(tmp_path / "sub" / "b"))[1]),
            "c": np.asarray(karvo.read(str(tmp_path / "c"))[1])[np.newaxis]}
    return np.concatenate([rows[k].astype(np.float64) for k in order])


def test_a_folder_is_walked_sorted_and_read_whole_with_its_table(folder):
    tmp_path, a, b = folder
    with pytest.warns(UserWarning, match="skipped 3 files .*notes.txt, .*dead, .*pipe") as caught:
        x, Y, table = karvo.read_many(tmp_path)
    assert len([w for w in caught if "skipped" in str(w.message)]) == 1
    # sorted paths: a, c, sub/b; float32 and float64 mix as float64
    assert Y.dtype == np.float64 and Y.shape == (6, 8) and Y.flags.writeable
    assert np.array_equal(Y, expected_rows(tmp_path, ["a", "c", "sub/b"]))
    assert np.array_equal(x, karvo.read(str(tmp_path / "c"))[0])
    assert table["file"].tolist() == [str(tmp_path / n) for n in ("a", "a", "a", "c", "sub/b", "sub/b")]
    assert table["spectrum_in_file"].tolist() == [0, 1, 2, 0, 0, 1] and table["spectrum_in_file"].dtype == np.int64
    assert table["title"].tolist() == [a.title(0), a.title(1), a.title(2), "film", "", ""]
    assert all(type(t) is str for t in table["title"])
    assert list(table.columns[:5]) == ["file", "spectrum_in_file", "title", "file_title", "t"]
    assert table.columns[-1] == "spectrum"          # the former name, a copy, last
    # the file's own title on each of its rows: what a lab's records name
    assert table["file_title"].tolist() == ["", "", "", "film", "", ""]
    assert np.array_equal(table["t"], [0, 1, 2, np.nan, 0, 1], equal_nan=True)
    # unsigned fields stay exact where missing values are marked, not filled
    start = table["start_time"]
    assert start.dtype == "UInt32" and start[:3].tolist() == [3_000_000_000] * 3 and start[3:].isna().all()
    assert table["temp"].dtype == np.float32
    with karvo.open(str(tmp_path / "a")) as s:
        assert np.array_equal(start[:3].to_numpy(np.uint32), s.meta["start_time"])


@pytest.mark.parametrize("how", ["list", "glob", "recursive glob"])
def test_a_list_keeps_its_order_and_a_glob_is_sorted(folder, how):
    tmp_path = folder[0]
    if how == "list":
        sources, order = [tmp_path / "sub" / "b", str(tmp_path / "c"), str(tmp_path / "a")], ["sub/b", "c", "a"]
    elif how == "glob":
        sources, order = str(tmp_path / "[ac]"), ["a", "c"]
    else:
        sources, order = str(tmp_path / "**" / "b"), ["sub/b"]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        _x, Y, table = karvo.read_many(sources)
    assert np.array_equal(Y, expected_rows(tmp_path, order))
    assert len(table) == len(Y)


def test_a_file_named_in_a_list_must_be_spectral(folder):
    tmp_path = folder[0]
    with pytest.raises(karvo.FormatError, match="notes.txt"):
        karvo.read_many([tmp_path / "a", tmp_path / "notes.txt"])


@pytest.mark.parametrize("other, how", [(dict(num_points=9), "9 points against 8"),   # b's own first
                                        (dict(spectral=dict(last_x=500.0)), r"x\[1\] is")])
def test_different_axes_name_both_files_and_the_difference(tmp_path, other, how):
    W.write_series(str(tmp_path / "a"), n_spectra=2)
    W.write_series(str(tmp_path / "b"), n_spectra=2, **other)
    with pytest.raises(karvo.FormatError, match=how) as e:
        karvo.read_many(tmp_path)
    assert str(tmp_path / "a") in str(e.value) and str(tmp_path / "b") in str(e.value)


@pytest.mark.parametrize("sources", [[], "empty", "empty/*.kvr", "only text"])
def test_no_spectral_files_is_a_clear_error(tmp_path, sources):
    (tmp_path / "empty").mkdir()
    (tmp_path / "text").mkdir()
    (tmp_path / "text" / "t.txt").write_text("x" * 1000)
    if sources == "only text":
        sources = tmp_path / "text"
    elif isinstance(sources, str):
        sources = str(tmp_path / sources)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(ValueError, match="no spectral data files"):
            karvo.read_many(sources)


@pytest.mark.parametrize("policy", ["warn", "raise", "ignore"])
def test_cut_series_follow_the_truncated_option(tmp_path, policy, fds):
    W.write_series(str(tmp_path / "a"), n_spectra=2, max_spectra=5)
    W.write_series(str(tmp_path / "b"), n_spectra=1)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if policy == "raise":
            with pytest.raises(karvo.TruncatedError):
                karvo.read_many(tmp_path, truncated=policy)
            return
        _x, Y, _table = karvo.read_many(tmp_path, truncated=policy)
    cut = [w for w in caught if issubclass(w.category, karvo.TruncatedWarning)]
    assert len(cut) == (policy == "warn") and len(Y) == 3
    if cut:
        assert cut[0].message.path == str(tmp_path / "a") and cut[0].filename == __file__


def test_files_are_closed_and_a_changed_file_is_refused(folder, monkeypatch):
    tmp_path = folder[0]
    before = open_fds()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        karvo.read_many(tmp_path)
    assert open_fds() == before
    # a file rewritten between the two passes is not read as the first pass saw it
    from karvo._core import many as _many
    first = _many._part_of

    def then_rewrite(path, *rest):
        part = first(path, *rest)
        if str(path).endswith("a"):
            W.write_series(str(path), n_spectra=4, mini_header_type=3)
        return part
    monkeypatch.setattr(_many, "_part_of", then_rewrite)
    monkeypatch.setattr(_many, "SMALL", 0)      # read in the second pass, however small
    with pytest.raises(karvo.FormatError, match="changed|size"):
        karvo.read_many([tmp_path / "a"])


def test_without_pandas_the_error_names_the_extra(folder):
    p = run_python("import sys, karvo\nsys.modules['pandas'] = None\n"
                   "try:\n    karvo.read_many(sys.argv[1])\nexcept ImportError as e:\n"
                   "    assert 'pip install pandas' in str(e), e\n    print('OK')\n", str(folder[0] / "a"))
    assert_child_ok(p)


@pytest.mark.parametrize("label", ["file", "title", "spectrum_in_file", "spectrum"])
def test_a_dimension_named_like_a_column_of_the_table_is_renamed(tmp_path, label):
    dims = [dict(num_elements=2, first_dim=5, last_dim=6, scale_dim=1.0, short_label=label.encode(), long_label=b"")]
    W.write_series(str(tmp_path / "a"), n_spectra=2, dimensions=dims, mini_hdr=False)
    table = karvo.read_many([tmp_path / "a"])[2]
    assert list(table.columns) == ["file", "spectrum_in_file", "title", "file_title", label + "_", "spectrum"]
    assert table["file"].tolist() == [str(tmp_path / "a")] * 2 and table["title"].tolist() == ["", ""]
    assert table[label + "_"].tolist() == [5.0, 6.0]


@pytest.mark.parametrize("progress", [True, False])
def test_progress_shows_a_bar_of_files(tmp_path, capsys, progress):
    pytest.importorskip("tqdm")
    for name in "ab":
        W.write_series(str(tmp_path / name), n_spectra=2)
    karvo.read_many(tmp_path, progress=progress)
    err = capsys.readouterr().err
    assert ("2/2" in err and "files" in err) == progress, err


def test_a_glob_of_everything_passes_over_its_folders(folder):
    tmp_path = folder[0]
    with pytest.warns(UserWarning, match="skipped 3 files") as caught:
        _x, Y, _table = karvo.read_many(str(tmp_path / "**"))
    assert np.array_equal(Y, expected_rows(tmp_path, ["a", "c", "sub/b"]))
    said = " ".join(str(w.message) for w in caught)
    assert "director" not in said and "folder" not in said, said


@pytest.fixture
def mixed(tmp_path):
    """A campaign of three files on one axis (a, c, e: 8 points from 4000),
    a 9-point file (b) and one of another range (d)."""
    for name, other in [("a", {}), ("b", dict(num_points=9)), ("c", {}),
                        ("d", dict(spectral=dict(first_x=4000.0, last_x=650.0))), ("e", {})]:
        W.write_series(str(tmp_path / name), n_spectra=2, **other)
    return tmp_path


def read_with(tool, folder, mismatched):
    """(files stacked, x) as one of the stacking tools gives them."""
    if tool == "read_many":
        x, _Y, table = karvo.read_many(folder, mismatched=mismatched)
        return sorted(set(table["file"])), x
    pytest.importorskip("xarray")
    with karvo.open_mfdataset(folder, mismatched=mismatched) as ds:
        return sorted(set(ds.file.values.tolist())), ds.x.values


@pytest.mark.parametrize("tool", ["read_many", "open_mfdataset"])
def test_files_of_another_axis_than_most_are_each_named_or_left_out(mixed, tool):
    name = lambda n: str(mixed / n)                      # noqa: E731
    with pytest.raises(karvo.FormatError) as e:
        read_with(tool, mixed, "raise")
    message = str(e.value)
    assert message.startswith(name("b") + ": its spectral axis differs from that of " + name("a"))
    assert "9 points against 8" in message and name("d") + ": x[" in message and "650" in message
    with pytest.warns(UserWarning, match="left out 2 files") as caught:
        files, x = read_with(tool, mixed, "skip")
    assert files == [name("a"), name("c"), name("e")] and len(x) == 8
    said = " ".join(str(w.message) for w in caught if "left out" in str(w.message))
    assert name("b") + " (9 points" in said and name("d") + " (8 points, x 4000 to 650)" in said
    with pytest.raises(ValueError, match="mismatched"):
        read_with(tool, mixed, "ignore")


def test_where_as_many_share_two_axes_the_first_file_s_wins(mixed):
    for n in "ce":
        os.remove(mixed / n)
    with pytest.warns(UserWarning, match="left out 2 files"):
        x, _Y, table = karvo.read_many([mixed / "b", mixed / "a", mixed / "d"], mismatched="skip")
    assert set(table["file"]) == {str(mixed / "b")} and len(x) == 9
    # and where most share another axis than the first file's, theirs
    W.write_series(str(mixed / "c"), n_spectra=2)
    with pytest.warns(UserWarning, match="left out 2 files"):
        x, _Y, table = karvo.read_many([mixed / "b", mixed / "a", mixed / "d", mixed / "c"], mismatched="skip")
    assert set(table["file"]) == {str(mixed / "a"), str(mixed / "c")} and len(x) == 8


@pytest.mark.parametrize("points", [16, 4096])       # values read at the first look, or at the second
def test_each_file_is_opened_once(tmp_path, monkeypatch, points):
    """More files than the cache of open files keeps: small ones are read
    when first opened, large ones kept open for the second pass where the
    cache allows."""
    from karvo import _native
    for k in range(3 if points > 16 else 200):
        W.write_series(str(tmp_path / ("r%03d" % k)), n_spectra=2, num_points=points, mini_hdr=False)
    opened, real_open, real_open_many = [], _native.open, _native.open_many
    monkeypatch.setattr(_native, "open", lambda path: opened.append(path) or real_open(path))
    monkeypatch.setattr(_native, "open_many", lambda paths: opened.extend(paths) or real_open_many(paths))
    _x, Y, _table = karvo.read_many(tmp_path)
    assert len(opened) == len(set(opened)) == len(Y) // 2
