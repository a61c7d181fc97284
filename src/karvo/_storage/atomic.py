"""Write a file or folder under a temporary name beside its target, then rename.

A failed, interrupted or killed write therefore never leaves a half-written
file under the name the user asked for: either the old content (or nothing)
is there, or the complete new one.  What was written is flushed to disk
(``fsync``) before the rename and the folder after it, so a power loss
cannot leave an empty file under the target's name either.

A zarr store is a folder, and a folder cannot be renamed over another.  On
Linux the new store and the old one are swapped in one step
(``renameat2(RENAME_EXCHANGE)``) where the file system supports it.
Elsewhere the old store is first moved aside into a ``.NAME.XXXXXXXX.old``
folder, then the new one put in place; a failure of the second rename moves
the old store back, and SIGINT, SIGTERM and SIGHUP are held back between the
two renames (those ignored when the command started stay ignored throughout).  What remains is a SIGKILL or a power loss between them: the
old store is then left in the ``.old`` folder beside the target, and
nothing under the target's name.
"""
from __future__ import annotations

import contextlib
import ctypes
import errno
import os
import shutil
import signal
import sys
import tempfile
from collections.abc import Iterator
from types import FrameType
from typing import Any

_TEMP_SUFFIX = ".part"
_RANDOM_CHARS = 8               # what tempfile adds between prefix and suffix
_POLITE_SIGNALS = ("SIGTERM", "SIGHUP")


def _umask() -> int:
    """The process's umask.  Read from /proc where the kernel shows it:
    setting it to read it back would, for that moment, give files that
    other threads create the permissions 0o777/0o666."""
    with contextlib.suppress(OSError, ValueError):
        with open("/proc/self/status", encoding="ascii", errors="replace") as fh:
            for line in fh:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    mask = os.umask(0o022)          # elsewhere it is only told when set
    os.umask(mask)
    return mask


def _name_max(folder: str) -> int:
    with contextlib.suppress(OSError, ValueError, AttributeError):
        return int(os.pathconf(folder, "PC_NAME_MAX"))
    return 255


def _temp_prefix(base: str, folder: str) -> str:
    """``.BASE.``, BASE cut (in bytes) so that the temporary's whole name
    fits where BASE itself fits."""
    room = _name_max(folder) - len(f"..{_TEMP_SUFFIX}") - _RANDOM_CHARS
    raw = os.fsencode(base)
    return f".{os.fsdecode(raw[:max(room, 1)])}." if len(raw) > room else f".{base}."


def _is_zarr_store(path: str) -> bool:
    return any(os.path.exists(os.path.join(path, marker))
               for marker in ("zarr.json", ".zgroup", ".zarray"))


def _fsync_path(path: str) -> None:
    """Flush a file's data, or a folder's entries, to disk.  Not every
    system can open or sync a folder: there that is skipped."""
    if not os.path.isdir(path):
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        return
    with contextlib.suppress(OSError):
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def _fsync_tree(path: str) -> None:
    """Flush a file, or every file and folder of a folder, to disk."""
    if not os.path.isdir(path):
        _fsync_path(path)
        return
    for folder, _dirs, files in os.walk(path, topdown=False):
        for name in files:
            _fsync_path(os.path.join(folder, name))
        _fsync_path(folder)


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
    prefix = _temp_prefix(base, parent)
    polite = _exit_on_termination()
    try:
        if folder:
            temp = tempfile.mkdtemp(prefix=prefix, suffix=_TEMP_SUFFIX, dir=parent)
        else:
            fd, temp = tempfile.mkstemp(prefix=prefix, suffix=_TEMP_SUFFIX, dir=parent)
            os.close(fd)
        try:
            yield temp
            _fsync_tree(temp)
            # mkstemp/mkdtemp create private entries; give the result the
            # permissions a plain open() or mkdir() would have given it.
            os.chmod(temp, (0o777 if folder else 0o666) & ~_umask())
            if folder and os.path.isdir(target):
                _replace_folder(temp, target, prefix, parent)
            else:
                os.replace(temp, target)
            _fsync_path(parent)
        except BaseException:
            _remove(temp)
            raise
    finally:
        for signum, handler in polite.items():
            signal.signal(signum, handler)


def _remove(path: str) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


def _replace_folder(new: str, target: str, prefix: str, parent: str) -> None:
    """Put the folder ``new`` in place of the folder ``target`` and remove
    the old one."""
    if _exchange(new, target):
        _remove(new)                                  # now the old store
        return
    with _signals_held():
        aside = tempfile.mkdtemp(prefix=prefix, suffix=".old", dir=parent)
        old = os.path.join(aside, "store")
        try:
            os.rename(target, old)
            try:
                os.rename(new, target)
            except BaseException:
                os.rename(old, target)
                raise
        finally:
            # the old store stays aside only if it could not be put back
            if os.path.lexists(target):
                shutil.rmtree(aside, ignore_errors=True)


_RENAME_EXCHANGE = 2
_AT_FDCWD = -100


def _renameat2() -> Any:
    """libc's renameat2, where the platform is Linux and libc has it."""
    if not sys.platform.startswith("linux"):
        return None
    with contextlib.suppress(OSError, AttributeError):
        function = ctypes.CDLL(None, use_errno=True).renameat2
        function.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                             ctypes.c_uint]
        function.restype = ctypes.c_int
        return function
    return None


def _exchange(a: str, b: str) -> bool:
    """Swap the entries ``a`` and ``b`` in one step; False where the system
    or the file system can't (the caller then renames twice)."""
    renameat2 = _renameat2()
    if renameat2 is None:
        return False
    if renameat2(_AT_FDCWD, os.fsencode(a), _AT_FDCWD, os.fsencode(b), _RENAME_EXCHANGE) == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.ENOSYS, errno.EINVAL, errno.ENOTSUP):
        return False
    raise OSError(code, os.strerror(code), b)


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Hold back SIGINT, SIGTERM and SIGHUP until the block ends, then act
    on them as before.  (Python runs its handlers in the main thread, so
    off it they can't cut into the block anyway.)"""
    caught: list[int] = []
    previous: dict[int, Any] = {}
    for name in ("SIGINT", *_POLITE_SIGNALS):
        signum = getattr(signal, name, None)
        if signum is None or not _ours_to_wrap(signum):
            continue
        with contextlib.suppress(ValueError, OSError):
            previous[signum] = signal.signal(signum, lambda s, _f: caught.append(s))
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        for signum in dict.fromkeys(caught):
            signal.raise_signal(signum)


def _terminate(signum: int, frame: FrameType | None) -> None:
    raise SystemExit(128 + signum)


def _ours_to_wrap(signum: int) -> bool:
    """Whether a handler of ours may stand in for the signal's: not where it
    is ignored (``nohup``, a background job: the one who started us asked
    that it change nothing) nor where C code set it (``None``)."""
    handler = signal.getsignal(signum)
    return handler is not None and handler != signal.SIG_IGN


def _exit_on_termination() -> dict[int, Any]:
    """While a temporary exists, SIGTERM and SIGHUP raise SystemExit so that
    it is removed when the command is killed politely; a signal ignored
    before stays ignored.  Returns the handlers to restore (none off the
    main thread, where handlers can't be set)."""
    previous = {}
    for name in _POLITE_SIGNALS:
        signum = getattr(signal, name, None)
        if signum is not None and _ours_to_wrap(signum):
            with contextlib.suppress(ValueError, OSError):
                previous[signum] = signal.signal(signum, _terminate)
    return previous
