// Numbers as text for the CSV/TSV export. Each value is written as the
// shortest text that reads back to the same value of its stored precision
// (float32 as float32, not as its float64 widening), laid out the way
// Python's repr lays out a float: positional with at least one decimal
// ("100.0", "0.0001") while the decimal exponent is in [-4, 16), else
// "1.5e-07" / "1e+16". NaN is "nan" whatever its sign bit, infinities "inf"
// and "-inf". The table is transposed (a row per point, a column per
// spectrum), so the values arrive as spectra x points and a row reads a
// column of them. The long table (a row per value) writes each spectrum's
// points in turn between the text that the spectrum's rows begin and end with.
#include "karvo_native/text_table.hpp"

#include "host/pyref.hpp"
#include "io/blocking.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::native {
namespace {

// Longest text of one value: "-1.2345678901234567e-308" and
// "-0.00012345678901234567" are 24 and 23 bytes.
constexpr size_t kMaxNumber = 32;

template <class T>
char* format_number(char* out, T v) {
    if (std::isnan(v)) return static_cast<char*>(std::memcpy(out, "nan", 3)) + 3;
    if (std::isinf(v)) {
        std::string_view s = v < 0 ? "-inf" : "inf";
        std::memcpy(out, s.data(), s.size());
        return out + s.size();
    }
    // Shortest digits in scientific form: [-]d[.ddd]e(+|-)XX
    char sci[kMaxNumber];
    char* end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
    const char* p = sci;
    char* o = out;
    if (*p == '-') *o++ = *p++;
    char digits[24];
    size_t nd = 0;
    const char* e = p;
    while (*e != 'e') {
        if (*e != '.') digits[nd++] = *e;
        ++e;
    }
    int exp = 0;
    for (const char* d = e + 2; d < end; ++d) exp = exp * 10 + (*d - '0');
    if (e[1] == '-') exp = -exp;
    if (exp < -4 || exp >= 16) {
        *o++ = digits[0];
        if (nd > 1) {
            *o++ = '.';
            std::memcpy(o, digits + 1, nd - 1);
            o += nd - 1;
        }
        *o++ = 'e';
        *o++ = exp < 0 ? '-' : '+';
        int a = exp < 0 ? -exp : exp;
        if (a >= 100) *o++ = char('0' + a / 100);
        *o++ = char('0' + a / 10 % 10);
        *o++ = char('0' + a % 10);
        return o;
    }
    if (exp < 0) {  // 0.000ddd
        *o++ = '0';
        *o++ = '.';
        for (int k = -1; k > exp; --k) *o++ = '0';
        std::memcpy(o, digits, nd);
        return o + nd;
    }
    size_t whole = size_t(exp) + 1;  // digits before the point
    for (size_t k = 0; k < whole; ++k) *o++ = k < nd ? digits[k] : '0';
    *o++ = '.';
    if (nd > whole) {
        std::memcpy(o, digits + whole, nd - whole);
        return o + (nd - whole);
    }
    *o++ = '0';
    return o;
}

// A strided 2-D view of float32 or float64 values, spectra x points.
struct Values {
    const char* base;
    Py_ssize_t spectra, points, spectrum_stride, point_stride;
    bool single;
};

template <class T>
char* format_row(char* o, const Values& v, Py_ssize_t j, std::string_view delimiter) {
    const char* at = v.base + j * v.point_stride;
    for (Py_ssize_t s = 0; s < v.spectra; ++s, at += v.spectrum_stride) {
        std::memcpy(o, delimiter.data(), delimiter.size());
        o += delimiter.size();
        T value;
        std::memcpy(&value, at, sizeof value);
        o = format_number(o, value);
    }
    return o;
}

// The rows as text; null when a signal handler raised meanwhile.
// `out` holds the bound on the text of every row.
char* format_rows(char* o, const double* x, const Values& v, std::string_view delimiter) {
    for (Py_ssize_t j = 0; j < v.points; ++j) {
        if (io::interrupted()) return nullptr;
        o = format_number(o, x[j]);
        o = v.single ? format_row<float>(o, v, j, delimiter) : format_row<double>(o, v, j, delimiter);
        *o++ = '\n';
    }
    return o;
}

bool float_format(const Py_buffer& b, char want) {
    const char* f = b.format ? b.format : "B";
    if (*f == '@' || *f == '=' || *f == '<') ++f;  // every host we build for is little-endian
    return f[0] == want && f[1] == '\0';
}

struct Buffer {
    Py_buffer view{};
    bool held = false;
    ~Buffer() {
        if (held) PyBuffer_Release(&view);
    }
    bool get(PyObject* obj) { return held = PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) == 0; }
    // Some exporters (ctypes arrays) leave strides null for C-contiguous
    // memory, whatever was asked: the steps are then those of C order.
    Py_ssize_t stride(int dim) const {
        if (view.strides) return view.strides[dim];
        Py_ssize_t step = view.itemsize;
        for (int k = dim + 1; k < view.ndim; ++k) step *= view.shape[k];
        return step;
    }
};

// The long table's rows: per spectrum s, per point j,
// head[s] x[j] delimiter value[s, j] tail[s] newline; null when a signal
// handler raised meanwhile.
struct Around {
    std::string text;               // every head and tail, one after another
    std::vector<size_t> head, tail;  // where each spectrum's starts in text
    size_t longest = 0;              // of a head and its tail together
};

template <class T>
char* format_long(char* o, const double* x, const Values& v, std::string_view delimiter, const Around& a) {
    for (Py_ssize_t s = 0; s < v.spectra; ++s) {
        const char* row = v.base + s * v.spectrum_stride;
        std::string_view head(a.text.data() + a.head[size_t(s)], a.tail[size_t(s)] - a.head[size_t(s)]);
        std::string_view tail(a.text.data() + a.tail[size_t(s)], a.head[size_t(s) + 1] - a.tail[size_t(s)]);
        for (Py_ssize_t j = 0; j < v.points; ++j) {
            if ((j & 1023) == 0 && io::interrupted()) return nullptr;
            std::memcpy(o, head.data(), head.size());
            o = format_number(o + head.size(), x[j]);
            std::memcpy(o, delimiter.data(), delimiter.size());
            o += delimiter.size();
            T value;
            std::memcpy(&value, row + j * v.point_stride, sizeof value);
            o = format_number(o, value);
            std::memcpy(o, tail.data(), tail.size());
            o += tail.size();
            *o++ = '\n';
        }
    }
    return o;
}

// heads and tails: sequences of bytes, one per spectrum, copied so that
// nothing the caller can change is read without the GIL.
bool gather_around(PyObject* heads_obj, PyObject* tails_obj, Py_ssize_t spectra, Around& a) {
    host::PyRef heads = host::PyRef::steal(PySequence_Fast(heads_obj, "long_rows: heads must be a sequence"));
    if (!heads) return false;
    host::PyRef tails = host::PyRef::steal(PySequence_Fast(tails_obj, "long_rows: tails must be a sequence"));
    if (!tails) return false;
    if (PySequence_Fast_GET_SIZE(heads.get()) != spectra || PySequence_Fast_GET_SIZE(tails.get()) != spectra) {
        PyErr_Format(PyExc_ValueError, "long_rows: a head and a tail are needed for each of %zd spectra", spectra);
        return false;
    }
    a.head.reserve(size_t(spectra) + 1);
    a.tail.reserve(size_t(spectra));
    for (Py_ssize_t s = 0; s < spectra; ++s) {
        size_t both = 0;
        // by position, not by object: heads and tails may be the same list
        for (int k = 0; k < 2; ++k) {
            // no Python code runs between taking an item and copying it
            PyObject* item = PySequence_Fast_GET_ITEM(k == 0 ? heads.get() : tails.get(), s);
            if (!PyBytes_Check(item)) {
                PyErr_Format(PyExc_TypeError, "long_rows: heads and tails must be bytes, not %.100s",
                             Py_TYPE(item)->tp_name);
                return false;
            }
            (k == 0 ? a.head : a.tail).push_back(a.text.size());
            a.text.append(PyBytes_AS_STRING(item), size_t(PyBytes_GET_SIZE(item)));
            both += size_t(PyBytes_GET_SIZE(item));
        }
        if (both > a.longest) a.longest = both;
    }
    a.head.push_back(a.text.size());
    return true;
}

}  // namespace

PyObject* long_rows(PyObject*, PyObject* args) {
    PyObject *x_obj, *values_obj, *heads_obj, *tails_obj, *delim_obj;
    if (!PyArg_ParseTuple(args, "OOOOU:long_rows", &x_obj, &values_obj, &heads_obj, &tails_obj, &delim_obj))
        return nullptr;
    Py_ssize_t delim_len;
    const char* delim = PyUnicode_AsUTF8AndSize(delim_obj, &delim_len);
    if (!delim) return nullptr;
    Buffer xb, vb;
    if (!xb.get(x_obj) || !vb.get(values_obj)) return nullptr;
    if (xb.view.ndim != 1 || !float_format(xb.view, 'd'))
        return PyErr_Format(PyExc_TypeError, "long_rows: x must be a 1-D float64 array");
    bool single = float_format(vb.view, 'f');
    if (vb.view.ndim != 2 || !(single || float_format(vb.view, 'd')))
        return PyErr_Format(PyExc_TypeError, "long_rows: values must be a 2-D float32 or float64 array");
    Values v{static_cast<const char*>(vb.view.buf), vb.view.shape[0], vb.view.shape[1],
             vb.stride(0), vb.stride(1), single};
    if (xb.view.shape[0] != v.points)
        return PyErr_Format(PyExc_ValueError, "long_rows: %zd x values for %zd points", xb.view.shape[0], v.points);
    Around around;
    try {
        if (!gather_around(heads_obj, tails_obj, v.spectra, around)) return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    // Bound on the text, checked before any product can wrap
    const size_t limit = size_t(PY_SSIZE_T_MAX);
    size_t per_row = 2 * kMaxNumber + size_t(delim_len) + 1;
    if (around.longest > limit - per_row) return PyErr_NoMemory();
    per_row += around.longest;
    size_t rows = size_t(v.spectra) * size_t(v.points);
    if (v.points && size_t(v.spectra) > limit / size_t(v.points)) return PyErr_NoMemory();
    if (rows && per_row > (limit - 1) / rows) return PyErr_NoMemory();
    std::unique_ptr<double[]> x(new (std::nothrow) double[size_t(v.points) + 1]);
    if (!x) return PyErr_NoMemory();
    const Py_ssize_t x_stride = xb.stride(0);
    for (Py_ssize_t j = 0; j < v.points; ++j)
        std::memcpy(&x[size_t(j)], static_cast<const char*>(xb.view.buf) + j * x_stride, sizeof(double));
    std::unique_ptr<char[]> out(new (std::nothrow) char[per_row * rows + 1]);
    if (!out) return PyErr_NoMemory();
    char* end;
    {
        io::Blocking scope(uint64_t(rows) * 16);
        std::string_view d(delim, size_t(delim_len));
        end = single ? format_long<float>(out.get(), x.get(), v, d, around)
                     : format_long<double>(out.get(), x.get(), v, d, around);
    }
    if (!end) return nullptr;  // the signal handler's error is set
    return PyBytes_FromStringAndSize(out.get(), end - out.get());
}

PyObject* number_cells(PyObject*, PyObject* values_obj) {
    Buffer vb;
    if (!vb.get(values_obj)) return nullptr;
    bool single = float_format(vb.view, 'f');
    if (vb.view.ndim != 1 || !(single || float_format(vb.view, 'd')))
        return PyErr_Format(PyExc_TypeError, "number_cells: values must be a 1-D float32 or float64 array");
    host::PyRef cells = host::PyRef::steal(PyList_New(vb.view.shape[0]));
    if (!cells) return nullptr;
    const char* at = static_cast<const char*>(vb.view.buf);
    for (Py_ssize_t k = 0; k < vb.view.shape[0]; ++k, at += vb.stride(0)) {
        char text[kMaxNumber];
        char* end;
        if (single) {
            float v;
            std::memcpy(&v, at, sizeof v);
            end = format_number(text, v);
        } else {
            double v;
            std::memcpy(&v, at, sizeof v);
            end = format_number(text, v);
        }
        PyObject* cell = PyUnicode_FromStringAndSize(text, end - text);
        if (!cell) return nullptr;
        PyList_SET_ITEM(cells.get(), k, cell);
    }
    return cells.release();
}

PyObject* text_rows(PyObject*, PyObject* args) {
    PyObject *x_obj, *values_obj, *delim_obj;
    if (!PyArg_ParseTuple(args, "OOU:text_rows", &x_obj, &values_obj, &delim_obj)) return nullptr;
    Py_ssize_t delim_len;
    const char* delim = PyUnicode_AsUTF8AndSize(delim_obj, &delim_len);  // lives as long as the str
    if (!delim) return nullptr;
    Buffer xb, vb;
    if (!xb.get(x_obj) || !vb.get(values_obj)) return nullptr;
    if (xb.view.ndim != 1 || !float_format(xb.view, 'd'))
        return PyErr_Format(PyExc_TypeError, "text_rows: x must be a 1-D float64 array");
    bool single = float_format(vb.view, 'f');
    if (vb.view.ndim != 2 || !(single || float_format(vb.view, 'd')))
        return PyErr_Format(PyExc_TypeError, "text_rows: values must be a 2-D float32 or float64 array");
    Values v{static_cast<const char*>(vb.view.buf), vb.view.shape[0], vb.view.shape[1],
             vb.stride(0), vb.stride(1), single};
    if (xb.view.shape[0] != v.points)
        return PyErr_Format(PyExc_ValueError, "text_rows: %zd x values for %zd points", xb.view.shape[0], v.points);
    // Bound on the text, checked before any product can wrap (a broadcast
    // array is huge without the memory behind it)
    size_t per_value = kMaxNumber + size_t(delim_len);
    if (size_t(v.spectra) + 1 > (size_t(PY_SSIZE_T_MAX) - 1) / per_value) return PyErr_NoMemory();
    size_t per_row = (size_t(v.spectra) + 1) * per_value + 1;
    if (v.points && per_row > size_t(PY_SSIZE_T_MAX) / size_t(v.points)) return PyErr_NoMemory();
    // x may be strided too: gather it first (it is small beside the values)
    std::unique_ptr<double[]> x(new (std::nothrow) double[size_t(v.points) + 1]);
    if (!x) return PyErr_NoMemory();
    const Py_ssize_t x_stride = xb.stride(0);
    for (Py_ssize_t j = 0; j < v.points; ++j)
        std::memcpy(&x[size_t(j)], static_cast<const char*>(xb.view.buf) + j * x_stride, sizeof(double));
    // left uninitialised: only what the rows write is read
    std::unique_ptr<char[]> out(new (std::nothrow) char[per_row * size_t(v.points) + 1]);
    if (!out) return PyErr_NoMemory();
    char* end;
    {
        io::Blocking scope(uint64_t(v.spectra + 1) * uint64_t(v.points) * 8);
        end = format_rows(out.get(), x.get(), v, std::string_view(delim, size_t(delim_len)));
    }
    if (!end) return nullptr;  // the signal handler's error is set
    return PyBytes_FromStringAndSize(out.get(), end - out.get());
}

}  // namespace karvo::native
