import array
import collections.abc
import io
import os
import struct
import subprocess
import sys
import types

import pytest

import karvoreader as kr
from karvo_writer import SeriesFile, pack_dimension, pack_series_header

NAMES = ["struct", "array", "ST_ID_LENGTH", "FILE_ID_LENGTH", "MAX_PATH",
         "FT_IRDATA", "FT_GROUP", "FT_SERIES", "decode_string", "read_string",
         "FileHeader", "IndexEntry", "IndexEntryExtended", "MainSpectralHeader",
         "BenchInfo", "SeriesHeader", "Dimension", "DataBlobFormat",
         "LinkToData", "SeriesSpecheader", "SeriesSpecheaderVer3",
         "DiskResidentArray", "TYPE_CLASS", "CLASS_TYPE", "SPAFile", "Series",
         "open_file"]


def framed(name):
    return "\n    %s\n    " % name


CLASSES = [  # name, base, docstring, methods in definition order
    ("FileHeader", object, framed("ST_FILE_HEADER"), []),
    ("IndexEntry", object, framed("ST_INDEX_ENTRY"), []),
    ("IndexEntryExtended", "IndexEntry", framed("ST_INDEX_ENTRY_EXTENDED"), []),
    ("MainSpectralHeader", object, framed("MAIN_SPECTRAL_HEADER"), []),
    ("BenchInfo", object, framed("BENCH_INFO"), []),
    ("SeriesHeader", object, framed("SERIES_HEADER"), []),
    ("Dimension", object, framed("DIMENSION"), []),
    ("DataBlobFormat", object, framed("DATABLOBFORMAT"), []),
    ("LinkToData", object, framed("LINK_TO_DATA"), []),
    ("SeriesSpecheader", object,
     "\n    A possible mini header in data blobs.\n\n    SERIES_SPECHEADER\n    ", []),
    ("SeriesSpecheaderVer3", "SeriesSpecheader",
     "\n    A possible mini header in data blobs. SeriesSpecheader + direction"
     "\n\n    SERIES_SPECHEADER_VER3\n    ", []),
    ("DiskResidentArray", object, framed("DISK_RESIDENT_ARRAY"), ["read_linked_data"]),
    ("SPAFile", object, None, ["read_basic_info", "find_indextype",
                               "find_indextypes", "read", "read_offset"]),
    ("Series", object, None, ["open_series"]),
]


def test_names_in_binding_order():
    assert [k for k in vars(kr) if not k.startswith("__")] == NAMES
    assert kr.__name__ == "karvoreader" and kr.__doc__ is None
    assert kr.struct is struct and kr.array is array.array
    assert [kr.ST_ID_LENGTH, kr.FILE_ID_LENGTH, kr.MAX_PATH, kr.FT_IRDATA,
            kr.FT_GROUP, kr.FT_SERIES] == [30, 256, 260, 1, 10, 11]
    assert list(kr.TYPE_CLASS.items()) == [
        (2, kr.MainSpectralHeader), (325, kr.SeriesHeader), (300, kr.DiskResidentArray)]
    assert list(kr.CLASS_TYPE.items()) == [(v, k) for k, v in kr.TYPE_CLASS.items()]
    assert type(kr.TYPE_CLASS) is dict and type(kr.CLASS_TYPE) is dict


@pytest.mark.parametrize("name, base, doc, methods", CLASSES)
def test_classes(name, base, doc, methods):
    cls = getattr(kr, name)
    assert isinstance(cls, type)
    assert cls.__bases__ == ((base,) if base is object else (getattr(kr, base),))
    assert cls.__doc__ == doc
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "karvoreader")
    for m in methods + ["__init__"]:
        func = getattr(cls, m)
        assert func.__qualname__ == "%s.%s" % (name, m)
        if m != "__init__":
            assert func.__name__ == m and func.__doc__ is None


@pytest.mark.parametrize("name", ["decode_string", "read_string", "open_file"])
def test_module_functions_are_builtins(name):
    func = getattr(kr, name)
    assert isinstance(func, types.BuiltinFunctionType)
    assert func.__name__ == name and func.__doc__ is None


# Python classes with the same signatures; CPython's argument errors for
# them are the messages the extension's callables must give.
class FileHeader:
    def __init__(self, f): pass


class DiskResidentArray:
    def read_linked_data(self, file, n_spectra): pass


class SPAFile:
    def read_basic_info(self): pass
    def __init__(self, filename): pass
    def find_indextype(self, t): pass
    def find_indextypes(self, t): yield
    def read(self, index): pass
    def read_offset(self, rclass, offset): pass


class Series:
    def __init__(self, karvo_file): pass
    def open_series(self): yield


@pytest.fixture(scope="module")
def objects(tmp_path_factory):
    path = tmp_path_factory.mktemp("surface") / "s.spa"
    SeriesFile(n_spectra=2, num_points=3).write(str(path))
    sf = kr.SPAFile(str(path))
    return {"SPAFile": sf, "Series": kr.Series(sf),
            "DiskResidentArray": sf.read(1), "FileHeader": sf.info}


CALLS = [  # class, method (None: the class itself), args, kwargs
    ("FileHeader", None, (), {}),
    ("FileHeader", None, (1, 2), {}),
    ("FileHeader", None, (), {"g": 1}),
    ("FileHeader", None, (1,), {"f": 1}),
    ("SPAFile", None, (), {}),
    ("SPAFile", None, ("a", "b"), {}),
    ("SPAFile", None, (), {"name": "a"}),
    ("SPAFile", "read", (), {}),
    ("SPAFile", "read", (0, 1), {}),
    ("SPAFile", "read", (), {"idx": 0}),
    ("SPAFile", "read", (0,), {"index": 0}),
    ("SPAFile", "read_offset", (), {}),
    ("SPAFile", "read_offset", (object,), {}),
    ("SPAFile", "read_offset", (), {"offset": 0}),
    ("SPAFile", "read_offset", (1, 2, 3), {}),
    ("SPAFile", "read_basic_info", (1,), {}),
    ("SPAFile", "read_basic_info", (), {"x": 1}),
    ("SPAFile", "find_indextype", (), {}),
    ("SPAFile", "find_indextypes", (1, 2), {}),
    ("SPAFile", "find_indextypes", (), {"type": 2}),
    ("DiskResidentArray", "read_linked_data", (), {}),
    ("DiskResidentArray", "read_linked_data", (None,), {}),
    ("DiskResidentArray", "read_linked_data", (None, 1, 2), {}),
    ("DiskResidentArray", "read_linked_data", (None,), {"n": 1}),
    ("Series", None, (), {}),
    ("Series", None, (1, 2), {}),
    ("Series", None, (), {"file": 1}),
    ("Series", "open_series", (1,), {}),
    ("Series", "open_series", (), {"a": 1}),
]


def error_of(call):
    with pytest.raises(TypeError) as ei:
        call()
    return str(ei.value)


@pytest.mark.parametrize("cls, method, args, kwargs", CALLS)
def test_argument_errors_have_python_wording(objects, cls, method, args, kwargs):
    ref = globals()[cls]
    if method is None:
        want = error_of(lambda: ref(*args, **kwargs))
        assert error_of(lambda: getattr(kr, cls)(*args, **kwargs)) == want
        return
    ref_obj = object.__new__(ref)
    want = error_of(lambda: getattr(ref_obj, method)(*args, **kwargs))
    obj = objects[cls]
    assert error_of(lambda: getattr(obj, method)(*args, **kwargs)) == want
    assert error_of(lambda: getattr(type(obj), method)(obj, *args, **kwargs)) == want


def test_unbound_method_without_self(objects):
    assert error_of(kr.SPAFile.read) == error_of(SPAFile.read)
    assert error_of(kr.Series.open_series) == error_of(Series.open_series)


def test_methods_bind_like_python_functions(objects):
    sf = objects["SPAFile"]
    bound = sf.find_indextype
    assert bound.__self__ is sf and bound(325) == 0
    assert kr.SPAFile.find_indextype(sf, 300) == 1
    assert kr.SPAFile.find_indextype(sf, t=300) == 1
    assert kr.SPAFile.read(sf, index=0).max_spectra == 2
    assert kr.SPAFile.read_offset(sf, offset=0, rclass=kr.IndexEntry).section_type \
        == int.from_bytes(b"Sp", "little")


@pytest.mark.parametrize("call", [
    lambda: kr.decode_string(s=b"x"),
    lambda: kr.decode_string(),
    lambda: kr.decode_string(b"x", b"y"),
    lambda: kr.open_file(filename="x"),
    lambda: kr.open_file(),
    lambda: kr.read_string(io.BytesIO()),
    lambda: kr.read_string(io.BytesIO(), 1, 2),
    lambda: kr.read_string(io.BytesIO(), n=1),
])
def test_module_function_argument_errors(call):
    with pytest.raises(TypeError):
        call()


STREAMS = ["find_indextypes", "read_linked_data", "open_series"]


def stream_maker(objects, name):
    """(owner class name, a function that makes a fresh stream `name`)."""
    sf, series, dra = objects["SPAFile"], objects["Series"], objects["DiskResidentArray"]
    return {"find_indextypes": ("SPAFile", lambda: sf.find_indextypes(302)),
            "read_linked_data": ("DiskResidentArray", lambda: dra.read_linked_data(sf, 2)),
            "open_series": ("Series", series.open_series)}[name]


@pytest.mark.parametrize("name", STREAMS)
def test_streams_are_generators(objects, fds, name):
    owner, make = stream_maker(objects, name)
    g = make()
    assert isinstance(g, collections.abc.Generator)
    assert (g.__name__, g.__qualname__) == (name, "%s.%s" % (owner, name))
    assert iter(g) is g
    assert len(list(g)) == (1 if owner == "SPAFile" else 3)
    with pytest.raises(StopIteration):
        next(g)
    fds.assert_clean()


@pytest.mark.parametrize("name", STREAMS)
def test_generators_send_throw_close(objects, fds, name):
    _owner, make = stream_maker(objects, name)
    g = make()
    assert g.send(None) is not None
    with pytest.raises(TypeError):
        make().send(1)          # can't send a value to a fresh generator
    with pytest.raises(ZeroDivisionError):
        g.throw(ZeroDivisionError)
    with pytest.raises(StopIteration):
        next(g)
    g = make()
    next(g)
    g.close()
    g.close()
    with pytest.raises(StopIteration):
        g.send(None)
    fds.assert_clean()


IMPORT_SCRIPT = """
import sys
import karvoreader
import karvoreader
del sys.modules["karvoreader"]
import karvoreader
print("done")
"""


def test_import_prints_message_once():
    out = subprocess.run([sys.executable, "-c", IMPORT_SCRIPT], capture_output=True,
                         text=True, check=True, env=dict(os.environ))
    assert out.stdout == "karvoreader: compiled version\ndone\n"
    assert out.stderr == ""


def test_import_message_goes_through_sys_stdout():
    script = ("import io, sys; buf = io.StringIO(); sys.stdout = buf\n"
              "import karvoreader\nsys.stdout = sys.__stdout__\n"
              "print(repr(buf.getvalue()))")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True,
                         text=True, check=True)
    assert out.stdout == "'karvoreader: compiled version\\n'\n"


# Names are looked up in the module namespace when they are used.

def test_rebound_read_and_decode_string_are_used(monkeypatch):
    widths = []
    real_read_string = kr.read_string

    def spy(f, max_len):
        widths.append(max_len)
        return real_read_string(f, max_len)

    monkeypatch.setattr(kr, "read_string", spy)
    d = kr.Dimension(io.BytesIO(pack_dimension(short_label=b"ab", long_label=b"cd")))
    assert widths == [150, 150] and (d.short_label, d.long_label) == ("ab", "cd")
    monkeypatch.setattr(kr, "decode_string", lambda s: s[:3].decode("latin-1").upper())
    sh = kr.SeriesHeader(io.BytesIO(pack_series_header(series_ID=b"abcdef",
                                                       z_units_2=1)))
    assert sh.series_ID == "ABC" and sh.z_short_label == "\0\0\0"


def test_rebound_constant_is_used(monkeypatch):
    from karvo_writer import pack_file_header
    data = pack_file_header(sti_id=b"0123456789" * 3, file_id=b"F")
    monkeypatch.setattr(kr, "ST_ID_LENGTH", 10)
    monkeypatch.setattr(kr, "FILE_ID_LENGTH", 20)
    f = io.BytesIO(data + bytes(300))
    h = kr.FileHeader(f)
    assert h.sti_id_string == "0123456789"
    assert h.file_id == "01234567890123456789" and h.hard_eof == b"F"
