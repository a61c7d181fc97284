"""Servers the remote-reading tests and benchmarks read from, on 127.0.0.1
only: a plain HTTP file server that answers byte ranges and counts what it
is asked, and an S3-compatible server (moto's, in a thread of this process).

Both run in threads of the calling process and stop when their context
ends; every wait on them is bounded.
"""
from __future__ import annotations

import collections
import contextlib
import email.utils
import http.server
import os
import re
import socket
import sys
import threading
from collections.abc import Iterator
from typing import Any

LOOPBACK = "127.0.0.1"
_RANGE = re.compile(r"bytes=(\d*)-(\d*)$")
_STOP_SECONDS = 30


class FileServer(http.server.ThreadingHTTPServer):
    """Serves the files of one folder over HTTP/1.1 (connections kept
    alive, as a storage service does), with single byte ranges (206 and
    Content-Range), HEAD with Content-Length, ETag and Last-Modified, and
    If-Match (412 for another ETag).  A request for several ranges gets the
    whole file, as HTTP allows.  With ``etags`` False it gives no ETag, as
    some servers do, and honours If-Unmodified-Since instead; with
    ``weak_etags`` its ETags are weak (W/"..."), which If-Match, comparing
    strongly, never matches: every If-Match but "*" gets 412; with
    ``conditions`` False it refuses every conditional request (412), as a
    server does that compares its ETags wrongly; ``failing`` maps a method
    to the status every request of it gets instead (403, 503, ...); with
    ``signature`` set, a request whose query string does not hold it gets
    403, as a store refuses a presigned URL without its signature.

    ``failing`` may also map a method to a list of statuses, one for each
    request in turn, then 200s (503 then 200: a server busy for a moment).
    ``delay`` is the seconds the server waits before it answers each
    request (cut short by ``wake()``, which ``reset()`` calls too); with
    ``answers`` set, the server answers that many more requests, then
    drops every connection it is asked on without an answer, as a server
    that died does (counted all the same).

    With ``ranges`` False it sends every object whole (200), Range or not,
    as a server without ranges does; with ``sizes`` False its partial
    answers don't tell the object's size (``Content-Range: bytes 0-9/*``).

    ``requests`` counts requests by (method, path); ``log`` keeps each one
    as (method, path, Range header or None); ``served`` adds up the bytes of
    the files' contents sent in answers; ``most_waiting`` is the most
    requests held by ``delay`` at once.  ``reset()`` clears them."""

    daemon_threads = True
    request_queue_size = 256    # many clients connecting at once, as to a store (5 would drop their SYNs)

    def __init__(self, root: str) -> None:
        self.root = os.path.realpath(root)
        self._lock = threading.Lock()
        self.requests: collections.Counter[tuple[str, str]] = collections.Counter()
        self.log: list[tuple[str, str, str | None]] = []
        self.served = 0
        self.etags = True
        self.weak_etags = False
        self.conditions = True
        self.ranges = True
        self.sizes = True
        self.failing: dict[str, int | list[int]] = {}
        self.signature: str | None = None
        self.delay = 0.0
        self.answers: int | None = None
        self._waiting = 0
        self.most_waiting = 0
        self._awake = threading.Event()
        super().__init__((LOOPBACK, 0), _FileHandler)

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        return f"http://{host}:{port}"

    def url_of(self, name: str) -> str:
        return f"{self.url}/{name}"

    def handle_error(self, request: Any, client_address: Any) -> None:
        if isinstance(sys.exc_info()[1], ConnectionError):
            return          # a client that gave up waiting (a timeout of the test) or a dropped connection
        super().handle_error(request, client_address)

    def record(self, method: str, path: str, byte_range: str | None) -> None:
        with self._lock:
            self.requests[method, path] += 1
            self.log.append((method, path, byte_range))

    def reset(self) -> None:
        self.wake()
        with self._lock:
            self.requests.clear()
            self.log.clear()
            self.served = 0
            self.most_waiting = 0

    def sent(self, nbytes: int) -> None:
        with self._lock:
            self.served += nbytes

    def wake(self) -> None:
        """Ends the waits of requests held by ``delay``."""
        with self._lock:
            awake, self._awake = self._awake, threading.Event()
        awake.set()

    def hold(self) -> None:
        """Waits ``delay`` seconds, or until ``wake()``; ``most_waiting`` is
        the most requests that waited at once (how far a client overlaps them)."""
        with self._lock:
            delay, awake = self.delay, self._awake
            self._waiting += 1
            self.most_waiting = max(self.most_waiting, self._waiting)
        try:
            if delay > 0:
                awake.wait(delay)
        finally:
            with self._lock:
                self._waiting -= 1

    def take_answer(self) -> bool:
        """Whether the server still answers a request (``answers``)."""
        with self._lock:
            if self.answers is None:
                return True
            if self.answers <= 0:
                return False
            self.answers -= 1
            return True

    def failing_status(self, method: str) -> int | None:
        """The status a request of method gets from ``failing``, if any."""
        with self._lock:
            failing = self.failing.get(method)
            if isinstance(failing, list):
                return failing.pop(0) if failing else None
            return failing

    def count(self, method: str | None = None, name: str | None = None) -> int:
        """Requests so far, of one method and/or for one file name."""
        with self._lock:
            return sum(n for (m, p), n in self.requests.items()
                       if (method is None or m == method)
                       and (name is None or p == "/" + name))


class _FileHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body go out as two writes: without TCP_NODELAY the body
    # waits for the client's delayed acknowledgement (40 ms a request).
    disable_nagle_algorithm = True
    server: FileServer

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass                                     # quiet: pytest shows failures

    def do_HEAD(self) -> None:
        self._answer(body=False)

    def do_GET(self) -> None:
        self._answer(body=True)

    def _answer(self, body: bool) -> None:
        path, _, query = self.path.partition("?")
        byte_range = self.headers.get("Range")
        self.server.record(self.command, path, byte_range)
        if not self.server.take_answer():
            self.close_connection = True            # no answer: the client sees the connection drop
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        self.server.hold()
        failing = self.server.failing_status(self.command)
        if failing is not None:
            self._send(failing, b"", {}, body)
            return
        if self.server.signature is not None and self.server.signature not in query.split("&"):
            self._send(403, b"", {}, body)
            return
        local = os.path.realpath(os.path.join(self.server.root, path.lstrip("/")))
        if not local.startswith(self.server.root + os.sep) or not os.path.isfile(local):
            self._send(404, b"not found\n", {}, body)
            return
        with open(local, "rb") as f:
            st = os.fstat(f.fileno())
            size = st.st_size
            headers = {
                "Accept-Ranges": "bytes",
                "ETag": f'"{st.st_ino:x}-{size:x}-{st.st_mtime_ns:x}"',
                "Last-Modified": email.utils.formatdate(st.st_mtime, usegmt=True),
                "Content-Type": "application/octet-stream",
            }
            if not self.server.etags:
                del headers["ETag"]
            elif self.server.weak_etags:
                headers["ETag"] = "W/" + headers["ETag"]
            if self._condition_fails(headers.get("ETag"), st.st_mtime):
                self._send(412, b"", headers, body)       # another object than asked
                return
            first, last = 0, size - 1
            status = 200
            match = _RANGE.match(byte_range.strip()) if byte_range else None
            if match and (match[1] or match[2]) and self.server.ranges:
                if match[1]:
                    first = int(match[1])
                    last = min(int(match[2]), size - 1) if match[2] else size - 1
                else:                                  # the last N bytes
                    first = max(0, size - int(match[2]))
                if first >= size or first > last:
                    headers["Content-Range"] = f"bytes */{size}"
                    self._send(416, b"", headers, body)
                    return
                status = 206
                headers["Content-Range"] = f"bytes {first}-{last}/{size if self.server.sizes else '*'}"
            f.seek(first)
            data = f.read(last - first + 1) if body else b""
        self.server.sent(len(data))
        headers["Content-Length"] = str(last - first + 1)
        self._send(status, data, headers, body, length_set=True)

    def _condition_fails(self, etag: str | None, mtime: float) -> bool:
        wanted = self.headers.get("If-Match")
        since = self.headers.get("If-Unmodified-Since")
        if not (wanted or since):
            return False
        if not self.server.conditions:
            return True
        if wanted and wanted.strip() != "*":
            # compared strongly: a weak ETag matches none, not even itself
            if not etag or etag.startswith("W/") or etag not in (tag.strip() for tag in wanted.split(",")):
                return True
        return bool(since) and int(mtime) > email.utils.parsedate_to_datetime(since).timestamp()

    def _send(self, status: int, data: bytes, headers: dict[str, str], body: bool,
              length_set: bool = False) -> None:
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        if not length_set:
            self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if body:
            self.wfile.write(data)


@contextlib.contextmanager
def file_server(root: str) -> Iterator[FileServer]:
    """A FileServer over root, serving in a thread until the block ends."""
    server = FileServer(root)
    thread = threading.Thread(target=server.serve_forever, name="test-file-server", daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()
        thread.join(_STOP_SECONDS)


# Dummy credentials: moto accepts any; real ones must never reach it.
S3_CREDENTIALS = {"AWS_ACCESS_KEY_ID": "karvo-test-key",
                  "AWS_SECRET_ACCESS_KEY": "karvo-test-secret",
                  "AWS_DEFAULT_REGION": "us-east-1"}


@contextlib.contextmanager
def s3_server() -> Iterator[str]:
    """moto's S3-compatible server on a free loopback port; yields its
    endpoint URL."""
    from moto.server import ThreadedMotoServer

    server = ThreadedMotoServer(ip_address=LOOPBACK, port=0, verbose=False)
    server.start()
    try:
        host, port = server.get_host_and_port()
        yield f"http://{host}:{port}"
    finally:
        server.stop()


# What else would hand boto credentials (a session token beside the dummy
# keys, a profile, a role) or send it to another endpoint: unset for the tests.
OTHER_AWS_SETTINGS = ("AWS_SESSION_TOKEN", "AWS_SECURITY_TOKEN", "AWS_PROFILE", "AWS_DEFAULT_PROFILE",
                      "AWS_ROLE_ARN", "AWS_WEB_IDENTITY_TOKEN_FILE", "AWS_CONTAINER_CREDENTIALS_RELATIVE_URI",
                      "AWS_CONTAINER_CREDENTIALS_FULL_URI", "AWS_CONTAINER_AUTHORIZATION_TOKEN",
                      "AWS_ENDPOINT_URL_S3")


def s3_environment(endpoint: str) -> dict[str, str]:
    """The environment that points boto, s3fs and the karvo command at the
    test server with the dummy credentials, and away from any configuration
    files of the machine's user and any other source of credentials."""
    return {**S3_CREDENTIALS, "AWS_ENDPOINT_URL": endpoint,
            "AWS_CONFIG_FILE": os.devnull, "AWS_SHARED_CREDENTIALS_FILE": os.devnull,
            # never ask a cloud's instance metadata address for credentials
            "AWS_EC2_METADATA_DISABLED": "true",
            "NO_PROXY": LOOPBACK, "no_proxy": LOOPBACK}


def s3_options(endpoint: str) -> dict[str, Any]:
    """storage_options that reach the test server without the environment."""
    return {"key": S3_CREDENTIALS["AWS_ACCESS_KEY_ID"],
            "secret": S3_CREDENTIALS["AWS_SECRET_ACCESS_KEY"],
            "client_kwargs": {"endpoint_url": endpoint}}
