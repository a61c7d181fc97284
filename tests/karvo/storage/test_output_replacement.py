"""How an output replaces what is under its name: under a temporary name of
its own, flushed to disk, renamed in place, with the process's handlers,
umask and any old output left as they should be, however it ends."""
import errno
import os
import signal
import stat

import pytest

from karvo._storage import atomic as _atomic
from karvo._storage.atomic import replaced_on_success


def write(path, content, folder):
    """A file holding content, or a (zarr-like) folder whose zarr.json does."""
    if folder:
        os.makedirs(path, exist_ok=True)
        path = os.path.join(path, "zarr.json")
    with open(path, "w") as fh:
        fh.write(content)


def content(path):
    with open(os.path.join(path, "zarr.json") if os.path.isdir(path) else path) as fh:
        return fh.read()


def test_a_write_that_cannot_start_leaves_the_signal_handlers_alone(tmp_path):
    before = [signal.getsignal(s) for s in (signal.SIGTERM, signal.SIGHUP)]
    for folder in (False, True):
        with pytest.raises(FileNotFoundError):
            with replaced_on_success(str(tmp_path / "absent" / "out.zarr"), folder=folder):
                pass
    assert [signal.getsignal(s) for s in (signal.SIGTERM, signal.SIGHUP)] == before


@pytest.mark.parametrize("folder", [False, True])
@pytest.mark.parametrize("name", ["n" * 245 + ".zarr",    # 250 bytes, the same in any locale
                                  os.fsdecode(("a" + "\u00e9" * 124 + "b").encode("utf-8"))])
def test_an_output_name_as_long_as_the_folder_takes(tmp_path, folder, name):
    target = str(tmp_path / name)
    for version in ("old", "new"):          # written, then replaced
        with replaced_on_success(target, folder=folder) as temp:
            write(temp, version, folder)
    assert content(target) == "new" and os.listdir(tmp_path) == [name]


@pytest.mark.parametrize("event, kept", [("the second rename fails", "old"),
                                         ("SIGINT between the renames", "new")])
def test_replacing_a_store_by_two_renames(tmp_path, monkeypatch, ctrl_c, event, kept):
    """Where the two folders can't be swapped in one step: a failure puts the
    old store back, and a signal waits until the new one is in place."""
    target = str(tmp_path / "out.zarr")
    write(target, "old", folder=True)
    monkeypatch.setattr(_atomic, "_exchange", lambda a, b: False)
    real_rename = os.rename

    def rename(src, dst):
        if event.startswith("the second") and src.endswith(".part"):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), src)
        real_rename(src, dst)
        if event.startswith("SIGINT") and dst.endswith("store"):
            os.kill(os.getpid(), signal.SIGINT)
    monkeypatch.setattr(os, "rename", rename)
    with pytest.raises(OSError if event.startswith("the second") else KeyboardInterrupt):
        with replaced_on_success(target, folder=True) as temp:
            write(temp, "new", folder=True)
    assert content(target) == kept and os.listdir(tmp_path) == ["out.zarr"]


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc to name descriptors")
@pytest.mark.parametrize("folder", [False, True])
def test_what_was_written_is_on_disk_before_the_rename(tmp_path, monkeypatch, folder):
    events = []
    real_fsync, real_replace = os.fsync, os.replace

    def fsync(fd):
        events.append(("fsync", os.readlink(f"/proc/self/fd/{fd}")))
        real_fsync(fd)

    def replace(src, dst):
        events.append(("rename", src))
        real_replace(src, dst)
    monkeypatch.setattr(os, "fsync", fsync)
    monkeypatch.setattr(os, "replace", replace)
    with replaced_on_success(str(tmp_path / "out"), folder=folder) as temp:
        write(temp, "data", folder)
    renamed = events.index(("rename", temp))
    synced_before = {path for what, path in events[:renamed] if what == "fsync"}
    assert (os.path.join(temp, "zarr.json") if folder else temp) in synced_before
    assert ("fsync", str(tmp_path)) in events[renamed:]     # the folder holding the new name


@pytest.mark.parametrize("folder, mode", [(False, 0o640), (True, 0o750)])
def test_the_output_has_the_permissions_the_umask_gives(tmp_path, monkeypatch, folder, mode):
    previous = os.umask(0o027)
    try:
        if os.path.exists("/proc/self/status"):
            # where the umask can be read, it is never set (not even for a moment)
            monkeypatch.setattr(os, "umask", lambda mask: pytest.fail("os.umask was called"))
        with replaced_on_success(str(tmp_path / "out"), folder=folder) as temp:
            write(temp, "data", folder)
    finally:
        monkeypatch.undo()
        os.umask(previous)
    assert stat.S_IMODE(os.stat(tmp_path / "out").st_mode) == mode
