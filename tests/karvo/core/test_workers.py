"""Work over many files: here while files are quick, on the shared pool once
they wait on storage; what a block gave the pool has ended when it ends."""
import os
import sys
import threading
import time
import warnings

import pytest

from karvo._core import workers
from karvo._core.workers import SHARED_POOL, Workers, batches


def _threads_of(runs, wait=0.0):
    """The thread each run of a map ran on."""
    def run(batch):
        if wait:
            time.sleep(wait)
        return threading.get_ident()
    with Workers() as w:
        return list(w.map(run, runs)), w.pooled


def test_quick_files_stay_in_the_calling_thread():
    seen, pooled = _threads_of(batches(list(range(500))))
    assert set(seen) == {threading.get_ident()} and not pooled


def test_files_that_wait_go_to_the_pool_after_the_first_run():
    seen, pooled = _threads_of(batches(list(range(40))), wait=2 * workers.SLOW)
    assert pooled
    assert seen[0] == threading.get_ident()
    assert threading.get_ident() not in seen[1:]


def test_expected_waits_use_the_pool_from_the_first_run():
    with Workers() as w:
        w.expect_waits()
        seen = list(w.map(lambda run: threading.get_ident(), [[1], [2]]))
    assert threading.get_ident() not in seen


@pytest.mark.parametrize("tasks", [3, 200])
def test_a_new_pool_starts_the_threads_its_call_runs_at_once(monkeypatch, tasks):
    """Not all 64 for a call of three tasks: starting each costs a few ms."""
    shared = workers._SharedPool()
    monkeypatch.setattr(workers, "SHARED_POOL", shared)
    with Workers() as w:
        w.expect_waits()
        pools = set(w.map(lambda run: shared._pool, [[k] for k in range(tasks)]))
    (pool,) = pools
    # a thread more or so where a task came before a started thread was idle again
    assert min(tasks, workers.THREADS) <= len(pool._threads) <= min(2 * tasks, workers.THREADS)


def test_work_handed_on_from_the_pool_runs_where_it_is():
    """Waiting on the pool from one of its threads could wait forever once
    every thread waits so."""
    def nested(run):
        with Workers() as inner:
            inner.expect_waits()
            return list(inner.map(lambda r: threading.get_ident(), [[1], [2], [3]])), threading.get_ident()

    with Workers() as outer:
        outer.expect_waits()
        results = list(outer.map(nested, [[k] for k in range(4 * (os.cpu_count() or 1) + 8)]))
    for inner_threads, own in results:
        assert set(inner_threads) == {own}


def test_a_failure_cancels_what_has_not_started_and_waits_for_the_rest():
    started, ended = [], []
    gate = threading.Event()

    def run(batch):
        started.append(batch[0])
        if batch[0] == 0:
            raise ValueError("the first file is damaged")
        gate.wait(5)
        ended.append(batch[0])

    runs = [[k] for k in range(200)]
    with pytest.raises(ValueError, match="damaged"):
        with Workers() as w:
            w.expect_waits()
            done = w.map(run, runs)
            try:
                next(done)
            finally:
                gate.set()
                done.close()
    # every run that started has ended by the end of the block; most never started
    assert sorted(ended) == sorted(k for k in started if k != 0)
    assert len(started) < len(runs)


def test_no_thread_outlives_the_work():
    """A process that forks after reading many files has no idle thread of ours."""
    with Workers() as w:
        w.expect_waits()
        assert list(w.map(lambda run: sum(run), [[1, 2], [3]])) == [3, 3]
        assert SHARED_POOL._pool is not None
    assert SHARED_POOL._pool is None
    for thread in threading.enumerate():
        if thread.name.startswith("karvo"):
            thread.join(5)
    assert not [t for t in threading.enumerate() if t.name.startswith("karvo")]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="fork only")
def test_a_child_forked_while_the_pool_works_starts_its_own():
    with Workers() as w:
        w.expect_waits()
        assert list(w.map(lambda run: sum(run), [[1, 2], [3]])) == [3, 3]
        with warnings.catch_warnings():     # a process with threads: only this thread goes on in the child
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:       # the parent's threads are not here: a pool of its own, working
            code = 1
            try:
                ok = SHARED_POOL._pool is None
                with Workers() as inner:
                    inner.expect_waits()
                    ok = ok and list(inner.map(lambda run: sum(run), [[1, 2], [3]])) == [3, 3]
                code = 0 if ok else 1
            finally:
                sys.stdout.flush()
                os._exit(code)
        _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


def test_a_pool_whose_threads_cant_all_start_is_let_go_of(monkeypatch):
    """Out of threads: the call fails as thread creation does, the pool is
    not kept, and the threads that did start end at once."""
    start, started = threading.Thread.start, []

    def limited(self):
        if self.name.startswith("karvo") and len(started) >= 2:
            raise RuntimeError("can't start new thread")
        started.append(self)
        start(self)
    monkeypatch.setattr(threading.Thread, "start", limited)
    with pytest.raises(RuntimeError, match="can't start"):
        with Workers() as w:
            w.expect_waits()
            list(w.map(lambda run: run, [[1]] * 8))
    monkeypatch.undo()
    assert SHARED_POOL._pool is None and SHARED_POOL._users == 0
    for thread in started:
        thread.join(5)
        assert not thread.is_alive()
