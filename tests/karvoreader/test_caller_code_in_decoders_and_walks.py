"""Caller code that runs in the middle of an operation (a decoder, a
finalizer, a path class) and what it may do to objects the library is using:
replace a class's constructor, drop the last reference to a module, resume a
stream from another thread.

Cases that could crash run in a child under `-X dev`, so that a relapse fails
one test and not the whole run."""
import sys

import karvo_writer as W
from conftest import assert_child_ok, run_python

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
    return assert_child_ok(run_python(code, dev=True, cwd=str(tmp_path), timeout=timeout))


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


# --- fast paths and a caller's data descriptors ------------------------------

import pytest  # noqa: E402

import karvoreader as K  # noqa: E402


class Recorded:
    """A property for a field: records what the reading stores through it."""

    def __init__(self, log, shown=lambda v: v):
        self.log, self.shown = log, shown

    def __set_name__(self, owner, name):
        self.name = name

    def __get__(self, obj, cls=None):
        return self if obj is None else self.shown(obj.__dict__["_" + self.name])

    def __set__(self, obj, value):
        self.log.append((type(obj).__name__, self.name, value))
        obj.__dict__["_" + self.name] = value


def with_field_descriptor(cls, name, descriptor):
    descriptor.__set_name__(cls, name)
    setattr(cls, name, descriptor)


# MainSpectralHeader is read by giving it a whole dictionary made from a template;
# SeriesHeader field by field: both must store through the class's property.
@pytest.mark.parametrize("cls_name, field, section", [
    ("MainSpectralHeader", "num_points", 2),
    ("SeriesHeader", "max_spectra", 325),
])
def test_a_property_on_a_field_runs_for_every_record(tmp_path, cls_name, field, section):
    path = tmp_path / "f.spa"
    if section == 2:
        path.write_bytes(W.single_spectrum_file(values=[1.0, 2.0]))
    else:
        W.write_series(str(path), n_spectra=2, num_points=6)
    cls, log = getattr(K, cls_name), []
    with_field_descriptor(cls, field, Recorded(log, shown=lambda v: ("seen", v)))
    try:
        spa = K.SPAFile(str(path))
        rec = spa.read(spa.find_indextype(section))
    finally:
        delattr(cls, field)
    assert log == [(cls_name, field, 2)]
    # stored where the property put it, not behind its back
    assert rec.__dict__["_" + field] == 2 and field not in rec.__dict__


@pytest.mark.parametrize("points", [6, 2048])  # read one by one, and read ahead
def test_a_property_on_the_mini_header_title_runs_in_a_series_walk(tmp_path, points):
    path = str(tmp_path / "s.spa")
    W.write_series(path, n_spectra=3, num_points=points)
    log = []
    with_field_descriptor(K.SeriesSpecheader, "spec_title", Recorded(log, shown=lambda v: "T:" + v))
    try:
        stream = K.open_file(path).open_series()
        next(stream)
        titles = [item[0]["title"] for item in stream]
    finally:
        del K.SeriesSpecheader.spec_title
    assert titles == ["T:spectrum %d" % i for i in range(3)]
    assert [v for _, _, v in log] == ["spectrum %d" % i for i in range(3)]


def test_a_field_attribute_that_becomes_a_data_descriptor_later(tmp_path):
    # A class attribute of a field's name whose own class gains __set__
    # after a first read: the record class itself is unchanged.
    path = tmp_path / "f.spa"
    path.write_bytes(W.single_spectrum_file(values=[1.0, 2.0]))

    class Late:
        def __get__(self, obj, cls=None):
            return self if obj is None else obj.__dict__.get("_num_points")

    K.MainSpectralHeader.num_points = Late()
    try:
        spa = K.SPAFile(str(path))
        spa.read(spa.find_indextype(2))
        Late.__set__ = lambda self, obj, v: obj.__dict__.__setitem__("_num_points", ("late", v))
        assert spa.read(spa.find_indextype(2)).num_points == ("late", 2)
    finally:
        del K.MainSpectralHeader.num_points


def test_a_stream_keeps_its_modules_names_when_resumed_inside_another_modules_call(tmp_path):
    # Two module objects, each with its own decoder; one's stream is resumed
    # from inside the other's operation, on another thread.
    out = run_child(tmp_path, """
M1 = K
del sys.modules["karvoreader"]
import karvoreader as M2
o1, o2 = M1.decode_string, M2.decode_string
M1.decode_string = lambda s: "M1:" + o1(s)
st = M1.open_file(path).open_series()
next(st)
got = []
def inner(s):
    got.append(next(st)[0]["title"])
    return "M2:" + o2(s)
M2.decode_string = inner
def worker():
    got.append(M2.read_string(io.BytesIO(b"ab"), 2))
    got.append(next(st)[0]["title"])
t = threading.Thread(target=worker); t.start(); t.join()
got.append(next(st)[0]["title"])
print(got)
print("OK")
""")
    assert "['M1:spectrum 0', 'M2:ab', 'M1:spectrum 1', 'M1:spectrum 2']" in out


def test_entry_constructor_replaced_while_a_directory_is_read(tmp_path):
    # A callback of the caller's replaces the entries' __init__ at the
    # collector's first run, whenever that comes: midway through a large
    # directory where allocations set the collector off, or only after it
    # (interpreters that collect between bytecodes). The entries already
    # being read natively keep the layout they started with.
    run_child(tmp_path, """
b = W.SpaBuilder(file_type=1)
b.add(2, W.pack_main_spectral_header(num_points=0))
entries = 20000
for i in range(1, entries):
    b.add_entry((100, 2)[i % 2], 304 + 16 * entries, length=140, index_unsigned=i & 0xFFFF, index_long=i)
big = os.path.join(os.path.dirname(path), "dir.spa")
with open(big, "wb") as fh:
    fh.write(b.build())
seen = [0]
def replace_midway(phase, info):
    if phase == "start" and armed:
        seen[0] += 1
        if seen[0] == 1:
            K.IndexEntry.__init__ = lambda self, f: None
            K.IndexEntryExtended.__init__ = lambda self, f: None
            junk = [bytearray(200) for _ in range(500)]
armed = False
gc.callbacks.append(replace_midway)
armed = True
spa = K.SPAFile(big)
armed = False
assert len(spa.info.sections) == entries and spa.info.sections[-1].section_type == (100, 2)[(entries - 1) % 2]
print("OK")
""")
