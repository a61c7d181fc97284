import io
import math
import random
import struct
import time
import tracemalloc

import pytest

import karvoreader as kr
from conftest import CountingReader
from karvo_writer import (FIELDS, SIZES, f32, pack_data_blob_format,
                          pack_dimension, pack_disk_resident_array,
                          pack_link_to_data, pack_series_specheader)

# Reference decoding of the fixed-size records: one struct format each, the
# "s" fields being string fields (text up to the first NUL, ASCII only).
FORMATS = {
    "IndexEntry": "<HIIHI",
    "IndexEntryExtended": "<HQIII",
    "MainSpectralHeader": "<IIIIfffIIIfIIIfIfIfIfffffIIIIIIIIII",
    "BenchInfo": "<IIIIIffIIIIffI",
    "SeriesHeader": "<H64sffffffIHIffHHIIHH32s32sH32s32sff",
    "Dimension": "<IQQfII150s150s",
    "SeriesSpecheader": "<IIff64sffIf",
    "SeriesSpecheaderVer3": "<IIff64sffIfI",
}
READS = {
    "IndexEntry": [16],
    "IndexEntryExtended": [22],
    "MainSpectralHeader": [140],
    "BenchInfo": [56],
    "SeriesHeader": [262],
    "Dimension": [32, 150, 150],
    "SeriesSpecheader": [16, 64, 16],
    "SeriesSpecheaderVer3": [16, 64, 16, 4],
    "DataBlobFormat": [4],
    "LinkToData": [16, 4, 16, 260, 256],
}


def text(raw):
    return bytes(c for c in raw.split(b"\0", 1)[0] if c < 128).decode("ascii")


def expected(name, data):
    vals = struct.unpack(FORMATS[name], data)
    return [(k, text(v) if isinstance(v, bytes) else v)
            for k, v in zip(FIELDS[name], vals)]


def same(a, b):
    """Equal values of equal type; floats compared bit for bit (NaN too)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or \
            struct.pack("<d", a) == struct.pack("<d", b)
    return a == b


def check_items(obj, items):
    got = list(vars(obj).items())
    assert [k for k, _ in got] == [k for k, _ in items]
    bad = [(k, v, w) for (k, v), (_, w) in zip(got, items) if not same(v, w)]
    assert not bad


def patterns(size):
    rnd = random.Random(size)
    yield bytes(size)
    yield b"\xff" * size
    yield bytes(range(256)) * (size // 256) + bytes(range(size % 256))
    for _ in range(3):
        yield bytes(rnd.getrandbits(8) for _ in range(size))
    # printable text with occasional NULs and high bytes, so the string
    # fields hold real text
    yield bytes(rnd.choice(b"ABCxyz 019\0\x80\xe9") for _ in range(size))


@pytest.mark.parametrize("name", sorted(FORMATS))
def test_fixed_records_decode_like_their_layout(name):
    cls = getattr(kr, name)
    size = SIZES[name]
    for data in patterns(size):
        f = CountingReader(data + b"NEXT")
        rec = cls(f)
        check_items(rec, expected(name, data))
        assert f.sizes == READS[name]
        assert f.tell() == size
        assert type(rec) is cls
    assert list(vars(cls(f=io.BytesIO(bytes(size))))) == FIELDS[name]


@pytest.mark.parametrize("name, field, raw, value", [
    ("MainSpectralHeader", "first_x", b"\x00\x00\x80\x3f", 1.0),
    ("MainSpectralHeader", "num_points", b"\xff" * 4, 2**32 - 1),
    ("MainSpectralHeader", "first_x", b"\x01\x00\xc0\x7f", math.nan),     # a NaN is kept
    ("MainSpectralHeader", "laser_freq", b"\x00\x00\x80\x7f", math.inf),
    ("MainSpectralHeader", "noise", b"\x00\x00\x80\xff", -math.inf),
    ("MainSpectralHeader", "duration", b"\x01\x00\x00\x00", 1),
    ("MainSpectralHeader", "SSP", b"\x01\x00\x00\x00", 1.401298464324817e-45),
    ("BenchInfo", "velocity", b"\x00\x00\x80\x3f", 1.0),
    ("BenchInfo", "AD_bits", b"\x0c\x00\x00\x00", 12),
    ("BenchInfo", "accessory_ID", b"\xff" * 4, 2**32 - 1),
    ("SeriesHeader", "series_type", b"\x45\x01", 325),
    ("SeriesHeader", "series_type", b"\xff\xff", 2**16 - 1),
    ("SeriesHeader", "max_spectra", b"\x05\x00\x00\x00", 5),
    ("SeriesHeader", "series_ID", b"A" * 64, "A" * 64),
    ("SeriesHeader", "z_long_label", b"a\x80b\0c" + b"d" * 27, "ab"),
    ("Dimension", "first_dim", b"\x01" + b"\0" * 7, 1),
    ("Dimension", "last_dim", b"\xff" * 8, 2**64 - 1),
    ("Dimension", "short_label", b"L" * 150, "L" * 150),
    ("Dimension", "long_label", b"\0" + b"x" * 149, ""),
    ("SeriesSpecheader", "spec_title", b"TenLetters\0junk" + b"z" * 49, "TenLetters"),
    ("SeriesSpecheader", "detector_ID", b"\xff" * 4, 2**32 - 1),
    ("SeriesSpecheaderVer3", "direction", b"\xff" * 4, 2**32 - 1),
])
def test_field_values(name, field, raw, value):
    offsets = {"first_x": 16, "num_points": 4, "laser_freq": 80, "noise": 24,
               "duration": 68, "SSP": 84, "velocity": 48, "AD_bits": 16,
               "accessory_ID": 52, "series_type": 0, "max_spectra": 90,
               "series_ID": 2, "z_long_label": 156, "first_dim": 4,
               "last_dim": 12, "short_label": 32, "long_label": 182,
               "spec_title": 16, "detector_ID": 88, "direction": 96}
    data = bytearray(SIZES[name])
    data[offsets[field]:offsets[field] + len(raw)] = raw
    got = getattr(getattr(kr, name)(io.BytesIO(bytes(data))), field)
    assert same(got, value)


@pytest.mark.parametrize("word, flags", [
    (0, ""), (0x06, "spectral_hdr bench_hdr"), (0x80, ""), (-1, "*"),
    (0x7F, "*"), (0x80000001, "mini_hdr"), (0x08, "interleaved"),
    (0x10, "line_data"), (0x20, "area_data"), (0x40, "depth_data"),
    (0xFFFFFF81, "mini_hdr")])
def test_data_blob_format_flags(word, flags):
    f = CountingReader(pack_data_blob_format(word))
    dbf = kr.DataBlobFormat(f)
    assert f.sizes == [4]
    names = FIELDS["DataBlobFormat"]
    want = names if flags == "*" else flags.split()
    assert list(vars(dbf).items()) == [(n, n in want) for n in names]
    assert all(type(v) is bool for v in vars(dbf).values())


def test_link_to_data():
    data = pack_link_to_data(link_type=1, section_type=2**32 - 1, section_number=4,
                             mini_header_type=2, data_blob_format=0x06,
                             offset_spectral_header=1, offset_bench_header=2,
                             offset_mini_header=3, offset_data_array=2**32 - 1,
                             filename=b"F\xe4" * 130, title=b"the title")
    f = CountingReader(data + b"more")
    link = kr.LinkToData(f)
    assert f.sizes == READS["LinkToData"] and f.tell() == 552
    items = list(vars(link).items())
    dbf = items.pop(4)
    assert dbf[0] == "data_blob_format" and type(dbf[1]) is kr.DataBlobFormat
    assert (dbf[1].spectral_hdr, dbf[1].bench_hdr, dbf[1].mini_hdr) == (True, True, False)
    assert items == [("link_type", 1), ("section_type", 2**32 - 1),
                     ("section_number", 4), ("mini_header_type", 2),
                     ("offset_spectral_header", 1), ("offset_bench_header", 2),
                     ("offset_mini_header", 3), ("offset_data_array", 2**32 - 1),
                     ("filename", "F" * 130), ("title", "the title")]
    assert list(vars(link)) == FIELDS["LinkToData"]


def test_mini_header_versions_from_same_bytes():
    data = pack_series_specheader(ver3=True, num_scans=3, start_time=2**32 - 1,
                                  temp=21.1, pressure=-1.5, spec_title=b"abc",
                                  x_position=0.1, y_position=2.0,
                                  detector_ID=9, pk_height=1e30, direction=5)
    f2, f3 = io.BytesIO(data), io.BytesIO(data)
    a, b = kr.SeriesSpecheader(f2), kr.SeriesSpecheaderVer3(f3)
    assert (f2.tell(), f3.tell()) == (96, 100)
    assert isinstance(b, kr.SeriesSpecheader) and not hasattr(a, "direction")
    assert list(vars(b).items()) == list(vars(a).items()) + [("direction", 5)]
    assert (a.temp, a.x_position, a.pk_height) == (f32(21.1), f32(0.1), f32(1e30))
    with pytest.raises(struct.error, match="4 bytes"):
        kr.SeriesSpecheaderVer3(io.BytesIO(data[:98]))
    assert kr.SeriesSpecheader(io.BytesIO(data[:98])).spec_title == "abc"


def dra_bytes(n_dims=2, **kw):
    dims = [dict(dimension_type=i, first_dim=10 * i, last_dim=2**64 - 1,
                 scale_dim=0.5, num_elements=i, unit_ID=3,
                 short_label=b"s%d" % i, long_label=b"long %d" % i)
            for i in range(n_dims)]
    link = dict(section_type=302, section_number=1, data_blob_format=3,
                title=b"t")
    return pack_disk_resident_array(568 + 332 * n_dims, 3, 8, link=link,
                                    dimensions=dims, **kw)


def test_disk_resident_array():
    f = CountingReader(dra_bytes() + b"after")
    d = kr.DiskResidentArray(f)
    assert f.sizes == [12] + READS["LinkToData"] + [4] + READS["Dimension"] * 2
    assert f.tell() == 568 + 664
    assert list(vars(d)) == FIELDS["DiskResidentArray"]
    assert (d.structure_size, d.version, d.array_element_size, d.num_dimensions) == \
        (1232, 3, 8, 2)
    assert type(d.link) is kr.LinkToData and d.link.section_number == 1
    assert d.link.data_blob_format.spectral_hdr is True
    assert type(d.dimensions) is list
    assert [(type(x), x.first_dim, x.scale_dim, x.long_label) for x in d.dimensions] == \
        [(kr.Dimension, 0, 0.5, "long 0"), (kr.Dimension, 10, 0.5, "long 1")]
    f = io.BytesIO(dra_bytes(0) + b"x")
    d = kr.DiskResidentArray(f=f)
    assert d.dimensions == [] and f.tell() == 568


def test_disk_resident_array_huge_dimension_count_fails_fast():
    """A count the bytes don't back fails as soon as they end: as fast as a
    count of 3 that they don't back either (timed in the same run)."""
    def refused(count):
        data = dra_bytes(2, num_dimensions=count)
        t = time.perf_counter()
        with pytest.raises(struct.error):
            kr.DiskResidentArray(io.BytesIO(data))
        return time.perf_counter() - t
    tracemalloc.start()
    try:
        huge = refused(2**32 - 1)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20                       # nothing sized by the count
    assert huge < 100 * max(refused(3) for _ in range(5)) + 1e-3


SHORT_CASES = [
    ("IndexEntry", 15, 16), ("IndexEntryExtended", 21, 22),
    ("MainSpectralHeader", 139, 140), ("MainSpectralHeader", 0, 140),
    ("BenchInfo", 55, 56), ("SeriesHeader", 261, 262),
    ("Dimension", 31, 32), ("Dimension", 100, 150), ("Dimension", 331, 150),
    ("DataBlobFormat", 3, 4), ("LinkToData", 15, 16), ("LinkToData", 18, 4),
    ("LinkToData", 35, 16), ("LinkToData", 295, 260), ("LinkToData", 551, 256),
    ("SeriesSpecheader", 15, 16), ("SeriesSpecheader", 79, 64),
    ("SeriesSpecheader", 95, 16), ("SeriesSpecheaderVer3", 99, 4),
    ("DiskResidentArray", 11, 12), ("DiskResidentArray", 300, 260),
    ("DiskResidentArray", 567, 4), ("DiskResidentArray", 590, 32),
    ("DiskResidentArray", 568 + 332 + 331, 150),
]


@pytest.mark.parametrize("name, cut, block", SHORT_CASES)
def test_short_read_fails_whole_record(name, cut, block):
    full = dra_bytes() if name == "DiskResidentArray" else \
        pack_dimension(long_label=b"x" * 150) if name == "Dimension" else \
        b"\x01" * 800
    f = io.BytesIO(full[:cut])
    with pytest.raises(struct.error, match="unpack requires a buffer of %d bytes" % block):
        getattr(kr, name)(f)
    assert f.tell() == cut


@pytest.mark.parametrize("name", sorted(READS) + ["DiskResidentArray", "FileHeader"])
def test_constructor_takes_one_stream(name):
    cls = getattr(kr, name)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls(io.BytesIO(), io.BytesIO())
    with pytest.raises(TypeError):
        cls(stream=io.BytesIO())


def test_records_are_plain_mutable_objects():
    d = kr.Dimension(io.BytesIO(pack_dimension(num_elements=3)))
    d.num_elements = "changed"
    d.extra = 1
    del d.unit_ID
    assert list(vars(d))[-1] == "extra" and "unit_ID" not in vars(d)
    other = kr.Dimension(io.BytesIO(pack_dimension(num_elements=3)))
    assert d != other and other == other and hash(other) == hash(other)
    assert repr(other).startswith("<karvoreader.Dimension object at 0x")


class OddReader:
    def __init__(self, result):
        self.result = result

    def read(self, n):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result(n)


@pytest.mark.parametrize("result, exc", [
    (lambda n: "x" * n, TypeError),
    (lambda n: None, TypeError),
    (lambda n: 5, TypeError),
    (lambda n: b"\0" * (n + 1), struct.error),
    (OSError("disk gone"), OSError),
    (KeyboardInterrupt(), KeyboardInterrupt),
])
@pytest.mark.parametrize("name", ["MainSpectralHeader", "Dimension", "LinkToData",
                                  "SeriesSpecheaderVer3", "DiskResidentArray",
                                  "FileHeader"])
def test_misbehaving_stream_errors_pass_through(name, result, exc):
    with pytest.raises(exc):
        getattr(kr, name)(OddReader(result))


@pytest.mark.parametrize("wrap", [bytearray, memoryview])
def test_stream_may_return_any_bytes_like(wrap):
    rec = kr.MainSpectralHeader(OddReader(lambda n: wrap(b"\x07" + bytes(n - 1))))
    assert rec.data_type == 7
    assert kr.read_string(OddReader(lambda n: wrap(b"ab\0c")), 4) == "ab"
