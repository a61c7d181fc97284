"""Opened files travel as their absolute path and identity: another file under
that path, or the file changed since, is refused where it is opened again
(another process, another folder, xarray's file cache)."""
import os
import pickle
import shutil
import sys
import threading

import numpy as np
import pytest

import karvo
from conftest import assert_child_ok, run_python
from karvo_writer import single_spectrum_file
from xarray_files import engine, expected_values, series

UNPICKLE = """
import pickle, sys
import numpy as np
import karvo
try:
    s, sp = pickle.load(open(sys.argv[1], "rb"))
except karvo.FormatError as e:
    print("FormatError", e.path == sys.argv[2], e)
else:
    print(np.asarray(s)[0, 0], sp.y[0], s.path == sys.argv[2], sp.path == sys.argv[3])
print("OK")
"""


def make_pair(folder, value):
    folder.mkdir(exist_ok=True)
    sf = series(folder / "run", n_spectra=3, num_points=4, seed=value)
    (folder / "one").write_bytes(single_spectrum_file(values=[value] * 5))
    return sf


def test_a_pickle_opens_the_file_opened_here_from_any_folder(tmp_path, monkeypatch):
    here, there = tmp_path / "here", tmp_path / "there"
    make_pair(here, 1.0)
    make_pair(there, 2.0)             # same names and shapes, other values
    monkeypatch.chdir(here)
    with karvo.open("run") as s, karvo.open("one") as sp:
        (tmp_path / "pickle").write_bytes(pickle.dumps([s, sp]))
    args = (str(tmp_path / "pickle"), str(here / "run"), str(here / "one"))
    out = assert_child_ok(run_python(UNPICKLE, *args, cwd=there))
    assert out.split()[:4] == ["1.0", "1.0", "True", "True"]
    # another file of the same name and shape put in its place
    make_pair(tmp_path / "other", 3.0)
    os.replace(tmp_path / "other" / "run", here / "run")
    out = assert_child_ok(run_python(UNPICKLE, *args, cwd=there))
    assert out.startswith("FormatError True") and "changed since it was opened" in out
    assert "another file is there" in out and str(here / "run") in out


@pytest.mark.parametrize("change, said", [
    ("grown", "size"), ("rewritten", "modified"), ("rewritten, its time set back", "modified"),
    ("replaced", "another file is there"),
])
def test_unpickling_refuses_a_changed_file(tmp_path, change, said):
    path = tmp_path / "run"
    series(path, n_spectra=3, num_points=4)
    single = tmp_path / "one"
    single.write_bytes(single_spectrum_file(values=[1.0] * 5))
    for opened in (karvo.open(path), karvo.open(single)):
        blob = pickle.dumps(opened)
        p = opened.path
        st = os.stat(p)
        if change == "grown":
            with open(p, "ab") as fh:
                fh.write(b"\0" * 16)
            os.utime(p, ns=(st.st_atime_ns, st.st_mtime_ns))
        elif change.startswith("rewritten"):           # same size, in place
            with open(p, "r+b") as fh:
                fh.seek(st.st_size - 4)
                fh.write(np.float32(9.0).tobytes())
            # a copy tool that keeps times can give an older one
            later = -10**9 if change.endswith("back") else 10**9
            os.utime(p, ns=(st.st_atime_ns, st.st_mtime_ns + later))
        else:                                          # same bytes and times, a new inode
            shutil.copyfile(p, str(p) + ".new")
            os.utime(str(p) + ".new", ns=(st.st_atime_ns, st.st_mtime_ns))
            os.replace(str(p) + ".new", p)
        with pytest.raises(karvo.FormatError, match="changed since it was opened") as e:
            pickle.loads(blob)
        assert said in str(e.value) and e.value.path == str(p)
        opened.close()


def test_another_machine_compares_size_and_time_not_its_device_numbers(tmp_path):
    path = tmp_path / "run"
    sf = series(path, n_spectra=3, num_points=4)
    with karvo.open(path) as s:
        _, (cls, location, truncated) = s.__reduce__()
        where, (dev, ino, size, mtime), machine = location.source, location.identity, location.machine
        st = os.stat(path)
        assert s.identity == (dev, ino, size, mtime) == (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
    # what pickles of earlier releases call, with these arguments
    from karvo._core.opened import _unpickle as unpickle
    numbered_elsewhere = (dev + 1, ino + 1, size, mtime)
    again = unpickle(cls, where, truncated, numbered_elsewhere, "another host")
    np.testing.assert_array_equal(np.asarray(again), expected_values(sf))
    with pytest.raises(karvo.FormatError, match="another file is there"):
        unpickle(cls, where, truncated, numbered_elsewhere, machine)
    with pytest.raises(karvo.FormatError, match=r"size \d+ bytes, opened with \d+$"):
        unpickle(cls, where, truncated, (dev + 1, ino + 1, size + 1, mtime), "another host")


xr = pytest.importorskip("xarray")


@pytest.mark.parametrize("reopened", [False, True], ids=["open-file", "reopened"])
def test_engine_refuses_a_file_rewritten_shorter_since_it_opened(tmp_path, reopened):
    path = tmp_path / "run"
    series(path, n_spectra=6, num_points=8)
    ds = xr.open_dataset(path, engine=engine())
    if reopened:
        ds.close()
    series(path, n_spectra=3, num_points=8, seed=5.0)
    with pytest.raises(karvo.FormatError, match="changed since it was opened"):
        ds.spectra.values
    ds.close()


def test_reads_hold_their_file_while_the_cache_drops_it(tmp_path, monkeypatch):
    # xarray releases before 2025 close an evicted file at once, even while
    # another thread reads from it: a file cache of one and two files read
    # from several threads evict each other all the time.
    from xarray.backends import file_manager
    monkeypatch.setattr(file_manager.FILE_CACHE, "_on_evict", lambda key, f: f.close())
    made = [series(tmp_path / ("run%d" % i), n_spectra=200, num_points=256, seed=i) for i in range(2)]
    errors, barrier = [], threading.Barrier(8)
    with xr.set_options(file_cache_maxsize=1):
        datasets = [xr.open_dataset(tmp_path / ("run%d" % i), engine=engine()) for i in range(2)]

        def work(k):
            barrier.wait()
            try:
                for j in range(30):
                    ds, sf = datasets[(k + j) % 2], made[(k + j) % 2]
                    np.testing.assert_array_equal(ds.spectra[j:j + 100].values,
                                                  expected_values(sf)[j:j + 100])
            except Exception as e:  # reported below
                errors.append(e)

        threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)            # threads take turns often
        try:
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            sys.setswitchinterval(interval)
        for ds in datasets:
            ds.close()
    assert errors == []
