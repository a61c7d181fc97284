"""Zarr references (karvo.references, karvo refs): read by fsspec and Zarr
alone, in a process that never imports karvo, they give the Dataset of the
xarray engine."""
import json
import os
import pickle
import shutil
import warnings

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("fsspec")
pytest.importorskip("zarr")

import karvo  # noqa: E402
from karvo._xarray import references as _references  # noqa: E402
from karvo.cli import main  # noqa: E402

from conftest import assert_child_ok, run_python  # noqa: E402
from xarray_files import engine, series, single  # noqa: E402
from campaign import CUT_HOLDS, NOT_SPECTRAL, SHARED, make_campaign  # noqa: E402

# Reads the references at argv[1] with xarray's Zarr engine and pickles the
# loaded Dataset to argv[2].  karvo is kept out: a finder refuses it, so an
# xarray that loads every engine's entry point skips karvo's instead.
READ_WITHOUT_KARVO = """
import importlib.abc, json, pickle
class NoKarvo(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] == "karvo":
            raise ImportError("karvo is not to be used here")
sys.meta_path.insert(0, NoKarvo())
import warnings
warnings.simplefilter("ignore")
import xarray as xr, zarr
refs = json.load(open(sys.argv[1]))
options = {"fo": refs, "remote_protocol": sys.argv[3]}
options.update(json.loads(sys.argv[4]))
if int(zarr.__version__.split(".")[0]) >= 3:      # asynchronous, as Zarr 3 reads (both levels)
    options["asynchronous"] = True
    options.setdefault("remote_options", {})["asynchronous"] = True
ds = xr.open_dataset("reference://", engine="zarr", backend_kwargs={
    "consolidated": False, "storage_options": options}).load()
with open(sys.argv[2], "wb") as fh:
    pickle.dump(ds, fh)
assert "karvo" not in sys.modules
print("OK")
"""


def read_without_karvo(tmp_path, refs, protocol="file", options=None):
    refs_path, out = tmp_path / "refs.json", tmp_path / "read.pickle"
    refs_path.write_text(json.dumps(refs))
    assert_child_ok(run_python(READ_WITHOUT_KARVO, str(refs_path), str(out), protocol,
                               json.dumps(options or {})))
    with open(out, "rb") as fh:
        return pickle.load(fh)


def by_engine(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", karvo.TruncatedWarning)
        return xr.open_dataset(path, engine=engine()).load()


def assert_same(got, expected):
    # the record of the files read, which the engine has no use for (test_refs_check.py)
    assert [set(r) for r in got.attrs.pop("karvo_sources")] == [{"url", "size", "etag", "mtime"}] * \
        len(set(expected.coords["file"].values.tolist()) if "file" in expected.coords else [1])
    xr.testing.assert_identical(got, expected)
    for name in expected.variables:     # text as text, values of the stored type
        assert got[name].dtype.kind == expected[name].dtype.kind or \
            {got[name].dtype.kind, expected[name].dtype.kind} == {"U", "O"}, name
        if expected[name].dtype.kind != "O":
            assert got[name].dtype == expected[name].dtype, name


def make(kind, folder):
    """Files of one kind; their paths."""
    paths = [str(folder / f"{kind}{i}") for i in range(2 if kind == "two files" else 1)]
    if kind == "single spectrum":
        single(paths[0], num_points=9, title="one")
    elif kind == "cut":
        sf = series(paths[0], n_spectra=5, num_points=6, title="cut")
        with open(paths[0], "r+b") as fh:
            fh.truncate(sf.layout.values_offset(3) + 5)
    else:
        for i, path in enumerate(paths):
            series(path, n_spectra=6 - i, num_points=8, seed=100.0 * i, title=f"run {i}",
                   **({"mini_hdr": False, "element_size": 8} if kind == "no mini headers" else {}))
    return paths


def expected_of(paths, names):
    """The engine's Dataset of the files, stacked along spectrum with the
    coordinate file when several (names: what the references call them)."""
    if len(paths) == 1:
        return by_engine(paths[0])
    parts = [by_engine(p) for p in paths]
    return xr.concat([ds.assign_coords(file=("spectrum", [name] * ds.sizes["spectrum"]))
                      for ds, name in zip(parts, names)], "spectrum", combine_attrs="drop_conflicts")


class Local:
    """Files read where they are written."""
    protocol, options = "file", []

    def serve(self, paths):
        return [os.path.abspath(p) for p in paths]


class S3:
    """Files put on the S3 test server, which the command and the reader
    find by their options alone (nothing in the environment)."""
    protocol = "s3"

    def __init__(self, request, monkeypatch):
        pytest.importorskip("s3fs")
        from servers import s3_options
        self.s3 = request.getfixturevalue("s3")
        self.reader_options = {"remote_options": s3_options(self.s3.endpoint)}
        self.options = [f"--storage-option={k}={json.dumps(v)}" for k, v in s3_options(self.s3.endpoint).items()]
        self.monkeypatch = monkeypatch

    def serve(self, paths):
        urls = [self.s3.put(p, f"{os.path.basename(os.path.dirname(p))}-{os.path.basename(p)}") for p in paths]
        for name in ("AWS_ENDPOINT_URL", "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY"):
            self.monkeypatch.delenv(name, raising=False)
        return urls


def served(where, request, monkeypatch):
    return Local() if where == "local" else S3(request, monkeypatch)


@pytest.mark.parametrize("where", ["local", "s3"])
@pytest.mark.parametrize("kind", ["mini headers", "no mini headers", "single spectrum", "cut", "two files"])
def test_references_read_without_karvo_as_the_engine_gives(tmp_path, monkeypatch, request, kind, where):
    # Runs of 3 of the 6 contiguous spectra: the largest divisor within the bound.
    monkeypatch.setattr(_references, "RUN_BYTES", 4 * 8 * 8)
    paths = make(kind, tmp_path)
    server = served(where, request, monkeypatch)
    urls = server.serve(paths)
    out = tmp_path / "out.json"
    with warnings.catch_warnings():
        warnings.simplefilter("error", karvo.TruncatedWarning)
        assert main(["refs", *urls, "-o", str(out), *server.options]) == 0
    refs = json.loads(out.read_text())
    assert refs["version"] == 1
    assert {v[0] for v in refs["refs"].values() if isinstance(v, list)} == set(urls)
    if kind == "no mini headers":
        assert json.loads(refs["refs"]["spectra/.zarray"])["chunks"] == [3, 8]
    if kind == "cut":
        assert json.loads(refs["refs"]["spectra/.zarray"])["shape"] == [3, 6]
        if where == "local":
            with pytest.warns(karvo.TruncatedWarning):
                assert karvo.references(paths[0]) == refs
    got = read_without_karvo(tmp_path, refs, server.protocol, getattr(server, "reader_options", {}))
    expected = expected_of(paths, urls)
    for ds in (got, expected):
        if where != "local":
            ds.attrs.pop("source", None)    # where each was read from
    assert_same(got, expected)


@pytest.mark.parametrize("where", ["local", "s3"])
def test_url_names_where_the_file_is_served(tmp_path, monkeypatch, request, where):
    original, = make("mini headers", tmp_path)
    if where == "local":
        served_at = str(tmp_path / "served" / "copy")
        os.mkdir(os.path.dirname(served_at))
        shutil.copy(original, served_at)
    server = served(where, request, monkeypatch)
    if where != "local":
        served_at, = server.serve([original])
    refs = karvo.references(original, url=served_at)
    expected = by_engine(original)
    os.remove(original)             # every value must come from the copy
    got = read_without_karvo(tmp_path, refs, server.protocol, getattr(server, "reader_options", {}))
    assert got.attrs.pop("source", served_at) == served_at
    expected.attrs.pop("source", None)
    assert_same(got, expected)
    assert {v[0] for v in refs["refs"].values() if isinstance(v, list)} == {served_at}


TIME_IN_MINUTES = [dict(num_elements=6, first_dim=0, last_dim=5, scale_dim=1.0, short_label=b"t",
                        long_label=b"minutes")]


@pytest.mark.parametrize("other, refused", [
    (dict(num_points=9), "its spectral axis differs from that of"),
    (dict(spectral={"first_x": 3000.0}), "its spectral axis differs from that of"),
    (dict(element_size=8), "values of different types (float32, float64): they don't combine"),
    (dict(mini_hdr=False), None), (dict(mini_header_type=3), None), (dict(dimensions=TIME_IN_MINUTES), None)])
def test_files_stack_unless_their_axes_or_value_types_differ(tmp_path, capsys, other, refused):
    a, b = str(tmp_path / "a"), str(tmp_path / "b")
    series(a, num_points=8)
    series(b, **{"num_points": 8, **other})
    out = tmp_path / "out.json"
    assert main(["refs", a, b, "-o", str(out)]) == (1 if refused else 0)
    err = capsys.readouterr().err
    if refused:
        assert a in err and b in err and refused in err and not out.exists()
        return
    got = read_without_karvo(tmp_path, json.loads(out.read_text()))
    np.testing.assert_array_equal(got.spectra.values, karvo.read_many([a, b])[1])
    if "dimensions" in other:                   # the dimension's long names differ: dropped
        assert got.t.values.tolist() == [0, 1, 2, 3, 4, 5] * 2 and "long_name" not in got.t.attrs


@pytest.fixture
def campaign(tmp_path):
    return make_campaign(tmp_path / "campaign")


def test_a_campaign_is_stacked_as_read_many_stacks_it(campaign, tmp_path, capsys):
    out = tmp_path / "out.json"
    assert main(["refs", str(campaign), "-o", str(out)]) == 1        # raise, the default
    err = capsys.readouterr().err.splitlines()
    d, e, a = (str(campaign / n) for n in ("d_points", "e_range", "a_titled"))
    assert err[-1] == (f"karvo: {d}: its spectral axis differs from that of {a} and 3 other files of that axis: "
                       f"9 points against 8 (x 4000 to 400 against 4000 to 400); "
                       f"{e}: x[0] is 3000.0 against 4000.0 (x 3000 to 400 against 4000 to 400)")
    assert not out.exists()
    assert main(["refs", str(campaign), "-o", str(out), "--mismatched", "skip"]) == 0
    err = capsys.readouterr().err
    assert f"karvo: karvo refs left out 2 files whose spectral axis differs from that of {a}" in err
    for name in NOT_SPECTRAL:
        assert f"{campaign / name}: skipped: " in err
    got = read_without_karvo(tmp_path, json.loads(out.read_text()))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        x, Y, table = karvo.read_many(campaign, mismatched="skip")
    assert got.spectra.dtype == Y.dtype and got.spectra.values.tobytes() == Y.tobytes()
    np.testing.assert_array_equal(got.x.values, x)
    assert list(got.file.values) == list(table.file) == [str(campaign / n) for n in SHARED
                                                        for _ in range({"a_titled": 3, "f_cut": CUT_HOLDS}.get(n, 2))]
    assert list(got.title.values) == list(table.title)               # "" without mini headers
    # missing where a file lacks the field: NaN read, never a made-up number
    for name in ("t", "temp", "num_scans", "start_time", "detector_ID", "direction"):
        np.testing.assert_array_equal(got[name].values, table[name].to_numpy(float, na_value=np.nan), err_msg=name)
    assert got.start_time.values[3] == 3_000_000_000
    refs = json.loads(out.read_text())["refs"]
    zarray = json.loads(refs["num_scans/.zarray"])
    assert zarray["dtype"] == "<u4" and zarray["fill_value"] == 2**32 - 1


@pytest.mark.parametrize("tool", ["read_many", "open_mfdataset", "export", "refs", "info"])
def test_every_tool_keeps_the_same_files_of_a_campaign(campaign, tmp_path, tool, capsys):
    want = [str(campaign / n) for n in SHARED]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if tool == "read_many":
            got = karvo.read_many(campaign, mismatched="skip")[2].file
        elif tool == "open_mfdataset":
            with karvo.open_mfdataset(campaign, mismatched="skip") as ds:
                got = ds.file.values.tolist()
        elif tool == "export":
            assert main(["export", str(campaign), "-o", str(tmp_path / "all.npz"), "--mismatched", "skip"]) == 0
            with np.load(tmp_path / "all.npz") as z:
                got = z["file"].tolist()
        elif tool == "refs":
            assert main(["refs", str(campaign), "-o", str(tmp_path / "r.json"), "--mismatched", "skip"]) == 0
            got = {ref[0] for key, ref in json.loads((tmp_path / "r.json").read_text())["refs"].items()
                   if key.startswith("spectra/") and isinstance(ref, list)}
        else:
            assert main(["info", "--json", str(campaign), "--mismatched", "skip"]) == 0
            got = [d["path"] for d in json.loads(capsys.readouterr().out)]
    assert sorted(set(got)) == want


def test_a_single_spectrum_stacks_as_one_row_titled_by_its_file(tmp_path):
    paths = [str(tmp_path / "a"), str(tmp_path / "b")]
    series(paths[0], n_spectra=2, num_points=32)
    single(paths[1], num_points=32, title="film")
    refs = _references.combine([(p, karvo.references(p)) for p in paths])
    got = read_without_karvo(tmp_path, refs)
    _x, Y, table = karvo.read_many(paths)
    assert got.spectra.values.tobytes() == Y.tobytes()
    assert list(got.title.values) == list(table.title) and got.title.values[-1] == "film"
    assert np.isnan(got.temp.values[-1]) and list(got.file.values) == list(table.file)


def test_a_pattern_is_expanded_sorted(campaign, tmp_path, capsys):
    out = tmp_path / "out.json"
    assert main(["refs", str(campaign / "[cab]_*"), "-o", str(out)]) == 0
    got = read_without_karvo(tmp_path, json.loads(out.read_text()))
    assert list(dict.fromkeys(got.file.values.tolist())) == [str(campaign / n) for n in SHARED[:3]]
    assert main(["refs", str(campaign / "nothing*"), "-o", str(out)]) == 1
    assert "nothing*: no file matches this pattern" in capsys.readouterr().err


def test_refs_of_a_file_that_is_not_spectral_data_fail_naming_it(tmp_path, capsys):
    bad = tmp_path / "notes.txt"
    bad.write_text("hello\n" * 100)
    assert main(["refs", str(bad), "-o", str(tmp_path / "out.json")]) == 1
    assert str(bad) in capsys.readouterr().err
    assert not (tmp_path / "out.json").exists()
    good, = make("mini headers", tmp_path)
    with open(good, "rb") as fh, pytest.raises(TypeError, match="path or a URL"):
        karvo.references(fh)        # references must say where the file is
    with pytest.raises(SystemExit) as exit:     # one url for two files
        main(["refs", good, good, "--url", "s3://b/k", "-o", str(tmp_path / "out.json")])
    assert exit.value.code == 2 and "one SOURCE" in capsys.readouterr().err


def test_a_folder_is_referred_to_file_by_file_passing_over_what_is_not_spectral(tmp_path, capsys):
    folder = tmp_path / "runs"
    (folder / "later").mkdir(parents=True)
    series(folder / "a", num_points=8)
    series(folder / "later" / "b", num_points=8, seed=1.0)
    (folder / "notes.txt").write_text("not spectra\n" * 40)
    out = tmp_path / "out.json"
    assert main(["refs", str(folder), "-o", str(out)]) == 0
    err = capsys.readouterr().err
    assert f"{folder / 'notes.txt'}: skipped: " in err
    refs = json.loads(out.read_bytes())["refs"]
    fetched = {ref[0] for key, ref in refs.items() if key.startswith("spectra/") and isinstance(ref, list)}
    assert fetched == {str(folder / "a"), str(folder / "later" / "b")}
    empty = tmp_path / "empty"
    empty.mkdir()
    assert main(["refs", str(empty), "-o", str(out)]) == 1 and "nothing written" in capsys.readouterr().err
