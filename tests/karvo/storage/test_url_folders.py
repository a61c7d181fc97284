"""Folders and patterns of URLs, wherever local ones are taken: the objects
the file system lists, sorted, what isn't spectral data passed over with
the local folders' warning; an HTTP folder only where it can be listed."""
import json
import os
import uuid

import numpy as np
import pytest

import karvo
from command import karvo as run
from xarray_files import series

pytest.importorskip("s3fs")
pytest.importorskip("pandas")


@pytest.fixture
def campaign(s3, tmp_path):
    """The same folder locally and under a fresh prefix of the S3 bucket:
    runs run0-run2 (run2 in sub/), notes (not spectral data), .partial (hidden)."""
    local = tmp_path / "campaign"
    (local / "sub").mkdir(parents=True)
    prefix = "campaign-%s" % uuid.uuid4().hex[:8]
    for i, name in enumerate(["run0", "run1", "sub/run2"]):
        series(str(local / name), n_spectra=3, num_points=16, seed=10.0 * i)
    (local / "notes").write_bytes(b"not spectral data " * 20)
    (local / ".partial").write_bytes(b"half an export")
    for name in ["run0", "run1", "sub/run2", "notes", ".partial"]:
        s3.put(str(local / name), f"{prefix}/{name}")
    return local, s3.url(prefix)


@pytest.mark.parametrize("form", ["{}/", "{}", "{}/**"])
def test_read_many_of_an_s3_folder_or_pattern_reads_its_objects_as_the_local_folder(campaign, form):
    local, url = campaign
    with pytest.warns(UserWarning, match=r"skipped 1 file .*notes") as caught:
        x, Y, table = karvo.read_many(form.format(url))
    assert not any(".partial" in str(w.message) for w in caught)
    with pytest.warns(UserWarning, match="notes"):
        x_local, Y_local, table_local = karvo.read_many(str(local))
    np.testing.assert_array_equal(Y, Y_local)
    np.testing.assert_array_equal(x, x_local)
    assert [f[len(url) + 1:] for f in table["file"].drop_duplicates()] == ["run0", "run1", "sub/run2"]
    with pytest.warns(UserWarning, match="notes"):
        ds = karvo.open_mfdataset(form.format(url), chunks=4)      # the same objects, lazily
    with ds:
        np.testing.assert_array_equal(ds.spectra.values, Y_local)


def test_the_command_takes_s3_folders_and_patterns(campaign, tmp_path):
    local, url = campaign
    code, out, err = run("info", "--json", url + "/")
    assert code == 0, err
    assert [d["path"][len(url) + 1:] for d in json.loads(out)] == ["run0", "run1", "sub/run2"]
    assert "notes" in err and "skipped" in err
    code, out, err = run("info", "--json", url + "/run*")
    assert code == 0, err
    assert [d["path"][len(url) + 1:] for d in json.loads(out)] == ["run0", "run1"]
    code, _out, err = run("export", url, "-o", str(tmp_path / "all.csv"))
    assert code == 0, err
    assert (tmp_path / "all.csv").read_text(encoding="utf-8").count(url + "/run") >= 3
    code, _out, err = run("refs", url + "/", "-o", str(tmp_path / "refs.json"))
    assert code == 0, err
    refs = json.loads((tmp_path / "refs.json").read_text(encoding="utf-8"))
    assert "notes" not in json.dumps(refs)


@pytest.mark.parametrize("options", [None, {"latency": 0.01, "bandwidth": 1e6}], ids=["plain", "cost-options"])
def test_an_http_folder_that_cannot_be_listed_is_a_clear_error(http_server, options):
    """The cost options are karvo's: the listing's requests go without them."""
    url = http_server.url_of("nowhere/")
    with pytest.raises(OSError, match="not a folder that can be listed") as caught:
        karvo.read_many(url, storage_options=options)
    assert caught.value.filename == url
    code, _out, err = run("info", url)
    assert code == 1 and url in err


def test_a_query_string_is_not_a_pattern(http_server, tmp_path):
    """A signed URL's query holds "?" and often "*": the object it names is read."""
    series(os.path.join(http_server.root, "signed"), n_spectra=2, num_points=8)
    url = http_server.url_of("signed") + "?X-Amz-Signature=ab*cd&x=[1]"
    x, Y, table = karvo.read_many(url)
    assert Y.shape == (2, 8)
    assert "Signature" not in table["file"][0]


def test_a_storage_option_refused_is_a_value_error(campaign):
    _local, url = campaign
    with pytest.raises(ValueError, match="timeout is seconds"):
        karvo.read_many(url + "/", storage_options={"timeout": "soon"})
