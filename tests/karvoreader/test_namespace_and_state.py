"""Names looked up at the moment of use, references held across caller code,
per-module state, and the process-wide state that the library must leave
alone.  Whatever can crash the interpreter runs in a child process, so a
relapse fails one test instead of the whole run."""
import io
import os
import subprocess
import sys
import textwrap

import pytest

import karvo_writer as W
import karvoreader as K
from conftest import run_python

from conftest import TOOLS

PRELUDE = """
import gc, io, sys
sys.path.insert(0, %r)
import karvo_writer as W
if %r:
    import karvoreader as K
series_path = %r
W.write_series(series_path, n_spectra=3, num_points=4)
single_path = %r
with open(single_path, "wb") as fh:
    fh.write(W.single_spectrum_file(values=[1.0, 2.0]))
"""


def child_code(tmp_path, body, import_first=True):
    return PRELUDE % (TOOLS, import_first, str(tmp_path / "s.spa"), str(tmp_path / "one.spa")) + textwrap.dedent(body)


def run_child(tmp_path, body, dev=True, import_first=True):
    """Runs body after PRELUDE in a fresh interpreter (under -X dev unless
    told otherwise); returns its stdout."""
    p = run_python(child_code(tmp_path, body, import_first), dev=dev)
    assert p.returncode == 0, p.stderr[-3000:]
    return p.stdout


# --- references kept across caller code -------------------------------------

def test_decoder_that_unbinds_itself_fails_the_next_text_field(tmp_path):
    out = run_child(tmp_path, """
    spa = K.SPAFile(series_path)
    idx = spa.find_indextype(325)
    class Decoder:
        def __call__(self, raw):
            K.decode_string = None
            return "x" * 40
    K.decode_string = Decoder()
    try:
        spa.read(idx)
    except TypeError as e:
        print(e)
    """)
    assert "'NoneType' object is not callable" in out


def test_header_class_survives_a_path_that_rebinds_it(tmp_path):
    out = run_child(tmp_path, """
    class Header(K.FileHeader):
        pass
    original = K.FileHeader
    K.FileHeader = Header
    del Header
    class Path:
        def __fspath__(self):
            K.FileHeader = original
            gc.collect()
            return series_path
    spa = K.SPAFile(Path())
    print(type(spa.info).__name__, spa.info.file_type)
    """)
    assert out.split()[-2:] == ["Header", "11"]


def test_registry_rebound_by_a_keys_hash(tmp_path):
    out = run_child(tmp_path, """
    junk = []
    class Key:
        def __hash__(self):
            K.TYPE_CLASS = {}
            junk.extend({i: None} for i in range(4))   # reuses freed dictionaries
            return hash(2)
        def __eq__(self, other):
            return other == 2
    K.TYPE_CLASS = dict(K.TYPE_CLASS)   # held by the namespace alone
    spa = K.SPAFile(single_path)
    spa.info.sections[0].section_type = Key()
    print(type(spa.read(0)).__name__)
    """)
    assert out.split()[-1] == "MainSpectralHeader"


def test_class_type_rebound_by_a_classes_hash(tmp_path):
    out = run_child(tmp_path, """
    junk = []
    class Meta(type):
        def __hash__(cls):
            if armed:
                armed.pop()
                K.CLASS_TYPE = {K.DiskResidentArray: 300}
                junk.extend({i: None} for i in range(4))   # reuses freed dictionaries
            return 1234
    class Header(K.SeriesHeader, metaclass=Meta):
        pass
    armed = []
    K.CLASS_TYPE = {Header: 325, K.DiskResidentArray: 300}
    K.SeriesHeader = Header
    armed.append(True)
    spectral, dims = next(K.open_file(series_path).open_series())
    print(spectral["n"], armed)
    """)
    assert out.split()[-2:] == ["4", "[]"]


@pytest.mark.parametrize("name, section", [
    ("DataBlobFormat", 300),   # a nested record
    ("Dimension", 300),        # a list of records
    ("read_string", 300),      # a string field read through a caller's reader
])
def test_callable_rebound_by_an_audit_hook_while_the_host_file_opens(tmp_path, name, section):
    out = run_child(tmp_path, """
    name, section = %r, %d
    original = getattr(K, name)
    if name == "read_string":
        K.read_string = lambda f, n: original(f, n)
    else:
        K.%s = type(name, (original,), {})
    armed = [True]
    def hook(event, args):
        if event == "open" and armed[0]:
            armed[0] = False
            setattr(K, name, original)
            gc.collect()
    sys.addaudithook(hook)
    spa = K.SPAFile(series_path)
    record = spa.read(spa.find_indextype(section))
    print(type(record).__name__, armed[0])
    """ % (name, section, name))
    assert out.split()[-1] == "False"


# --- read_string and decode_string -------------------------------------------

def test_read_string_uses_the_bound_decode_string(monkeypatch):
    original = K.decode_string
    monkeypatch.setattr(K, "decode_string", lambda s: "<" + original(s) + ">")
    assert K.read_string(io.BytesIO(b"ab\0c"), 4) == "<ab>"
    dim = K.Dimension(io.BytesIO(W.pack_dimension(short_label=b"t", long_label=b"time")))
    assert (dim.short_label, dim.long_label) == ("<t>", "<time>")
    monkeypatch.undo()
    assert K.read_string(io.BytesIO(b"ab\0c"), 4) == "ab"


@pytest.fixture
def binding_order():
    """A module name deleted and bound again goes last: puts the names back
    in the order they were bound, which test_module_surface checks."""
    order = list(vars(K))
    yield
    names = vars(K)
    if list(names) != order:
        values = dict(names)
        names.clear()
        names.update({n: values[n] for n in order if n in values})
        names.update(values)


def test_read_string_reads_before_it_looks_the_decoder_up(binding_order, monkeypatch):
    monkeypatch.delattr(K, "decode_string")
    f = io.BytesIO(b"abcd")
    with pytest.raises(NameError):
        K.read_string(f, 3)
    assert f.tell() == 3


# --- state per module object --------------------------------------------------

def test_a_second_module_object_has_a_namespace_of_its_own(tmp_path):
    out = run_child(tmp_path, """
    first = K
    del sys.modules["karvoreader"]
    import karvoreader as second
    assert second is not first and second.SPAFile is not first.SPAFile
    class Header(second.FileHeader):
        pass
    second.FileHeader = Header
    second.TYPE_CLASS = {}
    print(type(second.SPAFile(single_path).info).__name__, type(first.SPAFile(single_path).info).__name__)
    try:
        second.SPAFile(single_path).read(0)
    except KeyError:
        print("second KeyError")
    print(type(first.SPAFile(single_path).read(0)).__name__)
    orig = second.decode_string
    second.decode_string = lambda s: "<" + orig(s) + ">"
    print(second.read_string(io.BytesIO(b"ab"), 2), first.read_string(io.BytesIO(b"ab"), 2))
    # a stream reaches the namespace of the module whose function made it
    stream = first.open_file(series_path).open_series()
    del sys.modules["karvoreader"], first
    gc.collect()
    print(len(list(stream)))
    """)
    lines = out.splitlines()
    assert lines[0] == "karvoreader: compiled version" and lines.count(lines[0]) == 1
    assert lines[1:] == ["Header FileHeader", "second KeyError", "MainSpectralHeader", "<ab> ab", "4"]


def test_failed_initialization_leaves_nothing_behind(tmp_path):
    out = run_child(tmp_path, """
    del sys.modules["karvoreader"], K
    gc.collect()
    def modules_alive():
        gc.collect()
        return sum(1 for o in gc.get_objects()
                   if type(o) is dict and o.get("__name__") == "karvoreader" and "struct" in o)
    before = modules_alive()
    array = sys.modules["array"]
    sys.modules["array"] = None      # fails the initialization half-way
    try:
        import karvoreader
    except ImportError:
        pass
    finally:
        sys.modules["array"] = array
    assert "karvoreader" not in sys.modules
    failed = modules_alive() - before
    import karvoreader
    print(failed, modules_alive() - before, karvoreader.SPAFile(single_path).read(0).num_points)
    """)
    assert out.splitlines()[-1] == "0 1 2"


def test_every_failing_allocation_leaves_a_working_library(tmp_path):
    # Each allocation of a first walk fails once, in turn: the walk may fail,
    # but nothing it leaves behind (interned names, state) breaks the next.
    pytest.importorskip("_testcapi")
    out = run_child(tmp_path, """
    import _testcapi, array
    expected = [[0.0, 0.25, 0.5, 0.75], [1.0, 0.25, 0.5, 0.75], [2.0, 0.25, 0.5, 0.75]]
    class Values(array.array):
        pass
    def walk():
        K.array = Values
        return [list(v) for t, v in list(K.open_file(series_path).open_series())[1:]]
    for start in range(400):
        _testcapi.set_nomemory(start, start + 1)
        try:
            walk()
        except Exception:
            pass
        finally:
            _testcapi.remove_mem_hooks()
    assert walk() == expected
    print("OK")
    """, dev=False)   # the debug allocator counts allocations of its own
    assert out.endswith("OK\n")


# --- the collector switch ------------------------------------------------------

def test_large_directory_leaves_the_collector_switch_alone():
    import gc
    b = W.SpaBuilder(file_type=1)
    for i in range(1500):
        b.add_entry(100, 0, index_long=i)
    data = b.build()
    seen = []

    class Reader(io.BytesIO):
        def read(self, n=-1):
            seen.append(gc.isenabled())
            if len(seen) == 100:
                gc.disable()   # the caller's own choice, made mid-read
            return super().read(n)
    try:
        header = K.FileHeader(Reader(data))
        assert not gc.isenabled()
        assert seen[:100] == [True] * 100 and not any(seen[100:])
    finally:
        gc.enable()
    assert [e.index_long for e in header.sections] == list(range(1500))
    assert all(gc.is_tracked(e) for e in header.sections)


# --- fast paths and what a caller set on a class -------------------------------

# Setting __new__ on a class can't be undone in the host (deleting it leaves
# a slot that refuses arguments), so these run in a child.
@pytest.mark.parametrize("cls_name, section", [("MainSpectralHeader", 2), ("SeriesHeader", 325)])
def test_class_level_setattr_and_new_run_for_every_record(tmp_path, cls_name, section):
    out = run_child(tmp_path, """
    cls, section = K.%s, %d
    spa = K.SPAFile(single_path if section == 2 else series_path)
    plain = spa.read(spa.find_indextype(section))
    sets, news = [], []
    def counting_setattr(self, name, value):
        sets.append(name)
        object.__setattr__(self, name, value)
    def counting_new(c, *args):
        news.append(c)
        return object.__new__(c)
    cls.__setattr__ = counting_setattr
    cls.__new__ = counting_new
    record = spa.read(spa.find_indextype(section))
    assert sets == list(vars(plain)), sets
    assert news == [cls] and vars(record) == vars(plain)
    print(len(sets))
    """ % (cls_name, section))
    assert out.split()[-1] == {2: "35", 325: "26"}[section]


def test_directory_entries_honour_a_class_level_new(tmp_path):
    out = run_child(tmp_path, """
    calls = []
    data = W.single_spectrum_file(values=[1.0], extra_sections=[(100, b"x"), (100, b"y")])
    def counting_new(c, *args):
        calls.append(c)
        return object.__new__(c)
    K.IndexEntry.__new__ = counting_new
    header = K.FileHeader(io.BytesIO(data))
    spa = K.SPAFile(single_path)
    print(len(calls), len(header.sections), len(spa.info.sections))
    """)
    calls, in_header, in_file = map(int, out.split()[-3:])
    assert in_header == in_file + 2 and calls == in_header + in_file


# --- native file reading ------------------------------------------------------

FAILING_FSTAT = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
/* fstat fails, for calls made from the extension, once KARVO_TEST_FSTAT is
   set; what the buffer holds after a failure is unspecified: here, a
   directory's mode. */
static int refuse(void *caller, struct stat *st) {
    Dl_info info;
    if (!getenv("KARVO_TEST_FSTAT") || !dladdr(caller, &info) || !info.dli_fname ||
        !strstr(info.dli_fname, "karvoreader"))
        return 0;
    memset(st, 0, sizeof *st);
    st->st_mode = S_IFDIR | 0755;
    errno = EIO;
    return 1;
}
int fstat(int fd, struct stat *st) {
    static int (*real)(int, struct stat *);
    if (refuse(__builtin_return_address(0), st)) return -1;
    if (!real) real = (int (*)(int, struct stat *))dlsym(RTLD_NEXT, "fstat");
    return real(fd, st);
}
int fstat64(int fd, struct stat64 *st) {
    static int (*real)(int, struct stat64 *);
    if (refuse(__builtin_return_address(0), (struct stat *)st)) return -1;
    if (!real) real = (int (*)(int, struct stat64 *))dlsym(RTLD_NEXT, "fstat64");
    return real(fd, st);
}
"""


def test_failing_fstat_is_an_error_not_a_guess(tmp_path):
    import shutil
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        pytest.skip("no C compiler")
    src, lib = tmp_path / "fstat.c", tmp_path / "libfstat.so"
    src.write_text(FAILING_FSTAT)
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(lib), str(src), "-ldl"], check=True)
    # after what is preloaded already (a sanitizer's runtime must come first)
    env = dict(os.environ, LD_PRELOAD=" ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(lib)])))
    code = child_code(tmp_path, """
    import errno, os
    stream = K.open_file(series_path).open_series()
    os.environ["KARVO_TEST_FSTAT"] = "1"
    try:
        next(stream)
    except OSError as e:
        print("OSError", e.errno == errno.EIO)
    """)
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert p.returncode == 0, p.stderr[-3000:]
    assert p.stdout.split()[-2:] == ["OSError", "True"]
