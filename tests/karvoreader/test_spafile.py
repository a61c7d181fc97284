import os
import pathlib
import struct

import pytest

import karvoreader as kr
from karvo_writer import (SpaBuilder, f32, pack_bench_info,
                          pack_main_spectral_header, pack_file_header,
                          single_spectrum_file)


def directory_file(types, extended=False):
    """A file whose directory holds one entry per type; entry i owns a main
    spectral header with num_points = i, so a read shows which one it got."""
    b = SpaBuilder(file_type=1, extended=extended)
    for i, t in enumerate(types):
        b.add(t, pack_main_spectral_header(num_points=i, first_x=i + 0.5))
    return b.build()


TYPES = [2, 100, 1, 325, 300, 2, 7, 325, 2]


@pytest.fixture
def spa(write):
    return kr.SPAFile(write(directory_file(TYPES)))


def test_construction_reads_header_and_keeps_name(write, fds):
    path = pathlib.Path(write(directory_file(TYPES, extended=True)))
    sf = kr.SPAFile(path)
    assert sf.filename is path
    assert list(vars(sf)) == ["filename", "info"]
    assert type(sf.info) is kr.FileHeader
    assert [e.section_type for e in sf.info.sections] == TYPES
    assert all(type(e) is kr.IndexEntryExtended for e in sf.info.sections)
    assert kr.SPAFile.type is None and sf.type is None
    fds.assert_clean()


@pytest.mark.parametrize("t, first, every", [
    (325, 3, [3, 7]), (2, 0, [0, 5, 8]), (100, 1, [1]), (4, None, []),
    (0, None, []), (2.0, 0, [0, 5, 8]), ("2", None, [])])
def test_find_indextype_and_indextypes(spa, t, first, every):
    assert spa.find_indextype(t) == first
    assert list(spa.find_indextypes(t)) == every
    assert list(spa.find_indextypes(t=t)) == every


def test_find_indextypes_scans_lazily(spa):
    g = spa.find_indextypes(2)
    spa.info.sections = spa.info.sections[:6]
    assert next(g) == 0
    spa.info.sections.append(spa.info.sections[0])
    assert list(g) == [5, 6]


@pytest.mark.parametrize("index, num_points", [(0, 0), (5, 5), (8, 8), (-1, 8), (-9, 0)])
def test_read_main_spectral_header_section(spa, fds, index, num_points):
    r = spa.read(index)
    assert type(r) is kr.MainSpectralHeader
    assert (r.num_points, r.first_x) == (num_points, num_points + 0.5)
    assert spa.read(index=index) is not r
    fds.assert_clean()


def test_read_uses_registry_for_series_types(spa):
    # entry 3 (type 325) holds main spectral header bytes: a series header
    # is read from them, its first 16-bit word being data_type (3)
    sh = spa.read(3)
    assert type(sh) is kr.SeriesHeader and sh.series_type == 3
    with pytest.raises(struct.error):   # type 300: runs off the end of the file
        spa.read(4)


def test_read_ignores_section_length(write):
    b = SpaBuilder()
    b.add(2, pack_main_spectral_header(num_points=5), length=2**32 - 1)
    b.add(2, pack_main_spectral_header(num_points=6) + b"\xff" * 500, length=0)
    sf = kr.SPAFile(write(b.build()))
    assert [sf.read(i).num_points for i in (0, 1)] == [5, 6]


@pytest.mark.parametrize("index, exc", [
    (9, IndexError), (-10, IndexError), (2**70, IndexError),
    (None, TypeError), ("0", TypeError), (1.0, TypeError),
    (1, KeyError), (6, KeyError)])
def test_read_errors_come_before_the_file_is_opened(spa, fds, index, exc):
    os.remove(spa.filename)
    with pytest.raises(exc) as ei:
        spa.read(index)
    if exc is KeyError:
        assert ei.value.args == (TYPES[index],)
    fds.assert_clean()


def test_read_offset_any_record_class(write, fds):
    bench = pack_bench_info(AD_bits=12, velocity=0.6329, accessory_ID=2**32 - 1)
    sf = kr.SPAFile(write(single_spectrum_file(extra_sections=[(900, bench)])))
    off = sf.info.sections[1].section_offset
    bi = sf.read_offset(kr.BenchInfo, off)
    assert type(bi) is kr.BenchInfo
    assert (bi.AD_bits, bi.velocity, bi.accessory_ID) == (12, f32(0.6329), 2**32 - 1)
    assert sf.read_offset(rclass=kr.BenchInfo, offset=off).AD_bits == 12
    seen = []
    assert sf.read_offset(lambda f: seen.append(f.tell()) or f.read(4), off) == bench[:4]
    assert seen == [off]
    with pytest.raises(KeyError):       # not in the registry
        sf.read(1)
    fds.assert_clean()


@pytest.mark.parametrize("delta", [0, 1, 10**6])
def test_read_offset_at_or_past_end_gives_unpack_error(write, fds, delta):
    path = write(single_spectrum_file())
    sf = kr.SPAFile(path)
    with pytest.raises(struct.error, match="140 bytes"):
        sf.read_offset(kr.MainSpectralHeader, os.path.getsize(path) - 139 + delta)
    fds.assert_clean()


def test_read_offset_negative_offset_fails_and_closes(spa, fds):
    with pytest.raises((OSError, ValueError)):
        spa.read_offset(kr.MainSpectralHeader, -1)
    fds.assert_clean()


def test_deleted_file_keeps_directory_but_cannot_be_read(spa, fds):
    os.remove(spa.filename)
    assert spa.find_indextype(325) == 3
    assert list(spa.find_indextypes(300)) == [4]
    for call in (lambda: spa.read(0), lambda: spa.read_offset(kr.BenchInfo, 0),
                 spa.read_basic_info):
        with pytest.raises(FileNotFoundError):
            call()
    assert [e.section_type for e in spa.info.sections] == TYPES
    fds.assert_clean()


def test_read_basic_info_rereads_current_file(spa, fds):
    with open(spa.filename, "wb") as fh:
        fh.write(pack_file_header(file_type=10, entries=[(7, 0)]))
    old = spa.info
    assert spa.find_indextype(7) == 6
    assert spa.read_basic_info() is None
    assert spa.info is not old and spa.info.file_type == 10
    assert spa.find_indextype(7) == 0
    fds.assert_clean()


@pytest.mark.parametrize("data, exc", [
    (None, FileNotFoundError),
    (b"", struct.error),
    (pack_file_header()[:303], struct.error),
    (pack_file_header(entries=[(2, 0)] * 3)[:-1], struct.error),
    ("folder", IsADirectoryError)])          # a path that can't be read is an OSError
def test_bad_files_give_no_spafile(tmp_path, fds, data, exc):
    path = tmp_path / "x.spa"
    if data == "folder":
        path.mkdir()
    elif data is not None:
        path.write_bytes(data)
    with pytest.raises(exc):
        kr.SPAFile(str(path))
    fds.assert_clean()


def test_registry_is_looked_up_at_every_read(spa, monkeypatch):
    monkeypatch.setitem(kr.TYPE_CLASS, 100, kr.BenchInfo)
    assert type(spa.read(1)) is kr.BenchInfo
    monkeypatch.setattr(kr, "TYPE_CLASS", {2: kr.Dimension})
    assert type(spa.read(0)) is kr.Dimension
    with pytest.raises(KeyError):
        spa.read(3)
