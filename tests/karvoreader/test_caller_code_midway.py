"""Python code that a caller can run in the middle of an operation (a rebound
name, a property, __hash__, __fspath__, an audit hook, gc.disable) must never
make the library use a freed object, nor make it change or keep state that it
must not.

Cases that could crash the interpreter run in a child under `-X dev` (debug
memory hooks: a freed object is overwritten at once), so that a relapse
fails one test and not the whole run."""
import array
import gc
import io
import sys

import pytest

import karvo_writer as W
import karvoreader as K
from conftest import assert_child_ok, run_python

BANNER = "karvoreader: compiled version"

PRELUDE = """
import array, gc, io, os, sys, weakref
sys.path[:0] = {sys_path!r}
import karvo_writer as W
{import_module}
path = {path!r}
SERIES = W.write_series(path, n_spectra=4, num_points=6)
"""


def run_child(tmp_path, body, *, dev=True, timeout=120, imported=True):
    """Runs body after PRELUDE in a fresh interpreter; returns its stdout.
    The child must print OK as its last line."""
    code = PRELUDE.format(sys_path=sys.path, path=str(tmp_path / "series.spa"),
                          import_module="import karvoreader as K" if imported else "") + body
    return assert_child_ok(run_python(code, dev=dev, cwd=str(tmp_path), timeout=timeout))


# --- owning references across caller code ------------------------------------

def test_decoder_that_unbinds_itself(tmp_path):
    # The series header's five text fields each look decode_string up anew:
    # the second look-up finds None.
    run_child(tmp_path, """
spa = K.SPAFile(path)
idx = spa.find_indextype(325)
class Decoder:
    def __call__(self, raw):
        K.decode_string = None     # drops the namespace's reference to this object
        return "x" * 40
K.decode_string = Decoder()
try:
    spa.read(idx)
except TypeError as e:
    assert str(e) == "'NoneType' object is not callable", e
else:
    raise AssertionError("no TypeError")
print("OK")
""")


def test_fspath_that_rebinds_the_header_class(tmp_path):
    # Opening the file runs __fspath__, which rebinds FileHeader and collects
    # the caller's class that read_basic_info had looked up.
    run_child(tmp_path, """
ORIG = K.FileHeader
def install():
    class Mine(ORIG):
        pass
    K.FileHeader = Mine
install()
class P:
    def __fspath__(self):
        if K.FileHeader is not ORIG:
            K.FileHeader = ORIG
            gc.collect()
        return path
spa = K.SPAFile(P())
assert type(spa.info).__name__ in ("Mine", "FileHeader"), type(spa.info)
assert spa.info.file_type == 11 and len(spa.info.sections) == spa.info.num_sections
assert spa.info.sections[spa.find_indextype(325)].section_type == 325
print("OK")
""")


def test_section_type_whose_hash_replaces_the_registry(tmp_path):
    # read() looks TYPE_CLASS up, then the key's __hash__ runs inside the
    # subscription and rebinds TYPE_CLASS: the old table must stay alive.
    run_child(tmp_path, """
spa = K.SPAFile(path)
idx = spa.find_indextype(325)
class Key:
    def __hash__(self):
        new = dict(K.TYPE_CLASS)
        junk = [{i: i} for i in range(200)]
        del junk                            # free lists full: a dropped table is freed for real
        K.TYPE_CLASS = new                  # the old table loses its last reference
        return hash(325)
    def __eq__(self, other):
        return other == 325
    def __index__(self):
        return 325
spa.info.sections[idx].section_type = Key()
K.TYPE_CLASS = {325: K.SeriesHeader}        # a caller's table: the namespace holds the only reference
rec = spa.read(idx)
assert type(rec) is K.SeriesHeader and rec.series_ID == "series" and rec.max_spectra == 4
print("OK")
""")


def test_class_whose_hash_replaces_class_type(tmp_path):
    # open_series looks CLASS_TYPE up, then the class's __hash__ (from its
    # metaclass) runs inside the subscription and rebinds CLASS_TYPE.
    run_child(tmp_path, """
class Meta(type):
    armed = False
    def __hash__(cls):
        if Meta.armed:
            Meta.armed = False
            new = dict(K.CLASS_TYPE)
            junk = [{i: i} for i in range(200)]
            del junk
            K.CLASS_TYPE = new
        return type.__hash__(cls)
def install():
    Mine = Meta("Mine", (K.SeriesHeader,), {})
    K.SeriesHeader = Mine
    K.CLASS_TYPE = {Mine: 325, K.DiskResidentArray: 300}
install()
Meta.armed = True
items = list(K.open_file(path).open_series())
assert not Meta.armed
assert items[0] == ({"first": 4000.0, "last": 400.0, "n": 6}, [{"first": 0.0, "last": 3.0, "n": 4}]), items[0]
assert [d["title"] for d, _ in items[1:]] == ["spectrum %d" % k for k in range(4)]
assert [v.tolist() for _, v in items[1:]] == [SERIES.values(k) for k in range(4)]
print("OK")
""")


AUDIT_HOOK = """
ARMED = []
RESTORE = []
def hook(event, args):
    # The host file object over the record's descriptor is made now: undo the
    # caller's binding and let the collector take what it held.
    if event == "open" and ARMED:
        ARMED.clear()
        name, value = RESTORE.pop()
        setattr(K, name, value)
        gc.collect()
sys.addaudithook(hook)
spa = K.SPAFile(path)
idx = spa.find_indextype(300)
"""


# What the caller binds: a reader function, or a subclass of a record class.
CALLER_BINDING = """
ORIG = K.{name}
def install():
    if ORIG is K.read_string:
        def mine(f, n):
            return ORIG(f, n)
    else:
        class mine(ORIG):
            pass
    K.{name} = mine
    RESTORE.append(("{name}", ORIG))
"""


@pytest.mark.parametrize("name,check", [
    ("read_string", "rec.link.filename == '' and rec.link.title == ''"),
    ("DataBlobFormat", "rec.link.data_blob_format.mini_hdr is True and rec.link.data_blob_format.bench_hdr is False"),
    ("Dimension", "[d.num_elements for d in rec.dimensions] == [4] and rec.dimensions[0].long_label == 'time'"),
], ids=["string", "nested record", "list of records"])
def test_audit_hook_at_the_host_file_object_rebinds_what_a_step_uses(tmp_path, name, check):
    run_child(tmp_path, AUDIT_HOOK + CALLER_BINDING.format(name=name) + """
install()
ARMED.append(1)
rec = spa.read(idx)
assert type(rec) is K.DiskResidentArray and rec.link.section_type == 302
assert %s
print("OK")
""" % check)


def test_mini_header_property_that_empties_the_pair(tmp_path):
    # A caller's read_linked_data yields (header, values) as a list; reading
    # the header's spec_title empties that list, which held the only
    # references to both items.
    run_child(tmp_path, """
BASE = K.DiskResidentArray
class Hdr:
    @property
    def spec_title(self):
        self.pair.clear()
        return "cleared"
def wrap(pair):
    h = Hdr()
    h.pair = [h, array.array(pair[1].typecode, pair[1])]
    return h.pair
class Mine(BASE):
    def read_linked_data(self, file, n_spectra):
        inner = BASE.read_linked_data(self, file, n_spectra)
        yield next(inner)
        while True:
            try:
                yield wrap(next(inner))
            except StopIteration:
                return
K.DiskResidentArray = Mine
K.TYPE_CLASS[300] = Mine
K.CLASS_TYPE[Mine] = 300
items = list(K.open_file(path).open_series())[1:]
assert [d for d, _ in items] == [{"title": "cleared"}] * 4
assert [v.tolist() for _, v in items] == [SERIES.values(k) for k in range(4)]
print("OK")
""")


# --- the collector switch -----------------------------------------------------

class SwitchWatchingReader:
    """A file object that notes the collector switch at every read, and may
    turn the collector off itself, as a caller's read() could."""

    def __init__(self, data, disable_at=None):
        self._b = io.BytesIO(data)
        self.seen = []
        self.reads = 0
        self.disable_at = disable_at

    def read(self, n=-1):
        self.reads += 1
        self.seen.append(gc.isenabled())
        if self.reads == self.disable_at:
            gc.disable()
        return self._b.read(n)


def directory_file(entries):
    return W.pack_file_header(entries=[(100, 0)] * entries)


@pytest.fixture
def collector_on():
    gc.enable()
    yield
    gc.enable()


@pytest.mark.parametrize("entries", [1001, 5000])
def test_large_directory_leaves_the_collector_switch_alone(collector_on, entries):
    f = SwitchWatchingReader(directory_file(entries))
    hdr = K.FileHeader(f)
    assert len(hdr.sections) == entries
    assert all(f.seen), "the collector was off during %d of %d reads" % (f.seen.count(False), len(f.seen))
    assert gc.isenabled()


@pytest.mark.parametrize("disable_at", [3, 500, 1000])
def test_caller_disabling_the_collector_midway_is_not_undone(collector_on, disable_at):
    f = SwitchWatchingReader(directory_file(1001), disable_at=disable_at)
    hdr = K.FileHeader(f)
    assert len(hdr.sections) == 1001
    assert not gc.isenabled(), "the caller's gc.disable() was undone"


def test_large_directory_entries_are_collectable(write):
    # However the entries are made, they end up as ordinary tracked objects.
    spa = K.SPAFile(write(directory_file(3000)))
    assert all(gc.is_tracked(e) for e in spa.info.sections[::100])
    assert gc.is_tracked(spa.info.sections)


# --- state per module object ----------------------------------------------------

# A second module object beside the first (OLD).
REIMPORT = """
OLD = K
del sys.modules["karvoreader"]
import karvoreader as NEW
"""


def test_reimported_module_has_its_own_namespace(tmp_path):
    out = run_child(tmp_path, REIMPORT + """
assert NEW is not OLD and NEW.SeriesHeader is not OLD.SeriesHeader
NEW.decode_string = lambda raw: "<new>"
raw = W.pack_series_header(series_ID=b"abc")
assert NEW.SeriesHeader(io.BytesIO(raw)).series_ID == "<new>"
spa = NEW.SPAFile(path)
assert spa.read(spa.find_indextype(325)).series_ID == "<new>"
# the first module keeps its own names
assert OLD.SeriesHeader(io.BytesIO(raw)).series_ID == "abc"
spa = OLD.SPAFile(path)
assert spa.read(spa.find_indextype(325)).series_ID == "series"
print("OK")
""")
    assert out.count(BANNER) == 1, out


def test_streams_and_classes_reach_the_namespace_of_their_module(tmp_path):
    run_child(tmp_path, REIMPORT + """
class Loud(NEW.SeriesSpecheader):
    def __init__(self, f):
        super().__init__(f)
        self.spec_title = self.spec_title.upper()
NEW.SeriesSpecheader = Loud
titles_new = [d["title"] for d, _ in list(NEW.open_file(path).open_series())[1:]]
titles_old = [d["title"] for d, _ in list(OLD.open_file(path).open_series())[1:]]
assert titles_new == ["SPECTRUM %d" % k for k in range(4)], titles_new
assert titles_old == ["spectrum %d" % k for k in range(4)], titles_old
print("OK")
""")


def test_banner_once_per_process_across_reimports(tmp_path):
    out = run_child(tmp_path, """
for _ in range(3):
    del sys.modules["karvoreader"]
    import karvoreader
print("OK")
""")
    assert out.splitlines().count(BANNER) == 1, out


# --- cycle collection -------------------------------------------------------------

@pytest.mark.parametrize("setup,after_start", [
    ("", ""),
    # A caller's mini header class sends the stream through a host file
    # object, which names the path object; then only the open file names it.
    ("class Mine(K.SeriesSpecheader): pass\nK.SeriesSpecheader = Mine", "next(gen); spa.filename = path"),
], ids=["native file", "host file object"])
def test_cycle_through_the_stream_path_object_is_collected(tmp_path, setup, after_start):
    run_child(tmp_path, setup + """
def fds():
    return set(os.listdir("/proc/self/fd"))
class P:
    def __fspath__(self):
        return path
before = fds()
p = P()
spa = K.SPAFile(p)
dra = spa.read(spa.find_indextype(300))
gen = dra.read_linked_data(spa, 4)
next(gen)                       # the stream's file is open now
""" + after_start + """
p.keep = gen                    # path object -> stream -> open file -> path object
gone = weakref.ref(p)
del p, spa, dra, gen
gc.collect()
assert gone() is None, "the cycle through the path object was not collected"
assert fds() == before, "the stream's file descriptor stayed open"
print("OK")
""")


# --- throw() with something that is not an exception ------------------------------

def _python_throw_behaviour(bad_args):
    def gen():
        yield 1
        yield 2
    g = gen()
    next(g)
    with pytest.raises(TypeError) as info:
        g.throw(*bad_args)
    return str(info.value), next(g)


def _streams(path):
    spa = K.SPAFile(path)
    dra = spa.read(spa.find_indextype(300))
    return {
        "find_indextypes": lambda: spa.find_indextypes(302),
        "read_linked_data": lambda: dra.read_linked_data(spa, 4),
        "open_series": lambda: K.open_file(path).open_series(),
    }


@pytest.mark.parametrize("started", [True, False], ids=["started", "fresh"])
@pytest.mark.parametrize("stream", ["find_indextypes", "read_linked_data", "open_series"])
@pytest.mark.parametrize("bad_args", [(5,), ("text",), (ValueError("v"), "separate value")],
                         ids=["int", "str", "instance-with-value"])
def test_throw_of_a_non_exception_leaves_the_stream_as_it_was(write, stream, bad_args, started):
    s = W.SeriesFile(n_spectra=4, num_points=3, section_number=2)
    path = write(s.to_bytes())
    want_message, _ = _python_throw_behaviour(bad_args)
    reference = [plain(item) for item in _streams(path)[stream]()]
    g = _streams(path)[stream]()
    got = [plain(next(g))] if started else []
    with pytest.raises(TypeError) as info:
        g.throw(*bad_args)
    assert str(info.value) == want_message
    assert g.gi_suspended == started
    got += [plain(item) for item in g]
    assert len(reference) >= 3 and got == reference


def plain(item):
    """A stream item as comparable values: records by class name and fields."""
    if isinstance(item, dict):
        return {plain(k): plain(v) for k, v in item.items()}
    if isinstance(item, (tuple, list)):
        return type(item)(plain(v) for v in item)
    if isinstance(item, array.array):
        return (item.typecode, item.tolist())
    if isinstance(item, type):
        return item.__name__
    if hasattr(item, "__dict__"):
        return (type(item).__name__, plain(vars(item)))
    return item


# --- fast paths honour what a caller set on a class ---------------------------------
# In a child: a class whose __new__ was set and deleted again keeps a generic
# slot for good, which would change the class for every later test.

CLASS_HOOK = """
single = path + ".single"
W.write_series(path, n_spectra=4, num_points=3, bench_hdr=True)
with open(single, "wb") as fh:
    fh.write(W.single_spectrum_file(values=[1.0, 2.0]))
def read_through(road, name):
    # A record of class `name`, read natively: by SPAFile.read, or as one of
    # the linked-data stream's headers.
    if road == "read":
        spa = K.SPAFile(single if name == "MainSpectralHeader" else path)
        return spa.read(spa.find_indextype(K.CLASS_TYPE[getattr(K, name)]))
    spa = K.SPAFile(path)
    dra = spa.read(spa.find_indextype(300))
    return next(dra.read_linked_data(spa, 4))[getattr(K, name)]
cls = getattr(K, {name!r})
seen = []
"""


@pytest.mark.parametrize("name,road,fields", [
    ("MainSpectralHeader", "read", 35), ("MainSpectralHeader", "stream", 35),
    ("SeriesHeader", "read", 26), ("BenchInfo", "stream", 14)])
def test_class_level_setattr_is_honoured(tmp_path, name, road, fields):
    run_child(tmp_path, CLASS_HOOK.format(name=name) + """
def counting(self, attr, value):
    seen.append(attr)
    object.__setattr__(self, attr, value)
cls.__setattr__ = counting
rec = read_through(%r, %r)
assert type(rec) is cls
assert seen == list(vars(rec)) and len(seen) == %d, seen
print("OK")
""" % (road, name, fields))


@pytest.mark.parametrize("name,road", [("MainSpectralHeader", "read"), ("MainSpectralHeader", "stream"),
                                       ("SeriesHeader", "read"), ("DiskResidentArray", "read"),
                                       ("BenchInfo", "stream"), ("IndexEntry", "directory")])
def test_class_level_new_is_honoured(tmp_path, name, road):
    run_child(tmp_path, CLASS_HOOK.format(name=name) + """
def new(klass, *args, **kwargs):
    obj = object.__new__(klass)
    seen.append(obj)
    return obj
cls.__new__ = staticmethod(new)
if %r == "directory":
    spa = K.SPAFile(path)
    assert seen == spa.info.sections and len(seen) == spa.info.num_sections
else:
    rec = read_through(%r, %r)
    assert seen and seen[-1] is rec
print("OK")
""" % (road, road, name))


# --- a FIFO is opened once ------------------------------------------------------------

FIFO_STREAM = """
import ctypes, errno, struct, threading
fifo = path + ".fifo"
os.mkfifo(fifo)
libc = ctypes.CDLL(None, use_errno=True)
watch = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
# Each read-only open of the FIFO ends in one IN_CLOSE_NOWRITE. inotify merges
# an event into an identical one just before it, so opens (IN_OPEN) are
# watched too: they keep two closes apart.
assert watch >= 0 and libc.inotify_add_watch(watch, os.fsencode(fifo), 0x30) >= 0
def reader_closes():
    n = 0
    while True:
        try:
            buf = os.read(watch, 65536)
        except BlockingIOError:
            return n
        at = 0
        while at < len(buf):
            _wd, mask, _cookie, length = struct.unpack_from("iIII", buf, at)
            n += bool(mask & 0x10)
            at += 16 + length
with open(path, "rb") as fh:
    DATA = fh.read(4096)
done = threading.Event()
def writer():
    # One writer that holds the FIFO open until the reader is through with it.
    fd = os.open(fifo, os.O_WRONLY)
    try:
        os.write(fd, DATA)
    except OSError:
        pass
    done.wait(20)
    os.close(fd)
spa = K.SPAFile(path)
dra = spa.read(spa.find_indextype(300))
t = threading.Thread(target=writer, daemon=True)
t.start()
spa.filename = NAME
err = None
try:
    next(dra.read_linked_data(spa, 4))
except OSError as e:
    err = e
done.set()
t.join(20)
assert not t.is_alive()
# A pipe can't seek to the data section: if that is the outcome, it is the host's error.
assert err is None or isinstance(err, io.UnsupportedOperation) or err.errno == errno.ESPIPE, repr(err)
n = reader_closes()
assert n == 1, "the reader opened the FIFO %d times" % n
"""


def test_fifo_as_a_stream_file_is_opened_once(tmp_path):
    run_child(tmp_path, "NAME = path + '.fifo'" + FIFO_STREAM + "print('OK')\n")


def test_fifo_named_by_a_path_object_is_named_once(tmp_path):
    # The name that was checked is the name that is read: __fspath__ is asked once.
    run_child(tmp_path, """
calls = []
class P:
    def __fspath__(self):
        calls.append(1)
        return path + ".fifo"
NAME = P()
""" + FIFO_STREAM + """
assert len(calls) == 1, calls
print("OK")
""")


# --- read_string honours a rebound decode_string ----------------------------------------

@pytest.fixture
def bracketing_decoder():
    orig = K.decode_string
    K.decode_string = lambda s: "<" + orig(s) + ">"
    yield
    K.decode_string = orig


def test_read_string_uses_a_rebound_decode_string(bracketing_decoder):
    f = io.BytesIO(b"ab\0c")
    assert K.read_string(f, 4) == "<ab>"
    assert f.tell() == 4


@pytest.mark.parametrize("what,want", [
    ("file_id", "<>"),
    ("link title", "<t>"),
    ("dimension label", "<time>"),
    ("series titles", ["<spectrum %d>" % k for k in range(3)]),
])
def test_record_strings_use_a_rebound_decode_string(write, bracketing_decoder, what, want):
    path = write(W.series_file(n_spectra=3, num_points=2, link=dict(title=b"t")))
    spa = K.SPAFile(path)
    if what == "file_id":
        got = spa.info.file_id
    elif what == "link title":
        got = spa.read(spa.find_indextype(300)).link.title
    elif what == "dimension label":
        got = spa.read(spa.find_indextype(300)).dimensions[0].long_label
    else:
        got = [d["title"] for d, _ in list(K.open_file(path).open_series())[1:]]
    assert got == want


# --- smaller ones ---------------------------------------------------------------------------

def test_allocation_failures_leave_no_broken_name_cache(tmp_path):
    # Every allocation of a first walk fails in turn; afterwards, with memory
    # back, the walk must give the right result (a name the library failed to
    # make once is made again, not kept as nothing).
    run_child(tmp_path, """
import _testcapi
want = repr(list(K.open_file(path).open_series()))
other = path + ".2"
W.write_series(other, n_spectra=3, num_points=5, mini_header_type=1, bench_hdr=True)
want2 = None
def walk():
    spa = K.SPAFile(other)
    dra = spa.read(spa.find_indextype(300))
    return repr([list(dra.read_linked_data(spa, 3)), list(K.open_file(other).open_series())])
failures = 0
for n in range(0, 3000):
    _testcapi.set_nomemory(n, n + 1)
    try:
        walk()
    except Exception:          # MemoryError, or what a failed allocation made of another step
        failures += 1
        continue
    finally:
        _testcapi.remove_mem_hooks()
    break
else:
    raise AssertionError("never got through")
assert failures > 10, failures
for _ in range(3):
    got = walk()
    spa = K.SPAFile(other)
assert "spectrum 2" in got and "bench" not in got
print("OK")
""", dev=False, timeout=300)


@pytest.mark.skipif(sys.version_info[:3] == (3, 13, 0),
                    reason="3.13.0's PyDict_SetDefaultRef reports success when its table cannot grow, "
                           "and type() then crashes on the dictionary it left half made")
def test_failed_initialization_can_be_retried(tmp_path):
    # Initialization fails at each of its allocations in turn, from its first
    # use of `struct` or its printed line on; each failed import leaves
    # nothing half set, and the import that follows gives a complete,
    # working module.
    run_child(tmp_path, """
import _testcapi, builtins, struct as real_struct, types
at = [0]
armed = [False]
def arm():
    if armed[0]:
        armed[0] = False
        _testcapi.set_nomemory(at[0], at[0] + 1)
class ArmingStruct(types.ModuleType):
    def __getattribute__(self, name):
        arm()
        return getattr(real_struct, name)
real_print = builtins.print
def arming_print(*args, **kw):
    arm()
    real_print(*args, **kw)
sys.modules["struct"] = ArmingStruct("struct")
builtins.print = arming_print
failed = 0
for n in range(0, 3000):
    at[0] = n
    armed[0] = True
    try:
        import karvoreader
    except Exception:
        failed += 1
    finally:
        _testcapi.remove_mem_hooks()
        armed[0] = False
    sys.modules.pop("karvoreader", None)
sys.modules["struct"] = real_struct
builtins.print = real_print
assert failed > 10, failed
import karvoreader as M
items = list(M.open_file(path).open_series())
assert [d["title"] for d, _ in items[1:]] == ["spectrum %d" % k for k in range(4)]
assert list(M.CLASS_TYPE.values()) == [2, 325, 300]
assert M.SeriesSpecheaderVer3.__bases__ == (M.SeriesSpecheader,)
print("OK")
""", dev=False, timeout=300, imported=False)
