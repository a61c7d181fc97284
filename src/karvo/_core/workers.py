"""Work over many files: in the calling thread while each file is quick,
on a pool of threads once files wait on storage.

Opening a small local file costs a few microseconds of Python: a pool only
adds its hand-overs and the contention for the interpreter. A file whose
bytes come from a slow disk, a network file system or a large read
releases the interpreter while it waits, and there threads overlap the
waits. Which of the two a folder is shows only by doing the work, so the
first batches run here, timed, and the rest go to the process's pool of
threads once a file has taken longer than SLOW on average while this
thread waited (on Linux, where a thread's waits are counted: a machine
busy with other work makes files slow without any waiting).
"""
from __future__ import annotations

import os
import threading
import time
from collections.abc import Callable, Generator, Sequence
from concurrent.futures import Future, wait
from typing import TYPE_CHECKING, Any, TypeVar

if TYPE_CHECKING:
    from concurrent.futures import ThreadPoolExecutor

__all__ = ["Workers", "batches"]

T = TypeVar("T")
R = TypeVar("R")

# Seconds per file above which the files are taken to wait on storage: a
# local series opens in tens of microseconds from the page cache and reads
# at several GB/s; a hand-over to a thread and back costs about as much on
# a busy machine, so only a wait of a millisecond or more pays for it.
SLOW = 1e-3

# Threads of the pool: sized for waits on storage, not for cores (the work
# that goes there mostly waits; the pool starts threads as work comes).
THREADS = 64

try:
    import resource
    _THREAD: int | None = resource.RUSAGE_THREAD   # Linux
except (ImportError, AttributeError):
    _THREAD = None


def _waits() -> int:
    """How often this thread has waited (given up the processor of its own
    accord, as a read from storage does), where the system tells: a busy
    machine that takes the processor away makes files slow without any
    waiting, and threads would not help there."""
    return resource.getrusage(_THREAD).ru_nvcsw if _THREAD is not None else 0



def batches(items: Sequence[T], waits: bool = False) -> list[Sequence[T]]:
    """items in runs of neighbours, a few per core: one task per file costs
    more than reading a small file, and a few per thread still keep every
    thread busy to the end. Files that wait on storage (waits) go one a
    run, each on a thread of its own, so that their waits overlap."""
    if waits:
        return [items[k:k + 1] for k in range(len(items))]
    count = min(len(items), 4 * min(32, (os.cpu_count() or 1) + 4))
    size = -(-len(items) // count) if count else 1
    return [items[k:k + size] for k in range(0, len(items), size)]


class _SharedPool:
    """One pool of threads for the process while any call uses it: calls at
    once (threads of a caller, dask tasks) share its threads rather than
    each start as many. The last call done shuts it down, so that no idle
    thread outlives the work (a process that forks afterwards has none). A
    child made by fork starts its own (the parent's threads are not in it)."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._pool: ThreadPoolExecutor | None = None
        self._users = 0
        self._local = threading.local()     # .inside: this thread is one of the pool's

    def acquire(self, expected: int = THREADS) -> ThreadPoolExecutor:
        """The pool, for a call until its release(), which expects to run
        that many tasks at once."""
        with self._lock:
            if self._pool is None:
                from concurrent.futures import ThreadPoolExecutor
                pool = ThreadPoolExecutor(THREADS, thread_name_prefix="karvo", initializer=self._mark)
                try:
                    _start_threads(pool, min(max(expected, 1), THREADS))
                except BaseException:
                    pool.shutdown(wait=False, cancel_futures=True)
                    raise
                self._pool = pool
            self._users += 1
            return self._pool

    def release(self) -> None:
        """A call's use ended (its work done): the last one shuts the pool down."""
        with self._lock:
            self._users = max(0, self._users - 1)   # 0 already: a call begun before a fork, in the child
            if self._users == 0 and self._pool is not None:
                pool, self._pool = self._pool, None
                pool.shutdown(wait=False)   # nothing queued: its threads end now

    def _mark(self) -> None:
        self._local.inside = True

    def inside(self) -> bool:
        """Whether the calling thread is one of the pool's: work it hands on
        runs where it is, as waiting on the pool from the pool can deadlock."""
        return getattr(self._local, "inside", False)

    def forget_after_fork(self) -> None:
        self._lock = threading.Lock()
        self._pool = None
        self._users = 0


def _start_threads(pool: ThreadPoolExecutor, count: int) -> None:
    """Starts count threads of the pool now, while the interpreter is free.
    A pool starts them as work comes, and each new one waits for the
    interpreter behind those busy with the answers already in (a few ms
    each): the 64th remote read of a Dataset began 200 ms after the first."""
    ready = threading.Barrier(count + 1)
    try:
        for _ in range(count):
            pool.submit(_meet, ready)
    except BaseException:       # no thread more to be had: those started go on at once
        ready.abort()
        raise
    _meet(ready)


def _meet(ready: threading.Barrier) -> None:
    try:
        ready.wait(timeout=10)
    except threading.BrokenBarrierError:    # another thread could not start: this one goes on
        pass


SHARED_POOL = _SharedPool()
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=SHARED_POOL.forget_after_fork)


class Workers:
    """A context manager whose map runs batches of files here or on the
    process's pool (see the module's text). When the block ends, every run
    it gave the pool has ended or was cancelled before it started: what the
    runs use may be closed after it."""

    def __init__(self) -> None:
        self._futures: list[Future[Any]] = []
        self._pool: ThreadPoolExecutor | None = None    # the shared pool, while this block uses it
        self._pooled = False
        self._seconds = 0.0     # spent here on the files done here
        self._waited = 0        # times this thread waited meanwhile (0 where the system can't tell)
        self._files = 0

    def __enter__(self) -> Workers:
        return self

    def __exit__(self, *exc: object) -> None:
        for future in self._futures:
            future.cancel()
        wait(self._futures)
        if self._pool is not None:
            self._pool = None
            SHARED_POOL.release()

    def expect_waits(self) -> None:
        """Every file waits on storage (they are remote): the pool from the
        first run on."""
        self._pooled = not SHARED_POOL.inside()

    @property
    def pooled(self) -> bool:
        """Whether the work has gone to the pool of threads."""
        return self._pooled

    def _here(self) -> bool:
        if self._pooled:
            return False
        if SHARED_POOL.inside() or self._files == 0:
            return True
        waits = _THREAD is None or self._waited >= self._files / 2
        return not (waits and self._seconds / self._files > SLOW)

    def map(self, fn: Callable[[Sequence[T]], R], runs: Sequence[Sequence[T]]) -> Generator[R, None, None]:
        """fn of each run of files, in order, as each is done. Closing the
        generator early (a failure) cancels the runs not started."""
        pending: list[Future[R]] = []
        try:
            for k, run in enumerate(runs):
                if self._here():
                    start, waited = time.perf_counter(), _waits()
                    result = fn(run)
                    self._seconds += time.perf_counter() - start
                    self._waited += _waits() - waited
                    self._files += len(run)
                    yield result
                    continue
                self._pooled = True
                if self._pool is None:
                    self._pool = SHARED_POOL.acquire(len(runs) - k)
                pool = self._pool
                pending = [pool.submit(fn, rest) for rest in runs[k:]]
                self._futures += pending
                for future in pending:
                    yield future.result()
                return
        finally:
            for future in pending:
                future.cancel()
