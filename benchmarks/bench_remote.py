#!/usr/bin/env python3
"""Speed of karvo reading over HTTP, against fsspec fetching the same bytes.

    python benchmarks/bench_remote.py [--quick] [--rounds N] [--data DIR]
                                      [--strict] [--json FILE]

The series file (2,000 spectra of 4,096 float32 points with mini headers;
a tenth of the spectra with --quick) is served by the test suite's HTTP
file server (tests/servers.py: byte ranges, kept-alive connections) in a
child process on 127.0.0.1, so that serving does not share this process's
interpreter lock.  Each karvo call is timed side by side with its anchor in
the same run, as in bench_karvo.py:

  R1  karvo.read(url), the whole series (open included), against one
      fs.cat_file(url) of the whole object;
  R2  100 spectra s[i] at random rows of an open series, against 100
      fs.cat_file(url, start=..., end=...) of the same spectra's bytes.

Exit status is 0 whatever the numbers, unless --strict is given, in which
case a missed target exits with 1.
"""

import os
import random
import subprocess
import sys

import numpy as np

from common import (KINDS, REPO, child_mode, finish, kw, parse_options,
                    prepare_in_child, progress, ratio_row, run_rounds,
                    series_shapes)

sys.path.insert(0, os.path.join(REPO, "tests"))

SPECTRA_PICKED = 100
SERVER_SECONDS = 1800          # the server child ends by itself after this


def jobs(scale):
    return {"R": ("series", series_shapes(scale)["w2"])}


def serve(root):
    """--serve ROOT: serve ROOT, print the URL, stop when standard input
    closes (the parent ended) or after SERVER_SECONDS."""
    import select

    from servers import file_server
    with file_server(root) as server:
        print(server.url, flush=True)
        select.select([sys.stdin], [], [], SERVER_SECONDS)


def start_server(root):
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve", root],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    url = child.stdout.readline().strip()
    if not url.startswith("http://"):
        child.kill()
        child.wait(30)
        sys.exit("bench_remote: the HTTP server did not start")
    return child, url


def measures(karvo, fs, url, params, rng):
    layout = kw.series_layout(**params)
    n = params["n_spectra"]
    rows = [rng.randrange(n) for _ in range(SPECTRA_PICKED)]
    spans = [(layout.values_offset(k), layout.values_offset(k) + layout.values_size)
             for k in rows]
    series = karvo.open(url)

    def whole():
        karvo.read(url)

    def whole_anchor():
        fs.cat_file(url)

    def picked():
        for k in rows:
            series[k]

    def picked_anchor():
        for start, end in spans:
            fs.cat_file(url, start=start, end=end)

    size = fs.info(url)["size"]
    return series, [
        ("R1 whole series", "%dx%d f32, %.1f MiB" % (n, params["num_points"], size / 2**20),
         whole, [("cat_file", whole_anchor, 1.3)]),
        ("R2 100 spectra", "s[i] at random rows", picked,
         [("100 range GETs", picked_anchor, 1.2)]),
    ]


def verify(karvo, fs, url, path, params):
    """karvo over HTTP gives what it gives for the local file."""
    import numpy.testing as npt
    npt.assert_array_equal(karvo.read(url)[1], karvo.read(path)[1])
    layout = kw.series_layout(**params)
    with karvo.open(url) as s:
        k = params["n_spectra"] // 2
        raw = fs.cat_file(url, start=layout.values_offset(k),
                          end=layout.values_offset(k) + layout.values_size)
        npt.assert_array_equal(s[k], np.frombuffer(raw, "<f4"))


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--serve":
        serve(sys.argv[2])
        return 0
    args = parse_options(__doc__)
    if child_mode(args, jobs(args.scale), KINDS, None):
        return 0
    try:
        import fsspec

        import karvo
    except ImportError as e:
        sys.exit("bench_remote: needs karvo and fsspec with aiohttp (%s)" % e)
    paths = prepare_in_child(__file__, args.data, args.quick, jobs(args.scale),
                             KINDS, progress)
    path = paths["R"]
    params = series_shapes(args.scale)["w2"]
    child, base = start_server(os.path.dirname(path))
    try:
        url = "%s/%s" % (base, os.path.basename(path))
        fs = fsspec.filesystem("http")
        verify(karvo, fs, url, path, params)
        series, ms = measures(karvo, fs, url, params, random.Random(7))
        try:
            times = run_rounds([(m[0], [m[2]] + [a[1] for a in m[3]]) for m in ms],
                               args.rounds, 0.01 if args.quick else 0.1,
                               progress=progress)
        finally:
            series.close()
    finally:
        child.stdin.close()
        try:
            child.wait(30)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait(30)
    rows, results = [], []
    for name, desc, _fn, anchors in ms:
        for slot, (aname, _anchor, target) in enumerate(anchors, 1):
            row, result = ratio_row(name, desc, times[name][0], aname,
                                    times[name][slot], target)
            rows.append(row)
            results.append(result)
    return finish(args, "karvo over HTTP (127.0.0.1)", rows, results)


if __name__ == "__main__":
    sys.exit(main())
