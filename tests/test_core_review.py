"""Caller code that runs in the middle of an operation (a decoder, a
finalizer, a path class) and what it may do to objects the library is using:
replace a class's constructor, drop the last reference to a module, resume a
stream from another thread.

Cases that could crash run in a child under `-X dev`, so that a relapse fails
one test and not the whole run."""
import subprocess
import sys

import karvo_writer as W

PRELUDE = """
import gc, io, os, sys, threading
sys.path[:0] = {sys_path!r}
import karvo_writer as W
import karvoreader as K
path = {path!r}
W.write_series(path, n_spectra=4, num_points=6)
"""


def run_child(tmp_path, body, timeout=120):
    code = PRELUDE.format(sys_path=sys.path, path=str(tmp_path / "series.spa")) + body
    p = subprocess.run([sys.executable, "-X", "dev", "-c", code], capture_output=True, text=True,
                       timeout=timeout, cwd=str(tmp_path))
    assert p.returncode == 0 and p.stdout.strip().endswith("OK"), \
        "exit %d\n--- stdout\n%s\n--- stderr\n%s" % (p.returncode, p.stdout[-2000:], p.stderr[-4000:])
    return p.stdout


def test_constructor_replaced_while_its_record_is_read(tmp_path):
    # The native reading of a record follows what the class's own __init__
    # describes; a decoder that replaces that __init__ mid-record must not
    # free the description under the reading.
    run_child(tmp_path, """
spa = K.SPAFile(path)
idx = spa.find_indextype(325)
orig = K.decode_string
calls = []
def decoder(raw):
    calls.append(raw)
    if len(calls) == 1:
        K.SeriesHeader.__init__ = lambda self, f: None
        gc.collect()
        junk = [bytearray(300) for _ in range(2000)]   # reuse the freed memory
    return orig(raw)
K.decode_string = decoder
hdr = spa.read(idx)
assert type(hdr).__name__ == "SeriesHeader" and len(calls) == 5, (hdr, calls)
assert isinstance(hdr.max_spectra, int) and isinstance(hdr.z_long_label_2, str)
print("OK")
""")
