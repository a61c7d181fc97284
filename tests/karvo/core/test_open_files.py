"""The process's cache of open files: one open per file, bounded, closing
only files that no read holds, and checking the identity on every reuse."""
import os

import numpy as np
import pytest

import karvo
from karvo._core.open_files import OpenFiles, file_key
from xarray_files import expected_values, series


@pytest.fixture
def files(tmp_path):
    paths = [str(tmp_path / f"run{k}") for k in range(3)]
    written = [series(path, n_spectra=3, num_points=4, seed=10.0 * k) for k, path in enumerate(paths)]
    keys = []
    for path in paths:
        with karvo.open(path) as s:
            keys.append(file_key(s))
    return paths, keys, written


def test_a_file_is_opened_once_and_the_least_recent_idle_one_closed(files, fds):
    paths, keys, written = files
    cache = OpenFiles(maxsize=2)
    with cache.held(keys[0]) as first:
        for _ in range(3):
            with cache.held(keys[0]) as again:
                assert again is first
        # two more: the third is one too many, and the idle one used least
        # recently goes; the held one, used before both, stays
        with cache.held(keys[1]) as second:
            pass
        with cache.held(keys[2]) as third:
            np.testing.assert_array_equal(np.asarray(third), expected_values(written[2]))
        assert second.closed and not first.closed and not third.closed
    assert len(cache) == 2 and cache.opens == 3
    cache.clear()
    fds.assert_clean()


def test_a_file_dropped_while_read_is_closed_when_the_read_ends(files):
    _paths, keys, _ = files
    cache = OpenFiles()
    with cache.held(keys[0]) as s:
        cache.drop(keys[:1])
        assert not s.closed and len(cache) == 0      # the read goes on
    assert s.closed


def test_reuse_refuses_a_file_rewritten_in_place(files):
    paths, keys, _ = files
    cache = OpenFiles()
    with cache.held(keys[0]) as s:
        pass
    st = os.stat(paths[0])
    with open(paths[0], "r+b") as fh:                    # same size, in place
        fh.seek(st.st_size - 4)
        fh.write(np.float32(9.0).tobytes())
    os.utime(paths[0], ns=(st.st_atime_ns, st.st_mtime_ns + 10**9))
    with pytest.raises(karvo.FormatError, match="changed since it was opened"):
        with cache.held(keys[0]):
            pass
    assert s.closed and len(cache) == 0


def test_a_forked_child_starts_with_no_open_file(files):
    from karvo._core.open_files import OPEN_FILES
    _paths, keys, _ = files
    with OPEN_FILES.held(keys[0]):
        pid = os.fork()
        if pid == 0:
            os._exit(0 if len(OPEN_FILES) == 0 else 1)
        assert os.waitpid(pid, 0)[1] == 0
    OPEN_FILES.drop(keys)


def test_a_copy_of_a_key_whose_options_do_not_pickle_leaves_nothing_open(files, fds):
    import copy
    import dataclasses
    from karvo._core.open_files import FileKey
    paths, keys, written = files
    # another pickler (a cluster's) copies what pickle refuses: each copy is a key of its own
    hook = lambda: None  # noqa: E731
    key = FileKey(keys[0].kind, dataclasses.replace(keys[0].location, storage_options={"hook": hook}))
    cache = OpenFiles()
    for _ in range(3):
        with cache.held(copy.deepcopy(key)) as s:
            np.testing.assert_array_equal(np.asarray(s), expected_values(written[0]))
    assert len(cache) == 0
    fds.assert_clean()
