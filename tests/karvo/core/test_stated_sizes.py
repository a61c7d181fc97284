"""Sizes and counts that a damaged or hostile file states: karvo refuses them
at open, naming the file, and never commits memory to bytes the file lacks."""
import os
import struct
import subprocess
import sys

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
# memory (KiB), the outcome and the bytes read meanwhile.
MEASURE = """
import resource, karvo
# A fault fails here, not the machine: 1 GiB more address space at most.
size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 30), resource.RLIM_INFINITY))
path = sys.argv[1]
def read_so_far():
    return int(dict(line.split(": ") for line in open("/proc/self/io").read().splitlines())["rchar"])
before, read_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, read_so_far()
try:
    with karvo.open(path) as s:
        outcome = [d["name"] for d in s.dimensions]
except karvo.FormatError as e:
    outcome = str(e)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
print(outcome)
print(read_so_far() - read_before)
print("OK")
"""


def measure(path):
    grown, outcome, read = assert_child_ok(run_python(MEASURE, path)).splitlines()[:3]
    return int(grown), outcome, int(read)


def has_holes(path):
    with open(path, "rb") as fh:
        return os.lseek(fh.fileno(), 0, os.SEEK_HOLE) < os.path.getsize(path)


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="needs /proc to count the bytes read")
@pytest.mark.parametrize("stored", ["as zeros", "as a copy's holes", "nowhere"])
def test_zero_dimension_records_are_passed_over_however_they_are_stored(tmp_path, stored):
    """Zero-filled dimension records (unused slots) read the same whether the
    file stores them or the file system keeps them as holes: a sparse copy
    opens as its original, and a count of records that only a hole backs
    (60 million: 20 GB stored nowhere) costs neither memory nor reads."""
    path = str(tmp_path / "series")
    if stored == "nowhere":
        patched_dimension_count(path, 60_000_000, lambda fh, n: fh.truncate(fh.tell() + n))
    else:
        patched_dimension_count(path, 100_000, lambda fh, n: fh.write(bytes(n)))
    if stored == "as a copy's holes":
        subprocess.run(["cp", "--sparse=always", path, path + ".copy"], check=True)
        path += ".copy"
    if stored != "as zeros" and not has_holes(path):
        pytest.skip("the file system keeps no holes")
    grown, outcome, read = measure(path)
    assert outcome == "['t']"
    assert grown < 16 * 1024
    assert stored != "nowhere" or read < 16 << 20


def test_only_the_dimensions_along_the_series_take_memory(tmp_path):
    # 100,000 records on disk (33 MB); along the series only the first and
    # one after 4,000 others (past the first MiB of records, read in pieces).
    def others_and_a_late_one(fh, n):
        records_at = fh.tell() + n - 100_000 * DIMENSION
        fh.write(b"\x01" * (-(fh.tell() - records_at) % DIMENSION + 4_000 * DIMENSION))
        fh.write(W.pack_dimension(num_elements=3, first_dim=0, last_dim=2, scale_dim=1.0, short_label=b"late"))
        fh.write(b"\x01" * (records_at + 100_000 * DIMENSION - fh.tell()))
    path = patched_dimension_count(str(tmp_path / "many"), 100_000, others_and_a_late_one)
    grown, outcome, _ = measure(path)
    assert outcome == "['t', 'late']"
    assert grown < 16 * 1024


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs GNU cp --sparse=always")
@pytest.mark.parametrize("spectra", [0, 3])
def test_a_sparse_copy_lists_the_dimensions_of_its_original(tmp_path, spectra):
    """Records after holes (a hole may end in a record's leading zeros) are
    kept; unused all-zero slots are not, even where they match the count of
    spectra (none promised), whether stored as zeros or as holes."""
    zero = dict(dimension_type=0, first_dim=0, last_dim=0, scale_dim=0.0, num_elements=0)
    base = W.SeriesFile(n_spectra=spectra, num_points=2, dimensions=[zero]).builder.offset(1) + 568
    count = 12_000                   # 4 MB: pieces of about 1 MiB
    # the records that a block boundary cuts within their 24 leading zero bytes
    late = [k for k in range(1, count) if 0 < -(base + k * DIMENSION) % 4096 <= 24][::5]
    dims = [zero] * count
    for k in [0, *late]:
        dims[k] = dict(zero, num_elements=spectra, short_label=b"d%d" % k)
    path = str(tmp_path / "series")
    with open(path, "wb") as fh:
        fh.write(W.series_file(n_spectra=spectra, num_points=2, dimensions=dims))
    subprocess.run(["cp", "--sparse=always", path, path + ".copy"], check=True)
    if not has_holes(path + ".copy"):
        pytest.skip("the file system keeps no holes")
    want = ["d%d" % k for k in [0, *late]]
    for p in (path, path + ".copy"):
        with karvo.open(p) as s:
            assert [d["name"] for d in s.dimensions] == want, p
