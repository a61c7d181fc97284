"""Text read a word at a time (every lane of the ASCII check), a file that
ends inside a spectrum on each road through a host file object, a caller's
mini header class, keyword names built at run time, streams that hold
nothing after their end, and string widths taken from the module's
constants."""
import array
import gc
import io
import os
import struct

import pytest

import karvo_writer as W
import karvoreader as K


@pytest.fixture
def restore_names():
    """Puts back every module name a test rebinds."""
    saved = dict(vars(K))
    yield
    for name in list(vars(K)):
        if name not in saved:
            delattr(K, name)
    for name, value in saved.items():
        if vars(K).get(name) is not value:
            setattr(K, name, value)


# --- text with bytes of 128 and above in any lane of an 8-byte word -------------

def with_high_byte(text, positions, width):
    """A field of `width` bytes: `text`, padded with letters, with 0xB0 put at
    each of `positions`; and the text a reader must give for it."""
    raw = bytearray((text + "abcdefghijklmnopqrstuvwxyz" * 12)[:width].encode())
    for p in positions:
        raw[p] = 0xB0
    if width > max(positions) + 2:
        raw[max(positions) + 2] = 0          # a NUL after the last high byte
    raw = bytes(raw)
    return raw, bytes(b for b in raw.split(b"\0")[0] if b < 128).decode("ascii")


POSITIONS = [(7,), (15,), (7, 15), (23, 31, 39, 47, 55), (63,), (0,), (6,), (8,), (1, 9, 17)]


def assert_plain(got, want):
    # ord() reads the stored code points: a text marked ASCII that holds a
    # byte of 128 or more is caught here even where isascii() would be fooled.
    assert max(map(ord, got), default=0) < 128
    assert got == want


@pytest.mark.parametrize("positions", POSITIONS, ids=str)
def test_decode_and_read_string(positions):
    raw, want = with_high_byte("", positions, 64)
    assert_plain(K.decode_string(raw), want)
    assert_plain(K.read_string(io.BytesIO(raw), 64), want)


def test_the_temperature_label():
    assert_plain(K.decode_string(b"Temp 25\xb0C"), "Temp 25C")
    assert_plain(K.decode_string(b"Temp 25\xb0C, 1 bar\xb0\xb0\xb0\xb0\xb0\xb0\xb0\xb0"), "Temp 25C, 1 bar")


@pytest.mark.parametrize("positions", POSITIONS, ids=str)
def test_record_text_fields(write, positions):
    file_id, want_id = with_high_byte("run ", positions, 256)
    series_id, want_series = with_high_byte("ser ", [p for p in positions if p < 64], 64)
    label, want_label = with_high_byte("t ", positions, 150)
    path = write(W.SeriesFile(n_spectra=1, num_points=2, series=dict(series_ID=series_id),
                              dimensions=[dict(num_elements=1, long_label=label)]).to_bytes())
    with open(path, "r+b") as fh:             # the file header's identifier
        fh.seek(30)
        fh.write(file_id)
    spa = K.SPAFile(path)
    assert_plain(spa.info.file_id, want_id)
    assert_plain(spa.read(spa.find_indextype(325)).series_ID, want_series)
    assert_plain(spa.read(spa.find_indextype(300)).dimensions[0].long_label, want_label)
    with open(path, "rb") as fh:
        assert_plain(K.FileHeader(fh).file_id, want_id)


@pytest.mark.parametrize("num_points", [5, 1024], ids=["one by one", "read ahead"])
@pytest.mark.parametrize("ver3", [False, True], ids=["v2", "v3"])
def test_spectrum_titles(write, num_points, ver3):
    titles = [with_high_byte("spectrum %d " % k, [(7 + 8 * k) % 64], 64) for k in range(8)]
    s = W.SeriesFile(n_spectra=8, num_points=num_points, mini_header_type=int(ver3),
                     titles=lambda k: titles[k][0])
    path = write(s.to_bytes())
    want = [t[1] for t in titles]
    got = [d["title"] for d, _ in list(K.open_file(path).open_series())[1:]]
    for g, w in zip(got, want):
        assert_plain(g, w)
    assert len(got) == 8
    spa = K.SPAFile(path)
    hdrs = [h for h, _ in list(spa.read(spa.find_indextype(300)).read_linked_data(spa, 8))[1:]]
    for h, w in zip(hdrs, want):
        assert_plain(h.spec_title, w)


# --- files that end inside a spectrum, on every road ---------------------------------

def cut_points(s, k):
    """Where to cut spectrum k, and what the read of it must raise:
    (name, file length, exception, struct.error's byte count)."""
    base = s.layout.spectrum_offset(k)
    mini = s.layout.mini_size
    values_at = base + mini
    half = s.num_points // 2 * s.element_size
    cuts = [("mid-values", values_at + half, EOFError, None),
            ("mid-value", values_at + half + 1, EOFError, None),
            ("0 into mini header", base, struct.error, 16),
            ("16 into mini header", base + 16, struct.error, 64),
            ("80 into mini header", base + 80, struct.error, 16)]
    if s.ver3:
        cuts.append(("96 into mini header", base + 96, struct.error, 4))
    else:
        cuts.append(("96 into mini header", base + 96, EOFError, None))
    return cuts


def bind_road(road):
    """Sends the streams down one road: natively, or through a host file
    object because a caller rebound a class."""
    if road == "native":
        return
    if road == "array":
        class Values(array.array):
            pass
        K.array = Values
        return
    base = getattr(K, road)

    class Mine(base):
        pass
    setattr(K, road, Mine)


ROADS = ["native", "MainSpectralHeader", "SeriesSpecheader", "SeriesSpecheaderVer3", "array"]
CUTS = ["mid-values", "mid-value", "0 into mini header", "16 into mini header", "80 into mini header",
        "96 into mini header"]


def read_until_error(stream_name, path):
    got = []
    if stream_name == "open_series":
        g = K.open_file(path).open_series()
        next(g)
    else:
        spa = K.SPAFile(path)
        g = spa.read(spa.find_indextype(300)).read_linked_data(spa, 4)
        next(g)
    with pytest.raises((EOFError, struct.error)) as info:
        for item in g:
            got.append(item)
    assert list(g) == []
    return got, info.value


# A caller's array class reads as the host's array does: a cut inside one
# value is its ValueError, not an end of file.
ROAD_CUTS = [(r, c) for r in ROADS for c in CUTS if (r, c) != ("array", "mid-value")]


@pytest.mark.parametrize("stream_name", ["read_linked_data", "open_series"])
@pytest.mark.parametrize("road,cut", ROAD_CUTS)
@pytest.mark.parametrize("ver3,num_points", [(False, 5), (True, 5), (False, 1024), (True, 1024)],
                         ids=["v2", "v3", "v2-ahead", "v3-ahead"])
def test_file_ending_inside_a_spectrum(write, fds, restore_names, stream_name, road, cut, ver3, num_points):
    s = W.SeriesFile(n_spectra=4, num_points=num_points, mini_header_type=int(ver3))
    _name, length, exc, count = dict((c[0], c) for c in cut_points(s, 2))[cut]
    path = write(s.to_bytes()[:length])
    bind_road(road)
    got, err = read_until_error(stream_name, path)
    assert type(err) is exc
    if count is not None:
        assert str(err) == "unpack requires a buffer of %d bytes" % count
    assert len(got) == 2
    for k, (first, values) in enumerate(got):
        assert list(values) == s.values(k)
        title = first["title"] if stream_name == "open_series" else first.spec_title
        assert title == s.title(k)


def pipe_with(data):
    r, w = os.pipe()
    os.write(w, data)
    os.close(w)
    return os.fdopen(r, "rb")


@pytest.mark.parametrize("ver3", [False, True], ids=["v2", "v3"])
@pytest.mark.parametrize("have", [0, 16, 80, 96, 99])
def test_mini_header_cut_short_in_a_pipe(ver3, have):
    data = W.pack_series_specheader(ver3=ver3, spec_title=b"in a pipe", num_scans=3)
    cls = K.SeriesSpecheaderVer3 if ver3 else K.SeriesSpecheader
    with pipe_with(data[:have]) as f:
        if have >= len(data):
            assert cls(f).spec_title == "in a pipe"
            return
        want = next(n for end, n in [(16, 16), (80, 64), (96, 16), (100, 4)] if have < end)
        with pytest.raises(struct.error, match="unpack requires a buffer of %d bytes" % want):
            cls(f)


@pytest.mark.parametrize("cut", [10, 300, 320, 335])
def test_file_header_cut_short_in_a_pipe(cut):
    data = W.pack_file_header(file_type=11, entries=[(325, 400), (300, 700)])
    with pipe_with(data[:cut]) as f:
        with pytest.raises(struct.error):
            K.FileHeader(f)
    with pipe_with(data) as f:
        assert [e.section_offset for e in K.FileHeader(f).sections] == [400, 700]


# --- a caller's mini header class, walked through a whole series ----------------------

@pytest.mark.parametrize("bound_as", ["SeriesSpecheader", "SeriesSpecheaderVer3", "both"])
@pytest.mark.parametrize("ver3", [False, True], ids=["v2", "v3"])
@pytest.mark.parametrize("num_points,element_size", [(3, 4), (1024, 4), (600, 8)])
def test_series_with_a_caller_mini_header_class(write, restore_names, bound_as, ver3, num_points, element_size):
    s = W.SeriesFile(n_spectra=6, num_points=num_points, element_size=element_size,
                     mini_header_type=int(ver3))
    path = write(s.to_bytes())
    made = []
    for name in (["SeriesSpecheader", "SeriesSpecheaderVer3"] if bound_as == "both" else [bound_as]):
        base = getattr(K, name)

        class Mine(base):
            def __init__(self, f):
                super().__init__(f)
                made.append(type(self))
                self.spec_title = self.spec_title.upper()
        setattr(K, name, Mine)
    in_use = K.SeriesSpecheaderVer3 if ver3 else K.SeriesSpecheader
    rebound = bound_as == "both" or bound_as == ("SeriesSpecheaderVer3" if ver3 else "SeriesSpecheader")
    items = list(K.open_file(path).open_series())
    assert len(items) == 7
    for k, (d, values) in enumerate(items[1:]):
        assert d == {"title": s.title(k).upper() if rebound else s.title(k)}
        assert values.tolist() == s.values(k)
    if rebound:
        assert made == [in_use] * 6


# --- keyword names made at run time --------------------------------------------------

def runtime(name):
    """The same text as `name`, built at run time (not interned)."""
    return "".join(list(name))


def keyword_calls(path):
    spa = K.SPAFile(path)
    idx = spa.find_indextype(300)
    dra = spa.read(idx)
    offset = spa.info.sections[idx].section_offset
    blob = io.BytesIO(W.pack_series_specheader(spec_title=b"kw"))
    return [
        ("SPAFile", K.SPAFile, {"filename": path}, lambda r: r.info.file_type == 11),
        ("find_indextype", spa.find_indextype, {"t": 300}, lambda r: r == idx),
        ("find_indextypes", spa.find_indextypes, {"t": 300}, lambda r: list(r) == [idx]),
        ("read", spa.read, {"index": idx}, lambda r: r.version == dra.version),
        ("read_offset", spa.read_offset, {"rclass": K.DiskResidentArray, "offset": offset},
         lambda r: r.link.section_type == 302),
        ("read_string", K.read_string, {"f": io.BytesIO(b"ab\0c"), "max_len": 4}, lambda r: r == "ab"),
        ("record", K.SeriesSpecheader, {"f": blob}, lambda r: r.spec_title == "kw"),
        ("read_linked_data", dra.read_linked_data, {"file": spa, "n_spectra": 2},
         lambda r: len(list(r)) == 3),
        ("Series", K.Series, {"karvo_file": spa}, lambda r: r.karvo_file is spa),
    ]


CALL_NAMES = ["SPAFile", "find_indextype", "find_indextypes", "read", "read_offset", "read_string",
              "record", "read_linked_data", "Series"]


@pytest.mark.parametrize("known", [True, False], ids=["known", "unknown"])
@pytest.mark.parametrize("which", CALL_NAMES)
def test_keywords_built_at_run_time(write, which, known):
    # Keyword names made at run time (not interned): a known one is matched, an unknown one refused.
    path = write(W.series_file(n_spectra=2, num_points=3))
    name, fn, kwargs, ok = next(c for c in keyword_calls(path) if c[0] == which)
    if known:
        assert ok(fn(**{runtime(k): v for k, v in kwargs.items()}))
    else:
        with pytest.raises(TypeError):
            fn(**{runtime(k) + runtime("x"): v for k, v in kwargs.items()})


def test_runtime_keyword_positional_only_functions(write):
    path = write(W.series_file(n_spectra=2, num_points=3))
    with pytest.raises(TypeError):
        K.open_file(**{runtime("filename"): path})
    with pytest.raises(TypeError):
        K.decode_string(**{runtime("s"): b"x"})


# --- streams that ended hold nothing ---------------------------------------------------

def stream_makers(path):
    spa = K.SPAFile(path)
    dra = spa.read(spa.find_indextype(300))
    return {"find_indextypes": lambda: spa.find_indextypes(302),
            "read_linked_data": lambda: dra.read_linked_data(spa, 4),
            "open_series": lambda: K.open_file(path).open_series()}


@pytest.mark.parametrize("stream_name", ["find_indextypes", "read_linked_data", "open_series"])
@pytest.mark.parametrize("how", ["exhausted", "closed", "closed midway"])
@pytest.mark.parametrize("kw", [dict(num_points=4), dict(num_points=1024, mini_header_type=1),
                                dict(num_points=0, mini_hdr=False)], ids=["small", "read ahead", "empty"])
def test_stream_holds_nothing_after_its_end(write, fds, stream_name, how, kw):
    path = write(W.series_file(n_spectra=4, section_number=2, **kw))
    g = stream_makers(path)[stream_name]()
    if how == "exhausted":
        items = list(g)
        assert len(items) >= 2
    elif how == "closed":
        g.close()
    else:
        next(g), next(g)
        g.close()
    assert not g.gi_suspended and not g.gi_running
    assert [o for o in gc.get_referents(g) if o is not type(g)] == []  # its type: each instance holds it
    with pytest.raises(StopIteration):
        next(g)
    fds.assert_clean()


# --- string widths follow a rebound constant -----------------------------------------

def shrink(data, start, full, width):
    """data with the field of `full` bytes at `start` cut (or padded) to `width`."""
    field = data[start:start + full]
    field = field[:width] if width <= full else field + b"\0" * (width - full)
    return data[:start] + field + data[start + full:]


LINK_TITLE_AT = 16 + 4 + 16 + 260       # inside the link record
DRA_LINK_AT = 12


def file_with_widths(width):
    """A series file whose file_id and link title are `width` bytes wide."""
    dra = W.pack_disk_resident_array(link=dict(title=b"the link title"[:width]),
                                     dimensions=[dict(num_elements=7, long_label=b"after")])
    dra = shrink(dra, DRA_LINK_AT + LINK_TITLE_AT, 256, width)
    header_len = 304 + 16 - 256 + width
    header = W.pack_file_header(file_id=b"the file id"[:width], file_type=11,
                                entries=[(300, header_len, len(dra))])
    return shrink(header, 30, 256, width) + dra


@pytest.mark.parametrize("width", [0, 5, 64, 300])
def test_file_id_length_sets_every_field_that_uses_it(write, restore_names, width):
    data = file_with_widths(width)
    K.FILE_ID_LENGTH = width
    path = write(data)
    spa = K.SPAFile(path)
    assert spa.info.file_id == "the file id"[:width]
    assert [(e.section_type, e.section_offset) for e in spa.info.sections] == [(300, 304 + 16 - 256 + width)]
    for dra in (spa.read(0), K.DiskResidentArray(io.BytesIO(data[spa.info.sections[0].section_offset:]))):
        assert dra.link.title == "the link title"[:width]
        assert dra.num_dimensions == 1 and dra.dimensions[0].num_elements == 7
        assert dra.dimensions[0].long_label == "after"
    link = io.BytesIO(data[spa.info.sections[0].section_offset + DRA_LINK_AT:])
    assert K.LinkToData(link).title == "the link title"[:width]
    assert link.tell() == 552 - 256 + width


@pytest.mark.parametrize("name,width", [("MAX_PATH", 8), ("ST_ID_LENGTH", 40)])
def test_other_width_constants(restore_names, name, width):
    setattr(K, name, width)
    if name == "MAX_PATH":
        link = shrink(W.pack_link_to_data(filename=b"a.spa", title=b"T"), 36, 260, width)
        rec = K.LinkToData(io.BytesIO(link))
        assert (rec.filename, rec.title) == ("a.spa", "T")
    else:
        hdr = shrink(W.pack_file_header(sti_id=b"Spectral Data File", file_type=11), 0, 30, width)
        rec = K.FileHeader(io.BytesIO(hdr))
        assert (rec.sti_id_string, rec.file_type) == ("Spectral Data File", 11)
