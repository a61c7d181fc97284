import array
import gc
import os
import struct
import subprocess
import sys
import time

import pytest

import karvoreader as kr
from conftest import open_fds
from karvo_writer import SeriesFile, f32, single_spectrum_file, write_series


def make(write, **kw):
    """(SPAFile, DiskResidentArray, SeriesFile) for a series file."""
    s = SeriesFile(**kw)
    sf = kr.SPAFile(write(s.to_bytes()))
    return sf, sf.read(sf.find_indextype(300)), s


def check_spectrum(item, s, k):
    hdr, data = item
    assert type(data) is array.array and data.typecode == s.typecode
    assert data.tolist() == s.values(k)
    if not s.mini_hdr:
        assert hdr is None
        return
    assert type(hdr) is (kr.SeriesSpecheaderVer3 if s.ver3 else kr.SeriesSpecheader)
    want = s.mini_fields(k)
    assert hdr.spec_title == s.title(k)
    assert (hdr.num_scans, hdr.start_time, hdr.x_position, hdr.detector_ID) == \
        (want["num_scans"], want["start_time"], f32(want["x_position"]), 7)
    if s.ver3:
        assert hdr.direction == k % 2


CONFIGS = [
    dict(element_size=4),
    dict(element_size=8),
    dict(element_size=8, bench_hdr=True, mini_header_type=2),
    dict(bench_hdr=True, mini_hdr=False),
    dict(mini_header_type=1, num_points=0),
    dict(mini_hdr=False, num_points=2, n_spectra=3),
    dict(element_size=8, mini_hdr=False, num_points=0),
    dict(blob_flags=0x78, mini_header_type=7),
    dict(section_number=2, extra_data_sections=2),
    dict(section_number=1, extended=True, element_size=8),
    dict(link=dict(offset_spectral_header=9999, offset_bench_header=1,
                   offset_mini_header=2**32 - 1, offset_data_array=77,
                   filename=b"elsewhere.spa", title=b"t")),
]


@pytest.mark.parametrize("kw", CONFIGS)
def test_linked_data_stream(write, fds, kw):
    n = kw.get("num_points", 5)
    kw = dict(dict(n_spectra=4, num_points=5,
                   values=lambda k: [k * 1.1 + j / 3 for j in range(n)]), **kw)
    sf, dra, s = make(write, spectral={"first_x": 3999.9, "num_scans": 16},
                      bench={"AD_bits": 18}, **kw)
    g = dra.read_linked_data(sf, s.n_spectra)
    headers = next(g)
    want = [kr.MainSpectralHeader] + ([kr.BenchInfo] if kw.get("bench_hdr") else [])
    assert type(headers) is dict and list(headers) == want
    assert [type(v) for v in headers.values()] == want
    msh = headers[kr.MainSpectralHeader]
    assert (msh.first_x, msh.num_scans, msh.num_points) == (f32(3999.9), 16, s.num_points)
    if kw.get("bench_hdr"):
        assert headers[kr.BenchInfo].AD_bits == 18
    for k in range(s.n_spectra):
        check_spectrum(next(g), s, k)
    with pytest.raises(StopIteration):
        next(g)
    fds.assert_clean()


@pytest.mark.parametrize("n", [0, -1, 2])
def test_fewer_spectra_than_written(write, fds, n):
    sf, dra, s = make(write, n_spectra=4, num_points=3)
    items = list(dra.read_linked_data(file=sf, n_spectra=n))
    assert len(items) == 1 + max(n, 0)
    for k, item in enumerate(items[1:]):
        check_spectrum(item, s, k)
    fds.assert_clean()


def test_blob_without_main_spectral_header(write, fds):
    sf, dra, s = make(write, n_spectra=2, num_points=3, spectral_hdr=False,
                      bench_hdr=True)
    assert [list(h) for h in dra.read_linked_data(sf, 0)] == [[kr.BenchInfo]]
    for truncate in (None, s.layout.spectrum_offset(0)):
        if truncate:
            with open(sf.filename, "r+b") as fh:
                fh.truncate(truncate)
        g = dra.read_linked_data(sf, 2)
        assert list(next(g)) == [kr.BenchInfo]
        with pytest.raises(KeyError) as ei:
            next(g)
        assert ei.value.args == (kr.MainSpectralHeader,)
        assert list(g) == []
        fds.assert_clean()


@pytest.mark.parametrize("kw, exc, args", [
    (dict(link_type=1), RuntimeError, ("Can not read linked external files.",)),
    (dict(link_type=2**32 - 1), RuntimeError, None),
    (dict(array_element_size=2), KeyError, (2,)),
    (dict(array_element_size=0), KeyError, (0,)),
    (dict(link=dict(section_number=1)), IndexError, None),
    (dict(link_type=1, array_element_size=2, link=dict(section_number=5)), RuntimeError, None),
    (dict(array_element_size=2, link=dict(section_number=5)), IndexError, None),
    (dict(link=dict(section_number=3), section_number=2), IndexError, None),
    (dict(blob_section_type=999, link=dict(section_type=998)), IndexError, None),
    (dict(), FileNotFoundError, None),      # nothing to refuse: the open itself fails
], ids=["external link", "unknown link type", "element size 2", "element size 0",
        "link to a missing section", "external link before element size and section",
        "element size before section", "link past the directory", "link to another section type",
        "missing file"])
def test_refusals_on_first_request_before_opening(write, fds, kw, exc, args):
    sf, dra, s = make(write, **kw)
    g = dra.read_linked_data(sf, 3)
    os.remove(sf.filename)          # an attempt to open would fail differently
    with pytest.raises(exc) as ei:
        next(g)
    if args:
        assert ei.value.args == args
    assert list(g) == []
    fds.assert_clean()


def test_stream_reads_record_attributes_when_it_runs(write):
    sf, dra, s = make(write, element_size=8, array_element_size=4, n_spectra=2)
    g = dra.read_linked_data(sf, 2)
    dra.array_element_size = 8
    next(g)
    check_spectrum(next(g), s, 0)
    dra.link.link_type = 1
    with pytest.raises(RuntimeError):
        next(dra.read_linked_data(sf, 2))


def cut_points(s):
    """(name, cut, exception, spectra delivered before it)."""
    L = s.layout
    pts = [("in main header", L.blob_offset + 139, struct.error, None),
           ("at blob start", L.blob_offset, struct.error, None)]
    if L.mini_size:
        pts += [("in mini header 1", L.spectrum_offset(1) + L.mini_size - 2,
                 struct.error, 1),
                ("at spectrum 1", L.spectrum_offset(1), struct.error, 1)]
    pts += [("mid-element of spectrum 1", L.values_offset(1) + s.element_size + 1,
             EOFError, 1),
            ("element boundary in spectrum 2", L.values_offset(2) + 2 * s.element_size,
             EOFError, 2),
            ("before last element", L.file_size - s.element_size, EOFError, 2)]
    return pts


@pytest.mark.parametrize("kw", [dict(), dict(element_size=8, mini_header_type=1),
                                dict(mini_hdr=False, bench_hdr=True)])
def test_truncated_blob(write, fds, kw):
    s0 = SeriesFile(n_spectra=3, num_points=4, **kw)
    for name, cut, exc, delivered in cut_points(s0):
        sf, dra, s = make(write, n_spectra=3, num_points=4, truncate=cut, **kw)
        g = dra.read_linked_data(sf, 3)
        if delivered is not None:
            next(g)
            for k in range(delivered):
                check_spectrum(next(g), s, k)
        with pytest.raises(exc):
            next(g)
        assert list(g) == [], name
        fds.assert_clean()


def test_huge_point_count_fails_fast_without_big_allocation(tmp_path):
    path = tmp_path / "huge.spa"
    SeriesFile(n_spectra=2, num_points=4,
               spectral={"num_points": 2**32 - 1}).write(str(path))
    assert path.stat().st_size < 2100
    cut = tmp_path / "cut.spa"      # a million points promised, 8 written
    SeriesFile(n_spectra=2, num_points=4, spectral={"num_points": 10**6}).write(str(cut))
    script = f"""
import resource, time, karvoreader as kr
sf = kr.SPAFile({str(path)!r})
def refused(sf):
    t = time.perf_counter()
    for series in (False, True):
        g = (kr.open_file(sf.filename).open_series() if series
             else sf.read(1).read_linked_data(sf, 2))
        next(g)
        try:
            next(g)
        except EOFError:
            pass
        else:
            raise SystemExit("no EOFError")
    return time.perf_counter() - t
huge = refused(sf)
# the same refusal of a file cut short, whose point count the bytes back
small = min(refused(kr.SPAFile({str(cut)!r})) for _ in range(5))
# this process's own peak (ru_maxrss would include the parent's, kept across exec)
hwm = [l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM:")]
print(huge / small, hwm[0] if hwm else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    ratio, maxrss_kb = out.stdout.split("\n")[1].split()
    assert float(ratio) < 100
    assert int(maxrss_kb) < 512 * 1024


def test_dropping_or_closing_streams_closes_their_file(write, fds):
    sf, dra, s = make(write, n_spectra=4)
    before = open_fds()
    g = dra.read_linked_data(sf, 4)
    assert open_fds() == before         # nothing opened until the first request
    next(g)
    next(g)
    assert len(open_fds()) == len(before) + 1
    del g
    gc.collect()
    assert open_fds() == before
    os.remove(sf.filename)              # the file can go at once
    sf, dra, s = make(write, n_spectra=4)
    for make_stream in (lambda: dra.read_linked_data(sf, 4),
                        lambda: kr.Series(sf).open_series()):
        for ending in ("close", "throw", "drop"):
            g = make_stream()
            next(g)
            if ending == "close":
                g.close()
            elif ending == "throw":
                pytest.raises(ValueError, g.throw, ValueError("stop"))
            else:
                del g
                gc.collect()
            assert open_fds() == before, ending


def test_side_by_side_streams_are_independent(write, fds):
    sf, dra, s = make(write, n_spectra=3)
    a, b = dra.read_linked_data(sf, 3), dra.read_linked_data(sf, 3)
    ser = kr.Series(sf)
    c, d = ser.open_series(), ser.open_series()
    next(a), next(b), next(c), next(d)
    check_spectrum(next(a), s, 0)
    check_spectrum(next(a), s, 1)
    check_spectrum(next(b), s, 0)
    assert next(c)[0]["title"] == "spectrum 0"
    assert [x[0]["title"] for x in d] == ["spectrum 0", "spectrum 1", "spectrum 2"]
    check_spectrum(next(a), s, 2)
    assert [x[1][0] for x in c] == [1.0, 2.0]
    del a, b
    gc.collect()
    fds.assert_clean()


# --- the series reader -----------------------------------------------------

def open_series(write, **kw):
    s = SeriesFile(**kw)
    series = kr.open_file(write(s.to_bytes()))
    return series, series.open_series(), s


SERIES_CONFIGS = [
    dict(),
    dict(element_size=8, mini_header_type=3, bench_hdr=True),
    dict(section_number=3, extra_data_sections=1, extended=True),
    dict(num_points=0, mini_header_type=1),
]


@pytest.mark.parametrize("kw", SERIES_CONFIGS)
def test_series_end_to_end(write, fds, kw):
    kw = dict(dict(n_spectra=5, num_points=6), **kw)
    series, g, s = open_series(write, spectral=dict(first_x=4000.5, last_x=399.7), **kw)
    assert type(series) is kr.Series and list(vars(series)) == ["karvo_file"]
    assert type(series.karvo_file) is kr.SPAFile
    fds.assert_clean()
    spectral_info, dims = next(g)
    assert list(spectral_info.items()) == [("first", 4000.5), ("last", f32(399.7)),
                                           ("n", s.num_points)]
    assert dims == [{"first": 0.0, "last": 4.0, "n": 5}]
    assert [list(d) for d in dims] == [["first", "last", "n"]]
    items = list(g)
    assert len(items) == 5
    for k, (title, data) in enumerate(items):
        assert title == {"title": s.title(k)}
        assert data.typecode == s.typecode and data.tolist() == s.values(k)
    fds.assert_clean()


def test_valid_dimensions_and_scaling(write):
    dims = [dict(num_elements=3, first_dim=10, last_dim=20, scale_dim=0.5),
            dict(num_elements=4, first_dim=1, last_dim=2),
            dict(num_elements=3, first_dim=10, last_dim=20, scale_dim=1.0),
            dict(num_elements=3, first_dim=2**64 - 1, last_dim=2**53 + 1,
                 scale_dim=0.1),
            dict(num_elements=0)]
    series, g, s = open_series(write, n_spectra=3, dimensions=dims)
    _, valid = next(g)
    big = float(2**64 - 1) * f32(0.1)
    assert valid == [{"first": 5.0, "last": 10.0, "n": 3},
                     {"first": 10.0, "last": 20.0, "n": 3},
                     {"first": big, "last": float(2**53 + 1) * f32(0.1), "n": 3}]
    assert all(type(v) is float for d in valid for v in (d["first"], d["last"]))
    series, g, s = open_series(write, n_spectra=0, dimensions=dims)
    assert list(g) == [({"first": 4000.0, "last": 400.0, "n": 8},
                        [{"first": 0.0, "last": 0.0, "n": 0}])]


def test_series_of_spectra_without_mini_headers(write):
    series, g, s = open_series(write, n_spectra=2, num_points=3, mini_hdr=False)
    next(g)
    assert [(t, d.tolist()) for t, d in g] == [({"title": None}, s.values(0)),
                                               ({"title": None}, s.values(1))]


def test_open_file_kinds(write, fds, tmp_path):
    assert kr.open_file(write(single_spectrum_file())) is None
    assert type(kr.open_file(write(SeriesFile(omit=(325, 300)).to_bytes()))) is kr.Series
    with pytest.raises(FileNotFoundError):
        kr.open_file(str(tmp_path / "missing.spa"))
    with pytest.raises(struct.error):
        kr.open_file(write(b"\0" * 303))
    series = kr.Series(karvo_file="anything")
    assert series.karvo_file == "anything"
    with pytest.raises(AttributeError):
        next(series.open_series())
    fds.assert_clean()


@pytest.mark.parametrize("kw, exc", [
    (dict(omit=(325,)), TypeError),
    (dict(omit=(300,)), TypeError),
    (dict(omit=(300, 325)), TypeError),
    (dict(spectral_hdr=False), KeyError),
    (dict(spectral_hdr=False, n_spectra=0), KeyError),
    (dict(link_type=1), RuntimeError),
    (dict(array_element_size=16), KeyError),
    (dict(section_number=1, link=dict(section_number=2)), IndexError),
    (dict(truncate=SeriesFile().layout.blob_offset + 100), struct.error),
])
def test_series_first_request_errors(write, fds, kw, exc):
    series, g, s = open_series(write, **kw)
    with pytest.raises(exc) as ei:
        next(g)
    if kw.get("spectral_hdr") is False:
        assert ei.value.args == (kr.MainSpectralHeader,)
    assert list(g) == []
    fds.assert_clean()


def test_series_over_single_spectrum_file(write):
    g = kr.Series(kr.SPAFile(write(single_spectrum_file()))).open_series()
    with pytest.raises(TypeError):
        next(g)


@pytest.mark.parametrize("kw", [dict(), dict(element_size=8, mini_header_type=1)])
def test_series_errors_mid_stream(write, fds, kw):
    s0 = SeriesFile(n_spectra=3, num_points=4, **kw)
    for name, cut, exc, delivered in cut_points(s0):
        if delivered is None:
            continue
        series, g, s = open_series(write, n_spectra=3, num_points=4, truncate=cut, **kw)
        next(g)
        assert [t["title"] for t, _ in (next(g) for _ in range(delivered))] == \
            [s.title(k) for k in range(delivered)]
        with pytest.raises(exc):
            next(g)
        assert list(g) == [], name
        fds.assert_clean()


def test_max_spectra_beyond_written_spectra(write):
    series, g, s = open_series(write, n_spectra=2, max_spectra=3, num_points=2,
                               mini_hdr=False)
    assert next(g)[1] == [{"first": 0.0, "last": 2.0, "n": 3}]
    assert len([next(g), next(g)]) == 2
    with pytest.raises(EOFError):
        next(g)


def test_large_series_streams(tmp_path, fds):
    path = str(tmp_path / "large.spa")
    s = write_series(path, n_spectra=100_000, num_points=16, mini_header_type=1)
    g = kr.open_file(path).open_series()
    info, dims = next(g)
    assert info["n"] == 16 and dims[0]["n"] == 100_000
    count = 0
    for k, (title, data) in enumerate(g):
        assert data[0] == k
        count += 1
    assert count == 100_000 and title == {"title": "spectrum 99999"}
    assert data.tolist() == s.values(99_999)
    fds.assert_clean()


# --- names rebound in the module are used ----------------------------------

@pytest.mark.parametrize("element_size", [4, 8])
def test_rebound_array_class_is_used(write, monkeypatch, element_size):
    class Values(array.array):
        pass
    monkeypatch.setattr(kr, "array", Values)
    series, g, s = open_series(write, n_spectra=2, num_points=3, element_size=element_size)
    next(g)
    items = list(g)
    assert all(type(d) is Values for _, d in items)
    assert [d.tolist() for _, d in items] == [s.values(0), s.values(1)]


def test_rebound_main_spectral_header_is_used(write, monkeypatch):
    class MSH(kr.MainSpectralHeader):
        pass
    sf, dra, s = make(write, n_spectra=1, num_points=2)
    monkeypatch.setattr(kr, "MainSpectralHeader", MSH)
    headers = next(dra.read_linked_data(sf, 1))
    assert list(headers) == [MSH] and type(headers[MSH]) is MSH
    assert next(kr.Series(sf).open_series())[0]["n"] == 2


def test_rebound_registries_are_used_by_series_reader(write, monkeypatch):
    s = SeriesFile(n_spectra=2, num_points=2)
    data = bytearray(s.to_bytes())
    data[304:306] = (901).to_bytes(2, "little")     # series header's entry type
    series = kr.open_file(write(bytes(data)))
    with pytest.raises(TypeError):
        next(series.open_series())
    monkeypatch.setitem(kr.CLASS_TYPE, kr.SeriesHeader, 901)
    monkeypatch.setitem(kr.TYPE_CLASS, 901, kr.SeriesHeader)
    assert len(list(series.open_series())) == 3


@pytest.mark.parametrize("stream", ["read_linked_data", "open_series"])
def test_reentrant_request_is_refused(write, monkeypatch, fds, stream):
    sf, dra, s = make(write, n_spectra=2, num_points=3)
    g = dra.read_linked_data(sf, 2) if stream == "read_linked_data" else kr.Series(sf).open_series()
    next(g)
    errors = []

    class Values(array.array):
        def __new__(cls, *args):
            try:
                next(g)
            except ValueError as e:
                errors.append(str(e))
            return array.array.__new__(cls, *args)

    monkeypatch.setattr(kr, "array", Values)
    assert next(g)[1].tolist() == s.values(0)
    assert errors == ["generator already executing"]
    monkeypatch.undo()
    assert next(g)[1].tolist() == s.values(1)
    del g
    fds.assert_clean()


@pytest.mark.parametrize("offset, excs", [
    (2**40, struct.error), (2**63 - 1, (struct.error, OSError)),
    (2**63, (OSError, ValueError, OverflowError)),
    (2**64 - 1, (OSError, ValueError, OverflowError))])
def test_far_section_offsets(write, fds, offset, excs):
    s = SeriesFile(n_spectra=1, num_points=2, extended=True)
    data = bytearray(s.to_bytes())
    struct.pack_into("<Q", data, 304 + 22 * 2 + 2, offset)   # the blob's entry
    struct.pack_into("<Q", data, 304 + 2, offset)            # the series header's
    sf = kr.SPAFile(write(bytes(data)))
    assert sf.info.sections[0].section_offset == offset
    with pytest.raises(excs):
        sf.read(0)
    with pytest.raises(excs):
        next(sf.read(1).read_linked_data(sf, 1))
    fds.assert_clean()


# --- spectra read ahead in batches (values of 4 KiB and more) --------------

AHEAD = [dict(num_points=1024), dict(num_points=2048, element_size=8, mini_header_type=3),
         dict(num_points=1500, mini_hdr=False)]


def ahead_values(k, n=2048):
    return [k + j / 8 for j in range(n)]


@pytest.mark.parametrize("kw", AHEAD)
def test_read_ahead_walk_and_rebinding(write, fds, monkeypatch, kw):
    kw = dict(n_spectra=40, values=lambda k, n=kw["num_points"]: ahead_values(k, n), **kw)
    series, g, s = open_series(write, **kw)
    next(g)
    for k in range(25):
        title, data = next(g)
        assert title == {"title": s.title(k) if s.mini_hdr else None}
        assert type(data) is array.array and data.tolist() == s.values(k)

    class Values(array.array):
        pass
    monkeypatch.setattr(kr, "array", Values)  # spectra read ahead are not handed out
    rest = list(g)
    assert len(rest) == 15 and all(type(d) is Values for _, d in rest)
    assert [d.tolist() for _, d in rest] == [s.values(k) for k in range(25, 40)]
    fds.assert_clean()


@pytest.mark.parametrize("kw", AHEAD[:2] + [dict(num_points=16, mini_header_type=1)])
@pytest.mark.parametrize("where, exc, msg", [
    (lambda L: L.spectrum_offset(30) + 10, struct.error, "16 bytes"),
    (lambda L: L.spectrum_offset(30) + 50, struct.error, "64 bytes"),
    (lambda L: L.spectrum_offset(30) + 90, struct.error, "16 bytes"),
    (lambda L: L.values_offset(30) + 5, EOFError, None),
])
def test_read_ahead_stops_at_the_end_of_the_file(write, fds, kw, where, exc, msg):
    s0 = SeriesFile(n_spectra=40, **kw)
    cut = where(s0.layout)
    if cut >= s0.layout.values_offset(30) and exc is struct.error:
        pytest.skip("cut point outside the mini header of spectrum 30 for this layout")
    series, g, s = open_series(write, n_spectra=40, truncate=cut, **kw)
    next(g)
    assert [t["title"] for t, _ in (next(g) for _ in range(30))] == [s.title(k) for k in range(30)]
    with pytest.raises(exc, match=msg):
        next(g)
    assert list(g) == []
    fds.assert_clean()
