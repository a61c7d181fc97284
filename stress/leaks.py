#!/usr/bin/env python3
"""Leak and stress checks for the karvoreader extension.

Runs every operation, and every failure path, many thousands of times and
checks that neither Python objects (sys.getallocatedblocks), resident memory
nor open file descriptors grow. Then walks a 1,000-spectrum series 1,000
times (a tenth of the walks abandoned half-way, a tenth hitting each failure
path) and checks the same. Then the concurrency checks: two threads on
separate streams of one file, and re-entry into a running stream.

    python stress/leaks.py [--scale X]     X < 1 for a quicker run

Exit status 0 when every check passed; one line per check is printed.
"""

import gc
import os
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))

import karvo_writer as W  # noqa: E402

RSS_LIMIT = 6 << 20        # bytes of resident growth tolerated per phase
# Under AddressSanitizer freed memory sits in quarantine: resident size says
# nothing there, so only objects and descriptors are judged.
JUDGE_RSS = "libasan" not in os.environ.get("LD_PRELOAD", "")
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * PAGE


def fds():
    return len(os.listdir("/proc/self/fd"))


def import_module():
    import contextlib
    import io
    with contextlib.redirect_stdout(io.StringIO()):
        import karvoreader
    return karvoreader


K = import_module()
EXPECTED = (__import__("struct").error, EOFError, KeyError, IndexError, TypeError, OSError, RuntimeError)


class Files:
    """The files that every phase reads: one good series and one per failure path."""

    def __init__(self, tmp, n_spectra=40, num_points=16):
        self.tmp = tmp
        p = lambda name: os.path.join(tmp, name)  # noqa: E731
        self.good = p("good.spa")
        self.series = W.write_series(self.good, n_spectra=n_spectra, num_points=num_points,
                                     bench_hdr=True)
        lay = self.series.layout
        self.single = p("single.spa")
        with open(self.single, "wb") as fh:
            fh.write(W.single_spectrum_file(values=[1.0, 2.0, 3.0]))
        bad = {
            "short_file": dict(truncate=200),
            "bad_element_size": dict(array_element_size=2),
            "external_link": dict(link_type=1),
            "bad_section_number": dict(link={"section_number": 5}),
            "missing_325": dict(omit=(325,)),
            "missing_300": dict(omit=(300,)),
            "eof_in_values": dict(truncate=lay.values_offset(n_spectra // 2) + 3),
            "eof_in_mini_header": dict(truncate=lay.spectrum_offset(n_spectra // 2) + 50),
        }
        self.bad = {}
        for name, kw in bad.items():
            path = p(name + ".spa")
            W.write_series(path, n_spectra=n_spectra, num_points=num_points, bench_hdr=True, **kw)
            self.bad[name] = path
        self.bad["missing_file"] = p("does-not-exist.spa")


def walk(path, stop=None):
    """Walks a series; returns items taken. stop: abandon after that many."""
    s = K.open_file(path)
    g = s.open_series()
    n = 0
    for _ in g:
        n += 1
        if stop is not None and n >= stop:
            break
    return n


def expect_failure(fn, *a):
    try:
        fn(*a)
    except EXPECTED:
        return True
    return False


# --- the phases ------------------------------------------------------------------

def op_cycle(files):
    """One round of every operation and every failure path."""
    spa = K.SPAFile(files.good)
    for t in (2, 300, 325, 302, 7):
        spa.find_indextype(t)
        list(spa.find_indextypes(t))
    dra = spa.read(spa.find_indextype(300))
    spa.read(spa.find_indextype(325))
    spa.read_offset(K.BenchInfo, 304)
    for count in (0, 1, 3):
        list(dra.read_linked_data(spa, count))
    g = dra.read_linked_data(spa, 10)
    next(g), next(g)
    g.close()                           # early close
    g = dra.read_linked_data(spa, 10)
    next(g)
    del g                               # dropped half-way
    assert walk(files.good) == files.series.n_spectra + 1
    walk(files.good, stop=3)            # abandoned
    g = K.open_file(files.good).open_series()
    next(g)
    g.close()
    single = K.SPAFile(files.single)
    single.read(single.find_indextype(2))
    assert K.open_file(files.single) is None
    # failures
    assert expect_failure(spa.read, 99)
    assert expect_failure(spa.read, None)
    assert expect_failure(spa.read_offset, K.MainSpectralHeader, 10 ** 9)
    try:
        spa.read_offset(K.MainSpectralHeader, -1)
        raise AssertionError("negative offset read")
    except (OSError, ValueError):   # the host's seek error
        pass
    for name, path in files.bad.items():
        assert expect_failure(walk, path), name


def measure(name, fn, iterations, results):
    for _ in range(3):
        fn()
    gc.collect()
    b0, r0, f0 = sys.getallocatedblocks(), rss(), fds()
    t0 = time.perf_counter()
    for _ in range(iterations):
        fn()
    dt = time.perf_counter() - t0
    gc.collect()
    b1, r1, f1 = sys.getallocatedblocks(), rss(), fds()
    block_limit = max(300, iterations // 50)
    ok = (b1 - b0) < block_limit and (not JUDGE_RSS or (r1 - r0) < RSS_LIMIT) and f1 == f0
    results.append(ok)
    print("%-4s %-34s iterations=%-7d blocks %+d  rss %+.2f MB  fds %d->%d  (%.1fs)"
          % ("ok" if ok else "FAIL", name, iterations, b1 - b0, (r1 - r0) / 2 ** 20, f0, f1, dt))


def big_walks(files):
    """walks of a series: 8 in 10 full, 1 in 10 abandoned half-way, 1 in 10
    hitting one of the failure paths in turn."""
    bad = list(files.bad.values())
    n_items = files.series.n_spectra + 1
    state = {"k": 0, "items": 0}

    def one():
        k = state["k"]
        state["k"] += 1
        if k % 10 == 3:
            state["items"] += walk(files.good, stop=n_items // 2)
        elif k % 10 == 7:
            assert expect_failure(walk, bad[(k // 10) % len(bad)])
        else:
            n = walk(files.good)
            assert n == n_items, n
            state["items"] += n
    return one, state


# --- concurrency -------------------------------------------------------------------

def threads_check(path, series, rounds):
    """Two threads, each walking its own stream over one file, at once."""
    errors = []
    barrier = threading.Barrier(2)

    def run():
        try:
            barrier.wait()
            for _ in range(rounds):
                g = K.open_file(path).open_series()
                info, dims = next(g)
                assert info["n"] == series.num_points
                for k, (head, values) in enumerate(g):
                    assert head["title"] == series.title(k)
                    assert list(values) == series.values(k)
                assert k == series.n_spectra - 1
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    ts = [threading.Thread(target=run) for _ in range(2)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    return errors


def reentry_check(path):
    """A stream entered while it runs refuses with ValueError."""
    seen = []
    orig = K.SeriesSpecheader

    class Reenter(orig):
        def __init__(self, f):
            super().__init__(f)
            try:
                next(stream)
            except ValueError as e:
                seen.append(str(e))

    K.SeriesSpecheader = Reenter
    try:
        stream = K.open_file(path).open_series()
        next(stream)
        next(stream)
    finally:
        K.SeriesSpecheader = orig
    return seen == ["generator already executing"]


def main(argv):
    scale = float(argv[argv.index("--scale") + 1]) if "--scale" in argv else 1.0
    n = lambda x: max(10, int(x * scale))  # noqa: E731
    results = []
    with tempfile.TemporaryDirectory(prefix="karvo-stress-") as tmp:
        files = Files(tmp)
        spa = K.SPAFile(files.good)
        dra = spa.read(spa.find_indextype(300))
        measure("every operation and failure path", lambda: op_cycle(files), n(2000), results)
        measure("SPAFile open", lambda: K.SPAFile(files.good), n(20000), results)
        measure("read_linked_data walk", lambda: list(dra.read_linked_data(spa, 40)), n(5000), results)
        measure("open_series walk", lambda: walk(files.good), n(5000), results)
        for name, path in sorted(files.bad.items()):
            measure("failure: " + name, lambda p=path: expect_failure(walk, p), n(5000), results)

        os.makedirs(os.path.join(tmp, "big"))
        big = Files(os.path.join(tmp, "big"), n_spectra=1000, num_points=64)
        one, state = big_walks(big)
        f0 = fds()
        measure("1,000-spectrum series walks", one, n(1000), results)
        print("     (%d walks, %d items)" % (state["k"], state["items"]))
        results.append(fds() == f0)
        os.makedirs(os.path.join(tmp, "wide"))   # spectra of 4 KiB: read ahead in batches
        wide = Files(os.path.join(tmp, "wide"), n_spectra=300, num_points=1024)
        one, state = big_walks(wide)
        measure("300 wide spectra, read ahead", one, n(300), results)
        print("     (%d walks, %d items)" % (state["k"], state["items"]))

        errors = threads_check(files.good, files.series, n(200))
        results.append(not errors)
        print("%-4s two threads, separate streams of one file%s"
              % ("ok" if not errors else "FAIL", (": %r" % errors[:2]) if errors else ""))
        ok = reentry_check(files.good)
        results.append(ok)
        print("%-4s re-entered stream refuses with ValueError" % ("ok" if ok else "FAIL"))
    print("stress: %s (%d checks)" % ("PASS" if all(results) else "FAIL", len(results)))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
