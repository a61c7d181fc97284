"""The size of a long export (a row per value), told before it is written:
refused above --max-size unless --force, asked on a terminal."""
import os
import pty
import select
import subprocess
import time

import numpy as np
import pytest

from command import ENV, KARVO, has, karvo as run, write_mixed
from karvo_writer import write_series

FORMATS = ["csv", "tsv", pytest.param("parquet", marks=pytest.mark.skipif(not has("pyarrow"), reason="pyarrow"))]


@pytest.fixture
def files(tmp_path, monkeypatch):
    """a float32 series with mini headers and a non-ASCII title, a float64
    series without, a single spectrum: 10 spectra of 40 points."""
    monkeypatch.chdir(tmp_path)
    return write_mixed("a", "b", "c", titles=lambda k: "Probe %d \u00b5m".encode("latin-1") % k)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("wide_spectra", [False, True])    # past 65,536 points: the axis no longer a dictionary
def test_the_size_told_is_near_what_is_written(files, fmt, wide_spectra):
    from karvo._core.inputs import expand_input
    from karvo._export.stack import Stack, first_pass, long_size
    if wide_spectra:
        noise = np.random.default_rng(3).normal(0.5, 1e-3, (3, 70_000))
        write_series("wide", n_spectra=3, num_points=70_000, mini_header_type=3, values=lambda k: noise[k].tolist())
        files = ["wide"]
    stack = Stack([p for f in files for p in first_pass(expand_input(f).files)])
    told = long_size(stack, fmt)
    got = run("export", *files, "-o", f"long.{fmt}", "--layout", "long")
    assert got.returncode == 0, got.stderr
    written = os.path.getsize(f"long.{fmt}")
    if fmt == "parquet":        # a bound
        assert written <= told
    else:
        assert abs(told - written) <= 0.05 * written, (told, written)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("options, written", [
    ([], True),                                       # small: written, its size told
    (["--max-size", "1k"], False),                    # refused
    (["--max-size", "1k", "--force"], True),
    (["--max-size", "1GiB"], True),
])
def test_above_the_limit_nothing_is_written_without_force(files, fmt, options, written, fds):
    with open(f"long.{fmt}", "w") as fh:
        fh.write("before")
    got = run("export", *files, "-o", f"long.{fmt}", "--layout", "long", *options)
    lines = got.stderr.splitlines()
    assert lines[0].startswith(f"karvo: writing about ") and lines[0].endswith(f" kB to long.{fmt}")
    assert sorted(os.listdir(".")) == ["a", "b", "c", f"long.{fmt}"]      # no temporary left
    with open(f"long.{fmt}", "rb") as fh:
        assert (fh.read() != b"before") == written
    if written:
        assert got.returncode == 0 and len(lines) == 1, got.stderr
    else:
        size = lines[0].split("about ")[1].split(" to ")[0]
        assert got.returncode == 1 and lines[1].startswith(f"karvo: long.{fmt}: about {size} to write, ")
        assert "the limit of 1 kB (--max-size)" in lines[1] and "--force" in lines[1]


def test_the_wide_layout_is_not_held_by_the_limit(files):
    got = run("export", *files, "-o", "wide.csv", "--max-size", "1")
    assert got.returncode == 0 and got.stderr == "" and os.path.getsize("wide.csv") > 1000


@pytest.mark.parametrize("text, size", [("0", 0), ("1500", 1500), ("2.5k", 2500), ("500MB", 5 * 10**8),
                                        ("10G", 10**10), ("1 GiB", 2**30), ("3tb", 3 * 10**12)])
def test_sizes_read_as_people_write_them(text, size):
    from karvo._cli.main import byte_size, size_text
    assert byte_size(text) == size
    assert byte_size(size_text(size).replace("bytes", "")) == pytest.approx(size, rel=5e-3)


@pytest.mark.parametrize("text", ["", "ten", "-5G", "5X", "1e9"])
def test_a_size_that_is_not_one_is_a_usage_error(files, text):
    got = run("export", *files, "-o", "long.csv", "--layout", "long", f"--max-size={text}")
    assert got.returncode == 2 and "--max-size" in got.stderr and not os.path.exists("long.csv")


def _until(master, seen, wanted, deadline):
    """Reads the terminal's output into seen until wanted shows or it ends."""
    while wanted not in seen and time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 1.0)
        if ready:
            try:
                data = os.read(master, 4096)
            except OSError:          # the other end closed (Linux: EIO)
                return seen
            if not data:
                return seen
            seen += data
    return seen


@pytest.mark.parametrize("answer, written", [(b"y\n", True), (b"yes\n", True), (b"n\n", False),
                                             (b"\n", False), (b"\x04", False)])   # Ctrl-D: end of input
def test_on_a_terminal_it_asks(files, answer, written):
    master, slave = pty.openpty()
    child = None
    try:
        child = subprocess.Popen(KARVO + ["export", *files, "-o", "long.csv", "--layout", "long",
                                          "--max-size", "1k"],
                                 stdin=slave, stdout=subprocess.DEVNULL, stderr=slave, env=ENV)
        os.close(slave)
        slave = None
        deadline = time.monotonic() + 120
        seen = _until(master, b"", b"[y/N] ", deadline)
        assert b"more than the limit of 1 kB (--max-size); continue? [y/N] " in seen, seen
        os.write(master, answer)
        seen = _until(master, seen, b"\0", deadline)      # to the end
        status = child.wait(timeout=max(1.0, deadline - time.monotonic()))
    finally:
        os.close(master)
        if slave is not None:
            os.close(slave)
        if child is not None and child.poll() is None:    # stuck: not left behind
            child.kill()
            child.wait()
    assert status == (0 if written else 1), seen
    assert os.path.exists("long.csv") == written
    assert (b"nothing written" in seen) != written
