"""A slow, plain-Python model of the series road, used by the fuzz harness as
an oracle: for any file, the extension's series stream must give the same
items and end the same way (same exception kind at the same item).

Only `struct`, `array` and plain file objects; every step is written the
obvious way, reading in the same order and with the same request sizes.
"""

import os
import struct
from array import array

MSH = "<IIIIfffIIIfIIIfIfIfIfffffIIIIIIIIII"
SERIES = "<H64sffffffIHIffHHIIHH32s32sH32s32sff"


def _unpack(f, fmt):
    return struct.unpack(fmt, f.read(struct.calcsize(fmt)))


def _decode(b):
    return bytes(c for c in b.split(b"\0", 1)[0] if c < 128).decode("ascii")


def _string(f, n):
    return _decode(_unpack(f, "%ds" % n)[0])


def read_header(path):
    """(file_type, [(section_type, section_offset), ...])"""
    with open(path, "rb") as f:
        sti = _string(f, 30)
        _string(f, 256)
        _unpack(f, "<ss")
        file_type, _v, _d, n, _t, _e = _unpack(f, "<HHHHII")
        fmt = "<HQIII" if "Exte" in sti else "<HIIHI"
        return file_type, [_unpack(f, fmt)[:2] for _ in range(n)]


def _seek(f, offset):
    # A seek past what the file system allows still "succeeds": the next
    # read is short (the host's lseek would say EINVAL instead).
    try:
        f.seek(offset)
    except OSError:
        f.seek(0, 2)


def _read_at(path, offset, reader):
    with open(path, "rb") as f:
        _seek(f, offset)
        return reader(f)


def _dra(f):
    _s, _v, es = _unpack(f, "<III")
    link_type, section_type, section_number, mini_type = _unpack(f, "<IIII")
    (flags,) = _unpack(f, "<I")
    _unpack(f, "<IIII")
    _string(f, 260)
    _string(f, 256)
    (n,) = _unpack(f, "<I")
    dims = []
    for _ in range(n):
        _t, first, last, scale, count, _u = _unpack(f, "<IQQfII")
        _string(f, 150)
        _string(f, 150)
        dims.append((first, last, scale, count))
    return dict(es=es, link_type=link_type, section_type=section_type,
                section_number=section_number, mini_type=mini_type, flags=flags, dims=dims)


def series_items(path):
    """The items of open_file(path).open_series(), as a generator (or None)."""
    file_type, sections = read_header(path)
    if file_type != 11:
        return None
    return _walk(path, sections)


def _first(sections, t):
    for i, (st, _o) in enumerate(sections):
        if st == t:
            return i
    return None


def _walk(path, sections):
    i = _first(sections, 325)
    if i is None:
        raise TypeError("list indices must be integers or slices, not NoneType")
    max_spectra = _read_at(path, sections[i][1], lambda f: _unpack(f, SERIES))[8]
    i = _first(sections, 300)
    if i is None:
        raise TypeError("list indices must be integers or slices, not NoneType")
    dra = _read_at(path, sections[i][1], _dra)
    if dra["link_type"]:
        raise RuntimeError("Can not read linked external files.")
    indices = [k for k, (st, _o) in enumerate(sections) if st == dra["section_type"]]
    soffset = sections[indices[dra["section_number"]]][1]
    dtype = {4: "f", 8: "d"}[dra["es"]]
    with open(path, "rb") as f:
        _seek(f, soffset)
        sh = _unpack(f, MSH) if dra["flags"] & 2 else None
        if dra["flags"] & 4:
            _unpack(f, "<IIIIIffIIIIffI")
        if sh is None:
            raise KeyError("MainSpectralHeader")
        dims = [{"first": first * scale, "last": last * scale, "n": count}
                for first, last, scale, count in dra["dims"] if count == max_spectra]
        yield ({"first": sh[4], "last": sh[5], "n": sh[1]}, dims)
        for _k in range(max_spectra):
            title = None
            if dra["flags"] & 1:
                _unpack(f, "<IIff")
                title = _string(f, 64)
                _unpack(f, "<ffIf")
                if dra["mini_type"]:
                    _unpack(f, "<I")
            # Any shortfall, even inside the last element, is EOFError (the
            # host's array.fromfile would say ValueError for a partial element).
            data = array(dtype)
            nbytes = sh[1] * data.itemsize
            if f.tell() + nbytes > os.fstat(f.fileno()).st_size:
                f.seek(0, 2)
                raise EOFError("read() didn't return enough bytes")
            data.frombytes(f.read(nbytes))
            yield ({"title": title}, data)


def _norm(x):
    """Comparable form: floats by their bits (NaN equals NaN), arrays by bytes."""
    if isinstance(x, float):
        return ("float", struct.pack("<d", x))
    if isinstance(x, array):
        return ("array", x.typecode, x.tobytes())
    if isinstance(x, dict):
        return ("dict", [(k, _norm(v)) for k, v in x.items()])
    if isinstance(x, (list, tuple)):
        return (type(x).__name__, [_norm(v) for v in x])
    return (type(x).__name__, x)


def trace(make_stream, limit):
    """[normalized items...] plus the way the stream ended."""
    out = []
    g = None
    try:
        g = make_stream()
        if g is None:
            return ["none"]
        for item in g:
            out.append(_norm(item))
            if len(out) >= limit:
                out.append("limit")
                break
        else:
            out.append("end")
    except Exception as e:  # noqa: BLE001 - the kind is what is compared
        out.append("raise " + type(e).__name__)
    finally:
        if g is not None and hasattr(g, "close"):
            g.close()
    return out
