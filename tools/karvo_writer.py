"""Writer for spectral data files, used by the tests, benchmarks and examples.

Pure Python (``struct`` and ``array`` only).  Every on-disk structure has a
packer that takes its fields as keyword arguments, each with a default, and
returns the little-endian bytes:

    pack_file_header(sti_id=..., entries=[(type, offset, length, iu, il), ...])
    pack_index_entry(section_type, offset, length, index_unsigned, index_long,
                     extended=False)
    pack_main_spectral_header(**fields)      140 bytes
    pack_bench_info(**fields)                 56 bytes
    pack_dimension(**fields)                 332 bytes
    pack_series_header(**fields)             262 bytes
    pack_data_blob_format(word)                4 bytes (or flag keywords)
    pack_link_to_data(**fields)              552 bytes
    pack_series_specheader(ver3=False, **f)   96 / 100 bytes
    pack_disk_resident_array(structure_size, version, array_element_size,
                             link={...} or bytes, dimensions=[{...}, ...])

String fields are given as bytes (or ASCII str); shorter values are padded
with NUL to the field width, values of the full width are written raw (no
NUL), longer values are an error.  Real fields are packed as IEEE single
precision; ``f32(x)`` gives the value a reader should hand back.

Files:

    b = SpaBuilder(file_type=1, extended=False)
    i = b.add(section_type, payload)          # -> directory index
    data = b.build()                          # header + directory + sections

    single_spectrum_file(values=None, file_id=b"", **msh_fields) -> bytes

    s = SeriesFile(n_spectra=5, num_points=32, ...)   # see SeriesFile
    s.to_bytes(); s.write(path); s.values(k); s.title(k); s.layout
    series_file(**kw) -> bytes        (= SeriesFile(**kw).to_bytes())
    write_series(path, **kw) -> SeriesFile   (streams the spectra to disk)

FIELDS holds, for each structure, its attribute names in file order (the
order that a reader's record attributes take).
"""

import struct
import sys
from array import array

__all__ = [
    "FIELDS", "SIZES", "f32", "pack_string", "pack_file_header",
    "pack_index_entry", "pack_main_spectral_header", "pack_bench_info",
    "pack_dimension", "pack_series_header", "pack_data_blob_format",
    "pack_link_to_data", "pack_series_specheader",
    "pack_disk_resident_array", "SpaBuilder", "single_spectrum_file",
    "SeriesFile", "series_file", "write_series", "series_layout",
]

ST_ID_LENGTH = 30
FILE_ID_LENGTH = 256
MAX_PATH = 260
HEADER_SIZE = 304
ENTRY_SIZE = 16
ENTRY_SIZE_EXTENDED = 22

SECTION_MAIN_HEADER = 2
SECTION_SERIES_HEADER = 325
SECTION_DISK_ARRAY = 300
SECTION_VALUES = 3          # a single spectrum's values, float32
SECTION_BLOB = 302          # the section type our series files keep data in

FIELDS = {
    "FileHeader": ["sti_id_string", "file_id", "hard_eof", "file_type",
                   "version", "num_sections", "time", "ex_time", "sections"],
    "IndexEntry": ["section_type", "section_offset", "section_length",
                   "index_unsigned", "index_long"],
    "MainSpectralHeader": [
        "data_type", "num_points", "x_units", "y_units", "first_x", "last_x",
        "noise", "num_scan_points", "final_peak_pos", "num_scans",
        "interp_peak", "num_transform_pts", "num_post_peak_pts",
        "BK_num_scans", "BK_gain", "apod_ID", "apod_value", "duration",
        "burst_peak_height", "phase_corr_ID", "laser_freq", "SSP",
        "aperture_ref", "aperture", "raman_freq", "stage_x", "stage_y",
        "stage_z", "flags", "old_y_units", "old_type", "bad_scans",
        "BK_bad_scans", "collect_error_map", "BK_collect_error_map"],
    "BenchInfo": [
        "bench_ID", "detector_ID", "beam_split_ID", "source_ID", "AD_bits",
        "HPF", "LPF", "switch_gain_hi", "switch_gain_lo", "switch_gain_p1",
        "switch_gain_p2", "gain", "velocity", "accessory_ID"],
    "SeriesHeader": [
        "series_type", "series_ID", "min_range", "max_range", "step_size",
        "min_range_2", "max_range_2", "step_size_2", "max_spectra",
        "converted", "num_converted", "flow_cell_temp", "transfer_line_temp",
        "gs_offset", "gs_ifg_pts", "num_phase_data_pts",
        "num_phase_transform_pts", "num_dimensions", "z_units",
        "z_short_label", "z_long_label", "z_units_2", "z_short_label_2",
        "z_long_label_2", "spectra_min", "spectra_max"],
    "Dimension": ["dimension_type", "first_dim", "last_dim", "scale_dim",
                  "num_elements", "unit_ID", "short_label", "long_label"],
    "DataBlobFormat": ["mini_hdr", "spectral_hdr", "bench_hdr", "interleaved",
                       "line_data", "area_data", "depth_data"],
    "LinkToData": [
        "link_type", "section_type", "section_number", "mini_header_type",
        "data_blob_format", "offset_spectral_header", "offset_bench_header",
        "offset_mini_header", "offset_data_array", "filename", "title"],
    "SeriesSpecheader": ["num_scans", "start_time", "temp", "pressure",
                         "spec_title", "x_position", "y_position",
                         "detector_ID", "pk_height"],
    "DiskResidentArray": ["structure_size", "version", "array_element_size",
                          "link", "num_dimensions", "dimensions"],
}
FIELDS["IndexEntryExtended"] = FIELDS["IndexEntry"]
FIELDS["SeriesSpecheaderVer3"] = FIELDS["SeriesSpecheader"] + ["direction"]

SIZES = {"FileHeader": 304, "IndexEntry": 16, "IndexEntryExtended": 22,
         "MainSpectralHeader": 140, "BenchInfo": 56, "SeriesHeader": 262,
         "Dimension": 332, "DataBlobFormat": 4, "LinkToData": 552,
         "SeriesSpecheader": 96, "SeriesSpecheaderVer3": 100,
         "DiskResidentArray": 568}

_MSH = struct.Struct("<IIIIfffIIIfIIIfIfIfIfffffIIIIIIIIII")
_BENCH = struct.Struct("<IIIIIffIIIIffI")
_DIM = struct.Struct("<IQQfII150s150s")
_SERIES = struct.Struct("<H64sffffffIHIffHHIIHH32s32sH32s32sff")
_MINI = struct.Struct("<IIff64sffIf")
_MINI3 = struct.Struct("<IIff64sffIfI")
_ENTRY = struct.Struct("<HIIHI")
_ENTRY_EXT = struct.Struct("<HQIII")

_BIG_ENDIAN = sys.byteorder == "big"


def f32(x):
    """The value a float32 field holding x reads back as (widened exactly)."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def pack_string(value, width):
    """A string field: bytes padded with NUL to width (full width: no NUL)."""
    if isinstance(value, str):
        value = value.encode("ascii")
    value = bytes(value)
    if len(value) > width:
        raise ValueError("string of %d bytes does not fit %d" % (len(value), width))
    return value.ljust(width, b"\0")


def _fields(name, given, defaults):
    unknown = set(given) - set(defaults)
    if unknown:
        raise TypeError("%s: unknown fields %s" % (name, sorted(unknown)))
    out = dict(defaults)
    out.update(given)
    return out


# --- file header and directory ---------------------------------------------

def pack_index_entry(section_type, offset, length=0, index_unsigned=0,
                     index_long=0, extended=False):
    if extended:
        return _ENTRY_EXT.pack(section_type, offset, length, index_unsigned,
                               index_long)
    return _ENTRY.pack(section_type, offset, length, index_unsigned, index_long)


def pack_file_header(sti_id=b"Spectral Data File", file_id=b"",
                     hard_eof=b"\0", file_type=1, version=2, time=0,
                     ex_time=0, entries=(), extended=False, pad_byte=0,
                     dropped_word=0, num_sections=None):
    """304-byte fixed part followed by the directory entries.

    entries: tuples (section_type, offset[, length, index_unsigned,
    index_long]) or pre-packed bytes.  extended=True packs 22-byte entries;
    the reader only takes them as such if sti_id holds "Exte".
    num_sections overrides the stored count (to promise missing entries).
    """
    if isinstance(hard_eof, int):
        hard_eof = bytes([hard_eof])
    out = [pack_string(sti_id, ST_ID_LENGTH), pack_string(file_id, FILE_ID_LENGTH),
           bytes(hard_eof)[:1].ljust(1, b"\0"), bytes([pad_byte]),
           struct.pack("<HHHHII", file_type, version, dropped_word,
                       len(entries) if num_sections is None else num_sections,
                       time, ex_time)]
    for e in entries:
        out.append(e if isinstance(e, bytes)
                   else pack_index_entry(*e, extended=extended))
    return b"".join(out)


# --- spectral headers --------------------------------------------------------

MSH_DEFAULTS = dict.fromkeys(FIELDS["MainSpectralHeader"], 0)
MSH_DEFAULTS.update(data_type=3, num_points=0, x_units=1, y_units=17,
                    first_x=4000.0, last_x=400.0, laser_freq=15798.0)
BENCH_DEFAULTS = dict.fromkeys(FIELDS["BenchInfo"], 0)
BENCH_DEFAULTS.update(AD_bits=16, HPF=0.5, LPF=11000.0, gain=1.0, velocity=0.6329)
DIMENSION_DEFAULTS = dict(dimension_type=1, first_dim=0, last_dim=0,
                          scale_dim=1.0, num_elements=0, unit_ID=0,
                          short_label=b"", long_label=b"")
SERIES_DEFAULTS = dict.fromkeys(FIELDS["SeriesHeader"], 0)
SERIES_DEFAULTS.update(series_type=1, series_ID=b"", z_short_label=b"",
                       z_long_label=b"", z_short_label_2=b"",
                       z_long_label_2=b"")
MINI_DEFAULTS = dict.fromkeys(FIELDS["SeriesSpecheaderVer3"], 0)
MINI_DEFAULTS["spec_title"] = b""
LINK_DEFAULTS = dict(link_type=0, section_type=SECTION_BLOB, section_number=0,
                     mini_header_type=0, data_blob_format=0,
                     offset_spectral_header=0, offset_bench_header=0,
                     offset_mini_header=0, offset_data_array=0,
                     filename=b"", title=b"")


def pack_main_spectral_header(**fields):
    v = _fields("main spectral header", fields, MSH_DEFAULTS)
    return _MSH.pack(*(v[k] for k in FIELDS["MainSpectralHeader"]))


def pack_bench_info(**fields):
    v = _fields("bench info", fields, BENCH_DEFAULTS)
    return _BENCH.pack(*(v[k] for k in FIELDS["BenchInfo"]))


def pack_dimension(**fields):
    v = _fields("dimension", fields, DIMENSION_DEFAULTS)
    return _DIM.pack(v["dimension_type"], v["first_dim"], v["last_dim"],
                     v["scale_dim"], v["num_elements"], v["unit_ID"],
                     pack_string(v["short_label"], 150),
                     pack_string(v["long_label"], 150))


_SERIES_STRINGS = {"series_ID": 64, "z_short_label": 32, "z_long_label": 32,
                   "z_short_label_2": 32, "z_long_label_2": 32}


def pack_series_header(**fields):
    v = _fields("series header", fields, SERIES_DEFAULTS)
    for k, w in _SERIES_STRINGS.items():
        v[k] = pack_string(v[k], w)
    return _SERIES.pack(*(v[k] for k in FIELDS["SeriesHeader"]))


_FLAG_BITS = {name: 1 << i for i, name in enumerate(FIELDS["DataBlobFormat"])}


def blob_word(**flags):
    """Flag word from boolean keywords mini_hdr, spectral_hdr, bench_hdr, ..."""
    word = 0
    for k, on in flags.items():
        if on:
            word |= _FLAG_BITS[k]
    return word


def pack_data_blob_format(word=0, **flags):
    """4-byte flag word; word may be negative (signed) or up to 2**32-1."""
    return struct.pack("<I", (word | blob_word(**flags)) & 0xFFFFFFFF)


def pack_link_to_data(**fields):
    v = _fields("link to data", fields, LINK_DEFAULTS)
    dbf = v["data_blob_format"]
    dbf = dbf if isinstance(dbf, bytes) else pack_data_blob_format(dbf)
    return b"".join([
        struct.pack("<IIII", v["link_type"], v["section_type"],
                    v["section_number"], v["mini_header_type"]),
        dbf,
        struct.pack("<IIII", v["offset_spectral_header"],
                    v["offset_bench_header"], v["offset_mini_header"],
                    v["offset_data_array"]),
        pack_string(v["filename"], MAX_PATH),
        pack_string(v["title"], FILE_ID_LENGTH)])


def pack_series_specheader(ver3=False, **fields):
    """96-byte mini header, or 100 bytes with ver3 (adds direction)."""
    names = FIELDS["SeriesSpecheaderVer3" if ver3 else "SeriesSpecheader"]
    v = _fields("mini header", fields,
                {k: MINI_DEFAULTS[k] for k in names})
    v["spec_title"] = pack_string(v["spec_title"], 64)
    return (_MINI3 if ver3 else _MINI).pack(*(v[k] for k in names))


def pack_disk_resident_array(structure_size=0, version=0, array_element_size=4,
                             link=None, dimensions=(), num_dimensions=None):
    """link: dict for pack_link_to_data, or raw bytes.  dimensions: dicts for
    pack_dimension or raw bytes.  num_dimensions overrides the stored count."""
    if link is None:
        link = {}
    link = link if isinstance(link, bytes) else pack_link_to_data(**link)
    dims = [d if isinstance(d, bytes) else pack_dimension(**d)
            for d in dimensions]
    n = len(dims) if num_dimensions is None else num_dimensions
    return b"".join([struct.pack("<III", structure_size, version,
                                 array_element_size),
                     link, struct.pack("<I", n)] + dims)


# --- files -------------------------------------------------------------------

class SpaBuilder:
    """Lays out a file: header, directory, then the section payloads.

    add() returns the directory index of the new entry.  Payloads are
    placed back to back after the directory, in directory order unless
    build(physical_order=[indices]) says otherwise.  add_entry() adds a
    directory entry that points at an explicit offset and owns no payload.
    """

    def __init__(self, file_type=1, extended=False, sti_id=None, **header):
        self.file_type = file_type
        self.extended = extended
        if sti_id is None:
            sti_id = (b"Spectral Data File Exte" if extended
                      else b"Spectral Data File")
        self.sti_id = sti_id
        self.header = header
        self.entries = []   # [section_type, payload|None, offset, length, iu, il]

    def add(self, section_type, payload, length=None, index_unsigned=0,
            index_long=0):
        self.entries.append([section_type, bytes(payload), None,
                             len(payload) if length is None else length,
                             index_unsigned, index_long])
        return len(self.entries) - 1

    def add_entry(self, section_type, offset, length=0, index_unsigned=0,
                  index_long=0):
        self.entries.append([section_type, None, offset, length,
                             index_unsigned, index_long])
        return len(self.entries) - 1

    @property
    def header_size(self):
        es = ENTRY_SIZE_EXTENDED if self.extended else ENTRY_SIZE
        return HEADER_SIZE + es * len(self.entries)

    def layout(self, physical_order=None):
        """Assign offsets; returns the payload indices in byte order."""
        order = list(range(len(self.entries))) if physical_order is None \
            else list(physical_order)
        order += [i for i in range(len(self.entries)) if i not in order]
        order = [i for i in order if self.entries[i][1] is not None]
        pos = self.header_size
        for i in order:
            self.entries[i][2] = pos
            pos += len(self.entries[i][1])
        return order

    def header_bytes(self):
        return pack_file_header(
            sti_id=self.sti_id, file_type=self.file_type,
            extended=self.extended,
            entries=[(t, off, ln, iu, il)
                     for t, _p, off, ln, iu, il in self.entries],
            **self.header)

    def offset(self, index):
        return self.entries[index][2]

    def build(self, physical_order=None):
        order = self.layout(physical_order)
        return self.header_bytes() + b"".join(self.entries[i][1] for i in order)


def single_spectrum_file(values=None, extended=False, sti_id=None,
                         extra_sections=(), file_id=b"", values_section=True,
                         **msh_fields):
    """file_type 1: a type-2 section holding the main spectral header and,
    when values are given, a type-3 section holding them as little-endian
    float32 (num_points defaults to their count).  values_section=False
    leaves the values out.  extra_sections: (type, payload) added after
    them."""
    if values is not None:
        msh_fields.setdefault("num_points", len(values))
    b = SpaBuilder(file_type=1, extended=extended, sti_id=sti_id,
                   file_id=file_id)
    b.add(SECTION_MAIN_HEADER, pack_main_spectral_header(**msh_fields))
    if values is not None and values_section:
        b.add(SECTION_VALUES, _values_bytes(values, 4))
    for t, p in extra_sections:
        b.add(t, p)
    return b.build()


def _values_bytes(values, element_size):
    a = array("f" if element_size == 4 else "d", values)
    if _BIG_ENDIAN:
        a.byteswap()
    return a.tobytes()


def _widened(values, element_size):
    return list(array("f" if element_size == 4 else "d", values))


class SeriesLayout:
    """Where things lie in a series file (all offsets absolute)."""

    def __init__(self, blob_offset, head_size, mini_size, num_points,
                 element_size, n_spectra, file_size):
        self.blob_offset = blob_offset
        self.head_size = head_size          # main spectral header + bench
        self.mini_size = mini_size          # 0, 96 or 100
        self.values_size = num_points * element_size
        self.stride = mini_size + self.values_size
        self.n_spectra = n_spectra
        self.file_size = file_size

    def spectrum_offset(self, k):
        """First byte of spectrum k (its mini header, if any)."""
        return self.blob_offset + self.head_size + k * self.stride

    def values_offset(self, k):
        return self.spectrum_offset(k) + self.mini_size


class SeriesFile:
    """A series file (file_type 11).

    Sections, in directory order: 325 series header, 300 disk resident
    array, then ``section_number`` decoy sections of the blob type
    (interleaved with type-100 fillers), the blob section, and
    ``extra_data_sections`` more decoys.  The blob is always the last bytes
    of the file, so cutting the file (``truncate``) cuts the blob.

    Parameters (all keywords):
      n_spectra, num_points  spectra written and points per spectrum
      element_size           4 (float32) or 8 (float64) for the written values
      array_element_size     stored element size (default element_size)
      spectral_hdr, bench_hdr, mini_hdr, mini_header_type   blob layout
      blob_flags             extra flag bits OR-ed into the flag word
      dimensions             list of dicts for pack_dimension; default one
                             dimension with num_elements = max_spectra
      max_spectra            stored in the series header (default n_spectra)
      section_number, extra_data_sections, blob_section_type, link_type
      values(k)              -> sequence of num_points reals; default: k, then
                             0.25 * j for j >= 1
      titles(k)              -> bytes (default b"spectrum %d" % k)
      spectral, bench, series, link, mini   dicts overriding packed fields
                             (spectral num_points may differ from num_points)
      omit                   section types to leave out of the file (325, 300)
      extended, truncate     extended directory; cut the file to this length
      file_id                the file header's identifier text (the title)
    """

    def __init__(self, n_spectra=3, num_points=8, element_size=4,
                 array_element_size=None, spectral_hdr=True, bench_hdr=False,
                 mini_hdr=True, mini_header_type=0, blob_flags=0,
                 dimensions=None, max_spectra=None, section_number=0,
                 extra_data_sections=0, blob_section_type=SECTION_BLOB,
                 link_type=0, values=None, titles=None, spectral=None,
                 bench=None, series=None, link=None, mini=None, omit=(),
                 extended=False, truncate=None, dra_version=3, file_id=b""):
        self.n_spectra = n_spectra
        self.num_points = num_points
        self.element_size = element_size
        self.typecode = "f" if element_size == 4 else "d"
        self.max_spectra = n_spectra if max_spectra is None else max_spectra
        self.mini_hdr = mini_hdr
        self.ver3 = bool(mini_header_type)
        self._values = values
        self._titles = titles
        self.mini = dict(mini or {})
        self.truncate = truncate

        self.spectral = dict(num_points=num_points, first_x=4000.0,
                             last_x=400.0)
        self.spectral.update(spectral or {})
        self.bench = dict(bench or {})
        if dimensions is None:
            dimensions = [dict(num_elements=self.max_spectra, first_dim=0,
                               last_dim=max(self.max_spectra - 1, 0),
                               scale_dim=1.0, short_label=b"t",
                               long_label=b"time")]
        self.dimensions = dimensions
        ser = dict(series_type=1, series_ID=b"series", max_spectra=self.max_spectra,
                   num_dimensions=len(dimensions))
        ser.update(series or {})
        lk = dict(link_type=link_type, section_type=blob_section_type,
                  section_number=section_number,
                  mini_header_type=mini_header_type,
                  data_blob_format=blob_flags | blob_word(
                      mini_hdr=mini_hdr, spectral_hdr=spectral_hdr,
                      bench_hdr=bench_hdr))
        lk.update(link or {})

        head = b""
        if spectral_hdr:
            head += pack_main_spectral_header(**self.spectral)
        if bench_hdr:
            head += pack_bench_info(**self.bench)
        self.head = head
        mini_size = (100 if self.ver3 else 96) if mini_hdr else 0

        b = SpaBuilder(file_type=11, extended=extended, file_id=file_id)
        if 325 not in omit:
            b.add(SECTION_SERIES_HEADER, pack_series_header(**ser))
        if 300 not in omit:
            b.add(SECTION_DISK_ARRAY, pack_disk_resident_array(
                structure_size=568 + 332 * len(dimensions), version=dra_version,
                array_element_size=(element_size if array_element_size is None
                                    else array_element_size),
                link=lk, dimensions=dimensions))
        for d in range(section_number):
            b.add(100, b"\x11" * 64)
            b.add(blob_section_type, b"\xAB" * 160)
        blob_len = len(head) + n_spectra * (mini_size + num_points * element_size)
        self.blob_index = b.add(blob_section_type, b"")
        b.entries[self.blob_index][3] = blob_len
        for d in range(extra_data_sections):
            b.add(blob_section_type, b"\xCD" * 160)
        order = [i for i in range(len(b.entries)) if i != self.blob_index]
        b.layout(order + [self.blob_index])
        blob_offset = HEADER_SIZE + sum(len(e[1]) for e in b.entries) + \
            (ENTRY_SIZE_EXTENDED if extended else ENTRY_SIZE) * len(b.entries)
        b.entries[self.blob_index][2] = blob_offset
        self.builder = b
        self.prefix = b.header_bytes() + b"".join(b.entries[i][1] for i in order)
        assert len(self.prefix) == blob_offset
        self.layout = SeriesLayout(blob_offset, len(head), mini_size, num_points,
                                   element_size, n_spectra,
                                   blob_offset + blob_len)

        es = element_size
        self._tail = _values_bytes([0.25 * j for j in range(1, num_points)], es) \
            if num_points else b""
        self._first = struct.Struct("<f" if es == 4 else "<d")

    # expected content ------------------------------------------------------
    def title_bytes(self, k):
        return self._titles(k) if self._titles else b"spectrum %d" % k

    def title(self, k):
        """The text a reader should give for spectrum k's title."""
        raw = pack_string(self.title_bytes(k), 64).split(b"\0", 1)[0]
        return bytes(c for c in raw if c < 128).decode("ascii")

    def raw_values(self, k):
        if self._values:
            return list(self._values(k))
        if not self.num_points:
            return []
        return [k] + [0.25 * j for j in range(1, self.num_points)]

    def values(self, k):
        """Spectrum k's values as a reader yields them (widened)."""
        return _widened(self.raw_values(k), self.element_size)

    def mini_fields(self, k):
        f = dict(num_scans=k + 1, start_time=1000 + 10 * k, temp=20.5,
                 pressure=1.0, spec_title=self.title_bytes(k),
                 x_position=0.5 * k, y_position=-1.25, detector_ID=7,
                 pk_height=0.125 * k)
        if self.ver3:
            f["direction"] = k % 2
        f.update(self.mini)
        return f

    # bytes ---------------------------------------------------------------
    def spectrum_bytes(self, k):
        out = b""
        if self.mini_hdr:
            out = pack_series_specheader(ver3=self.ver3, **self.mini_fields(k))
        if self._values:
            vals = _values_bytes(self.raw_values(k), self.element_size)
        elif self.num_points:
            vals = self._first.pack(k) + self._tail
        else:
            vals = b""
        return out + vals

    def chunks(self, batch=4096):
        yield self.prefix + self.head
        buf = []
        for k in range(self.n_spectra):
            buf.append(self.spectrum_bytes(k))
            if len(buf) >= batch:
                yield b"".join(buf)
                buf = []
        if buf:
            yield b"".join(buf)

    def to_bytes(self):
        data = b"".join(self.chunks())
        return data if self.truncate is None else data[:self.truncate]

    def write(self, path):
        """Stream the file to path; returns the number of bytes written."""
        left = self.truncate
        n = 0
        with open(path, "wb") as fh:
            for c in self.chunks():
                if left is not None:
                    c = c[:max(left - n, 0)]
                fh.write(c)
                n += len(c)
                if left is not None and n >= left:
                    break
        return n


def series_file(**kw):
    """Bytes of a complete series file; see SeriesFile for the keywords."""
    return SeriesFile(**kw).to_bytes()


def write_series(path, **kw):
    """Write a series file to path and return its SeriesFile (for expected
    values, titles and layout)."""
    s = SeriesFile(**kw)
    s.write(path)
    return s


def series_layout(**kw):
    return SeriesFile(**kw).layout
