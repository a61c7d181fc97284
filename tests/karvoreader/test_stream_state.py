"""The streams' state: one owner for the linked-data stream's state, what the
streams hold (for the cycle collector, and after they end), throw(), and the
file a stream opens.  Cases that crashed the interpreter run in a child."""
import array
import gc
import os
import sys

import pytest

import karvo_writer as W
import karvoreader as K
from conftest import assert_child_ok, open_fds, run_python


def run_child(body, *args):
    """Runs `body` in a fresh interpreter under -X dev; it must print OK."""
    assert_child_ok(run_python(body, *args, dev=True))


def series_path(tmp_path, **kw):
    path = str(tmp_path / "s.spa")
    return path, W.write_series(path, **kw)


def linked(path, n):
    spa = K.SPAFile(path)
    return spa.read(spa.find_indextype(300)).read_linked_data(spa, n)


def inner_streams(stream):
    return [o for o in gc.get_referents(stream) if type(o).__name__ == "generator"]


# --- one state for both forms of request ----------------------------------

@pytest.mark.parametrize("kw", [dict(num_points=2048),                  # read ahead
                                dict(num_points=2048, mini_header_type=1),
                                dict(num_points=3)])                    # one at a time
def test_items_asked_of_the_inner_stream_mid_walk_are_the_next_spectra(tmp_path, fds, kw):
    # The series stream walks its linked-data stream; a caller who reaches
    # that stream (gc.get_referents) and asks it for items gets the next
    # spectra, and the walk goes on after them: one position, one count.
    path, s = series_path(tmp_path, n_spectra=20, **kw)
    g = K.open_file(path).open_series()
    next(g)
    assert next(g)[0]["title"] == s.title(0)
    (inner,) = inner_streams(g)
    for k in (1, 2):
        hdr, values = next(inner)
        assert hdr.spec_title == s.title(k) and values.tolist() == s.values(k)
    rest = list(g)
    assert [t["title"] for t, _ in rest] == [s.title(k) for k in range(3, 20)]
    assert [v.tolist() for _, v in rest] == [s.values(k) for k in range(3, 20)]
    assert list(inner) == []
    fds.assert_clean()


def test_spectra_read_ahead_are_arrays_of_their_own(tmp_path):
    path, s = series_path(tmp_path, n_spectra=6, num_points=2048)
    g = K.open_file(path).open_series()
    next(g)
    got = [v for _, v in g]
    for v in got:
        v[0] = -1.0
        v.append(0.5)              # resizable: not a view of a shared buffer
    assert [v.tolist()[1:-1] for v in got] == [s.values(k)[1:] for k in range(6)]


# --- what a stream holds ---------------------------------------------------

def streams(path, n):
    spa = K.SPAFile(path)
    return {
        "find_indextypes": lambda: spa.find_indextypes(300),
        "read_linked_data": lambda: linked(path, n),
        "open_series": lambda: K.open_file(path).open_series(),
    }


@pytest.mark.parametrize("kind", ["find_indextypes", "read_linked_data", "open_series"])
@pytest.mark.parametrize("n, num_points", [(3, 4), (40, 2048), (0, 4)])
def test_a_stream_that_ended_holds_nothing(tmp_path, fds, kind, n, num_points):
    path, _ = series_path(tmp_path, n_spectra=n, num_points=num_points)
    g = streams(path, n)[kind]()
    next(g)
    assert g.gi_suspended and gc.get_referents(g)
    list(g)
    assert not g.gi_suspended and not g.gi_running
    assert [o for o in gc.get_referents(g) if o is not type(g)] == []  # its type: each instance holds it
    fds.assert_clean()


class PathKeeper:
    """A caller's path object that keeps whatever it is given."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("host_file", [False, True], ids=["native", "host-file"])
def test_a_cycle_through_the_path_object_is_collected(tmp_path, fds, monkeypatch, host_file):
    # stream -> its open file -> the caller's path object -> the stream:
    # only the stream knows of the open file, so it must show the collector
    # the path object (and the host file object, which names the path too).
    path, s = series_path(tmp_path, n_spectra=3, num_points=4)
    if host_file:   # a caller's class: the file is read through a host file object
        monkeypatch.setattr(K, "SeriesSpecheader", type("Mini", (K.SeriesSpecheader,), {}))
    before = open_fds()
    spa = K.SPAFile(path)
    dra = spa.read(spa.find_indextype(300))
    keeper = PathKeeper(path)
    spa.filename = keeper
    g = dra.read_linked_data(spa, 3)
    next(g)
    keeper.stream = g
    spa.filename = path            # the path object is now held by the open file alone
    assert len(open_fds()) == len(before) + 1
    del keeper, g
    gc.collect()
    assert open_fds() == before


# --- throw() -----------------------------------------------------------------

@pytest.mark.parametrize("kind", ["find_indextypes", "read_linked_data", "open_series"])
@pytest.mark.parametrize("args, message", [
    ((42,), "exceptions must be classes or instances deriving from BaseException, not int"),
    (("ValueError",), "not str"),
    ((ValueError("x"), 1), "instance exception may not have a separate value"),
])
def test_throw_of_a_non_exception_leaves_the_stream_as_it_was(tmp_path, fds, kind, args, message):
    path, _ = series_path(tmp_path, n_spectra=3, num_points=4)
    make = streams(path, 3)[kind]
    want = [repr(x) for x in make()]
    g = make()
    got = [repr(next(g))]
    with pytest.raises(TypeError, match=message):
        g.throw(*args)
    assert g.gi_suspended
    got += [repr(x) for x in g]
    # items compare by their text: records show identities, arrays values
    assert [x.split(" object at ")[0] for x in got] == [x.split(" object at ")[0] for x in want]
    fds.assert_clean()


def test_throw_of_an_exception_still_ends_the_stream(tmp_path, fds):
    path, _ = series_path(tmp_path, n_spectra=3, num_points=4)
    for make in streams(path, 3).values():
        g = make()
        next(g)
        with pytest.raises(KeyError):
            g.throw(KeyError)
        assert list(g) == []
    fds.assert_clean()


# --- borrowed items of a caller's pair -----------------------------------------

def test_series_keeps_a_callers_pair_items_while_it_reads_the_title():
    # A caller's read_linked_data yields its pairs as lists, and the mini
    # header's spec_title empties the list: the values must survive.
    run_child("""
import array, gc
import karvo_writer as W, karvoreader as K
path = sys.argv[1]
W.write_series(path, n_spectra=3, num_points=4)

class Header:
    def __init__(self, pair, k):
        self.pair, self.k = pair, k
    @property
    def spec_title(self):
        pair, self.pair = self.pair, None
        pair.clear()
        gc.collect()
        return "t%d" % self.k

class Disk(K.DiskResidentArray):
    def read_linked_data(self, file, n):
        g = K.DiskResidentArray.read_linked_data(self, file, n)
        yield next(g)
        for k in range(n):
            pair = [None, array.array("f", [k, k + 0.5])]
            pair[0] = Header(pair, k)
            yield pair
            del pair

K.TYPE_CLASS[300] = Disk
items = list(K.open_file(path).open_series())[1:]
assert [(t, v.tolist()) for t, v in items] == \\
    [({"title": "t%d" % k}, [k, k + 0.5]) for k in range(3)], items
print("OK")
""", "/tmp/karvo-pair-%d.spa" % os.getpid())


# --- the stream's file -------------------------------------------------------

def test_a_fifo_named_as_a_streams_file_is_opened_once(tmp_path):
    # A pipe is read through a host file object: made over the descriptor
    # that the stream opened, not by opening the name a second time.  (The
    # seek to the data section then fails, as a pipe can't seek.)
    run_child("""
import io, os
import karvo_writer as W, karvoreader as K
base = sys.argv[1]
W.write_series(base + "/s.spa", n_spectra=2, num_points=4)
fifo = base + "/pipe"
os.mkfifo(fifo)
writer = os.open(fifo, os.O_RDWR)   # the stream's open doesn't wait for a writer
fds = sorted(os.listdir("/proc/self/fd"))
opened = []
sys.addaudithook(lambda event, args: opened.append(args[0]) if event == "open" else None)
spa = K.SPAFile(base + "/s.spa")
dra = spa.read(spa.find_indextype(300))
spa.filename = fifo
g = dra.read_linked_data(spa, 2)
del opened[:]
try:
    next(g)
except io.UnsupportedOperation:
    pass
assert fifo not in opened, opened
assert sorted(os.listdir("/proc/self/fd")) == fds
print("OK")
""", str(tmp_path))


@pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="no /dev/zero")
def test_a_device_is_read_through_a_host_file_object_of_the_same_name(tmp_path, fds, monkeypatch):
    # /dev/zero can seek: the stream reads zeros through the host file object,
    # which carries the name the caller gave, as if the host had opened it.
    path, _ = series_path(tmp_path, n_spectra=2, num_points=4)
    spa = K.SPAFile(path)
    dra = spa.read(spa.find_indextype(300))
    names = []
    original = K.read_string

    def read_string(f, n):
        names.append(f.name)
        return original(f, n)

    spa.filename = "/dev/zero"
    monkeypatch.setattr(K, "read_string", read_string)
    g = dra.read_linked_data(spa, 2)
    headers = next(g)
    assert headers[K.MainSpectralHeader].num_points == 0
    hdr, values = next(g)
    assert hdr.spec_title == "" and values.tolist() == []
    assert names and set(names) == {"/dev/zero"}
    g.close()
    fds.assert_clean()


@pytest.mark.parametrize("points", [16, 1024, 4096])  # 1,024 and 4,096 are read ahead in batches
@pytest.mark.parametrize("name", ["decode_string", "read_string"])
def test_titles_follow_a_text_reader_bound_mid_walk(tmp_path, points, name):
    p, _ = series_path(tmp_path, n_spectra=12, num_points=points, mini_header_type=3)
    original = getattr(K, name)
    wrapped = ((lambda s: "<" + original(s) + ">") if name == "decode_string"
               else (lambda f, n: "<" + original(f, n) + ">"))
    stream = K.open_file(p).open_series()
    next(stream)
    titles = [next(stream)[0]["title"] for _ in range(5)]
    setattr(K, name, wrapped)
    try:
        titles += [h["title"] for h, _values in stream]
    finally:
        setattr(K, name, original)
    assert titles == ["spectrum %d" % k for k in range(5)] + ["<spectrum %d>" % k for k in range(5, 12)]
