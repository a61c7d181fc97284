"""What a read of an object held elsewhere fetches, planned by the cost
model: merged ranges where a merge saves a round of requests, separate
ones where the gaps cost more than the rounds they save."""
import numpy as np
import pytest

import karvo
import karvo_writer as W
from karvo import _native
from karvo._storage.costs import UNBOUNDED, concurrency_of, take_cost_options

ROWS, POINTS = 1024, 4096           # 16 KiB a spectrum: 16 MiB in all, mini headers 16 KiB apart


@pytest.fixture(scope="module")
def long_rows():
    return W.series_file(n_spectra=ROWS, num_points=POINTS, mini_hdr=True, mini_header_type=1)


def _opened(data, costs):
    calls = []

    def fetch(starts, ends):
        calls.append(list(zip(starts, ends)))
        return [data[a:b] for a, b in zip(starts, ends)]
    native = _native.open_fetching(fetch, len(data), "mem://long", False, data[:256 << 10], costs)
    return karvo.Series._from_native(native, "mem://long", "warn", 1), calls


@pytest.mark.parametrize("costs, most_calls, most_share", [
    # many requests at once: the mini headers alone, in 4 rounds
    ((0.03, 100e6, 256), 4, 0.01),
    # few at once and far away: 100 rounds would cost more than the 16 MiB,
    # fetched in one round of 10 (cut in 13 blocks of at most 4 MiB: 2 calls)
    ((0.03, 100e6, 10), 2, 1.0),
    # no latency to speak of: every mini header its own request, 10 a round
    ((1e-6, 100e6, 10), ROWS // 10 + 1, 0.01),
    # a round (1 ms) is worth 4 gaps crossed (0.65 ms), not 10: 1020 requests
    ((1e-3, 100e6, 10), ROWS // 10, 0.02),
])
def test_the_mini_headers_are_fetched_as_the_costs_say(long_rows, costs, most_calls, most_share):
    s, calls = _opened(long_rows, costs)
    with s:
        calls.clear()
        meta = s.meta
        fetched = sum(b - a for call in calls for a, b in call)
        assert len(calls) <= most_calls and fetched <= most_share * len(long_rows), (len(calls), fetched)
        assert max(len(call) for call in calls) <= costs[2]
        with karvo.Series._from_native(_native.open_fetching(
                lambda st, en: [long_rows[a:b] for a, b in zip(st, en)], len(long_rows), "mem://all"),
                "mem://all", "warn", 1) as plain:
            np.testing.assert_array_equal(meta, plain.meta)


@pytest.mark.parametrize("costs", [(0.03, 100e6, 256), (1e-6, 100e6, 1)])
def test_a_listed_read_gives_the_same_values_whatever_the_plan(long_rows, costs):
    s, _calls = _opened(long_rows, costs)
    rows = np.array([5, 900, 6, 7, 1023, 0, 5])
    with s, karvo.Series._from_native(_native.open_fetching(
            lambda st, en: [long_rows[a:b] for a, b in zip(st, en)], len(long_rows), "mem://all"),
            "mem://all", "warn", 1) as plain:
        np.testing.assert_array_equal(s[rows], plain[rows])
        np.testing.assert_array_equal(s.read(100, 300), plain.read(100, 300))


@pytest.mark.parametrize("costs", [(-1.0, 1e8, 4), (0.03, 0.0, 4), (0.03, 1e8, 0), (float("nan"), 1e8, 4)])
def test_costs_out_of_range_are_refused(long_rows, costs):
    with pytest.raises(ValueError, match="costs"):
        _native.open_fetching(lambda st, en: [], len(long_rows), "mem://long", False, None, costs)


@pytest.mark.parametrize("options, refused", [
    ({"latency": 0.1, "bandwidth": 5e6}, None), ({}, None),
    ({"latency": 0}, "latency"), ({"bandwidth": "fast"}, "bandwidth"), ({"latency": True}, "latency"),
])
def test_the_cost_options_are_karvos_own(options, refused):
    given = dict(options, anon=True)
    if refused:
        with pytest.raises(ValueError, match=refused):
            take_cost_options("s3://b/k", given)
        return
    latency, bandwidth = take_cost_options("s3://b/k", given)
    assert (latency, bandwidth) == (options.get("latency", 0.03), options.get("bandwidth", 100e6))
    assert given == {"anon": True}              # the rest reach the file system


def test_no_gap_is_crossed_beside_a_range_fetched_as_blocks_anyway():
    """Runs of 4 MiB are fetched as blocks of 4 MiB whether merged or not:
    crossing the 1 MiB between them saves no request, and costs the bytes."""
    data = W.series_file(n_spectra=19, num_points=1 << 18)         # 1 MiB a spectrum
    s, calls = _opened(data, (0.03, 100e6, 2))
    rows = np.array([r for first in (0, 5, 10, 15) for r in range(first, first + 4)])
    with s:
        calls.clear()
        s[rows]
        fetched = sum(b - a for call in calls for a, b in call)
    assert fetched < 17 << 20, [(a, b - a) for call in calls for a, b in call]


async def _unbounded_client(**kwargs):
    import aiohttp
    return aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0), **kwargs)


@pytest.mark.parametrize("protocol, options, expected", [
    ("s3", {}, 10), ("s3", {"config_kwargs": {"max_pool_connections": 4}}, 4),
    ("s3", {"config_kwargs": {"max_pool_connections": 50}}, 50),
    ("http", {}, 100), ("http", {"get_client": _unbounded_client}, UNBOUNDED),
])
def test_the_requests_at_once_are_what_the_client_runs(protocol, options, expected):
    """botocore's pool (10 unless the options say), aiohttp's connection limit
    (100 unless the options say; 0: no limit)."""
    fsspec = pytest.importorskip("fsspec")
    pytest.importorskip("s3fs" if protocol == "s3" else "aiohttp")
    from fsspec.asyn import sync
    anon = {"anon": True} if protocol == "s3" else {}
    fs = fsspec.filesystem(protocol, skip_instance_cache=True, **anon, **options)
    if protocol == "http":
        sync(fs.loop, fs.set_session)       # as the open's first request made it
    assert concurrency_of(fs) == expected
