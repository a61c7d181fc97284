"""karvo refs --check: the references record each file as it was read, and
the check names every file replaced or gone since, over local files, S3
and HTTP, with one request a file and none of its bytes."""
import json
import os
import shutil

import pytest

pytest.importorskip("fsspec")
pytest.importorskip("xarray")

from command import karvo  # noqa: E402
from xarray_files import series  # noqa: E402


def recorded(out):
    return json.loads(json.loads(out.read_text())["refs"][".zattrs"])["karvo_sources"]


def write(path, seed):
    """A series; every seed gives other values of the same size."""
    series(str(path), n_spectra=4, num_points=8, seed=seed)
    return str(path)


class Local:
    options = ()

    def __init__(self, tmp_path):
        self.folder = tmp_path / "files"
        self.folder.mkdir()

    def place(self, name, seed):
        return os.path.abspath(write(self.folder / name, seed))

    def identity(self, where):
        st = os.stat(where)
        return st.st_size, None, st.st_mtime_ns

    def replace(self, where, seed):
        before = os.stat(where).st_mtime_ns
        write(where, seed)
        os.utime(where, ns=(before + 10**9, before + 10**9))    # whatever the clock's grain

    def remove(self, where):
        os.remove(where)


class S3:
    """Objects on the S3 test server, reached by --storage-option alone."""

    def __init__(self, tmp_path, s3, monkeypatch):
        import s3fs
        from servers import s3_options
        self.tmp_path, self.s3 = tmp_path, s3
        self.options = [f"--storage-option={k}={json.dumps(v)}" for k, v in s3_options(s3.endpoint).items()]
        self.fs = s3fs.S3FileSystem(**s3_options(s3.endpoint), skip_instance_cache=True)
        monkeypatch.delenv("AWS_ENDPOINT_URL")

    def place(self, name, seed):
        url = self.s3.url(f"{self.tmp_path.name}-{name}")
        self.fs.put_file(write(self.tmp_path / name, seed), url)
        return url

    def identity(self, where):
        self.fs.invalidate_cache()
        info = self.fs.info(where)
        return info["size"], info["ETag"], str(info["LastModified"])

    def replace(self, where, seed):
        self.fs.put_file(write(self.tmp_path / "other", seed), where)

    def remove(self, where):
        self.fs.rm(where)


@pytest.fixture(params=["local", "s3"])
def place(request, tmp_path, monkeypatch):
    if request.param == "local":
        return Local(tmp_path)
    pytest.importorskip("s3fs")
    return S3(tmp_path, request.getfixturevalue("s3"), monkeypatch)


def test_the_check_names_each_file_replaced_or_gone(place, tmp_path):
    a, b, c = (place.place(name, seed) for name, seed in (("a", 1.0), ("b", 2.0), ("c", 3.0)))
    out = tmp_path / "refs.json"
    assert karvo("refs", a, b, c, "-o", out, *place.options).returncode == 0
    assert [(r["url"], r["size"], r["etag"], r["mtime"]) for r in recorded(out)] == \
        [(where, *place.identity(where)) for where in (a, b, c)]

    done = karvo("refs", "--check", out, *place.options)
    assert (done.returncode, done.stderr) == (0, "")
    assert "3 files unchanged" in done.stdout

    place.replace(a, 9.0)                 # the same size: only the ETag or the time tells
    place.remove(b)
    done = karvo("refs", "--check", out, *place.options)
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert len(lines) == 2 and lines[1] == f"karvo: {b}: missing"
    assert lines[0].startswith(f"karvo: {a}: changed since the references were made (")
    assert "size" not in lines[0] and ("ETag" in lines[0] or "modified" in lines[0])


def test_a_file_of_another_size_is_named_with_both_sizes(tmp_path):
    path = write(tmp_path / "a", 1.0)
    out = tmp_path / "refs.json"
    assert karvo("refs", path, "-o", out).returncode == 0
    before = os.path.getsize(path)
    series(path, n_spectra=5, num_points=8)
    done = karvo("refs", "--check", out)
    assert done.returncode == 1
    assert f"(size {os.path.getsize(path)} against {before}; modified " in done.stderr


def test_references_to_a_copy_served_elsewhere_compare_its_size_and_say_so(tmp_path):
    original = write(tmp_path / "a", 1.0)
    served = str(tmp_path / "served")
    shutil.copy(original, served)
    out = tmp_path / "refs.json"
    assert karvo("refs", original, "--url", served, "-o", out).returncode == 0
    assert recorded(out) == [{"url": served, "size": os.path.getsize(original), "etag": None, "mtime": None}]
    done = karvo("refs", "--check", out)
    assert done.returncode == 0
    assert done.stderr == (f"karvo: {served}: of the same size ({os.path.getsize(served)} bytes), which is all "
                           "that was compared: the references record no ETag or modification time of it\n")
    with open(served, "ab") as fh:
        fh.write(b"more")
    assert karvo("refs", "--check", out).returncode == 1


@pytest.fixture
def served(http_server):
    """Three series served over HTTP; their URLs."""
    names = [f"check-{i}" for i in range(3)]
    for i, name in enumerate(names):
        write(os.path.join(http_server.root, name), float(i))
    yield [http_server.url_of(n) for n in names]
    for name in names:
        os.remove(os.path.join(http_server.root, name))


def test_one_request_a_file_and_none_of_its_bytes(http_server, served, tmp_path):
    out = tmp_path / "refs.json"
    assert karvo("refs", *served, "-o", out).returncode == 0
    http_server.reset()
    assert karvo("refs", "--check", out).returncode == 0
    assert sorted(http_server.log) == [("HEAD", f"/check-{i}", None) for i in range(3)]

    os.remove(os.path.join(http_server.root, "check-1"))
    write(os.path.join(http_server.root, "check-1"), 7.0)
    http_server.reset()
    done = karvo("refs", "--check", out)
    assert done.returncode == 1
    assert done.stderr.startswith(f"karvo: {served[1]}: changed since the references were made (ETag ")
    assert http_server.count("GET") == 0 and http_server.count("HEAD") == 3


@pytest.mark.parametrize("signed", [False, True])
def test_redacted_references_check_where_the_url_alone_reaches_the_file(http_server, served, tmp_path, signed):
    if signed:
        http_server.signature = "sig=secret"      # the server wants the signature the references left out
    try:
        out = tmp_path / "refs.json"
        assert karvo("refs", served[0] + "?sig=secret", "-o", out, "--redact").returncode == 0
        assert "secret" not in out.read_text()
        done = karvo("refs", "--check", out)
    finally:
        http_server.signature = None
    assert "secret" not in done.stdout + done.stderr
    if not signed:
        assert (done.returncode, done.stderr) == (0, "")
    else:
        assert done.returncode == 2
        assert done.stderr.startswith(f"karvo: {served[0]}: can't be checked: ")
        assert "403" in done.stderr and "holds no credentials, as after --redact" in done.stderr


def test_unredacted_references_reach_the_file_with_the_url_they_fetch_with(http_server, served, tmp_path):
    http_server.signature = "sig=secret"
    try:
        out = tmp_path / "refs.json"
        assert karvo("refs", served[0] + "?sig=secret", "-o", out).returncode == 0
        assert "secret" not in json.dumps(recorded(out))
        done = karvo("refs", "--check", out)
    finally:
        http_server.signature = None
    assert done.returncode == 0 and "secret" not in done.stdout + done.stderr


@pytest.mark.parametrize("content, reason", [
    ("not json", "not JSON: not references that karvo refs writes"),
    ('{"version": 1, "refs": {".zgroup": "{}", ".zattrs": "{}"}}',
     "holds no record of its sources (made by an older karvo): make the references again to check them"),
    ('{"version": 1, "refs": {".zattrs": "{\\"karvo_sources\\": [{\\"url\\": 3}]}"}}',
     "its attribute karvo_sources is not a record that karvo refs writes"),
])
def test_references_that_record_nothing_to_check_are_refused(tmp_path, content, reason):
    refs = tmp_path / "refs.json"
    refs.write_text(content)
    assert karvo("refs", "--check", refs)[::2] == (2, f"karvo: {refs}: {reason}\n")


def test_a_file_referred_to_without_a_record_is_not_passed_as_checked(tmp_path):
    path = write(tmp_path / "a", 1.0)
    out = tmp_path / "refs.json"
    assert karvo("refs", path, "-o", out).returncode == 0
    refs = json.loads(out.read_text())
    other = str(tmp_path / "elsewhere")
    refs["refs"]["spectra/0.0"][0] = other
    out.write_text(json.dumps(refs))
    done = karvo("refs", "--check", out)
    assert done.returncode == 2
    assert done.stderr == f"karvo: {other}: referred to, but the references hold no record of it: it can't be checked\n"


@pytest.mark.parametrize("extra", [["a"], ["-o", "x.json"], ["--url", "u"], ["--redact"], ["--mismatched", "skip"]])
def test_check_takes_nothing_of_writing(tmp_path, extra):
    done = karvo("refs", "--check", tmp_path / "refs.json", *extra)
    assert done.returncode == 2 and "--check reads references and writes none: give no" in done.stderr
