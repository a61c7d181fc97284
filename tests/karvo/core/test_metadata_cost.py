"""What .meta and .titles read: the mini headers, not the values, where rows
are long; and only once for both."""
import numpy as np
import pytest

import karvo
from tools import karvo_writer as W


def rchar():
    with open("/proc/self/io", "rb", buffering=0) as fh:
        text = fh.read(4096)
    return int(text.split(b"rchar:")[1].split()[0])


def bytes_read(action):
    """Bytes that action() read, less what reading the counter itself reads."""
    first = rchar()
    idle = rchar() - first
    before = rchar()
    action()
    return rchar() - before - idle


def check_meta(s, sf, count):
    """s.meta and s.titles hold the writer's mini headers of spectra [0, count)."""
    assert len(s.meta) == len(s.titles) == count
    assert s.titles == [sf.title(k) for k in range(count)]
    for k in range(count):
        for name, value in sf.mini_fields(k).items():
            got = s.meta[k][name]
            if name == "spec_title":
                assert got == sf.title(k).encode()
            elif isinstance(value, float):
                assert got == np.float32(value)
            else:
                assert got == value


@pytest.mark.skipif(not __import__("os").path.exists("/proc/self/io"), reason="needs /proc/self/io")
def test_long_rows_read_mini_headers_once(tmp_path):
    path = tmp_path / "long.spc"
    sf = W.write_series(path, n_spectra=300, num_points=4096, mini_header_type=3)
    size = path.stat().st_size
    with karvo.open(path) as s:
        spent = bytes_read(lambda: (s.meta, s.titles))
        assert spent <= size // 10, f"metadata read {spent} of {size} bytes"
        assert bytes_read(lambda: (s.meta, s.titles)) == 0
        check_meta(s, sf, 300)


@pytest.mark.filterwarnings("ignore::karvo.TruncatedWarning")
@pytest.mark.parametrize("n, points, layout, cut", [
    (3000, 4, dict(mini_header_type=3), None),         # short rows, several chunks
    (40, 4096, dict(mini_header_type=0), None),        # long rows, a read per mini header
    (40, 2400, dict(mini_header_type=3), None),        # near the switch between the two
    (40, 2600, dict(mini_header_type=0), None),
    (30, 4096, dict(mini_header_type=3), -5000),       # cut inside a spectrum's values
    (500, 4, dict(mini_header_type=0), -50),           # cut inside a mini header
    (5, 4096, dict(mini_hdr=False), None),
])
def test_meta_and_titles_values(tmp_path, n, points, layout, cut):
    path = tmp_path / "s.spc"
    full = len(W.series_file(n_spectra=n, num_points=points, **layout))
    sf = W.write_series(path, n_spectra=n, num_points=points, truncate=None if cut is None else full + cut,
                        titles=lambda k: b"t\xe9 %d\0junk" % k if k % 3 else b"x" * 64, **layout)
    with karvo.open(path) as s:
        if not layout.get("mini_hdr", True):
            assert s.meta is None and s.titles is None
            return
        complete = len(s)
        assert complete == (n if cut is None else n - 1)
        check_meta(s, sf, complete)


@pytest.mark.skipif(not __import__("os").path.exists("/proc/self/io"), reason="needs /proc/self/io")
def test_xarray_open_reads_mini_headers_only(tmp_path):
    xr = pytest.importorskip("xarray")
    warm, path = tmp_path / "warm.spc", tmp_path / "long.spc"
    W.write_series(warm, n_spectra=2, num_points=4)
    W.write_series(path, n_spectra=300, num_points=4096, mini_header_type=0)
    xr.open_dataset(warm, engine="karvo", cache=False).close()   # imports and plugin lookup
    opened = []
    spent = bytes_read(lambda: opened.append(xr.open_dataset(path, engine="karvo", cache=False)))
    with opened[0] as ds:
        assert len(ds["title"]) == 300
    assert spent <= path.stat().st_size // 10, f"opening read {spent} of {path.stat().st_size} bytes"
