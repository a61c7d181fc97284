"""Sizes and counts that a damaged or hostile file states: karvo refuses them
at open, naming the file, and never commits memory to bytes the file lacks."""
import os
import struct

import pytest

import karvo
import karvo_writer as W
from conftest import assert_child_ok, run_python

DIMENSION = 332
NUM_DIMENSIONS = 564  # within the disk resident array


@pytest.mark.parametrize("size", [0, 2, 12, 16])
def test_element_sizes_other_than_4_and_8_fail_at_open(write, size):
    path = write(W.series_file(n_spectra=3, num_points=4, array_element_size=size))
    with pytest.raises(karvo.FormatError, match="element size %d" % size) as e:
        karvo.open(path)
    assert str(e.value).startswith(path + ": ")


def patched_dimension_count(path, count, tail):
    """A small series whose disk resident array says `count` dimensions, made
    as long as they need: `tail` writes the bytes after the series itself."""
    sf = W.SeriesFile(n_spectra=3, num_points=2)
    data = bytearray(sf.to_bytes())
    dra = sf.builder.offset(1)
    struct.pack_into("<I", data, dra + NUM_DIMENSIONS, count)
    with open(path, "wb") as fh:
        fh.write(data)
        tail(fh, dra + 568 + count * DIMENSION - len(data))
    return path


# Opens the file, then reads its dimensions; prints the growth of the peak
# memory (KiB) and the outcome.
MEASURE = """
import resource, karvo
# A fault fails here, not the machine: 1 GiB more address space at most.
size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 30), resource.RLIM_INFINITY))
path = sys.argv[1]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    with karvo.open(path) as s:
        outcome = [d["name"] for d in s.dimensions]
except karvo.FormatError as e:
    outcome = str(e)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
print(outcome)
print("OK")
"""


def measure(path):
    grown, outcome = assert_child_ok(run_python(MEASURE, path)).splitlines()[:2]
    return int(grown), outcome


def test_dimension_records_in_a_hole_of_a_sparse_file_are_refused(tmp_path):
    # 60 million records: 20 GB that the file stores nowhere.
    path = patched_dimension_count(str(tmp_path / "sparse"), 60_000_000, lambda fh, n: fh.truncate(fh.tell() + n))
    with open(path, "rb") as fh:
        if os.lseek(fh.fileno(), 0, os.SEEK_HOLE) >= os.path.getsize(path):
            pytest.skip("the file system keeps no holes")
    assert os.path.getsize(path) > 19e9
    grown, outcome = measure(path)
    assert outcome.startswith(path + ": ") and "60000000 dimensions" in outcome and "hole" in outcome
    assert grown < 16 * 1024


def test_only_the_dimensions_along_the_series_take_memory(tmp_path):
    # 100,000 records on disk (33 MB), none but the first along the series.
    path = patched_dimension_count(str(tmp_path / "many"), 100_000, lambda fh, n: fh.write(b"\x01" * n))
    grown, outcome = measure(path)
    assert outcome == "['t']"
    assert grown < 16 * 1024
