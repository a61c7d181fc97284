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
      fs.cat_file(url, start=..., end=...) of the same spectra's bytes;
  R3  karvo.read_many of 100 URLs of series of 50 x 4,096 float32 (10 with
      --quick), from a second server that answers each request after 25 ms
      (a nearby object store), against fs.cat(urls) of the same objects;
  R4  karvo.open_mfdataset(urls).spectra.values of the same, against the same;
  R5  karvo.read_many of the same objects from moto's S3 server (in a child
      process; skipped without moto), against fs.cat(urls) of s3fs;
  R6  opening 300 objects (series of 50 x 256 float32; 30 with --quick)
      with karvo.open_mfdataset, from the 25 ms server, against fs.info of
      each run concurrently (on fsspec's event loop, as fs.cat runs).
  R7  the bytes served for s[rows] of a series of 384 x 65,536 float32 (96 MiB,
      more than a read holds at once; the same with --quick), every row in
      shuffled order, against the same rows sorted (a server in this process:
      it counts what it sends).

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


MANY = 100                     # R3 and R4: objects read together
OPENED = 300                   # R6: objects opened together
LATENCY = 0.025                # R3 and R4: seconds before each answer
BIG = dict(n_spectra=384, num_points=65536, element_size=4, mini_hdr=True,
           mini_header_type=1)  # R7, whatever the scale


def many_params(k):
    return dict(n_spectra=50, num_points=4096, element_size=4, mini_hdr=True,
                mini_header_type=1, copy=k)


def jobs(scale):
    out = {"R": ("series", series_shapes(scale)["w2"]), "big": ("series", BIG)}
    for k in range(max(MANY // scale, 1)):
        out["many%03d" % k] = ("series", many_params(k))
    for k in range(max(OPENED // scale, 1)):
        out["open%03d" % k] = ("series", dict(many_params(k), num_points=256))
    return out


def serve(root, delay):
    """--serve ROOT DELAY: serve ROOT, each answer after DELAY seconds, print
    the URL, stop when standard input closes (the parent ended) or after
    SERVER_SECONDS."""
    import select

    from servers import file_server
    with file_server(root) as server:
        server.delay = delay
        print(server.url, flush=True)
        select.select([sys.stdin], [], [], SERVER_SECONDS)


def serve_s3():
    """--serve-s3: moto's S3 server on 127.0.0.1, its endpoint printed,
    until standard input closes or after SERVER_SECONDS."""
    import select

    from servers import s3_server
    with s3_server() as endpoint:
        print(endpoint, flush=True)
        select.select([sys.stdin], [], [], SERVER_SECONDS)


def s3_objects(paths):
    """(moto's child, s3fs file system, URLs of the paths uploaded), or
    None without moto and s3fs."""
    try:
        import moto.server  # noqa: F401
        import s3fs
    except ImportError:
        return None
    from servers import OTHER_AWS_SETTINGS, s3_environment
    child, endpoint = start_server(None, s3=True)
    for key in OTHER_AWS_SETTINGS:
        os.environ.pop(key, None)
    os.environ.update(s3_environment(endpoint))
    fs = s3fs.S3FileSystem(skip_instance_cache=True)
    fs.mkdir("karvo-bench")
    urls = []
    for p in paths:
        url = "s3://karvo-bench/%s" % os.path.basename(p)
        fs.put_file(p, url)
        urls.append(url)
    return child, fs, urls


def start_server(root, delay=0.0, s3=False):
    command = ["--serve-s3"] if s3 else ["--serve", root, repr(delay)]
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), *command],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    url = child.stdout.readline().strip()
    if not url.startswith("http://"):
        child.kill()
        child.wait(30)
        sys.exit("bench_remote: the %s server did not start" % ("S3" if s3 else "HTTP"))
    return child, url


def many_measures(karvo, fs, urls):
    def read_many():
        karvo.read_many(urls)

    def mfdataset():
        with karvo.open_mfdataset(urls) as ds:
            ds.spectra.values

    def cat():
        fs.cat(urls)
    desc = "%d URLs of 50x4096 f32, %g ms a request" % (len(urls), LATENCY * 1e3)
    return [("R3 read_many of URLs", desc, read_many, [("fs.cat(urls)", cat, 1.5)]),
            ("R4 open_mfdataset of URLs", desc, mfdataset, [("fs.cat(urls)", cat, 1.5)])]


def open_measures(karvo, fs, urls):
    from fsspec.asyn import sync

    def opened():
        karvo.open_mfdataset(urls).close()

    def infos():
        import asyncio

        async def all_infos():
            return await asyncio.gather(*(fs._info(u) for u in urls))
        sync(fs.loop, all_infos)
    desc = "%d URLs of 50x256 f32, %g ms a request" % (len(urls), LATENCY * 1e3)
    return [("R6 opening many URLs", desc, opened, [("fs.info of each, at once", infos, 1.5)])]


def s3_measures(karvo, fs, urls):
    def read_many():
        karvo.read_many(urls)

    def cat():
        fs.cat(urls)
    desc = "%d objects of 50x4096 f32 from moto" % len(urls)
    return [("R5 read_many over S3", desc, read_many, [("s3fs fs.cat(urls)", cat, 1.5)])]


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


def listed_bytes(karvo, path):
    """R7: (report row, JSON result) of the bytes served for s[rows],
    shuffled against sorted; checks the values against the local read."""
    import numpy.testing as npt

    from servers import file_server
    rows = np.random.default_rng(7).permutation(BIG["n_spectra"])
    sent = []
    with file_server(os.path.dirname(path)) as server, karvo.open(path) as local, \
            karvo.open(server.url_of(os.path.basename(path))) as s:
        for index in (rows, np.sort(rows)):
            server.reset()
            got = s[index]
            sent.append(server.served)
            npt.assert_array_equal(got, local[index])
    ratio, target = sent[0] / sent[1], 1.1
    size = os.path.getsize(path)
    row = ("R7 s[rows] shuffled", "%dx%d f32, %.1f MiB" % (BIG["n_spectra"], BIG["num_points"], size / 2**20),
           "%.1f MiB" % (sent[0] / 2**20), "sorted %.1f MiB" % (sent[1] / 2**20), "%.2f x" % ratio,
           "<= %g x" % target, ratio <= target)
    return row, dict(workload=row[0], bytes=sent[0], anchor=sent[1], anchor_kind="sorted",
                     ratio=ratio, target=target, ok=ratio <= target)


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
    if len(sys.argv) == 4 and sys.argv[1] == "--serve":
        serve(sys.argv[2], float(sys.argv[3]))
        return 0
    if sys.argv[1:] == ["--serve-s3"]:
        serve_s3()
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
    slow, slow_base = start_server(os.path.dirname(path), LATENCY)
    servers = [child, slow]
    try:
        url = "%s/%s" % (base, os.path.basename(path))
        fs = fsspec.filesystem("http")
        verify(karvo, fs, url, path, params)
        series, ms = measures(karvo, fs, url, params, random.Random(7))
        many = ["%s/%s" % (slow_base, os.path.basename(paths[k])) for k in sorted(paths) if k.startswith("many")]
        ms += many_measures(karvo, fs, many)
        ms += open_measures(karvo, fs, ["%s/%s" % (slow_base, os.path.basename(paths[k]))
                                        for k in sorted(paths) if k.startswith("open")])
        s3 = s3_objects([paths[k] for k in sorted(paths) if k.startswith("many")])
        if s3 is not None:
            servers.append(s3[0])
            ms += s3_measures(karvo, *s3[1:])
        else:
            progress("R5 skipped: needs moto[server] and s3fs")
        listed = listed_bytes(karvo, paths["big"])
        try:
            times = run_rounds([(m[0], [m[2]] + [a[1] for a in m[3]]) for m in ms],
                               args.rounds, 0.01 if args.quick else 0.1,
                               progress=progress)
        finally:
            series.close()
    finally:
        for server in servers:
            server.stdin.close()
            try:
                server.wait(30)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait(30)
    rows, results = [], []
    for name, desc, _fn, anchors in ms:
        for slot, (aname, _anchor, target) in enumerate(anchors, 1):
            row, result = ratio_row(name, desc, times[name][0], aname,
                                    times[name][slot], target)
            rows.append(row)
            results.append(result)
    rows.append(listed[0])
    results.append(listed[1])
    return finish(args, "karvo over HTTP (127.0.0.1)", rows, results)


if __name__ == "__main__":
    sys.exit(main())
