"""Damaged copies of good files: karvo opens them or refuses them with its own
errors, and whatever it opens reads without fault."""
import random
import zlib

import numpy as np
import pytest

import karvo
from karvo_writer import SeriesFile, single_spectrum_file

GOOD = {
    "series v3": SeriesFile(n_spectra=6, num_points=5, mini_header_type=3, bench_hdr=True).to_bytes(),
    "series plain f64": SeriesFile(n_spectra=4, num_points=3, mini_hdr=False, element_size=8,
                                   extended=True).to_bytes(),
    "single": single_spectrum_file(values=[1.0, 2.0, 3.0], file_id=b"single"),
}


def mutants(data, seed, count=150):
    rng = random.Random(seed)
    for _ in range(count):
        b = bytearray(data)
        for _ in range(rng.choice([1, 2, 4])):
            at = rng.randrange(len(b))
            b[at] = rng.choice([0, 1, 0xFF, 0x80, rng.randrange(256)])
        if rng.random() < 0.2:
            del b[rng.randrange(len(b)):]
        yield bytes(b)


@pytest.mark.parametrize("name", GOOD)
def test_mutants_open_or_fail_cleanly(write, fds, name):
    outcomes = set()
    for k, data in enumerate(mutants(GOOD[name], seed=zlib.crc32(name.encode()))):
        path = write(data, "mutant")
        try:
            with karvo.open(path, truncated="ignore") as obj:
                a = np.asarray(obj)
                if isinstance(obj, karvo.Series):
                    assert a.shape == obj.shape
                    obj.meta, obj.titles, obj.coords, obj.header, obj.spectral_header
                    if len(obj):
                        assert obj[-1].tobytes() == a[-1].tobytes()  # damaged values may be NaN
                repr(obj)
            outcomes.add("read")
        except karvo.FormatError as e:
            assert str(e).startswith(path + ": ")
            outcomes.add(type(e).__name__)
        except MemoryError:  # pragma: no cover - would be an unbacked allocation
            pytest.fail("allocation sized by an unbacked field: mutant %d" % k)
    assert "read" in outcomes
    fds.assert_clean()
