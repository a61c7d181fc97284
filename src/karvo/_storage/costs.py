"""What a request costs, for the native module's plan of what to fetch at once.

A read announces the byte ranges it needs; ranges apart can be fetched as
separate requests, or as one request over the gap between them. The
native module decides by a model of the storage: a round of up to
``concurrency`` requests in flight at once costs ``latency`` seconds, and
every byte ``1 / bandwidth`` seconds more. Merging two ranges only pays
where it saves a round; it costs the gap's bytes. (The mini headers of a
series of long spectra, 16 KiB apart, are then fetched as separate small
requests, many at once, not as the whole object.)

``latency`` (seconds) and ``bandwidth`` (bytes a second) are storage
options of karvo's own, taken out before the rest reach the file system;
``concurrency`` is what the client runs at once: aiohttp's connection
limits over HTTP(S), botocore's ``max_pool_connections`` over S3.
"""
from __future__ import annotations

import numbers
from typing import Any, NamedTuple

from .location import display_name

__all__ = ["Costs", "FILE_OBJECT", "concurrency_of", "costs_of", "take_cost_options"]


class Costs(NamedTuple):
    latency: float          # seconds a round of requests takes before its first byte
    bandwidth: float        # bytes a second
    concurrency: int        # requests in flight at once


# A nearby object store: 30 ms to the first byte, 100 MB/s.
LATENCY = 0.03
BANDWIDTH = 100e6
# Where the client says no bound: fsspec's own for a batch of ranges.
UNBOUNDED = 1280
# A file object's read: a seek and a copy, one at a time.
FILE_OBJECT = Costs(50e-6, 2e9, 1)


def take_cost_options(url: str, options: dict[str, Any]) -> tuple[float, float]:
    """(latency, bandwidth) from the storage options (taken out of them:
    they are karvo's, not the file system's); ValueError for one that is
    not a number > 0."""
    out = []
    for key, default in (("latency", LATENCY), ("bandwidth", BANDWIDTH)):
        value = options.pop(key, None)
        if value is None:
            out.append(default)
        elif isinstance(value, numbers.Real) and not isinstance(value, bool) and 0 < float(value) < float("inf"):
            out.append(float(value))
        else:
            raise ValueError(f"{display_name(url)}: the storage option {key} is a number > 0 "
                             f"({'seconds' if key == 'latency' else 'bytes a second'}), not {value!r}")
    return out[0], out[1]


def costs_of(fs: Any, latency: float, bandwidth: float) -> Costs:
    """The costs of requests through fs, whose client (opened by a request
    already, where it has a session) bounds the requests at once."""
    return Costs(latency, bandwidth, concurrency_of(fs))


def concurrency_of(fs: Any) -> int:
    """The requests that fs's client runs at once."""
    protocols = (fs.protocol,) if isinstance(fs.protocol, str) else tuple(fs.protocol)
    batch = getattr(fs, "batch_size", None) or UNBOUNDED
    if "s3" in protocols:
        # botocore's pool of connections (10 unless the options say)
        pool = (getattr(fs, "config_kwargs", None) or {}).get("max_pool_connections", 10)
        return _bounded(min(batch, pool if isinstance(pool, int) and pool > 0 else 10))
    connector = getattr(getattr(fs, "_session", None), "connector", None)
    # aiohttp's limits, in all and to one host (an object's requests all go
    # to one): 100 and none unless the options say; 0 is none
    limits = [n for n in (getattr(connector, "limit", None), getattr(connector, "limit_per_host", None))
              if isinstance(n, int) and not isinstance(n, bool) and n > 0]
    return _bounded(min([batch, *limits]))


def _bounded(n: Any) -> int:
    return max(1, min(int(n), UNBOUNDED)) if isinstance(n, int) else 64
