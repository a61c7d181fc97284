"""Many local files opened in one native call, as read_many's first pass
opens a folder: single spectra read whole, series left open, failures
handed back rather than raised."""
import numpy as np
import pytest

import karvo
import karvo_writer as W
from karvo import _native
from conftest import assert_child_ok, run_python

pd = pytest.importorskip("pandas")


def single(path, first_x=4000.0, last_x=400.0, points=8, title=b"film", start=0.0):
    path.write_bytes(W.single_spectrum_file(values=[start + 0.5 * j for j in range(points)], first_x=first_x,
                                            last_x=last_x, file_id=title))
    return str(path)


def test_each_path_gives_what_open_would(tmp_path):
    s = single(tmp_path / "s")
    series = str(tmp_path / "r")
    W.write_series(series, n_spectra=2)
    (tmp_path / "picture").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(600))
    (tmp_path / "notes").write_text("not spectra\n" * 40)
    got = _native.open_many([s, series, str(tmp_path / "gone"), str(tmp_path / "picture"),
                             str(tmp_path / "notes"), str(tmp_path)])
    title, first_x, last_x, values = got[0]
    x, y = karvo.read(s)
    assert (title, first_x, last_x) == ("film", 4000.0, 400.0)
    np.testing.assert_array_equal(np.frombuffer(values, np.float32), y)
    assert isinstance(got[1], _native.File) and not got[1].closed
    got[1].close()
    assert isinstance(got[2], FileNotFoundError) and got[2].filename == str(tmp_path / "gone")
    assert isinstance(got[3], karvo.FormatError) and "looks like a PNG image" in str(got[3])
    assert isinstance(got[4], karvo.FormatError) and "looks like text" in str(got[4])
    assert isinstance(got[5], IsADirectoryError)
    with pytest.raises(TypeError, match="list of paths"):
        _native.open_many((s,))


def test_audit_hooks_see_and_may_refuse_each_open(tmp_path):
    a, b = single(tmp_path / "a"), single(tmp_path / "b")
    p = run_python(
        "import sys\nfrom karvo import _native\nseen = []\n"
        "def hook(event, args):\n"
        "    if event == 'open' and str(args[0]).startswith(sys.argv[1]):\n"
        "        seen.append(args[0])\n"
        "        if args[0].endswith('b'):\n            raise PermissionError('refused by policy')\n"
        "sys.addaudithook(hook)\n"
        "got = _native.open_many([sys.argv[2], sys.argv[3]])\n"
        "assert seen == [sys.argv[2], sys.argv[3]], seen\n"
        "assert isinstance(got[0], tuple) and isinstance(got[1], PermissionError), got\n"
        "print('OK')\n", str(tmp_path), a, b)
    assert_child_ok(p)


@pytest.mark.parametrize("order", ["singles first", "interleaved", "series first"])
def test_read_many_of_single_spectra_and_series_reads_each_row_in_place(tmp_path, order):
    """Single spectra are copied in runs of neighbours, series one by one,
    in another order than the rows: every row lands where it belongs."""
    # enough files for batches of several, where neighbouring singles are copied at once
    singles = [single(tmp_path / ("s%03d" % k), start=100.0 * k, title=b"s%d" % k) for k in range(100)]
    series = [str(tmp_path / ("r%d" % k)) for k in range(3)]
    for k, path in enumerate(series):       # the writer's axis: 8 points from 4000 to 400, as the singles'
        W.write_series(path, n_spectra=3, num_points=8, file_id=b"r%d" % k)
    paths = {"singles first": singles + series, "series first": series + singles,
             "interleaved": [p for pair in zip(singles, series + [None] * 97) for p in pair if p]}[order]
    x, Y, table = karvo.read_many(paths)
    np.testing.assert_array_equal(Y, np.concatenate([np.atleast_2d(karvo.read(p)[1]) for p in paths]))
    titles = [karvo.open(p).title for p in paths]
    assert list(table.drop_duplicates("file")["file_title"]) == titles
    np.testing.assert_array_equal(x, karvo.read(singles[0])[0])


def test_single_spectra_of_another_axis_are_named(tmp_path):
    most = [single(tmp_path / ("a%d" % k)) for k in range(3)]
    odd = single(tmp_path / "b", last_x=500.0)
    with pytest.raises(karvo.FormatError, match=r"b: its spectral axis differs .* \(x 4000 to 500 against 4000 to 400\)"):
        karvo.read_many(most + [odd])
    with pytest.warns(UserWarning, match="left out 1 file"):
        _x, Y, table = karvo.read_many(most + [odd], mismatched="skip")
    assert list(table["file"]) == most and len(Y) == 3


def test_an_axis_from_minus_zero_is_the_axis_from_zero(tmp_path):
    """-0.0 == 0.0: files whose axes differ only there are of one axis, in
    read_many as in karvo info (which compares the axes it lists)."""
    from command import karvo as run
    paths = [single(tmp_path / name, first_x=first, last_x=400.0)
             for name, first in [("a", 0.0), ("b", -0.0), ("c", -0.0)]]
    _x, Y, _table = karvo.read_many(paths)
    assert len(Y) == 3
    code, _out, err = run("info", str(tmp_path))
    assert code == 0 and "axis" not in err, err
