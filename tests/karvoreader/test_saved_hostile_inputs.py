"""Regressions from the hostile-input work (fuzz/FINDINGS.md): every saved
fuzz input replays cleanly, and each fixed fault stays fixed."""
import glob
import os
import struct
import sys

import pytest

import karvo_writer as W
import karvoreader as K

from conftest import CHECKOUT

REGRESSIONS = os.path.join(CHECKOUT, "fuzz", "regressions")
sys.path.insert(0, os.path.join(CHECKOUT, "fuzz"))


@pytest.mark.parametrize("path", sorted(glob.glob(os.path.join(REGRESSIONS, "*.bin"))),
                         ids=os.path.basename)
def test_saved_fuzz_input_replays_cleanly(path, tmp_path):
    import fuzz_reader
    with open(path, "rb") as fh:
        fuzz_reader.run_input(fh.read(), str(tmp_path / "in.spa"))   # raises Finding


# Faults that crash the interpreter run in a child, so a relapse fails one
# test instead of killing the session.
PRELUDE = """
import gc, sys
sys.path[:0] = %r
import karvo_writer as W, karvoreader as K
def inner(stream):
    return [o for o in gc.get_referents(stream) if type(o).__name__ == "generator"]
path = %r
W.write_series(path, n_spectra=5, num_points=4)
"""


def run_isolated(tmp_path, body):
    import subprocess
    code = PRELUDE % (sys.path, str(tmp_path / "s.spa")) + body
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert p.returncode == 0 and p.stdout.strip().endswith("OK"), p.stderr[-3000:]


def test_closing_the_inner_stream_ends_the_series(tmp_path):
    # Finding 1: the series stream kept walking a linked-data body that a
    # caller had closed through gc.get_referents (use after free).
    run_isolated(tmp_path, """
s = K.open_file(path).open_series()
next(s), next(s)
for g in inner(s):
    g.close()
assert list(s) == []
print("OK")
""")


def test_inner_stream_closed_from_inside_a_run_refuses(tmp_path):
    # Finding 1, second road: closed while the series stream was reading it.
    run_isolated(tmp_path, """
class Closer(K.SeriesSpecheader):
    def __init__(self, f):
        super().__init__(f)
        for g in inner(s):
            g.close()
K.SeriesSpecheader = Closer
s = K.open_file(path).open_series()
next(s)
try:
    next(s)
except ValueError as e:
    assert "generator already executing" in str(e)
else:
    raise AssertionError("not refused")
assert list(s) == []
print("OK")
""")


@pytest.mark.parametrize("offset", [10 ** 6, 5 * 10 ** 18, 2 ** 63 - 200, 2 ** 63 - 1])
def test_offset_just_below_2_63_is_a_short_read(write, fds, offset):
    # Finding 2: offsets whose read-ahead ran past the largest off_t gave
    # OSError(EINVAL); past the end of the file is a short read, whatever the offset.
    spa = K.SPAFile(write(W.single_spectrum_file(values=[1.0])))
    with pytest.raises(struct.error):
        spa.read_offset(K.MainSpectralHeader, offset)
