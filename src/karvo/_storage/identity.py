"""Which file a path named when it was opened, to notice another one there later.

A Series, a Spectrum and the xarray engine's lazy arrays open their file again
where they are unpickled (another process, another machine) or when a cache
dropped it. The path alone could then name another file (a relative path
from another working folder, a file replaced or rewritten since), whose
values would come back as if they were the ones opened. The identity taken
from the open descriptor tells them apart.
"""
from __future__ import annotations

import socket
from datetime import datetime, timezone
from functools import lru_cache
from typing import NamedTuple

from .._errors import FormatError

__all__ = ["FileIdentity", "check_unchanged", "this_machine"]


class FileIdentity(NamedTuple):
    """What os.stat says of a file: device, inode, size and modification time."""

    device: int
    inode: int
    size: int
    mtime_ns: int


@lru_cache(maxsize=None)
def this_machine() -> str:
    """This machine (and boot): device and inode numbers mean the same file
    only here. Another machine numbers the devices of a shared file system
    in its own way."""
    try:
        with open("/proc/sys/kernel/random/boot_id") as fh:
            boot = fh.read().strip()
    except OSError:
        boot = ""
    return f"{socket.gethostname()} {boot}"


def _when(ns: int) -> str:
    seconds, rest = divmod(ns, 10**9)
    try:
        stamp = datetime.fromtimestamp(seconds, timezone.utc).strftime("%Y-%m-%d %H:%M:%S")
    except (OverflowError, OSError, ValueError):  # out of datetime's range
        return f"{ns} ns"
    return f"{stamp}.{rest:09d} UTC"


def changes(was: FileIdentity, now: FileIdentity, same_machine: bool = True) -> list[str]:
    """What differs between two identities of a file, in words. Device and
    inode are compared only on the machine where was was taken."""
    out = []
    if same_machine and (now.device, now.inode) != (was.device, was.inode):
        out.append(f"another file is there (device {now.device}, inode {now.inode}; "
                   f"opened: device {was.device}, inode {was.inode})")
    if now.size != was.size:
        out.append(f"size {now.size} bytes, opened with {was.size}")
    if now.mtime_ns != was.mtime_ns:
        out.append(f"modified {_when(now.mtime_ns)}, opened as of {_when(was.mtime_ns)}")
    return out


def check_unchanged(path: str, was: tuple[int, int, int, int], now: tuple[int, int, int, int],
                    machine: str | None = None) -> None:
    """Raises FormatError naming path and what changed when now is not was;
    machine is where was was taken (None: this one)."""
    same_machine = machine is None or machine == this_machine()
    differ = changes(FileIdentity(*was), FileIdentity(*now), same_machine)
    if differ:
        raise FormatError(f"{path}: the file changed since it was opened: {'; '.join(differ)}", path)
