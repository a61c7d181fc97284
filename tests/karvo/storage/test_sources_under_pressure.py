"""Sources under pressure: file objects shared by several Files and threads
or read again from within their own reads, sizes out of range, objects
replaced under a cached listing or known by their time alone, cycles
through a File, and long reads that drop the blocks they hold."""
import io
import threading

import numpy as np
import pytest

import karvo
import karvo_writer as W
from karvo import _native

pytest.importorskip("fsspec")


def test_files_on_one_file_object_read_it_one_thread_at_a_time():
    """They share its position: a seek of one between a seek and a read of
    another would hand out the bytes of other spectra."""
    data = W.series_file(n_spectra=400, num_points=300)
    want = np.asarray(karvo.open(io.BytesIO(data)))

    class Meeting(io.BytesIO):
        """Its reads wait a while for a read of another thread: one that
        seeked meanwhile."""
        barrier = None

        def read(self, n=-1):
            if self.barrier is not None:
                try:
                    self.barrier.wait(0.5)
                except threading.BrokenBarrierError:
                    pass
            return super().read(n)

    fobj = Meeting(data)
    files = [karvo.open(fobj) for _ in range(2)]
    fobj.barrier = threading.Barrier(2)
    got = {}
    threads = [threading.Thread(target=lambda k=k: got.update({k: files[k][k * 300]})) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k in range(2):
        np.testing.assert_array_equal(got[k], want[k * 300])


def test_a_file_object_read_again_from_within_its_own_read_is_an_error():
    """Its read method (or a signal handler) reading the same file object
    through karvo would wait for itself for ever."""
    data = W.series_file(n_spectra=50, num_points=100)

    class Nested(io.BytesIO):
        def read(self, n=-1):
            if getattr(self, "series", None) is not None:
                series, self.series = self.series, None
                series[3]
            return super().read(n)

    fobj = Nested(data)
    s = karvo.open(fobj)
    fobj.series = karvo.open(fobj)  # another File on it, or this one: the same position
    done = []
    t = threading.Thread(target=lambda: done.append(pytest.raises(RuntimeError, s.__getitem__, 7)), daemon=True)
    t.start()
    t.join(60)
    assert done and "read again from within" in str(done[0].value)
    np.testing.assert_array_equal(s[7], np.asarray(karvo.open(io.BytesIO(data)))[7])  # and reads on after


@pytest.mark.parametrize("size", [-1, 2**63, 2**64, 2**64 + 300])
def test_a_size_out_of_range_is_refused(size):
    data = W.series_file(n_spectra=5, num_points=100)
    with pytest.raises(ValueError, match="out of range"):
        _native.open_fetching(lambda starts, ends: [data[a:b] for a, b in zip(starts, ends)], size, "mem://x")


def test_an_object_replaced_under_a_cached_listing_is_seen_anew(s3):
    """A process whose file system listed the folder (as a glob does) before
    the object was replaced must not take the listing's word for it: the one
    open reads no more, an open sees the new object, a copy of one opened
    before refuses it."""
    import pickle

    import fsspec
    url = s3.url("listed.kvr")
    s3.fs.pipe(url, W.series_file(n_spectra=40, num_points=64))
    s = karvo.open(url)
    fsspec.core.url_to_fs(url)[0].ls(s3.bucket)
    s3.fs.pipe(url, W.series_file(n_spectra=40, num_points=64, values=lambda k: [k + 1.0] * 64))
    # read before the next open, which drops the listing
    with pytest.raises(karvo.FormatError, match=f"{url}: the object changed since it was opened"):
        s[1]
    again = karvo.open(url)
    assert again.identity != s.identity and again[1][0] == 2.0
    with pytest.raises(karvo.FormatError, match=f"{url}: the object changed"):
        pickle.loads(pickle.dumps(s))


def test_an_object_of_a_web_server_without_etags_is_known_by_its_time(http_server):
    """Size alone would let a file rewritten with the same size pass for
    the one opened."""
    import os
    import pickle
    path = os.path.join(http_server.root, "no-etag.kvr")
    data = W.series_file(n_spectra=40, num_points=64)
    with open(path, "wb") as fh:
        fh.write(data)
    os.utime(path, (1e9, 1e9))
    http_server.etags = False
    try:
        s = karvo.open(http_server.url_of("no-etag.kvr"))
        os.utime(path, (2e9, 2e9))  # rewritten, same size
        with pytest.raises(karvo.FormatError, match="the object changed"):
            pickle.loads(pickle.dumps(s))
    finally:
        http_server.etags = True


def test_a_file_object_that_holds_its_series_is_collected():
    """A cycle through the native File (its fetch holds the file object) is
    one the collector frees."""
    import gc
    import weakref

    class Holding(io.BytesIO):
        pass

    fobj = Holding(W.series_file(n_spectra=5, num_points=100))
    fobj.series = karvo.open(fobj)
    gone = weakref.ref(fobj)
    del fobj
    gc.collect()
    assert gone() is None


def test_a_memory_map_reads_as_a_file_object(tmp_path):
    """Its seek returns None on older interpreters: the size is asked of tell()."""
    import mmap
    path = tmp_path / "f.kvr"
    path.write_bytes(W.series_file(n_spectra=5, num_points=100))
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        np.testing.assert_array_equal(np.asarray(karvo.open(m)), np.asarray(karvo.open(path)))


def test_a_read_larger_than_what_is_held_at_once_fetches_each_block_once():
    """Blocks are dropped along a read of more than 64 MiB: the look-ahead
    past its last block must not wrap round and fetch its first ones again."""
    data = W.series_file(n_spectra=1800, num_points=10000, values=lambda k: np.full(10000, k, np.float32))
    fetched = []

    def fetch(starts, ends):
        fetched.extend(zip(starts, ends))
        return [data[a:b] for a, b in zip(starts, ends)]

    f = _native.open_fetching(fetch, len(data), "mem://x")
    out = np.empty((1800, 10000), np.float32)
    fetched.clear()
    f.read_rows(out, 0, 1800)
    assert out[1799, 0] == 1799 and len(set(fetched)) == len(fetched)
