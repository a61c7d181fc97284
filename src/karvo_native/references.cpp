// Chunk references and their JSON text. The chunk references of a series
// are made from its geometry alone (where spectrum 0's values start, the
// stride from one spectrum to the next, the bytes of one spectrum's values),
// every offset checked to end within the file. The JSON text is the one
// json.dumps writes (ASCII only, ", " and ": " between items), so that the
// file reads back as before whichever writer made it.
#include "karvo_native/references.hpp"

#include "host/pyref.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

namespace karvo::native {
namespace {

using host::PyRef;

// O& converter: a Python int in [0, 2**64) (OverflowError otherwise, where
// "K" would wrap it silently).
int to_u64(PyObject* o, void* out) {
    if (!PyLong_Check(o)) {
        PyErr_Format(PyExc_TypeError, "expected an int, not %.100s", Py_TYPE(o)->tp_name);
        return 0;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == (unsigned long long)-1 && PyErr_Occurred()) return 0;
    *static_cast<uint64_t*>(out) = v;
    return 1;
}

// Automatic collections paused while the lists are made: they hold no
// cycles, and the collections that 100,000 new containers set off cost more
// than making them.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    int was_enabled_;
};

PyObject* refuse(const char* what, uint64_t a, uint64_t b) {
    PyErr_Format(PyExc_ValueError, "chunk references: %s (%llu, %llu)", what, (unsigned long long)a,
                 (unsigned long long)b);
    return nullptr;
}

// An ASCII key copied into a new str: no decoding, which costs as much as
// the rest of making the key.
PyRef make_key(const char* text, Py_ssize_t n, bool ascii) {
    if (!ascii) return PyRef::steal(PyUnicode_FromStringAndSize(text, n));
    PyRef key = PyRef::steal(PyUnicode_New(n, 127));
    if (key) std::memcpy(PyUnicode_1BYTE_DATA(key.get()), text, size_t(n));
    return key;
}

// --- JSON text ---------------------------------------------------------------

constexpr char kHex[] = "0123456789abcdef";

void put_u16_escape(std::string& out, Py_UCS4 c) {
    char e[6] = {'\\', 'u', kHex[(c >> 12) & 15], kHex[(c >> 8) & 15], kHex[(c >> 4) & 15], kHex[c & 15]};
    out.append(e, 6);
}

// Written as it is: printable ASCII other than the quote and the backslash.
inline bool is_plain(Py_UCS4 c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; }

// s as a JSON string the way json.dumps (ensure_ascii) writes it.
bool put_string(std::string& out, PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) return false;  // a string of the old kind
#endif
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    out.push_back('"');
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (is_plain(c)) {
            if (kind == PyUnicode_1BYTE_KIND) {  // the run of plain characters, in one copy
                const char* text = static_cast<const char*>(data);
                Py_ssize_t end = i + 1;
                while (end < n && is_plain((unsigned char)text[end])) ++end;
                out.append(text + i, size_t(end - i));
                i = end - 1;
            } else {
                out.push_back(char(c));
            }
            continue;
        }
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            case '\b': out.append("\\b"); break;
            case '\f': out.append("\\f"); break;
            default:
                if (c >= 0x10000) {  // a surrogate pair, as JSON writes it
                    c -= 0x10000;
                    put_u16_escape(out, 0xd800 | (c >> 10));
                    put_u16_escape(out, 0xdc00 | (c & 0x3ff));
                } else {
                    put_u16_escape(out, c);
                }
        }
    }
    out.push_back('"');
    return true;
}

bool put_int(std::string& out, PyObject* v) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (n == -1 && PyErr_Occurred()) return false;
    if (overflow) {  // beyond 64 bits: the int's own text
        PyRef text = PyRef::steal(PyObject_Str(v));
        Py_ssize_t len;
        const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), &len) : nullptr;
        if (!s) return false;
        out.append(s, size_t(len));
        return true;
    }
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, n).ptr);
    return true;
}

bool unsupported(PyObject* v) {
    PyErr_Format(PyExc_TypeError, "refs_json: values are str or lists of str and int, not %.100s",
                 Py_TYPE(v)->tp_name);
    return false;
}

// Exact types only: no subclass (a bool among them) whose text json.dumps
// would write otherwise, and nothing that runs Python code.
// The text of the string last written in a list: chunk references share
// their url object, escaped once. Nothing runs Python code while the dict is
// written, so no object dies and no address is reused meanwhile.
struct LastString {
    PyObject* object = nullptr;
    std::string text;
};

bool put_list_string(std::string& out, PyObject* s, LastString& last) {
    if (s != last.object) {
        last.text.clear();
        if (!put_string(last.text, s)) return false;
        last.object = s;
    }
    out.append(last.text);
    return true;
}

bool put_value(std::string& out, PyObject* v, LastString& last) {
    if (PyUnicode_CheckExact(v)) return put_string(out, v);
    if (!PyList_CheckExact(v)) return unsupported(v);
    out.push_back('[');
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
        PyObject* item = PyList_GET_ITEM(v, i);
        if (i) out.append(", ");
        bool ok = PyUnicode_CheckExact(item) ? put_list_string(out, item, last)
                  : PyLong_CheckExact(item) ? put_int(out, item)
                                            : unsupported(item);
        if (!ok) return false;
    }
    out.push_back(']');
    return true;
}

}  // namespace

PyObject* chunk_refs(PyObject*, PyObject* args) {
    PyObject* name;
    PyObject* url;
    uint64_t first, stride, values_size, held, run, file_size;
    if (!PyArg_ParseTuple(args, "UU" "O&O&O&O&O&O&:chunk_refs", &name, &url, to_u64, &first, to_u64, &stride,
                          to_u64, &values_size, to_u64, &held, to_u64, &run, to_u64, &file_size))
        return nullptr;
    // Held for the whole call (the tuple holds them too; this says so).
    PyRef url_ref = PyRef::borrow(url);
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    if (run == 0) return refuse("a run holds at least one spectrum", run, held);
    if (held % run) return refuse("the runs don't tile the series", run, held);
    if (run > 1 && stride != values_size) return refuse("a run of spectra must lie back to back", stride, values_size);
    if (values_size > UINT64_MAX / run) return refuse("a run's bytes overflow", run, values_size);
    const uint64_t length = run * values_size;
    const uint64_t count = held / run;
    if (count == 0 || length == 0) return out.release();
    if (stride > UINT64_MAX / run) return refuse("a run's stride overflows", run, stride);
    const uint64_t step = run * stride;
    if (count - 1 > (UINT64_MAX - first) / (step ? step : 1)) return refuse("the last chunk's offset overflows", first, count);
    const uint64_t last = first + (count - 1) * step;
    if (last > file_size || length > file_size - last)
        return refuse("the last chunk ends beyond the file's bytes (its offset, the file's size)", last, file_size);
    if (count > uint64_t(PY_SSIZE_T_MAX)) return PyErr_NoMemory();

    Py_ssize_t name_len;
    const char* name_text = PyUnicode_AsUTF8AndSize(name, &name_len);
    if (!name_text) return nullptr;
    PyRef length_obj = PyRef::steal(PyLong_FromUnsignedLongLong(length));
    if (!length_obj) return nullptr;
    std::string key;
    try {
        key.assign(name_text, size_t(name_len));
        key.push_back('/');
        key.resize(key.size() + 32);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    char* digits = key.data() + name_len + 1;
    bool ascii = true;
    for (Py_ssize_t i = 0; i < name_len; ++i) ascii = ascii && (unsigned char)name_text[i] < 0x80;
    GcPause pause;
    uint64_t offset = first;
    for (uint64_t k = 0; k < count; ++k, offset += step) {
        char* end = std::to_chars(digits, digits + 24, k).ptr;
        end[0] = '.';
        end[1] = '0';
        PyRef chunk_key = make_key(key.data(), end + 2 - key.data(), ascii);
        PyRef at = PyRef::steal(PyLong_FromUnsignedLongLong(offset));
        PyRef entry = PyRef::steal(PyList_New(3));
        if (!chunk_key || !at || !entry) return nullptr;
        PyList_SET_ITEM(entry.get(), 0, PyRef(url_ref).release());
        PyList_SET_ITEM(entry.get(), 1, at.release());
        PyList_SET_ITEM(entry.get(), 2, PyRef(length_obj).release());
        if (PyDict_SetItem(out.get(), chunk_key.get(), entry.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* refs_json(PyObject*, PyObject* refs) {
    if (!PyDict_CheckExact(refs)) return PyErr_Format(PyExc_TypeError, "refs_json: a dict, not %.100s",
                                                      Py_TYPE(refs)->tp_name);
    PyRef held = PyRef::borrow(refs);
    std::string out;
    try {
        // Most values are chunk references of about 50 bytes, plus the url.
        out.reserve(size_t(PyDict_Size(refs)) * 96 + 2);
        out.push_back('{');
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        bool first = true;
        LastString last;
        while (PyDict_Next(refs, &pos, &key, &value)) {
            if (!first) out.append(", ");
            first = false;
            if (!PyUnicode_CheckExact(key)) {
                PyErr_Format(PyExc_TypeError, "refs_json: keys are str, not %.100s", Py_TYPE(key)->tp_name);
                return nullptr;
            }
            if (!put_string(out, key)) return nullptr;
            out.append(": ");
            if (!put_value(out, value, last)) return nullptr;
        }
        out.push_back('}');
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return PyBytes_FromStringAndSize(out.data(), Py_ssize_t(out.size()));
}

}  // namespace karvo::native
