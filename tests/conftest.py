import io
import os
import signal
import subprocess
import sys

import pytest

# The checkout: its tools/ hold our file writer, which every test imports.
CHECKOUT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOLS = os.path.join(CHECKOUT, "tools")
sys.path.insert(0, TOOLS)


def run_python(code, *args, dev=False, cwd=None, timeout=120):
    """Runs code in a fresh interpreter with this one's import path, so that
    a crash ends that process and fails one test, not the run. Under `-X dev`
    freed memory is overwritten at once: a use after free crashes there.
    Ctrl-C raises KeyboardInterrupt there as it does from a terminal, also
    where this run started with SIGINT ignored (a background job)."""
    code = ("import signal, sys\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"
            "signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})\n"
            "sys.path[:0] = %r\n" % (sys.path,) + code)
    return subprocess.run([sys.executable, *(["-X", "dev"] if dev else []), "-c", code, *args],
                          capture_output=True, encoding="utf-8", timeout=timeout, cwd=cwd,
                          env=dict(os.environ, PYTHONIOENCODING="utf-8"))


def assert_child_ok(p):
    """The child exited cleanly and printed OK as its last line."""
    assert p.returncode == 0 and p.stdout.strip().endswith("OK"), \
        "exit %d\n--- stdout\n%s\n--- stderr\n%s" % (p.returncode, p.stdout[-2000:], p.stderr[-4000:])
    return p.stdout


def open_fds():
    """Descriptors of files and folders open in this process. Sockets, pipes
    and event descriptors are left out: threads of other libraries (a dask
    cluster shutting down) open and close those at any moment."""
    fds = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:  # closed meanwhile (the listing's own descriptor, too)
            continue
        if not target.startswith(("socket:", "pipe:", "anon_inode:")):
            fds[fd] = target
    return fds


class CountingReader:
    """A read-only binary stream that records the size of every read."""

    def __init__(self, data):
        self._b = io.BytesIO(data)
        self.sizes = []

    def read(self, n=-1):
        self.sizes.append(n)
        return self._b.read(n)

    def tell(self):
        return self._b.tell()


@pytest.fixture
def ctrl_c():
    """SIGINT raises KeyboardInterrupt for the test, as it does in a Python
    started from a terminal, whatever disposition this run started with
    (Python installs its handler only where SIGINT started at its default)
    or mask (a blocked signal stays pending, inherited by every child)."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    mask = signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    yield
    signal.pthread_sigmask(signal.SIG_SETMASK, mask)
    signal.signal(signal.SIGINT, previous)


@pytest.fixture
def fds():
    """Checks that no file descriptor opened during the test stays open."""
    before = open_fds()

    class Checker:
        def assert_clean(self):
            assert open_fds() == before

    yield Checker()
    assert open_fds() == before


@pytest.fixture
def write(tmp_path):
    """write(data, name=...) -> path of a new file holding data."""
    counter = [0]

    def _write(data, name=None):
        counter[0] += 1
        p = tmp_path / (name or "f%d.spa" % counter[0])
        p.write_bytes(data)
        return str(p)
    return _write


# --- servers for the remote-reading tests (tests/servers.py) ----------------

@pytest.fixture(scope="session")
def _file_server(tmp_path_factory):
    from servers import file_server
    with file_server(str(tmp_path_factory.mktemp("served"))) as server:
        yield server


@pytest.fixture
def http_server(_file_server):
    """The HTTP file server (files put in server.root are served at
    server.url_of(name)), its request counts cleared for this test."""
    _file_server.reset()
    yield _file_server
    _file_server.wake()         # requests still held by a delay of the test answer now


@pytest.fixture(scope="session")
def s3_endpoint():
    from servers import s3_server
    with s3_server() as endpoint:
        yield endpoint


@pytest.fixture(scope="module")
def s3_bucket(s3_endpoint, request):
    """A bucket of the test server for this test module."""
    import s3fs
    from servers import s3_options
    name = "karvo-" + request.module.__name__.rsplit(".", 1)[-1].replace("_", "-").lower()
    fs = s3fs.S3FileSystem(**s3_options(s3_endpoint), skip_instance_cache=True)
    if not fs.exists(name):
        fs.mkdir(name)
    return name


@pytest.fixture
def s3(s3_endpoint, s3_bucket, monkeypatch):
    """The S3 test server with its credentials and endpoint in the
    environment: s3.fs is an s3fs file system on it, s3.url(name) the URL of
    an object of this module's bucket, s3.put(local_path, name) uploads."""
    import types

    import s3fs
    from servers import OTHER_AWS_SETTINGS, s3_environment
    for key in OTHER_AWS_SETTINGS:
        monkeypatch.delenv(key, raising=False)
    for key, value in s3_environment(s3_endpoint).items():
        monkeypatch.setenv(key, value)
    s3fs.S3FileSystem.clear_instance_cache()
    fs = s3fs.S3FileSystem(skip_instance_cache=True)

    def url(name):
        return f"s3://{s3_bucket}/{name}"

    def put(local_path, name):
        fs.put_file(local_path, url(name))
        return url(name)
    yield types.SimpleNamespace(endpoint=s3_endpoint, bucket=s3_bucket, fs=fs, url=url, put=put)
    s3fs.S3FileSystem.clear_instance_cache()


@pytest.fixture
def s3_on_http_server(http_server, monkeypatch, request):
    """The counting HTTP server as an S3 endpoint (its credentials and
    endpoint in the environment): the folder served as bucket "bucket",
    whose objects are files put there."""
    s3fs = pytest.importorskip("s3fs")
    from servers import OTHER_AWS_SETTINGS, s3_environment
    for key in OTHER_AWS_SETTINGS:
        monkeypatch.delenv(key, raising=False)
    for key, value in s3_environment(http_server.url).items():
        monkeypatch.setenv(key, value)
    bucket = os.path.join(http_server.root, "bucket")
    os.makedirs(bucket, exist_ok=True)
    s3fs.S3FileSystem.clear_instance_cache()
    request.addfinalizer(s3fs.S3FileSystem.clear_instance_cache)
    return bucket
