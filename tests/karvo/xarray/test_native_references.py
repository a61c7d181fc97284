"""Chunk references and their JSON text, made natively: the offsets and
lengths of the file's layout, the text json.dumps gives, and geometry that
points beyond the file refused."""
import gc
import json
import os

import numpy as np
import pytest

import karvo
from karvo import _native
from karvo._xarray import references as _references
from karvo.cli import main

from xarray_files import expected_values, series

# Quotes, backslashes, control characters, DEL, non-ASCII and a character
# beyond the Basic Multilingual Plane: everything JSON escapes.
ODD = 'a "q" \\b\\ é✓𝄞\x01\x7f\n\t\udc80'


@pytest.mark.parametrize("mini, run_bytes, run", [(True, None, 1), (False, None, 12), (False, 3 * 32, 3)])
def test_chunks_point_at_each_run_of_spectra(tmp_path, monkeypatch, mini, run_bytes, run):
    if run_bytes:
        monkeypatch.setattr(_references, "RUN_BYTES", run_bytes)
    sf = series(tmp_path / "s", n_spectra=12, num_points=8, element_size=4, mini_hdr=mini)
    refs = karvo.references(tmp_path / "s", url=ODD)["refs"]
    assert json.loads(refs["spectra/.zarray"])["chunks"] == [run, 8]
    chunks = {k: v for k, v in refs.items() if k.startswith("spectra/") and "/." not in k}
    size = sf.layout.values_size
    assert chunks == {f"spectra/{c}.0": [ODD, sf.layout.values_offset(c * run), run * size]
                      for c in range(12 // run)}
    assert gc.isenabled()


FAR = 100 + 9 * 600 + 512          # where the tenth spectrum of the geometry below ends


@pytest.mark.parametrize("geometry, error", [
    ((100, 600, 512, 10, 1, FAR - 1), ValueError),               # the last one ends a byte beyond
    ((2**64 - 1, 1, 1, 2, 1, 2**64 - 1), ValueError),            # an offset beyond 64 bits
    ((0, 2**63, 2**63, 4, 2, 2**64 - 1), ValueError),            # a run's bytes beyond 64 bits
    ((0, 8, 8, 10, 3, 10**6), ValueError),                       # runs that don't tile
    ((0, 8, 8, 10, 0, 10**6), ValueError),
    ((0, 16, 8, 10, 2, 10**6), ValueError),                      # a run with gaps in it
    ((-1, 8, 8, 10, 1, 10**6), OverflowError),
    ((0, 8, 8, 2**64, 1, 10**6), OverflowError),
])
def test_geometry_beyond_the_file_is_refused(geometry, error):
    with pytest.raises(error):
        _native.chunk_refs("spectra", "u", *geometry)
    assert gc.isenabled()
    assert len(_native.chunk_refs("spectra", "u", 100, 600, 512, 10, 1, FAR)) == 10


@pytest.mark.parametrize("refs", [
    {"version": 1, "refs": {".zgroup": '{"zarr_format": 2}', ODD: "base64:AA==",
                            "spectra/0.0": [ODD, 2**70, -5, 0], "spectra/1.0": []}},
    {"version": 1, "refs": {}},
    {"version": 1, "refs": {"a": 1.5}},                          # not references: json.dumps writes them
    {"version": 1, "refs": {"a": [True, None]}},
    {"version": True, "refs": {"a": "b"}},
    {"refs": {"a": "b"}, "version": 1},
])
def test_json_text_is_what_json_dumps_writes(refs):
    text = _references.json_bytes(refs)
    assert text == json.dumps(refs).encode("ascii")
    assert json.loads(text) == refs


def test_refs_command_output_reads_back_through_fsspec(tmp_path):
    fsspec = pytest.importorskip("fsspec")
    # the same bytes on disk whatever the file system encoding of this run
    folder = tmp_path / os.fsdecode('dir "q" \\ é✓'.encode("utf-8"))
    folder.mkdir()
    sf = series(folder / "s", n_spectra=5, num_points=8, element_size=4)
    out = tmp_path / "refs.json"
    assert main(["refs", str(folder / "s"), "-o", str(out)]) == 0
    assert json.loads(out.read_bytes()) == karvo.references(folder / "s")
    fs = fsspec.filesystem("reference", fo=str(out), remote_protocol="file")
    got = np.frombuffer(fs.cat("spectra/3.0"), "<f4")
    np.testing.assert_array_equal(got, expected_values(sf)[3])


def test_references_open_the_file_once(tmp_path, monkeypatch):
    """The geometry comes from the open file that the store described, so
    the chunks point where its variables say they are."""
    series(tmp_path / "s", n_spectra=4, num_points=8)
    opened = []
    real_open = _native.open
    monkeypatch.setattr(_native, "open", lambda path: opened.append(path) or real_open(path))
    karvo.references(tmp_path / "s")
    assert len(opened) == 1
