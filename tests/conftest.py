import io
import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))), "tools"))


def run_python(code, *args, dev=False, cwd=None, timeout=120):
    """Runs code in a fresh interpreter with this one's import path, so that
    a crash ends that process and fails one test, not the run. Under `-X dev`
    freed memory is overwritten at once: a use after free crashes there."""
    code = "import sys\nsys.path[:0] = %r\n" % (sys.path,) + code
    return subprocess.run([sys.executable, *(["-X", "dev"] if dev else []), "-c", code, *args],
                          capture_output=True, text=True, timeout=timeout, cwd=cwd)


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
