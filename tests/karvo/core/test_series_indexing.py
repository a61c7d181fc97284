"""Series indexing gives what numpy gives for the same key on np.asarray(s)."""
import numpy as np
import pytest

import karvo
from xarray_files import series

N, P = 10, 16
T, F = np.array(True), np.array(False)
ROWS_MASK = np.arange(N) > 4

KEYS = [
    # one key: rows
    3, -1, -N, N, -N - 1, np.int64(7), np.uint8(2), np.array(4), slice(None), slice(2, 7), slice(None, None, -1),
    slice(8, 1, -3), slice(1, None, 4), slice(20, 30), [3, 1, 4], [0, -N, N - 1], [-N], [N], [-N - 1], [],
    np.array([], dtype=np.int64), np.array([9, 0], dtype=np.uint16), np.array([N], dtype=np.uint8), ROWS_MASK,
    np.zeros(N, bool), (2,), ([5, 5],),
    # rows and points
    (3, 5), (-N, -1), (3, slice(2, 5)), (3, [1, -P]), (3, T), (3, None), (3, Ellipsis), (np.int64(3), np.int8(2)),
    (slice(None), 0), (slice(None), T), (slice(None), F), (slice(None), None), (slice(None), Ellipsis),
    (slice(1, 8, 3), [[1, 2], [3, 4]]), (slice(None), np.arange(P) > 7), (slice(None), []),
    ([1, 2], [3, 4]), ([1, 2], 5), ([1, 2], slice(2, 5)), ([1, 2], T), ([1, 2], None), ([1, 2], Ellipsis),
    ([1, 2], [[1], [2]]), ([1, 2, 3], [1, 2]), ([3, 1], np.arange(P) > 13), ([-N], [-P]), ([0, -N], [P - 1, 0]),
    ([], []), ([], slice(None)), (np.array([], dtype=int), 0), (ROWS_MASK, [0, 1, 2, 3, 4]), (ROWS_MASK, 3),
    (2, [[1], [2]]), (3, P), (slice(None), P), ([1, 2], [P]),
]


@pytest.fixture(scope="module")
def opened(tmp_path_factory):
    path = tmp_path_factory.mktemp("indexing") / "run"
    series(path, n_spectra=N, num_points=P)
    with karvo.open(path) as s:
        yield s, np.asarray(s)


@pytest.mark.parametrize("key", KEYS, ids=repr)
def test_series_indexing_is_numpys(opened, key):
    s, a = opened
    try:
        want = a[key]
    except IndexError:
        with pytest.raises(IndexError):
            s[key]
        return
    got = s[key]
    assert got.shape == want.shape and got.dtype == want.dtype
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("read", [
    lambda f, out: f.read_index(out[:1], np.array([3])),
    lambda f, out: f.read_index(out[:2], np.array([0, 3])),
    lambda f, out: f.read_rows(out[:1], 3, 4),
    lambda f, out: f.read_rows(out[:2], 2, 4),
])
def test_the_native_reads_refuse_rows_past_those_held(tmp_path, read):
    """Bytes after the spectra that the header promises (a whole row's worth)
    are no spectrum: a row past those held is refused, not read from them."""
    path = tmp_path / "run"
    series(path, n_spectra=3, num_points=P)
    with open(path, "ab") as fh:
        fh.write(b"\x7f" * (1 << 12))
    with karvo.open(path) as s:
        assert len(s) == 3
        out = np.zeros((2, P), s.dtype)
        with pytest.raises(IndexError, match=r"outside \[0, 3\)"):
            read(s._file, out)
        assert not out.any()
