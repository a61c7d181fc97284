"""Reader for FT-IR and Raman spectral data files and series files.

The low-level layer: every structure of a file is a record object whose
attributes are the structure's fields; a series is read as a stream. Every
name below lives in the module's namespace and is looked up there at the
moment an operation uses it, so a caller may rebind any of them (a constant,
a table, a record class, `decode_string`, `read_string`, `struct`, `array`)
and every later operation follows.

Importing the module prints "karvoreader: compiled version" once per process.

Example::

    import karvoreader

    series = karvoreader.open_file("run42.kvr")      # None for a single spectrum
    stream = series.open_series()
    axis, dimensions = next(stream)                  # {"first", "last", "n"}, [...]
    for info, values in stream:                      # {"title": ...}, array('f' or 'd')
        print(info["title"], values[0])
"""

import builtins
import struct as struct
from array import array as array
from collections.abc import Generator
from typing import Any, ClassVar, Protocol, SupportsIndex, TypeVar

_R = TypeVar("_R")


class _ReadableBinary(Protocol):
    """A readable binary stream: read(n) returns at most n bytes."""

    def read(self, n: int, /) -> bytes: ...


# A file name as the host's open() takes it: str, bytes, a path object or a
# file descriptor number.
_FileName = Any

# --- constants -------------------------------------------------------------------

ST_ID_LENGTH: int
"""Width in bytes of the file header's identification string (30)."""

FILE_ID_LENGTH: int
"""Width in bytes of a file identifier string (256): the file header's
`file_id` and the link's `title`."""

MAX_PATH: int
"""Width in bytes of a path string (260): the link's `filename`."""

FT_IRDATA: int
"""File type of a single-spectrum file (1); for callers only."""

FT_GROUP: int
"""File type of a group file (10); for callers only."""

FT_SERIES: int
"""File type of a series file (11); for callers only."""

# --- text fields ---------------------------------------------------------------------

def decode_string(s: bytes, /) -> str:
    """Text of a fixed-width byte field: the bytes before the first NUL,
    decoded as ASCII with every byte of 128 to 255 dropped.

    >>> decode_string(b"Temp 25\\xb0C\\0junk")
    'Temp 25C'
    """

def read_string(f: _ReadableBinary, max_len: SupportsIndex) -> str:
    """Reads exactly `max_len` bytes from `f` and returns `decode_string` of
    them; struct.error when the stream holds fewer.

    >>> read_string(io.BytesIO(b"ab\\0c"), 4)
    'ab'
    """

# --- record classes ---------------------------------------------------------------------

class FileHeader:
    """The file header and its section directory, read from `f`.

    `sections` holds compact `IndexEntry` records, or `IndexEntryExtended`
    records when `sti_id_string` contains "Exte".
    """

    sti_id_string: str
    file_id: str
    hard_eof: bytes
    file_type: int
    version: int
    num_sections: int
    time: int
    ex_time: int
    sections: list[IndexEntry]
    def __init__(self, f: _ReadableBinary) -> None:
        """Reads the 304-byte header, then `num_sections` directory entries."""

class IndexEntry:
    """One compact (16-byte) directory entry: where a section lies and its type."""

    section_type: int
    section_offset: int
    section_length: int
    index_unsigned: int
    index_long: int
    def __init__(self, f: _ReadableBinary) -> None:
        """Reads one 16-byte entry."""

class IndexEntryExtended(IndexEntry):
    """One extended (22-byte) directory entry, with a 64-bit section offset."""

    def __init__(self, f: _ReadableBinary) -> None:
        """Reads one 22-byte entry."""

class MainSpectralHeader:
    """The main spectral header (140 bytes): one spectrum's data type, point
    count, axis units and x range, and the parameters of its acquisition.
    The section of type 2 in a single-spectrum file; in a series, the first
    header of the linked data."""

    data_type: int
    num_points: int
    x_units: int
    y_units: int
    first_x: float
    last_x: float
    noise: float
    num_scan_points: int
    final_peak_pos: int
    num_scans: int
    interp_peak: float
    num_transform_pts: int
    num_post_peak_pts: int
    BK_num_scans: int
    BK_gain: float
    apod_ID: int
    apod_value: float
    duration: int
    burst_peak_height: float
    phase_corr_ID: int
    laser_freq: float
    SSP: float
    aperture_ref: float
    aperture: float
    raman_freq: float
    stage_x: int
    stage_y: int
    stage_z: int
    flags: int
    old_y_units: int
    old_type: int
    bad_scans: int
    BK_bad_scans: int
    collect_error_map: int
    BK_collect_error_map: int
    def __init__(self, f: _ReadableBinary) -> None:
        """Reads the 140-byte record."""

class BenchInfo:
    """The bench record (56 bytes): detector, beam splitter, source, filters,
    gains and mirror velocity."""

    bench_ID: int
    detector_ID: int
    beam_split_ID: int
    source_ID: int
    AD_bits: int
    HPF: float
    LPF: float
    switch_gain_hi: int
    switch_gain_lo: int
    switch_gain_p1: int
    switch_gain_p2: int
    gain: float
    velocity: float
    accessory_ID: int
    def __init__(self, f: _ReadableBinary) -> None:
        """Reads the 56-byte record."""

class SeriesHeader:
    """The series header (262 bytes), the section of type 325: the series'
    kind, ranges, `max_spectra` and the labels of its dimensions."""

    series_type: int
    series_ID: str
    min_range: float
    max_range: float
    step_size: float
    min_range_2: float
    max_range_2: float
    step_size_2: float
    max_spectra: int
    converted: int
    num_converted: int
    flow_cell_temp: float
    transfer_line_temp: float
    gs_offset: int
    gs_ifg_pts: int
    num_phase_data_pts: int
    num_phase_transform_pts: int
    num_dimensions: int
    z_units: int
    z_short_label: str
    z_long_label: str
    z_units_2: int
    z_short_label_2: str
    z_long_label_2: str
    spectra_min: float
    spectra_max: float
    def __init__(self, f: _ReadableBinary) -> None:
        """Reads the 262-byte record; its text fields go through `decode_string`."""

class Dimension:
    """One dimension of a series (332 bytes): its range in steps of
    `scale_dim`, its element count, unit and labels."""

    dimension_type: int
    first_dim: int
    last_dim: int
    scale_dim: float
    num_elements: int
    unit_ID: int
    short_label: str
    long_label: str
    def __init__(self, f: _ReadableBinary) -> None:
        """Reads the 32-byte fixed part, then two 150-byte labels."""

class DataBlobFormat:
    """The flag word of a data blob (4 bytes): which headers precede the
    spectra and how the data are laid out."""

    mini_hdr: bool
    spectral_hdr: bool
    bench_hdr: bool
    interleaved: bool
    line_data: bool
    area_data: bool
    depth_data: bool
    def __init__(self, f: _ReadableBinary) -> None:
        """Reads the 4-byte word and keeps its bits 0 to 6."""

class LinkToData:
    """Where a series' data lie (552 bytes): the data section's type and
    number among the sections of that type, the mini header kind and the
    blob's format."""

    link_type: int
    section_type: int
    section_number: int
    mini_header_type: int
    data_blob_format: DataBlobFormat
    offset_spectral_header: int
    offset_bench_header: int
    offset_mini_header: int
    offset_data_array: int
    filename: str
    title: str
    def __init__(self, f: _ReadableBinary) -> None:
        """Reads the record; `filename` is `MAX_PATH` bytes wide and `title`
        `FILE_ID_LENGTH` bytes, as bound when it is read."""

class SeriesSpecheader:
    """
    A possible mini header in data blobs.

    SERIES_SPECHEADER
    """

    num_scans: int
    start_time: int
    temp: float
    pressure: float
    spec_title: str
    x_position: float
    y_position: float
    detector_ID: int
    pk_height: float
    def __init__(self, f: _ReadableBinary) -> None:
        """Reads the 96-byte mini header that precedes a spectrum's values."""

class SeriesSpecheaderVer3(SeriesSpecheader):
    """
    A possible mini header in data blobs. SeriesSpecheader + direction

    SERIES_SPECHEADER_VER3
    """

    direction: int
    def __init__(self, f: _ReadableBinary) -> None:
        """Reads the 100-byte mini header: `SeriesSpecheader`, then `direction`."""

class DiskResidentArray:
    """The disk resident array (section type 300): the element size of the
    stored values, the link to the data and the series' dimensions."""

    structure_size: int
    version: int
    array_element_size: int
    link: LinkToData
    num_dimensions: int
    dimensions: list[Dimension]
    def __init__(self, f: _ReadableBinary) -> None:
        """Reads the fixed part, the link, and `num_dimensions` dimensions."""

    def read_linked_data(
        self, file: SPAFile, n_spectra: SupportsIndex
    ) -> Generator[dict[type[Any], Any] | tuple[SeriesSpecheader | None, array[float]], None, None]:
        """Streams the linked data of `file`, which the stream opens on its own.

        The first item is a dict from record class (`MainSpectralHeader`,
        `BenchInfo`) to the header record read; then one pair (mini header
        or None, values) per spectrum, for `n_spectra` spectra. The values
        are an array of type code "f" (element size 4) or "d" (8).

        Raises, from the request that meets it: RuntimeError for data linked
        in an external file, KeyError for an element size other than 4 or 8,
        IndexError for a section number beyond the sections of its type,
        struct.error when the file ends inside a record, EOFError when it
        ends inside a spectrum's values.
        """

# --- registries --------------------------------------------------------------------------

TYPE_CLASS: dict[int, type[Any]]
"""Record class by section type: 2 -> MainSpectralHeader, 325 -> SeriesHeader,
300 -> DiskResidentArray. `SPAFile.read` looks it up at every call."""

CLASS_TYPE: dict[type[Any], int]
"""Section type by record class: `TYPE_CLASS` inverted, as a copy made at import."""

# --- files -----------------------------------------------------------------------------------

class SPAFile:
    """An opened spectral data file: its header and directory, read at once;
    every later read opens the named file afresh, and no file stays open.

    >>> spa = SPAFile("run42.kvr")
    >>> header = spa.read(spa.find_indextype(325))
    """

    type: ClassVar[None]
    filename: _FileName
    info: FileHeader
    def read_basic_info(self) -> None:
        """Reads (again) the file header and directory into `info`."""

    def __init__(self, filename: _FileName) -> None:
        """Stores `filename` and reads the file header and directory."""

    def find_indextype(self, t: object) -> int | None:
        """Directory index of the first section of type `t`, or None."""

    def find_indextypes(self, t: object) -> Generator[int, None, None]:
        """Directory indices of every section of type `t`, in order, found
        one at a time as they are asked for."""

    def read(self, index: SupportsIndex) -> Any:
        """The record of directory entry `index` (negative counts from the
        end), read by the class that `TYPE_CLASS` gives for its section type.

        IndexError outside the directory, TypeError for an index that is not
        an integer (such as None), KeyError for a section type that
        `TYPE_CLASS` lacks.
        """

    def read_offset(self, rclass: builtins.type[_R], offset: int) -> _R:
        """A record of `rclass` read at the absolute file offset `offset`."""

class Series:
    """A series file opened as an `SPAFile`, ready to stream its spectra."""

    karvo_file: SPAFile
    def __init__(self, karvo_file: SPAFile) -> None:
        """Keeps `karvo_file`; nothing is read yet."""

    def open_series(
        self,
    ) -> Generator[
        tuple[dict[str, Any], list[dict[str, Any]]] | tuple[dict[str, str | None], array[float]], None, None
    ]:
        """Streams the series.

        The first item is (spectral axis, dimensions): the axis as
        {"first": first_x, "last": last_x, "n": num_points}, the dimensions
        whose element count is the series' `max_spectra` as a list of
        {"first", "last", "n"} dicts, scaled by `scale_dim`. Then one pair
        ({"title": spectrum title or None}, values) per spectrum.
        """

def open_file(filename: _FileName, /) -> Series | None:
    """A `Series` for a series file (file type 11); None for any other file."""
