"""Zarr references (karvo.references, karvo refs): read by fsspec and Zarr
alone, in a process that never imports karvo, they give the Dataset of the
xarray engine."""
import json
import os
import pickle
import shutil
import warnings

import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("fsspec")
pytest.importorskip("zarr")

import karvo  # noqa: E402
from karvo._xarray import references as _references  # noqa: E402
from karvo.cli import main  # noqa: E402

from conftest import assert_child_ok, run_python  # noqa: E402
from xarray_files import engine, series, single  # noqa: E402

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


@pytest.mark.parametrize("other", [dict(num_points=9), dict(spectral={"first_x": 3000.0}), dict(element_size=8),
                                   dict(mini_hdr=False), dict(dimensions=TIME_IN_MINUTES)])
def test_files_that_do_not_stack_are_refused_naming_both(tmp_path, capsys, other):
    a, b = str(tmp_path / "a"), str(tmp_path / "b")
    series(a, num_points=8)
    series(b, **{"num_points": 8, **other})
    out = tmp_path / "out.json"
    assert main(["refs", a, b, "-o", str(out)]) == 1
    err = capsys.readouterr().err
    assert a in err and b in err and "don't combine" in err
    assert not out.exists()


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
