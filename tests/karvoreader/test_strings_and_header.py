import io
import struct

import pytest

import karvoreader as kr
from conftest import CountingReader
from karvo_writer import FIELDS, pack_file_header, pack_string


@pytest.mark.parametrize("raw, text", [
    (b"ABC\0" + bytes(range(200, 226)), "ABC"),
    (b"\0abc", ""),
    (b"abc", "abc"),
    (b"A\xb0B\0", "AB"),
    (b"\x80\xffA\xfe", "A"),
    (b"\x01\t\x7f\0\x02", "\x01\t\x7f"),
    (b"  x  \0", "  x  "),
    (b"", ""),
    (b"\0", ""),
])
def test_decode_string(raw, text):
    assert kr.decode_string(raw) == text
    assert type(kr.decode_string(raw)) is str


@pytest.mark.parametrize("width", [1, 30, 64, 150, 256, 260])
def test_read_string_reads_exactly_its_width(width):
    body = pack_string(b"Hi\xe9!", width) if width >= 4 else b"H"
    f = io.BytesIO(body + b"tail")
    assert kr.read_string(f, width) == ("Hi!" if width >= 4 else "H")
    assert f.tell() == width
    assert f.read() == b"tail"


def test_read_string_zero_width_and_keywords():
    f = io.BytesIO(b"abc")
    assert kr.read_string(f, 0) == ""
    assert f.tell() == 0
    assert kr.read_string(max_len=2, f=f) == "ab"


def test_read_string_short_raises_unpack_error_at_end_of_stream():
    f = io.BytesIO(b"0123456789")
    with pytest.raises(struct.error, match="unpack requires a buffer of 30 bytes"):
        kr.read_string(f, 30)
    assert f.tell() == 10


def entries_of(n, extended=False):
    return [(2 + i, 1000 + 100 * i, 140 + i, 7 + i, 9 + i) for i in range(n)]


def test_file_header_fields_and_directory():
    data = pack_file_header(
        sti_id=b"Spectral Data", file_id=b"run \xff42", hard_eof=b"\x1a",
        file_type=11, version=65535, time=2**32 - 1, ex_time=12345,
        entries=[(325, 2**32 - 1, 2**32 - 1, 65535, 2**32 - 1), (2, 400, 140, 1, 2)],
        pad_byte=0x55, dropped_word=0xBEEF)
    f = CountingReader(data + b"rest")
    h = kr.FileHeader(f)
    assert f.sizes == [30, 256, 2, 16, 16, 16]
    assert f.tell() == 304 + 32
    assert list(vars(h)) == FIELDS["FileHeader"]
    assert (h.sti_id_string, h.file_id, h.hard_eof) == ("Spectral Data", "run 42", b"\x1a")
    assert (h.file_type, h.version, h.num_sections, h.time, h.ex_time) == \
        (11, 65535, 2, 2**32 - 1, 12345)
    assert [type(e) for e in h.sections] == [kr.IndexEntry, kr.IndexEntry]
    assert [list(vars(e).items()) for e in h.sections] == [
        [("section_type", 325), ("section_offset", 2**32 - 1),
         ("section_length", 2**32 - 1), ("index_unsigned", 65535),
         ("index_long", 2**32 - 1)],
        [("section_type", 2), ("section_offset", 400), ("section_length", 140),
         ("index_unsigned", 1), ("index_long", 2)]]


@pytest.mark.parametrize("hard_eof", [b"\0", b"\xff", b"A"])
def test_hard_eof_is_one_byte_bytes(hard_eof):
    h = kr.FileHeader(io.BytesIO(pack_file_header(hard_eof=hard_eof)))
    assert h.hard_eof == hard_eof and type(h.hard_eof) is bytes


def test_empty_directory_leaves_stream_at_304():
    f = io.BytesIO(pack_file_header(entries=[]) + b"x" * 50)
    h = kr.FileHeader(f)
    assert h.sections == [] and h.num_sections == 0 and f.tell() == 304


@pytest.mark.parametrize("sti_id, extended", [
    (b"Exte", True),
    (b"Spectral Exte Data", True),
    (b"x" * 26 + b"Exte", True),
    (b"Ex\xffte", True),
    (b"\x80E\x90xt\xa0e", True),
    (b"exte", False),
    (b"EXTE", False),
    (b"Ext", False),
    (b"Ext e", False),
    (b"ABC\0Exte", False),
    (b"", False),
])
def test_directory_form_chosen_by_identification_string(sti_id, extended):
    entries = [(2, 2**40 + 5 if extended else 5000, 140, 70000 if extended else 7, 3),
               (300, 999, 568, 1, 2)]
    data = pack_file_header(sti_id=sti_id, entries=entries, extended=extended)
    f = CountingReader(data)
    h = kr.FileHeader(f)
    size = 22 if extended else 16
    assert f.sizes == [30, 256, 2, 16, size, size]
    cls = kr.IndexEntryExtended if extended else kr.IndexEntry
    assert all(type(e) is cls for e in h.sections)
    assert [tuple(vars(e).values()) for e in h.sections] == entries


def test_index_entry_extended_is_an_index_entry_with_same_names():
    e = kr.IndexEntryExtended(io.BytesIO(b"\xff" * 22))
    assert isinstance(e, kr.IndexEntry)
    assert list(vars(e).items()) == [
        ("section_type", 2**16 - 1), ("section_offset", 2**64 - 1),
        ("section_length", 2**32 - 1), ("index_unsigned", 2**32 - 1),
        ("index_long", 2**32 - 1)]


@pytest.mark.parametrize("cut, block", [
    (0, 30), (29, 30), (30, 256), (285, 256), (286, 2), (287, 2),
    (288, 16), (303, 16), (304, 16), (304 + 16 * 2 + 15, 16)])
def test_short_header_or_directory_raises_unpack_error(cut, block):
    data = pack_file_header(entries=entries_of(3))[:cut]
    f = io.BytesIO(data)
    with pytest.raises(struct.error, match="unpack requires a buffer of %d bytes" % block):
        kr.FileHeader(f)
    assert f.tell() == len(data)


@pytest.mark.parametrize("extended", [False, True], ids=["compact", "extended"])
def test_directory_promising_more_entries_than_present(extended):
    # the third entry is one byte short
    data = pack_file_header(sti_id=b"Exte" if extended else b"Spectral Data File", entries=entries_of(2),
                            extended=extended, num_sections=3) + b"\0" * (21 if extended else 15)
    with pytest.raises(struct.error, match="22 bytes" if extended else "16 bytes"):
        kr.FileHeader(io.BytesIO(data))
