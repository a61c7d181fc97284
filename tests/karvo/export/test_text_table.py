"""CSV/TSV numbers formatted natively: every value reads back bit for bit at
its stored precision, in the layout Python's repr gives a float."""
import csv
import ctypes
import io
import os
import sys

import numpy as np
import pytest

import karvo
from conftest import assert_child_ok, run_python
from karvo import _native
from karvo._export import single as _export

from karvo_writer import write_series  # noqa: E402

EDGES = [0.0, -0.0, np.nan, -np.nan, np.inf, -np.inf, 1e-4, 9.99e-5, 1e-5, 1e15, 1e16, 100.0, 0.1,
         1.0 / 3, 123456789.0]


def awkward(dtype, n, seed=0):
    """Edge values, raw bit patterns (subnormals and every exponent), and
    values spread over many decades."""
    rng = np.random.default_rng(seed)
    info = np.finfo(dtype)
    bits = np.dtype(f"u{np.dtype(dtype).itemsize}")
    edges = np.array(EDGES + [info.max, -info.max, info.tiny, info.smallest_subnormal,
                              -info.smallest_subnormal, info.tiny - info.smallest_subnormal], dtype)
    raw = rng.integers(0, np.iinfo(bits).max, n, dtype=bits, endpoint=True).view(dtype)
    decades = (10.0 ** rng.uniform(-40, 38, n) * rng.choice([-1, 1], n)).astype(dtype)
    return np.concatenate([edges, raw, decades])


def cells(text, delimiter):
    return [line.split(delimiter) for line in text.decode().splitlines()]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("delimiter", [",", "\t"])
def test_values_read_back_bit_for_bit(dtype, delimiter):
    values = awkward(dtype, 30000).reshape(3, -1)          # spectra x points
    x = awkward(np.float64, 10000, seed=1)[: values.shape[1]]
    rows = cells(_native.text_rows(x, values, delimiter), delimiter)
    assert len(rows) == values.shape[1] and {len(r) for r in rows} == {4}
    text = np.array(rows)
    # shortest float32 text goes through float64 exactly enough (53 >= 2 * 24 + 2 bits)
    back = np.array([[float(t) for t in row] for row in text[:, 1:].T], dtype)
    nan = np.isnan(values)
    assert np.array_equal(np.isnan(back), nan) and set(text[:, 1:].T[nan]) == {"nan"}
    assert np.array_equal(back[~nan].view(f"u{values.itemsize}"), values[~nan].view(f"u{values.itemsize}"))
    # x, and float64 values, as Python's repr writes them
    assert list(text[:, 0]) == [repr(float(v)).replace("-nan", "nan") for v in x]
    if dtype is np.float64:
        assert list(text[:, 1]) == [repr(float(v)) for v in values[0]]


def test_float32_text_is_the_shortest_of_float32_itself():
    values = awkward(np.float32, 20000, seed=2)
    text = [r[1] for r in cells(_native.text_rows(np.zeros(values.size), values[None, :], ","), ",")]
    finite = np.isfinite(values)
    shortest = [np.format_float_scientific(v, unique=True) for v in values[finite]]
    assert [float(t) for t, f in zip(text, finite) if f] == [float(s) for s in shortest]
    assert max(len(t.lstrip("-").replace(".", "").split("e")[0].strip("0")) for t in text) <= 9
    assert _native.text_rows(np.zeros(3), np.array([[0.1, 1e-7, 3e38]], np.float32), ",") == \
        b"0.0,0.1\n0.0,1e-07\n0.0,3e+38\n"


def test_strided_values_and_no_spectra():
    values = np.arange(24, dtype=np.float32).reshape(4, 6)
    x = np.arange(6.0)
    assert _native.text_rows(x[::2], values[::2, ::2], ";") == b"0.0;0.0;12.0\n2.0;2.0;14.0\n4.0;4.0;16.0\n"
    assert _native.text_rows(x, values[:0], ",") == b"".join(b"%d.0\n" % i for i in range(6))


def test_buffers_exported_without_strides():
    # ctypes arrays give no strides for their C-ordered memory (it used to crash)
    values = np.arange(6.0).reshape(2, 3)
    c_values = ((ctypes.c_double * 3) * 2)(*((ctypes.c_double * 3)(*row) for row in values.tolist()))
    c_x = (ctypes.c_double * 3)(10.0, 20.0, 30.0)
    assert memoryview(c_values).strides == (24, 8)  # memoryview fills them in; text_rows sees none
    assert _native.text_rows(c_x, c_values, ",") == _native.text_rows(np.array(c_x), values, ",") == \
        b"10.0,0.0,3.0\n20.0,1.0,4.0\n30.0,2.0,5.0\n"


@pytest.mark.parametrize("x, values, error", [
    (np.zeros(3, np.float32), np.zeros((1, 3), np.float32), TypeError),
    (np.zeros(3), np.zeros((1, 3), np.int32), TypeError),
    (np.zeros(3), np.zeros(3, np.float32), TypeError),
    (np.zeros(3), np.zeros((1, 3), ">f8"), TypeError),
    (np.zeros(4), np.zeros((1, 3), np.float32), ValueError),
    (np.zeros(1), np.broadcast_to(np.zeros((1, 1), np.float32), (2**60, 1)), MemoryError),
    (np.broadcast_to(np.zeros(1), 2**59), np.broadcast_to(np.zeros((1, 1)), (1, 2**59)), MemoryError),
])
def test_bad_arrays_are_refused(x, values, error):
    with pytest.raises(error):
        _native.text_rows(x, values, ",")


@pytest.mark.parametrize("element_size, delimiter", [(4, ","), (4, "\t"), (8, ",")])
def test_export_is_the_text_numpy_gives_in_one_block_or_many(tmp_path, monkeypatch, element_size, delimiter):
    """The same table as numpy's float-to-text cast (the former export) for
    values in [1e-5, 1e6), where every numpy release writes the same text,
    whether written in one block and call or in many."""
    rng = np.random.default_rng(3)
    table = 10.0 ** rng.uniform(-5, 6, (7, 50)) * rng.choice([-1, 1], (7, 50))
    path = str(tmp_path / "s")
    write_series(path, n_spectra=7, num_points=50, element_size=element_size, values=lambda k: table[k])
    with karvo.open(path) as s:
        sel = _export.Selection(s)
        values, x, names = s.read(), s.x, sel.column_names()
        _export.write_text_table(sel, str(tmp_path / "one"), delimiter, _export._NoProgress())
        monkeypatch.setattr(_export, "TEXT_BLOCK_BYTES", 7 * element_size * 8)   # 8 points per block
        monkeypatch.setattr(_export, "TEXT_CALL_VALUES", 8 * 3)                  # 3 rows per call
        _export.write_text_table(sel, str(tmp_path / "many"), delimiter, _export._NoProgress())
    one = (tmp_path / "one").read_bytes()
    assert (tmp_path / "many").read_bytes() == one
    expected = io.StringIO()
    w = csv.writer(expected, delimiter=delimiter, lineterminator="\n")
    w.writerow(["x", *names])
    w.writerows(zip(x.astype(str), *values.astype(str)))
    assert one.decode() == expected.getvalue()


def test_a_signal_handler_that_raises_stops_the_formatting():
    """Ctrl-C stops a long call midway (formatting it all would take seconds)."""
    import signal
    import time

    class Stop(Exception):
        pass

    def handler(*_):
        raise Stop

    # the text is written lazily; its bound stays under the sanitizer's 1 GiB
    # allocation limit, and formatting it all takes over a second
    values = np.broadcast_to(1 / 3, (6500, 4096))
    # what a tenth of the work takes here, so that the bound below scales
    # with the machine and its load rather than being a fixed time
    start = time.monotonic()
    _native.text_rows(np.zeros(4096), values[:650], ",")
    tenth = time.monotonic() - start
    previous = signal.signal(signal.SIGALRM, handler)
    start = time.monotonic()
    try:
        with pytest.raises(Stop):
            signal.setitimer(signal.ITIMER_REAL, 0.01)
            _native.text_rows(np.zeros(4096), values, ",")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert time.monotonic() - start < 5 * tenth + 0.05   # all of it: about 10 tenths


def test_a_busy_thread_runs_on_during_the_formatting_and_barely_slows_it():
    """The formatting runs without the interpreter, taking it back only every
    few milliseconds for signal handlers. Each time back waits for a busy
    thread to let go (its switch interval): at every row that would make
    this formatting hundreds of times slower."""
    code = """
import signal, threading, time, numpy as np
from karvo import _native
rows = 20000  # of 256 values: some 20 us of work each
x, values = np.zeros(rows), np.broadcast_to(np.float32(1 / 3), (256, rows))
def formatting():
    start = time.monotonic()
    _native.text_rows(x, values, ",")
    return time.monotonic() - start
alone = formatting()
count = [0]
def busy():
    while True:
        count[0] += 1
threading.Thread(target=busy, daemon=True).start()
class TooSlow(Exception):
    pass
def too_slow(*_):
    raise TooSlow("over 20 times the %.2f s it took with no other thread" % alone)
signal.signal(signal.SIGALRM, too_slow)  # stops the formatting, as Ctrl-C does
signal.setitimer(signal.ITIMER_REAL, 20 * alone)
before = count[0]
took = formatting()
during = count[0] - before
signal.setitimer(signal.ITIMER_REAL, 0)
before = count[0]
time.sleep(took)  # the thread with the interpreter to itself, as long
alone_for_as_long = count[0] - before
assert during > alone_for_as_long / 5, (during, alone_for_as_long)
print("OK")
"""
    assert_child_ok(run_python(code))
