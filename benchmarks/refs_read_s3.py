#!/usr/bin/env python3
"""Reading spectra through Zarr references from S3, against karvo reading
the same objects.

    python benchmarks/refs_read_s3.py [--files N] [--spectra N] [--points N] [--rounds N]

N series (float32, mini headers) are put on moto's S3 server, started as
``moto_server`` in a process of its own on 127.0.0.1 (so that serving does
not share this process's interpreter lock), and ``karvo refs`` stacks them
into one reference set.  Rounds alternate the two sides; the medians are
printed.

  whole   every spectrum of every object: xr.open_dataset of the references
          with engine="zarr" (fsspec's reference file system over s3fs,
          asynchronous, zarr fetching chunks concurrently) and .load(),
          against karvo.read_many(urls)
  picked  100 spectra at random rows across the objects: ds.spectra[rows]
          of the opened references, against karvo.open of each object and
          s[i] (the opens included on both sides: the references' open is
          a parse of the JSON)
"""
import argparse
import json
import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(REPO, "tests"), os.path.join(REPO, "tools")]
CREDENTIALS = {"AWS_ACCESS_KEY_ID": "bench", "AWS_SECRET_ACCESS_KEY": "bench", "AWS_DEFAULT_REGION": "us-east-1"}
PICKED = 100


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_moto():
    port = free_port()
    moto = shutil.which("moto_server", path=os.path.dirname(sys.executable)) or "moto_server"
    child = subprocess.Popen([moto, "-H", "127.0.0.1", "-p", str(port)],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    endpoint = f"http://127.0.0.1:{port}"
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.1).close()
            return child, endpoint
        except OSError:
            time.sleep(0.05)
    child.kill()
    raise SystemExit("moto_server did not start")


def main():
    given = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    given.add_argument("--files", type=int, default=20)
    given.add_argument("--spectra", type=int, default=200)
    given.add_argument("--points", type=int, default=1024)
    given.add_argument("--rounds", type=int, default=5)
    args = given.parse_args()
    os.environ.update(CREDENTIALS)
    import numpy as np
    import s3fs
    import xarray as xr
    import zarr

    import karvo
    from karvo.cli import main as karvo_main
    from xarray_files import series

    child, endpoint = start_moto()
    try:
        options = {"key": "bench", "secret": "bench", "client_kwargs": {"endpoint_url": endpoint}}
        fs = s3fs.S3FileSystem(**options)
        fs.mkdir("bench")
        folder = tempfile.mkdtemp()
        urls = []
        for i in range(args.files):
            path = os.path.join(folder, f"run{i:03d}")
            series(path, n_spectra=args.spectra, num_points=args.points, seed=float(i))
            fs.put_file(path, f"s3://bench/run{i:03d}")
            urls.append(f"s3://bench/run{i:03d}")
        size = sum(os.path.getsize(os.path.join(folder, f)) for f in os.listdir(folder))
        out = os.path.join(folder, "refs.json")
        flags = [f"--storage-option={k}={json.dumps(v)}" for k, v in options.items()]
        assert karvo_main(["refs", *urls, "-o", out, *flags]) == 0
        refs = json.load(open(out))
        v3 = int(zarr.__version__.split(".")[0]) >= 3
        reference_options = {"fo": refs, "remote_protocol": "s3",
                             "remote_options": {**options, **({"asynchronous": True} if v3 else {})},
                             **({"asynchronous": True} if v3 else {})}
        total = args.files * args.spectra
        rng = random.Random(1)
        picks = sorted(rng.sample(range(total), PICKED))

        def refs_open():
            return xr.open_dataset("reference://", engine="zarr", backend_kwargs={
                "consolidated": False, "storage_options": reference_options})

        def refs_whole():
            with refs_open() as ds:
                return ds.spectra.values

        def karvo_whole():
            return karvo.read_many(urls, storage_options=options)[1]

        def refs_picked():
            with refs_open() as ds:
                return ds.spectra[picks].values

        def karvo_picked():
            rows = []
            for f in sorted({p // args.spectra for p in picks}):
                with karvo.open(urls[f], storage_options=options) as s:
                    rows += [s[p % args.spectra] for p in picks if p // args.spectra == f]
            return np.array(rows)

        assert np.array_equal(refs_whole(), karvo_whole())
        assert np.array_equal(refs_picked(), karvo_picked())
        times = {name: [] for name in ("refs_whole", "karvo_whole", "refs_picked", "karvo_picked")}
        for _ in range(args.rounds):
            for name, call in (("refs_whole", refs_whole), ("karvo_whole", karvo_whole),
                               ("refs_picked", refs_picked), ("karvo_picked", karvo_picked)):
                start = time.perf_counter()
                call()
                times[name].append(time.perf_counter() - start)
        print(f"{args.files} objects x {args.spectra} spectra x {args.points} float32 points "
              f"({size / 2**20:.1f} MiB), {args.rounds} rounds, medians (min-max):")
        for name, values in times.items():
            print(f"  {name:13s} {1000 * statistics.median(values):8.1f} ms "
                  f"({1000 * min(values):.1f}-{1000 * max(values):.1f})")
    finally:
        child.terminate()
        child.wait(10)


if __name__ == "__main__":
    main()
