"""karvo against misuse from Python: keys numpy reads otherwise, the native
type made by hand, audit hooks and path objects that run code."""
import os
import subprocess
import sys

import numpy as np
import pytest

import karvo
import karvo_writer as W
from conftest import run_python


@pytest.fixture
def series_path(tmp_path):
    path = str(tmp_path / "run")
    W.write_series(path, n_spectra=10, num_points=5, mini_header_type=3)
    return path


@pytest.mark.parametrize("make", ["File()", "File.__new__(File)", "object.__new__(File)"])
def test_native_file_is_made_only_by_open(make):
    # A File from the type itself had no reader: close() or .info crashed.
    r = run_python(f"from karvo._native import File\ntry:\n    {make}.close()\nexcept TypeError:\n    print('refused')")
    assert (r.returncode, r.stdout.strip()) == (0, "refused"), r.stderr


@pytest.mark.parametrize("key", [True, False, np.True_, np.array(True)])
def test_bool_keys_are_not_spectrum_numbers(series_path, key):
    # numpy reads a bool as a mask; taking it as spectrum 0 or 1 gave a wrong row.
    with karvo.open(series_path) as s, pytest.raises(TypeError):
        s[key]


@pytest.mark.parametrize("key", [np.array(3), np.array(-1, dtype=np.int8), np.array(7, dtype=np.uint64)])
def test_zero_dim_int_arrays_index_like_their_int(series_path, key):
    with karvo.open(series_path) as s:
        assert np.array_equal(s[key], np.asarray(s)[key])
        with pytest.raises(TypeError):
            s[np.array(3.0)]


def test_open_raises_the_audit_event_and_a_refusing_hook_leaves_no_file_open(series_path):
    code = f"""
import os, sys, karvo
seen = []
def hook(event, args):
    if event == "open" and args[0] == {series_path!r}:
        seen.append(args[:2])
        if len(seen) > 1:
            raise PermissionError("refused")
sys.addaudithook(hook)
karvo.open({series_path!r}).close()
before = os.listdir("/proc/self/fd")
try:
    karvo.open({series_path!r})
except PermissionError:
    print(seen, os.listdir("/proc/self/fd") == before)
"""
    r = run_python(code)
    assert r.stdout.strip() == f"[({series_path!r}, 'r'), ({series_path!r}, 'r')] True", r.stderr


def test_read_asks_a_path_object_for_its_path_once(series_path, tmp_path):
    other = str(tmp_path / "other")
    W.write_series(other, n_spectra=3, num_points=5, mini_header_type=3)

    class Shifting:
        calls = 0

        def __fspath__(self):
            Shifting.calls += 1
            return series_path if Shifting.calls == 1 else other

    x, Y = karvo.read(Shifting())
    assert Shifting.calls == 1 and Y.shape == (10, 5)


OUT_OF_MEMORY = """
import resource, sys, numpy as np, karvo
s = karvo.open(sys.argv[1])
out = np.empty(s.shape, s.dtype); out[:] = 0
index = np.arange(len(s), dtype=np.int64)
headroom = {"read": 100_000, "titles": 400_000, "index": 100_000}[sys.argv[2]]
size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + headroom, resource.RLIM_INFINITY))
try:
    {"read": lambda: s.read(out=out), "titles": lambda: s.titles,
     "index": lambda: s._file.read_index(out, index)}[sys.argv[2]]()
except MemoryError:
    print("MemoryError")
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's allocator aborts instead")
@pytest.mark.parametrize("what", ["read", "titles", "index"])
def test_running_out_of_memory_is_a_memory_error(tmp_path, what):
    # Buffers allocated by the reader threw std::bad_alloc through the
    # interpreter, which aborted the process.
    path = str(tmp_path / "many")
    W.write_series(path, n_spectra=20000, num_points=16, mini_header_type=3)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, path, what], env=env, capture_output=True,
                       text=True, timeout=60)
    assert (r.returncode, r.stdout.strip()) == (0, "MemoryError"), r.stderr[-2000:]


@pytest.mark.parametrize("labels, names", [
    ([b"dim1", b""], ["dim1", "dim1_"]),
    ([b"", b"dim0"], ["dim0_", "dim0"]),
    ([b"dim1", b"", b""], ["dim1", "dim1_", "dim2"]),
    ([b"t", b"", b"t"], ["dim0", "dim1", "dim2"]),
])
def test_every_dimension_keeps_a_coordinate_of_its_own(tmp_path, labels, names):
    # A dimension labelled like a generated name took the place of another's
    # coordinate: coords lost one.
    path = str(tmp_path / "dims")
    W.write_series(path, n_spectra=4, num_points=3, dimensions=[
        dict(num_elements=4, first_dim=10 * i, last_dim=10 * i + 3, scale_dim=1.0, short_label=label)
        for i, label in enumerate(labels)])
    with karvo.open(path) as s:
        assert [d["name"] for d in s.dimensions] == names
        assert [c[0] for c in s.coords.values()] == [10.0 * i for i in range(len(labels))]


@pytest.mark.parametrize("key", [
    ([0, 1], [2, 3]), ([3, 1, 4], [[0], [1]]), ([0, 1], [True, False, True, False, False]),
    (np.arange(10) < 2, [1, 4]), ([-1], np.array([4, 0])), (slice(1, 3), [0, 1]), (1, [0, 1]), ([0, 1], 2),
    (3,), ([2, 0],), (slice(None, None, -4),),
])
def test_two_part_keys_index_as_numpy_does(series_path, key):
    # Two index arrays pair up element by element: s[[0, 1], [2, 3]] is two
    # values, not the 2 x 2 block it used to be.
    with karvo.open(series_path) as s:
        expected = np.asarray(s)[key]
        got = s[key]
        assert got.shape == expected.shape and np.array_equal(got, expected)
        with pytest.raises(IndexError):
            s[[0, 1, 2], [0, 1]]


def test_reads_fit_the_smallest_thread_stack(tmp_path):
    # Long rows between mini headers are scattered into place with a list of
    # pieces on the stack: 32 KiB of it overflowed a thread made with the
    # smallest threading.stack_size().
    path = str(tmp_path / "wide")
    W.write_series(path, n_spectra=40, num_points=2048, mini_header_type=3)
    code = f"""
import threading, numpy as np, karvo
got = []
def work():
    with karvo.open({path!r}) as s:
        got.append((np.asarray(s).shape, s[[3, 1, 4, 5, 6]].shape, s[::-2].shape, s.meta.shape))
threading.stack_size(32768)
t = threading.Thread(target=work)
t.start(); t.join()
print(got)
"""
    r = run_python(code)
    assert (r.returncode, r.stdout.strip()) == (0, "[((40, 2048), (5, 2048), (20, 2048), (40,))]"), r.stderr[-2000:]


def test_shared_arrays_are_read_only_and_copies_are_the_callers(series_path, tmp_path):
    # x and y are handed to every caller: writing into them would change what
    # the next caller reads, so they refuse; np.array/np.asarray give copies.
    p = tmp_path / "single"
    p.write_bytes(W.single_spectrum_file(values=[1.0, 2.0, 3.0], num_points=3))
    with karvo.open(p) as sp:
        for shared in (sp.x, sp.y):
            with pytest.raises(ValueError, match="read-only"):
                shared[0] = 99
        mine = np.asarray(sp)
        mine[0] = 99
        assert sp.y[0] == 1.0 and np.asarray(sp)[0] == 1.0
    with karvo.open(series_path) as s:
        with pytest.raises(ValueError, match="read-only"):
            s.x[0] = 99
