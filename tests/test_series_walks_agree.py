"""karvoreader's series stream and karvo's arrays walk a series structure
natively, each in its own code: on damaged files they must keep giving the
same spectra. Both read the spectra from the data section's start on, as
many as the series header promises or the file holds, whatever length the
directory gives the section."""
import os
import random
import struct

import numpy as np
import pytest

import karvo
import karvoreader as kr
from karvo_writer import SeriesFile


def walk(path):
    """karvoreader's spectra as bytes, and the error that ended the stream."""
    values = []
    try:
        series = kr.open_file(path)
        if series is None:
            return None, None
        stream = series.open_series()
        next(stream)
        for _, data in stream:
            values.append(data.tobytes())
    except Exception as e:  # the stream's own errors, by its rules
        return values, type(e)
    return values, None


def rows(path):
    """karvo's spectra as bytes, or None when it refuses the file at open."""
    try:
        s = karvo.open(path, truncated="ignore")
    except karvo.FormatError:
        return None
    with s:
        return [r.tobytes() for r in np.asarray(s)] if isinstance(s, karvo.Series) else None


GOOD = [
    SeriesFile(n_spectra=6, num_points=5, mini_header_type=3, bench_hdr=True, section_number=1),
    SeriesFile(n_spectra=4, num_points=3, mini_hdr=False, element_size=8, extended=True),
    SeriesFile(n_spectra=5, num_points=1100, extra_data_sections=1),  # spectra read ahead in batches
]


def mutants(sf, rng, count):
    data = sf.to_bytes()
    head = sf.layout.blob_offset + sf.layout.head_size + sf.layout.stride  # the structure, one spectrum
    for _ in range(count):
        b = bytearray(data)
        for _ in range(rng.choice([1, 2, 3])):
            b[rng.randrange(min(head, len(b)))] = rng.choice([0, 1, 2, 3, 4, 8, 0x80, 0xFF, rng.randrange(256)])
        if rng.random() < 0.3:
            del b[rng.randrange(len(b)):]
        yield bytes(b)


def test_both_walks_give_the_same_spectra_of_damaged_files(tmp_path):
    rng = random.Random(20241207)
    compared = 0
    for n, sf in enumerate(GOOD):
        for k, data in enumerate(mutants(sf, rng, 120)):
            path = str(tmp_path / ("m%d_%d" % (n, k)))
            with open(path, "wb") as fh:
                fh.write(data)
            karvo_rows = rows(path)
            stream, error = walk(path)
            if karvo_rows is None or stream is None:
                continue
            compared += 1
            # A stream that fails at a spectrum has handed out the complete ones before it.
            assert stream == karvo_rows, (path, error, len(stream), len(karvo_rows))
    assert compared > 150


@pytest.mark.parametrize("length", [0, 100, 10**6])
def test_spectra_run_from_the_data_section_whatever_length_the_directory_gives(write, length):
    sf = SeriesFile(n_spectra=4, num_points=3)
    data = bytearray(sf.to_bytes())
    struct.pack_into("<I", data, 304 + 16 * sf.blob_index + 6, length)  # the entry's section_length
    path = write(bytes(data))
    want = [np.array(sf.values(k), np.float32).tobytes() for k in range(4)]
    assert walk(path) == (want, None) and rows(path) == want


@pytest.mark.parametrize("cut", ["before", "during"])
def test_a_walk_cut_in_a_later_read_ahead_batch_hands_out_only_whole_spectra(tmp_path, cut):
    # 4 KiB of values a spectrum: read ahead 250 at a time; the file ends
    # 100 spectra and a half into the third batch.
    sf = SeriesFile(n_spectra=800, num_points=1024)
    path = str(tmp_path / "cut")
    sf.write(path)
    end = sf.layout.spectrum_offset(600) + sf.layout.stride // 2
    stream = kr.open_file(path).open_series()
    next(stream)
    if cut == "before":
        os.truncate(path, end)
    got = 0
    with pytest.raises(EOFError):
        for item in stream:
            assert item[1].tolist() == sf.values(got), got
            got += 1
            if got == 10 and cut == "during":
                os.truncate(path, end)
    assert got == 600
