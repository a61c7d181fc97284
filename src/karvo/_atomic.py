"""Write a file or folder under a temporary name beside its target, then rename.

A failed, interrupted or killed write therefore never leaves a half-written
file under the name the user asked for: either the old content (or nothing)
is there, or the complete new one.
"""
from __future__ import annotations

import contextlib
import errno
import os
import shutil
import signal
import tempfile
from collections.abc import Iterator
from types import FrameType
from typing import Any


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _is_zarr_store(path: str) -> bool:
    return any(os.path.exists(os.path.join(path, marker))
               for marker in ("zarr.json", ".zgroup", ".zarray"))


@contextlib.contextmanager
def replaced_on_success(target: str, *, folder: bool = False) -> Iterator[str]:
    """Yield a temporary path beside ``target``; rename it to ``target`` when
    the block completes, delete it when the block raises.

    ``folder=True`` makes the temporary path a directory (for zarr stores);
    an existing folder under ``target`` is then replaced only if it is a zarr
    store, so a mistyped ``-o`` cannot wipe an unrelated folder.
    """
    parent = os.path.dirname(os.path.abspath(target))
    base = os.path.basename(target.rstrip(os.sep)) or "output"
    if os.path.isdir(target) and not (folder and _is_zarr_store(target)):
        raise IsADirectoryError(errno.EISDIR, "is a folder but not a zarr store; give another name"
                                if folder else "is a folder; give a file name", target)
    polite = _exit_on_termination()
    if folder:
        temp = tempfile.mkdtemp(prefix=f".{base}.", suffix=".part", dir=parent)
    else:
        fd, temp = tempfile.mkstemp(prefix=f".{base}.", suffix=".part", dir=parent)
        os.close(fd)
    try:
        yield temp
        # mkstemp/mkdtemp create private entries; give the result the
        # permissions a plain open() or mkdir() would have given it.
        os.chmod(temp, (0o777 if folder else 0o666) & ~_umask())
        if folder and os.path.isdir(target):
            old = tempfile.mkdtemp(prefix=f".{base}.", suffix=".old", dir=parent)
            os.rename(target, os.path.join(old, "store"))
            os.rename(temp, target)
            shutil.rmtree(old, ignore_errors=True)
        else:
            os.replace(temp, target)
    except BaseException:
        if os.path.isdir(temp):
            shutil.rmtree(temp, ignore_errors=True)
        else:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temp)
        raise
    finally:
        for signum, handler in polite.items():
            signal.signal(signum, handler)


def _terminate(signum: int, frame: FrameType | None) -> None:
    raise SystemExit(128 + signum)


def _exit_on_termination() -> dict[int, Any]:
    """While a temporary exists, SIGTERM and SIGHUP raise SystemExit so that
    it is removed when the command is killed politely.  Returns the handlers
    to restore (none off the main thread, where handlers can't be set)."""
    previous = {}
    for name in ("SIGTERM", "SIGHUP"):
        signum = getattr(signal, name, None)
        if signum is not None:
            with contextlib.suppress(ValueError, OSError):
                previous[signum] = signal.signal(signum, _terminate)
    return previous
