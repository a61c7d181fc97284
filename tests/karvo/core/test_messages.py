"""What karvo's messages say: foreign formats named, closed files named, the
`karvo info` output of a cut series and a closed pipe."""
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import karvo
from conftest import CHECKOUT
from karvo_writer import SeriesFile

EXAMPLE = os.path.join(CHECKOUT, "examples", "reaction_band_growth.series")


@pytest.mark.parametrize("head, what", [
    (b"\x89PNG\r\n\x1a\n", "a PNG image"),
    (b"\xff\xd8\xff\xe0", "a JPEG image"),
    (b"GIF89a", "a GIF image"),
    (b"II*\x00", "a TIFF image"),
    (b"MM\x00*", "a TIFF image"),
    (b"%PDF-1.7\n", "a PDF document"),
    (b"PK\x03\x04", "a ZIP archive"),
    (b"\x1f\x8b\x08", "a gzip archive"),
    (b"BZh91AY&SY", "a bzip2 archive"),
    (b"\xfd7zXZ\x00", "an xz archive"),
    (b"\x28\xb5\x2f\xfd", "a zstd archive"),
    (b"7z\xbc\xaf\x27\x1c", "a 7z archive"),
    (b"\x89HDF\r\n\x1a\n", "an HDF5 file"),
    (b"CDF\x01", "a netCDF file"),
    (b"\x93NUMPY\x01\x00", "a NumPy array file"),
    (b"\x7fELF\x02\x01\x01", "an ELF program binary"),
])
@pytest.mark.parametrize("size", [40, 2000])  # shorter and longer than the file header
def test_foreign_formats_are_named(write, fds, head, what, size):
    path = write(head + bytes(size - len(head)))
    with pytest.raises(karvo.FormatError) as e:
        karvo.open(path)
    assert str(e.value) == f"{path}: not a spectral data file (the content looks like {what})"
    fds.assert_clean()


def test_text_starting_like_a_magic_number_is_text(write):
    path = write(b"BZh9 is not a block magic\n" * 20)
    with pytest.raises(karvo.FormatError, match=r"\(the content looks like text\)$"):
        karvo.open(path)


@pytest.mark.parametrize("read", [
    lambda s: s[0], lambda s: s[[0, 1]], lambda s: s.read(1, 2), lambda s: next(iter(s)),
    lambda s: np.asarray(s), lambda s: s.titles, lambda s: s.to_xarray(),
])
def test_reads_after_close_name_the_file(write, read):
    path = write(SeriesFile(n_spectra=2, num_points=3).to_bytes())
    s = karvo.open(path)
    s.close()
    with pytest.raises(ValueError, match=f"^{re.escape(path)}: I/O operation on a closed file$"):
        read(s)


def test_docstring_examples_use_the_coordinate_names():
    # The examples' "s" is a series like the bundled one: their keys must be its coordinates.
    with karvo.open(EXAMPLE) as s:
        used = re.findall(r'coords\["(\w+)"\]', karvo.__doc__ + karvo.Series.coords.__doc__)
        assert used and set(used) <= set(s.coords)
        assert repr(s.coords["t"][:3]) in karvo.Series.coords.__doc__


@pytest.mark.parametrize("files", [1, 400])  # output held in the buffer until exit, or written at once
@pytest.mark.parametrize("as_json", [False, True])
def test_info_into_a_closed_pipe_ends_quietly(files, as_json):
    # The reader is gone before karvo starts: `karvo info ... | head` once head has its lines.
    read_end, write_end = os.pipe()
    os.close(read_end)
    args = ["info"] + ["--json"] * as_json + [EXAMPLE] * files
    with os.fdopen(write_end, "wb") as out:
        p = subprocess.run([sys.executable, "-m", "karvo", *args], stdout=out, stderr=subprocess.PIPE,
                           env=dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(karvo.__file__))))
    assert (p.returncode, p.stderr) == (141, b"")
