"""Spectra read over HTTP by a list of rows in any order (s[rows]): the
values the local read gives, in the list's order, and no more bytes fetched
for a shuffled list than for the same list sorted, even from a series larger
than what a read holds at once (tests/servers.py counts the bytes served)."""
import os

import numpy as np
import pytest

import karvo
from karvo_writer import write_series
from xarray_files import series


@pytest.fixture
def served(http_server, request):
    """served(write, **kw) -> (local path, URL): write(path, **kw) run on a
    file that the HTTP server serves; removed when the test ends."""
    def make(write, **kw):
        name = "listed-" + request.node.name.replace("[", "-").rstrip("]")
        path = os.path.join(http_server.root, name)
        request.addfinalizer(lambda: os.path.exists(path) and os.remove(path))
        write(path, **kw)
        return path, http_server.url_of(name)
    return make


ORDERS = {
    "reversed": lambda n, rng: np.arange(n)[::-1],
    "shuffled-with-duplicates": lambda n, rng: rng.integers(0, n, 3 * n),
    "runs-shuffled": lambda n, rng: (rng.permutation(n // 4)[:, None] * 4 + np.arange(4)).ravel(),
    "each-twice-backwards": lambda n, rng: np.repeat(np.arange(n), 2)[::-1],
    "one": lambda n, rng: [n // 2],
    "none": lambda n, rng: [],
}


# Short rows (read together through a chunk), long ones (each read straight
# into place), and rows without mini headers (one run, one read).
@pytest.mark.parametrize("points, mini", [(40, True), (2048, True), (40, False)])
@pytest.mark.parametrize("order", ORDERS)
def test_a_list_in_any_order_reads_what_the_local_file_holds(served, points, mini, order):
    path, url = served(series, n_spectra=48, num_points=points, mini_hdr=mini)
    index = ORDERS[order](48, np.random.default_rng(5))
    with karvo.open(path) as local, karvo.open(url) as remote:
        got, want = remote[index], local[index]
    assert got.shape == want.shape == (len(index), points) and got.dtype == want.dtype
    np.testing.assert_array_equal(got, want)


def test_a_shuffled_list_fetches_what_the_sorted_one_does(served, http_server):
    # 288 spectra of 256 KiB: 72 MiB, more than a read holds at once (64 MiB).
    n = 288
    path, url = served(write_series, n_spectra=n, num_points=65536, mini_hdr=True, mini_header_type=1)
    shuffled = np.random.default_rng(3).permutation(n)
    fetched = {}
    with karvo.open(path) as local, karvo.open(url) as remote:
        for kind, index in (("sorted", np.sort(shuffled)), ("shuffled", shuffled)):
            http_server.reset()
            got = remote[index]
            fetched[kind] = http_server.served
            np.testing.assert_array_equal(got, local[index])
    assert 72 << 20 <= fetched["sorted"] and fetched["shuffled"] <= 1.1 * fetched["sorted"], fetched
