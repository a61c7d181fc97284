"""Failures of the storage layer under a URL, and the requests tried again.

Every client under fsspec fails in its own way: aiohttp with a status or a
connector error, botocore with a ClientError (an error code and a status),
NoCredentialsError, EndpointConnectionError or a timeout, fsspec's HTTP file
system with a FileNotFoundError for every failure of its info (the real one
as its cause), s3fs with its own OSError over a ClientError. What the user
sees is the OSError of a file that can't be read, of the built-in kind that
says why, naming the file by its display name:

- missing (404, 410, NoSuchKey, ...): FileNotFoundError;
- refused (401, 403, no credentials, wrong keys): PermissionError;
- out of reach (connection refused, no such host): ConnectionError
  (ConnectionRefusedError for a refused connection);
- no answer in time: TimeoutError;
- the connection closed mid-answer: ConnectionResetError;
- any other status: OSError, with the status in the message.

The libraries are told apart by the names of their exception types and
their attributes, never imported here: they are optional.

A request that failed for a reason that may pass (a connection reset, a
timeout, 429, 500, 502, 503, 504, S3's SlowDown) is sent again, a few times
and only while the request's timeout has not run out since the first
attempt; the others (a 412 above all: the object changed) at once.
"""
from __future__ import annotations

import errno
import os
import time
from typing import Any, Callable, List, NamedTuple, Sequence, TypeVar, Union

from .location import display_name, without_secrets

__all__ = ["ATTEMPTS", "BACKOFF", "DEFAULT_TIMEOUT", "call_retrying", "fetch_retrying", "storage_error",
           "transient"]

# Seconds that a request may take to connect, and to wait for each piece of
# its answer, unless storage_options say otherwise.
DEFAULT_TIMEOUT = 10.0
# Attempts of a request that failed for a reason that may pass, and the
# pauses between them.
ATTEMPTS = 3
BACKOFF = (0.1, 0.4)

T = TypeVar("T")

# Statuses and S3 error codes of a server busy or failing for a moment.
_PASSING_STATUSES = frozenset({429, 500, 502, 503, 504})
_PASSING_CODES = frozenset({"SlowDown", "Throttling", "ThrottlingException", "RequestLimitExceeded",
                            "TooManyRequestsException", "ServiceUnavailable", "InternalError", "RequestTimeout"})
_MISSING_STATUSES = frozenset({404, 410})
_MISSING_CODES = frozenset({"NoSuchKey", "NoSuchBucket", "NoSuchVersion", "NotFound", "404"})
_REFUSED_STATUSES = frozenset({401, 403})
_REFUSED_CODES = frozenset({"AccessDenied", "InvalidAccessKeyId", "SignatureDoesNotMatch", "ExpiredToken",
                            "InvalidToken", "TokenRefreshRequired", "AllAccessDisabled", "AccountProblem",
                            "InvalidSecurity", "UnauthorizedAccess", "403", "401"})
# Type names, across the clients, of each way a request fails.
_NO_CREDENTIALS = frozenset({"NoCredentialsError", "PartialCredentialsError", "NoAuthTokenError",
                             "CredentialRetrievalError", "UnauthorizedSSOTokenError"})
_TIMED_OUT = frozenset({"TimeoutError", "ServerTimeoutError", "ReadTimeoutError", "ConnectTimeoutError",
                        "FSTimeoutError", "timeout"})
_UNREACHABLE = frozenset({"ClientConnectorError", "ClientConnectorDNSError", "EndpointConnectionError",
                          "ProxyConnectionError", "ConnectionRefusedError", "gaierror"})
_CUT_OFF = frozenset({"ServerDisconnectedError", "ClientPayloadError", "ConnectionResetError",
                      "ConnectionAbortedError", "BrokenPipeError", "ConnectionClosedError", "IncompleteRead",
                      "ResponseStreamingError", "ClientConnectionResetError"})
_UNREACHABLE_ERRNOS = frozenset({errno.ECONNREFUSED, errno.EHOSTUNREACH, errno.ENETUNREACH})
_CUT_OFF_ERRNOS = frozenset({errno.ECONNRESET, errno.ECONNABORTED, errno.EPIPE})


class GaveUp(Exception):
    """A request failed every attempt it was given (its last failure is the cause)."""

    def __init__(self, attempts: int) -> None:
        super().__init__(f"{attempts} attempts")
        self.attempts = attempts


class _Facts(NamedTuple):
    status: Union[int, None]       # the HTTP status the server answered
    code: Union[str, None]         # the S3 error code
    names: frozenset[str]          # the names of the types of every error in the chain
    errnos: frozenset[int]
    builtin: Union[type, None]     # the built-in OSError kind of the first that has one
    attempts: int
    told: BaseException            # the client's error whose text the message quotes


def _chain(exc: BaseException) -> List[BaseException]:
    """exc and what it wraps: its causes, and the error a botocore exception
    keeps in its kwargs (an EndpointConnectionError over aiohttp's), bounded."""
    seen: List[BaseException] = []
    todo: List[Any] = [exc]
    while todo and len(seen) < 12:
        e = todo.pop(0)
        if not isinstance(e, BaseException) or any(e is s for s in seen):
            continue
        seen.append(e)
        kwargs = getattr(e, "kwargs", None)
        todo += [e.__cause__, kwargs.get("error") if isinstance(kwargs, dict) else None]
    return seen


def _facts(exc: BaseException) -> _Facts:
    links = _chain(exc)
    status: Union[int, None] = None
    code: Union[str, None] = None
    names: set[str] = set()
    errnos: set[int] = set()
    builtin: Union[type, None] = None
    attempts = 1
    told: Union[BaseException, None] = None
    answered: Union[BaseException, None] = None     # the error that holds the server's answer
    for e in links:
        if isinstance(e, GaveUp):
            attempts = max(attempts, e.attempts)
            continue
        names.update(k.__name__ for k in type(e).__mro__)
        number = getattr(e, "status", None)
        response = getattr(e, "response", None)
        if isinstance(response, dict):
            error = response.get("Error") or {}
            code = code or (str(error["Code"]) if error.get("Code") else None)
            number = number if isinstance(number, int) else (response.get("ResponseMetadata") or {}).get(
                "HTTPStatusCode")
        if status is None and isinstance(number, int) and not isinstance(number, bool) and number >= 400:
            status = number
            answered = answered or e
        if isinstance(getattr(e, "errno", None), int):
            errnos.add(e.errno)  # type: ignore[attr-defined]
        if builtin is None and isinstance(e, OSError):
            builtin = next(k for k in type(e).__mro__ if k.__module__ == "builtins")
        # quoted: the first error that says more than the URL alone (fsspec's
        # FileNotFoundError of a failed info is the URL)
        if told is None and not (isinstance(e, FileNotFoundError) and e.__cause__ is not None):
            told = e
    return _Facts(status, code, frozenset(names), frozenset(errnos), builtin, attempts, answered or told or exc)


def transient(exc: BaseException) -> bool:
    """Whether exc is a failure that may pass if the request is sent again:
    a timeout, a connection cut off mid-answer, a server busy or failing
    for a moment (429, 500, 502, 503, 504, SlowDown)."""
    facts = _facts(exc)
    if facts.status in (412, *_MISSING_STATUSES, *_REFUSED_STATUSES) or facts.code == "PreconditionFailed":
        return False
    return (facts.status in _PASSING_STATUSES or facts.code in _PASSING_CODES or _timed_out(facts)
            or _cut_off(facts))


def _timed_out(facts: _Facts) -> bool:
    return bool(facts.names & _TIMED_OUT) or errno.ETIMEDOUT in facts.errnos


def _cut_off(facts: _Facts) -> bool:
    return bool(facts.names & _CUT_OFF) or bool(facts.errnos & _CUT_OFF_ERRNOS)


def storage_error(url: str, exc: BaseException, timeout: Union[float, None] = None) -> OSError:
    """exc, raised by the storage layer under url, as the OSError of a file
    that can't be read, of the built-in kind that says why, naming url by
    its display name and quoting the client's error without secrets.
    timeout (seconds) is the one the request had, said when it ran out."""
    name = display_name(url)
    facts = _facts(exc)
    status, code = facts.status, facts.code
    http = f"HTTP {status}" if status else ""
    detail = " ".join(p for p in (http, code if code and code != str(status) else "") if p)
    kind: type[OSError]
    if status in _MISSING_STATUSES or code in _MISSING_CODES:
        kind, number, what = FileNotFoundError, errno.ENOENT, f"{os.strerror(errno.ENOENT)} ({detail})"
    elif status in _REFUSED_STATUSES or code in _REFUSED_CODES:
        kind, number, what = PermissionError, errno.EACCES, f"refused by the server ({detail})"
    elif facts.names & _NO_CREDENTIALS:
        kind, number, what = PermissionError, errno.EACCES, "no credentials to sign the request with"
    elif status is None and _timed_out(facts):
        within = f" within {timeout:g} s" if timeout else " in time"
        kind, number, what = TimeoutError, errno.ETIMEDOUT, f"the server gave no answer{within}"
    elif status is None and (facts.names & _UNREACHABLE or facts.errnos & _UNREACHABLE_ERRNOS):
        refused = errno.ECONNREFUSED in facts.errnos or "ConnectionRefusedError" in facts.names
        kind = ConnectionRefusedError if refused else ConnectionError
        number = errno.ECONNREFUSED if refused else next((n for n in facts.errnos if n > 0), errno.EHOSTUNREACH)
        what = "the server refused the connection" if refused else "the server can't be reached"
    elif status is None and _cut_off(facts):
        kind, number, what = ConnectionResetError, errno.ECONNRESET, "the server closed the connection mid-answer"
    elif status is not None or code is not None:
        kind, number, what = OSError, errno.EIO, f"the server answered {detail}"
    elif facts.builtin is not None:
        kind = facts.builtin
        number = next(iter(facts.errnos), None) or (errno.ENOENT if kind is FileNotFoundError else errno.EIO)
        what = os.strerror(number)
    else:
        kind, number, what = OSError, errno.EIO, "the storage layer failed"
    if facts.attempts > 1:
        what += f" after {facts.attempts} attempts"
    told = facts.told
    text = str(told).strip()
    # fsspec's FileNotFoundError says the URL alone, which the filename tells
    if not text or ("://" in text and " " not in text) or type(told) is FileNotFoundError:
        said = "" if type(told).__module__ == "builtins" else type(told).__name__
    else:
        said = f"{type(told).__name__}: {text}"
    if len(said) > 400:
        said = said[:400] + "..."
    # the client's error first, as the command has always shown it; then what it means
    return kind(number, without_secrets(f"{said} ({what})" if said else what), name)


Ranges = Sequence[int]
Answer = Union[bytes, BaseException]


def fetch_retrying(read: Callable[[List[int], List[int]], Sequence[Answer]], starts: Ranges, ends: Ranges,
                   timeout: float) -> List[bytes]:
    """The bytes of the ranges (starts[i], ends[i]) by read(starts, ends),
    which gives each range's bytes or the error of its request. The ranges
    whose request failed for a reason that may pass are asked again, up to
    ATTEMPTS in all, after the pauses of BACKOFF, while timeout seconds
    have not passed since the first; the first other failure is raised as
    it came (a 412 stays a 412), a failure given up on as GaveUp from it."""
    out: List[Union[bytes, None]] = [None] * len(starts)
    pending = list(range(len(starts)))
    began = time.monotonic()
    for attempt in range(ATTEMPTS):
        asked_starts, asked_ends = [starts[i] for i in pending], [ends[i] for i in pending]
        try:
            answers: Sequence[Answer] = read(asked_starts, asked_ends)
        except Exception as exc:     # the whole call failed: every range with it
            answers = [exc] * len(pending)
        failed: List[tuple[int, BaseException]] = []
        for i, answer in zip(pending, answers):
            if isinstance(answer, BaseException):
                failed.append((i, answer))
            else:
                out[i] = answer
        if not failed:
            return out  # type: ignore[return-value]
        for _, error in failed:
            if not isinstance(error, Exception) or not transient(error):
                raise error
        last = failed[0][1]
        if attempt + 1 == ATTEMPTS or time.monotonic() - began + BACKOFF[attempt] >= timeout:
            raise GaveUp(attempt + 1) from last
        time.sleep(BACKOFF[attempt])
        pending = [i for i, _ in failed]
    raise AssertionError("unreachable")  # pragma: no cover


def call_retrying(call: Callable[[], T], timeout: float) -> T:
    """call(), asked again as fetch_retrying asks a range."""
    def read(starts: List[int], ends: List[int]) -> List[Any]:
        return [call()]
    got: Any = fetch_retrying(read, [0], [0], timeout)[0]
    return got  # type: ignore[no-any-return]
