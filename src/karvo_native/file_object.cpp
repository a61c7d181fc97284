#include "karvo_native/file_object.hpp"

#include "host/pyref.hpp"
#include "io/native_file.hpp"
#include "karvo_native/bulk_read.hpp"
#include "karvo_native/fetching_source.hpp"
#include "karvo_native/module_state.hpp"
#include "karvo_native/record_dicts.hpp"
#include "karvo_native/structure.hpp"
#include "records/text.hpp"

#include <fcntl.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>
#include <optional>
#include <string>

namespace karvo::native {
namespace {

using host::PyRef;

// Counts the forks that led to this process (a child's own count differs
// from its parent's): cheaper than asking the system for the process id at
// every read.
std::atomic<unsigned> g_generation{0};
[[maybe_unused]] const int g_counts_forks = pthread_atfork(nullptr, nullptr, [] { ++g_generation; });
unsigned process_generation() { return g_generation.load(std::memory_order_relaxed); }

// One open file: its checked structure, and the descriptor that every read
// of a series goes through by position, or the callable that fetches the
// bytes of an object held elsewhere. A close() while reads run on other
// threads is carried out by the last of them.
// With keep_head (open_fetching's option: a first look at many objects that
// reads them right after), what opening an object held elsewhere fetches
// first, in one request, and what its File keeps of it: a small object whole
// (a series of 50 spectra of 4,096 points), which no later read (a table of
// its mini headers, then its values) fetches again. A request costs a round
// trip; a megabyte more of it costs less on most links. Without it, every
// read fetches what it reads, and so sees an object replaced since the open.
constexpr uint64_t kKeptHead = uint64_t(1) << 20;

struct Reader {
    PyRef path;  // str, for messages
    io::NativeFile file;
    PyRef fetch;  // fetch(starts, ends) -> blocks, for an object held elsewhere
    FetchCosts costs;  // of fetch's requests, which plan what a read fetches at once
    bulk::Structure s;
    PyRef values;  // single spectrum: bytearray of the float32 values
    PyRef head;    // held elsewhere, keep_head: the first block that opening fetched, which reads start from
    bool keep_head = false;
    struct stat opened {};  // of the descriptor, taken right after it was opened
    int active = 0;         // reads running, in the process of generation `owner`
    bool closing = false;
    bool path_is_local = true;  // false: the bytes are fetched (no descriptor, no stat)
    unsigned owner = process_generation();

    bool is_open() const { return file.is_open() || fetch; }
    void close() {
        file.close();
        fetch.reset();
        head.reset();
    }
};

int reads_on_this_thread(const Reader& r);

// A child forked while other threads read inherits their count, but not the
// threads: none of them will ever bring it back down. The child counts the
// reads of the thread that forked (one forked from a signal handler midway
// through a read goes on with it), and carries out a close() that waited
// for the others.
void adopt_after_fork(Reader& r) {
    unsigned me = process_generation();
    if (r.owner == me) return;
    r.owner = me;
    r.active = reads_on_this_thread(r);
    if (r.closing && r.active == 0) r.close();
}

struct FileObject {
    PyObject_HEAD
    Reader* reader;
    PyObject* module;  // owned: the errors live in its state
};

// Keeps a read counted from before the interpreter is handed over until
// after it is taken back, so that close() never pulls the descriptor away.
// Scopes nest on a thread when a signal handler reads midway through a read.
class ReadScope {
public:
    explicit ReadScope(Reader& r) : r_(r), outer_(innermost_) {
        adopt_after_fork(r_);
        ++r_.active;
        innermost_ = this;
    }
    ~ReadScope() {
        innermost_ = outer_;
        if (--r_.active == 0 && r_.closing) r_.close();
    }
    ReadScope(const ReadScope&) = delete;
    ReadScope& operator=(const ReadScope&) = delete;

private:
    friend int reads_on_this_thread(const Reader& r);
    Reader& r_;
    ReadScope* outer_;
    static thread_local ReadScope* innermost_;
};
thread_local ReadScope* ReadScope::innermost_ = nullptr;

int reads_on_this_thread(const Reader& r) {
    int n = 0;
    for (const ReadScope* k = ReadScope::innermost_; k; k = k->outer_) n += &k->r_ == &r;
    return n;
}

bool check_open(Reader& r) {
    if (!r.is_open() || r.closing) {
        PyErr_Format(PyExc_ValueError, "%U: I/O operation on a closed file", r.path.get());
        return false;
    }
    return true;
}

Reader& reader_of(PyObject* self) { return *reinterpret_cast<FileObject*>(self)->reader; }
ModuleState* state_of_file(PyObject* self) { return state_of(reinterpret_cast<FileObject*>(self)->module); }

void File_dealloc(PyObject* self) {
    auto* o = reinterpret_cast<FileObject*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete o->reader;
    Py_XDECREF(o->module);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The fetch may be any Python callable, which may hold (through a file
// object, say) what holds this File: the collector must see it to free such
// a cycle.
int File_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* o = reinterpret_cast<FileObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(o->module);
    if (o->reader) Py_VISIT(o->reader->fetch.get());
    return 0;
}

// Breaks such a cycle by letting the fetch go, as close() does: only a File
// that nothing running can reach is cleared, so no read of it is under way.
int File_clear(PyObject* self) {
    auto* o = reinterpret_cast<FileObject*>(self);
    if (o->reader && o->reader->fetch && o->reader->active == 0) {
        o->reader->closing = true;
        o->reader->fetch.reset();
    }
    return 0;
}

PyObject* File_close(PyObject* self, PyObject*) {
    Reader& r = reader_of(self);
    adopt_after_fork(r);
    r.closing = true;
    if (r.active == 0) r.close();
    Py_RETURN_NONE;
}

// drop_head(): lets go of the first bytes kept at open (keep_head): every
// read after fetches what it reads, and so sees an object replaced since.
// A read running meanwhile keeps the block it took.
PyObject* File_drop_head(PyObject* self, PyObject*) {
    reader_of(self).head.reset();
    Py_RETURN_NONE;
}

// Buffer of `out` as writable C-contiguous memory of exactly `bytes` bytes.
class OutBuffer {
public:
    bool get(PyObject* out, uint64_t bytes, const char* what) {
        if (PyObject_GetBuffer(out, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return false;
        held_ = true;
        if (uint64_t(view_.len) != bytes) {
            PyErr_Format(PyExc_ValueError, "%s needs a buffer of %llu bytes, got %zd", what,
                         (unsigned long long)bytes, view_.len);
            return false;
        }
        return true;
    }
    uint8_t* data() { return static_cast<uint8_t*>(view_.buf); }
    ~OutBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

bool parse_range(Reader& r, PyObject* const* args, Py_ssize_t nargs, const char* name, unsigned long long* a,
                 unsigned long long* b) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "%s() takes 3 arguments (%zd given)", name, nargs);
        return false;
    }
    *a = PyLong_AsUnsignedLongLong(args[1]);
    if (PyErr_Occurred()) return false;
    *b = PyLong_AsUnsignedLongLong(args[2]);
    if (PyErr_Occurred()) return false;
    if (*a > *b || *b > r.s.held) {
        PyErr_Format(PyExc_IndexError, "spectra [%llu, %llu) outside [0, %llu)", *a, *b,
                     (unsigned long long)r.s.held);
        return false;
    }
    return true;
}

// Runs `body()`: its buffers and records are allocated as it goes, so
// running out of memory there is a failure like any other, never a C++
// exception let loose into the interpreter (which would abort the process).
template <class Body>
bulk::Failure guarded(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return {bulk::Problem::NoMemory, ENOMEM, {}};
    }
}

// Runs `body(src)` (no interpreter calls but those of a fetching source)
// with the interpreter handed over for big local reads; a signal handler that
// raises meanwhile stops it (Problem::Interrupted).
template <class Body>
bulk::Failure blocking(bulk::ByteSource& src, uint64_t bytes, Body body) {
    io::Blocking scope(src.fetches() ? 0 : bytes);
    return guarded([&] { return body(src); });
}

// A fetching source of its own for one call (its blocks go when it returns).
template <class Body>
[[gnu::noinline]] bulk::Failure fetching_call(Reader& r, Body& body) {
    FetchingSource src(r.fetch.get(), r.s.size, r.path.get(), r.costs);
    if (r.head && !src.seed(r.head.get())) return {bulk::Problem::Raised, 0, {}};
    return guarded([&] { return body(src); });
}

// blocking() on the reader's source: its descriptor, or what it fetches.
template <class Body>
bulk::Failure with_source(Reader& r, uint64_t bytes, Body body) {
    if (r.fetch) [[unlikely]]
        return fetching_call(r, body);
    bulk::ByteSource src(r.file.fd());
    return blocking(src, bytes, body);
}

// Fills the buffer of `target`, exactly `bytes` long, with read(source, memory):
// the read counted against close() and, when big and local, run without the interpreter.
template <class Read>
PyObject* fill(PyObject* self, PyObject* target, uint64_t bytes, const char* what, Read read) {
    Reader& r = reader_of(self);
    OutBuffer out;
    if (!out.get(target, bytes, what) || !check_open(r)) return nullptr;
    ReadScope scope(r);
    bulk::Failure f = with_source(r, bytes, [&](bulk::ByteSource& src) { return read(src, out.data()); });
    if (f.problem != bulk::Problem::None) return raise_failure(state_of_file(self), r.path.get(), f), nullptr;
    Py_RETURN_NONE;
}

// Rows [start, stop) of a kind that `read` reads, `row_bytes` each, into out.
using RangeRead = bulk::Failure (*)(bulk::ByteSource&, const bulk::Structure&, uint64_t, uint64_t, uint8_t*);
PyObject* read_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, const char* name, RangeRead read,
                     uint64_t row_bytes) {
    const bulk::Structure& s = reader_of(self).s;
    unsigned long long a, b;
    if (!parse_range(reader_of(self), args, nargs, name, &a, &b)) return nullptr;
    return fill(self, args[0], (b - a) * row_bytes, name,
                [&](bulk::ByteSource& src, uint8_t* out) { return read(src, s, a, b - a, out); });
}

// read_rows(out, start, stop): values of spectra [start, stop) into out.
PyObject* File_read_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return read_range(self, args, nargs, "read_rows", bulk::read_values, reader_of(self).s.values_size);
}

// read_index(out, index): values of the spectra listed in `index` (int64, in
// range) into out, in that order; each run of consecutive spectra is one read,
// and an object held elsewhere is read forward whatever the order.
PyObject* File_read_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Reader& r = reader_of(self);
    if (nargs != 2) return PyErr_SetString(PyExc_TypeError, "read_index(out, index)"), nullptr;
    Py_buffer idx{};
    if (PyObject_GetBuffer(args[1], &idx, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return nullptr;
    std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&idx, PyBuffer_Release);
    const char* code = idx.format ? idx.format + (idx.format[0] == '<' || idx.format[0] == '=') : "";
    if (idx.itemsize != 8 || !*code || !std::strchr("qlQL", *code))
        return PyErr_SetString(PyExc_TypeError, "index must be an int64 array"), nullptr;
    const int64_t* index = static_cast<const int64_t*>(idx.buf);
    uint64_t n = uint64_t(idx.len / 8);
    std::unique_ptr<int64_t[]> copy(new (std::nothrow) int64_t[n ? n : 1]);  // held still while other threads run
    if (!copy) return PyErr_NoMemory();
    std::memcpy(copy.get(), index, n * 8);
    for (uint64_t k = 0; k < n; ++k)
        if (copy[k] < 0 || uint64_t(copy[k]) >= r.s.held)
            return PyErr_Format(PyExc_IndexError, "spectrum %lld outside [0, %llu)", (long long)copy[k],
                                (unsigned long long)r.s.held),
                   nullptr;
    if (r.s.values_size && n > UINT64_MAX / r.s.values_size) return PyErr_NoMemory();
    // A fetching source drops the blocks it holds past a bounded amount: read in
    // a list's own order, it would fetch a block again for each spectrum that
    // comes back to it. Read in file order instead, each row into its place.
    std::unique_ptr<uint64_t[]> order;
    if (r.fetch && !std::is_sorted(copy.get(), copy.get() + n)) {
        order.reset(new (std::nothrow) uint64_t[n]);
        if (!order) return PyErr_NoMemory();
        std::iota(order.get(), order.get() + n, uint64_t(0));
        const int64_t* rows = copy.get();
        std::sort(order.get(), order.get() + n,
                  [rows](uint64_t a, uint64_t b) { return rows[a] < rows[b] || (rows[a] == rows[b] && a < b); });
    }
    return fill(self, args[0], n * r.s.values_size, "read_index", [&](bulk::ByteSource& src, uint8_t* out) {
        return bulk::read_listed(src, r.s, copy.get(), n, out, order.get());
    });
}

// read_meta(out, start, stop): the mini headers of spectra [start, stop).
PyObject* File_read_meta(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return read_range(self, args, nargs, "read_meta", bulk::read_minis, reader_of(self).s.mini_size);
}

// titles(meta): the spectra's titles, as str, from mini headers that
// read_meta has read (and cleaned to ASCII): the file is not read again.
PyObject* File_titles(PyObject* self, PyObject* meta) {
    Reader& r = reader_of(self);
    const uint64_t M = r.s.mini_size;
    if (M == 0) Py_RETURN_NONE;
    const format::FlatLayout& layout = r.s.mini_v3 ? bulk::layouts().mini_v3 : bulk::layouts().mini;
    const format::FlatField* title = layout.find("spec_title");
    if (!title) return PyErr_SetString(PyExc_SystemError, "mini header without spec_title"), nullptr;
    Py_buffer view{};
    if (PyObject_GetBuffer(meta, &view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
    if (uint64_t(view.len) % M)
        return PyErr_SetString(PyExc_ValueError, "titles: not a whole number of mini headers"), nullptr;
    const uint64_t n = uint64_t(view.len) / M;
    PyRef list = PyRef::steal(PyList_New(Py_ssize_t(n)));
    if (!list) return nullptr;
    // The view keeps the memory alive and in place whatever runs meanwhile.
    const uint8_t* rows = static_cast<const uint8_t*>(view.buf);
    for (uint64_t j = 0; j < n; ++j) {
        const uint8_t* p = rows + j * M + title->offset;
        size_t len = format::text_length(p, title->width);
        PyObject* t = PyUnicode_DecodeASCII(reinterpret_cast<const char*>(p), Py_ssize_t(len), "strict");
        if (!t) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(j), t);
    }
    return list.release();
}

// The mini headers as a numpy structured dtype description, or None without them.
PyObject* File_meta_fields(PyObject* self, PyObject*) {
    Reader& r = reader_of(self);
    if (r.s.mini_size == 0) Py_RETURN_NONE;
    return dtype_description(r.s.mini_v3 ? bulk::layouts().mini_v3 : bulk::layouts().mini);
}

// x(): the spectral axis, float64, as np.linspace(first_x, last_x, num_points).
PyObject* File_x(PyObject* self, PyObject*) {
    Reader& r = reader_of(self);
    const auto& L = bulk::layouts().main_header;
    const uint8_t* h = r.s.main_header.data();
    return linspace_bytes(bulk::field_real(L, h, "first_x"), bulk::field_real(L, h, "last_x"), r.s.num_points,
                        r.s.num_points);
}

// record(name): a header record as a dict of its fields, or None.
PyObject* File_record(PyObject* self, PyObject* name) {
    Reader& r = reader_of(self);
    const bulk::Layouts& L = bulk::layouts();
    const char* n = PyUnicode_AsUTF8(name);
    if (!n) return nullptr;
    if (!std::strcmp(n, "main_header")) return record_dict(L.main_header, r.s.main_header);
    if (!std::strcmp(n, "series_header")) return record_dict(L.series_header, r.s.series_header);
    if (!std::strcmp(n, "bench")) return record_dict(L.bench, r.s.bench);
    if (!std::strcmp(n, "file_header")) return record_dict(L.file_header, r.s.file_header);
    if (!std::strcmp(n, "dimensions")) return record_dicts(L.dimension, r.s.dimensions);
    return PyErr_Format(PyExc_KeyError, "%U", name), nullptr;
}

PyObject* File_get_closed(PyObject* self, void*) {
    Reader& r = reader_of(self);
    return PyBool_FromLong(r.closing || (r.s.file_type == bulk::kSeries && !r.is_open()));
}

PyObject* File_get_info(PyObject* self, void*) {
    Reader& r = reader_of(self);
    const bulk::Structure& s = r.s;
    const auto& L = bulk::layouts();
    const format::FlatField* id = L.file_header.find("file_id");
    std::string title = format::decode_text(s.file_header.data() + id->offset, id->width);
    double first_x = s.main_header.empty() ? 0.0 : bulk::field_real(L.main_header, s.main_header.data(), "first_x");
    double last_x = s.main_header.empty() ? 0.0 : bulk::field_real(L.main_header, s.main_header.data(), "last_x");
    PyObject* mini = s.mini_size == 0 ? Py_None : nullptr;
    PyRef mini_version = mini ? PyRef::borrow(Py_None) : PyRef::steal(PyLong_FromLong(s.mini_v3 ? 3 : 0));
    if (!mini_version) return nullptr;
    // Where the values lie (spectrum k's at data_start + k * stride + mini_size; a single
    // spectrum's at values_offset), for references into the file.
    return Py_BuildValue("{s:i,s:s#,s:I,s:d,s:d,s:I,s:O,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:I,s:K}", "file_type",
                         int(s.file_type), "title", title.data(), Py_ssize_t(title.size()), "num_points",
                         s.num_points, "first_x", first_x, "last_x", last_x, "element_size", s.element_size,
                         "mini_version", mini_version.get(), "expected", (unsigned long long)s.expected, "held",
                         (unsigned long long)s.held, "partial_bytes", (unsigned long long)s.partial_bytes,
                         "stride", (unsigned long long)s.stride, "size", (unsigned long long)s.size, "data_start",
                         (unsigned long long)s.data_start, "values_size", (unsigned long long)s.values_size,
                         "mini_size", s.mini_size, "values_offset", (unsigned long long)s.values_offset);
}

PyObject* File_get_values(PyObject* self, void*) {
    Reader& r = reader_of(self);
    if (!r.values) Py_RETURN_NONE;
    return PyRef(r.values).release();
}

PyObject* File_get_path(PyObject* self, void*) { return PyRef(reader_of(self).path).release(); }

// (device, inode, size, modification time in ns), as os.stat gives them.
PyObject* identity_tuple(const struct stat& st) {
#ifdef __APPLE__
    const struct timespec& mtime = st.st_mtimespec;
#else
    const struct timespec& mtime = st.st_mtim;
#endif
    PyRef sec = PyRef::steal(PyLong_FromLongLong(mtime.tv_sec));
    PyRef giga = PyRef::steal(PyLong_FromLong(1000000000L));
    PyRef nsec = PyRef::steal(PyLong_FromLong(mtime.tv_nsec));
    if (!sec || !giga || !nsec) return nullptr;
    PyRef scaled = PyRef::steal(PyNumber_Multiply(sec.get(), giga.get()));
    if (!scaled) return nullptr;
    PyRef ns = PyRef::steal(PyNumber_Add(scaled.get(), nsec.get()));
    if (!ns) return nullptr;
    return Py_BuildValue("(KKLO)", (unsigned long long)st.st_dev, (unsigned long long)st.st_ino,
                         (long long)st.st_size, ns.get());
}

// The identity of the file as it was when opened: what a copy opened
// elsewhere, later, compares its own with.
// None for an object held elsewhere: the caller keeps what identifies it.
PyObject* File_get_identity(PyObject* self, void*) {
    Reader& r = reader_of(self);
    if (!r.path_is_local) Py_RETURN_NONE;
    return identity_tuple(r.opened);
}

// current_identity(): the identity of the open descriptor now, to notice a
// file rewritten in place since it was opened. A single spectrum was read
// whole at open: its identity is that of then.
PyObject* File_current_identity(PyObject* self, PyObject*) {
    Reader& r = reader_of(self);
    if (!r.path_is_local) Py_RETURN_NONE;
    if (r.values) return identity_tuple(r.opened);
    if (!check_open(r)) return nullptr;
    struct stat st;
    if (fstat(r.file.fd(), &st) != 0) return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, r.path.get());
    return identity_tuple(st);
}

PyMethodDef File_methods[] = {
    {"close", File_close, METH_NOARGS, "Closes the file; reads running on other threads finish first."},
    {"drop_head", File_drop_head, METH_NOARGS, "Lets go of the first bytes kept at open: later reads fetch them."},
    {"read_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(File_read_rows)), METH_FASTCALL,
     "read_rows(out, start, stop): values of spectra [start, stop) into out."},
    {"read_index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(File_read_index)), METH_FASTCALL,
     "read_index(out, index): values of the listed spectra (int64 array) into out."},
    {"read_meta", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(File_read_meta)), METH_FASTCALL,
     "read_meta(out, start, stop): mini headers of spectra [start, stop) into out."},
    {"titles", File_titles, METH_O,
     "titles(meta): the titles in mini headers read by read_meta, or None without mini headers."},
    {"meta_fields", File_meta_fields, METH_NOARGS, "The mini header as a numpy dtype description, or None."},
    {"x", File_x, METH_NOARGS, "The spectral axis as a bytearray of float64."},
    {"current_identity", File_current_identity, METH_NOARGS,
     "(device, inode, size, mtime_ns) of the open file now (a single spectrum: as opened)."},
    {"record", File_record, METH_O,
     "record(name): 'main_header', 'series_header', 'bench', 'file_header' as a dict (or None), "
     "'dimensions' (those along the series) as a list of dicts."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef File_getset[] = {
    {"closed", File_get_closed, nullptr, "True once closed.", nullptr},
    {"info", File_get_info, nullptr, "Scalars of the structure, as a dict.", nullptr},
    {"values", File_get_values, nullptr, "Single spectrum: its float32 values as a bytearray.", nullptr},
    {"path", File_get_path, nullptr, "The path, as text.", nullptr},
    {"identity", File_get_identity, nullptr, "(device, inode, size, mtime_ns) of the file as opened.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot File_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(File_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(File_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(File_clear)},
    {Py_tp_methods, File_methods},
    {Py_tp_getset, File_getset},
    {Py_tp_doc, const_cast<char*>("An open spectral data file, checked; made by karvo._native.open(path).")},
    {0, nullptr},
};

}  // namespace

// Made only by open(): a File from the type itself would have no reader.
PyType_Spec File_spec = {"karvo._native.File", sizeof(FileObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, File_slots};

PyObject* linspace_bytes(double first, double last, uint64_t n, uint64_t count) {
    count = count < n ? count : n;
    PyRef out = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(count * 8)));
    if (!out) return nullptr;
    bulk::linspace(first, last, n, count, reinterpret_cast<double*>(PyByteArray_AS_STRING(out.get())));
    return out.release();
}

namespace {

// Checks the structure of the file that `reader` reads, of `size` bytes (a
// single spectrum is read whole, and its source let go at once), and wraps
// it in a new File.
PyObject* check_and_wrap(PyObject* module, std::unique_ptr<Reader> reader, uint64_t size, PyObject* head = nullptr) {
    ModuleState* mst = state_of(module);
    Reader& r = *reader;
    // One source for both reads: a fetching one keeps the blocks that the
    // structure check fetched, which mostly hold a single spectrum's values.
    std::optional<FetchingSource> fetching;
    std::optional<bulk::ByteSource> local;
    bulk::ByteSource& src = r.fetch ? static_cast<bulk::ByteSource&>(fetching.emplace(r.fetch.get(), size, r.path.get(), r.costs))
                                    : local.emplace(r.file.fd());
    // The first bytes, where they came with the object's size: no request more for them.
    if (fetching && head && !fetching->seed(head)) return nullptr;
    if (fetching && r.keep_head && !head && !fetching->prefetch({{0, std::min(size, kKeptHead)}})) return nullptr;
    // Without the interpreter when local: a directory or dimension list may run to megabytes.
    bulk::Failure f = blocking(src, io::kReleaseFrom, [&](bulk::ByteSource& in) { return bulk::inspect(in, size, r.s); });
    if (f.problem == bulk::Problem::None && r.s.file_type == bulk::kSingleSpectrum) {
        uint64_t bytes = uint64_t(r.s.num_points) * bulk::kSingleValueBytes;  // backed: checked at inspect
        r.values = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(bytes)));
        if (!r.values) return nullptr;
        char* dst = PyByteArray_AS_STRING(r.values.get());
        f = blocking(src, bytes, [&](bulk::ByteSource& in) {
            return bulk::read_at(in, r.s, dst, size_t(bytes), r.s.values_offset);
        });
    }
    if (fetching && r.keep_head && f.problem == bulk::Problem::None && r.s.file_type != bulk::kSingleSpectrum)
        r.head = fetching->first_block(kKeptHead);
    if (r.s.file_type == bulk::kSingleSpectrum) r.close();
    r.s.head = {};  // done with: a series reads its spectra by position
    if (f.problem != bulk::Problem::None) return raise_failure(mst, r.path.get(), f), nullptr;

    PyObject* obj = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(mst->file_type), 0);
    if (!obj) return nullptr;
    auto* o = reinterpret_cast<FileObject*>(obj);
    o->reader = reader.release();
    o->module = PyRef::borrow(module).release();
    return obj;
}

}  // namespace

// open(path): opens and checks a spectral data file by content. A single
// spectrum is read whole and its file closed at once.
PyObject* open_file(PyObject* module, PyObject* arg) {
    ModuleState* mst = state_of(module);
    PyObject* encoded_raw = nullptr;
    if (!PyUnicode_FSConverter(arg, &encoded_raw)) return nullptr;
    PyRef encoded = PyRef::steal(encoded_raw);
    const char* fs_path = PyBytes_AS_STRING(encoded.get());
    PyRef path = PyUnicode_Check(arg) ? PyRef::borrow(arg) : PyRef::steal(PyUnicode_DecodeFSDefault(fs_path));
    if (!path) return nullptr;
    // The event that open() raises, so that audit hooks see (and may refuse)
    // this open too; the hook may run any code, so it runs before anything is opened.
    if (PySys_Audit("open", "Osi", arg, "r", O_RDONLY | O_CLOEXEC) < 0) return nullptr;

    // Only regular files are read. Opened without waiting, then looked at: a
    // FIFO put in the file's place never holds the open up waiting for a
    // writer. File system errors name the file as it was given, as the host's do.
    auto reader = std::make_unique<Reader>();
    reader->path = path;
    int e = reader->file.open(fs_path, true, true);
    if (e && e != ENXIO) {
        errno = e;
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, arg);
    }
    if (e || !reader->file.is_regular())
        return raise_failure(mst, path.get(), {bulk::Problem::Format, 0, "not a regular file"}), nullptr;
    if (fstat(reader->file.fd(), &reader->opened) != 0) return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, arg);
    uint64_t size = reader->file.size();
    return check_and_wrap(module, std::move(reader), size);
}

// open_many(paths): open(path) for each local path of a list, in one call:
// a folder of small files costs a few microseconds of native work a file,
// which one Python call and one File object each would double. A single
// spectrum comes back read and closed, as (title, first_x, last_x, values
// bytearray); a series as its open File; a file that can't be opened as the
// exception open(path) raises (an Exception: KeyboardInterrupt and the like
// end the call).
PyObject* open_many(PyObject* module, PyObject* paths) {
    if (!PyList_Check(paths)) return PyErr_SetString(PyExc_TypeError, "open_many takes a list of paths"), nullptr;
    // A copy: an audit hook may change the caller's list while we go through it.
    PyRef items = PyRef::steal(PyList_GetSlice(paths, 0, PyList_GET_SIZE(paths)));
    if (!items) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    PyRef out = PyRef::steal(PyList_New(n));
    if (!out) return nullptr;
    const auto& L = bulk::layouts();
    const format::FlatField* id = L.file_header.find("file_id");
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyRef opened = PyRef::steal(open_file(module, PyList_GET_ITEM(items.get(), k)));
        PyRef result;
        if (!opened) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
#if PY_VERSION_HEX >= 0x030C0000
            result = PyRef::steal(PyErr_GetRaisedException());
#else
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            PyErr_NormalizeException(&type, &value, &tb);
            if (value && tb) PyException_SetTraceback(value, tb);
            Py_XDECREF(type);
            Py_XDECREF(tb);
            result = PyRef::steal(value);
#endif
            if (!result) return nullptr;
        } else {
            Reader& r = reader_of(opened.get());
            if (r.s.file_type != bulk::kSingleSpectrum) {
                result = std::move(opened);
            } else {
                std::string title = format::decode_text(r.s.file_header.data() + id->offset, id->width);
                const uint8_t* h = r.s.main_header.data();
                result = PyRef::steal(Py_BuildValue("(s#ddO)", title.data(), Py_ssize_t(title.size()),
                                                    bulk::field_real(L.main_header, h, "first_x"),
                                                    bulk::field_real(L.main_header, h, "last_x"), r.values.get()));
                if (!result) return nullptr;
            }
        }
        PyList_SET_ITEM(out.get(), k, result.release());
    }
    return out.release();
}

// open_fetching(fetch, size, name, keep_head=False, head=None, costs=None):
// a File over an object held elsewhere, of `size` bytes, whose bytes
// fetch(starts, ends) returns; `name` (str) is what messages call it;
// `head`, where given, its first bytes (bytes-like), fetched already;
// `costs`, (latency in seconds, bytes a second, requests at once) of fetch
// (a tuple; left out: a nearby object store's).
PyObject* open_fetching(PyObject* module, PyObject* args) {
    PyObject *fetch, *size_arg, *name, *head = Py_None;
    int keep_head = 0;
    FetchCosts costs;
    double latency = costs.latency, bandwidth = costs.bandwidth;
    Py_ssize_t concurrency = Py_ssize_t(costs.concurrency);  // "n": an integer out of range is an OverflowError
    if (!PyArg_ParseTuple(args, "OO!U|pO(ddn):open_fetching", &fetch, &PyLong_Type, &size_arg, &name, &keep_head,
                          &head, &latency, &bandwidth, &concurrency))
        return nullptr;
    if (!(latency >= 0 && std::isfinite(latency)) || !(bandwidth > 0 && std::isfinite(bandwidth)) || concurrency < 1 ||
        concurrency > 1'000'000)
        return PyErr_Format(PyExc_ValueError, "%U: costs out of range", name), nullptr;
    costs = {latency, bandwidth, uint64_t(concurrency)};
    if (!PyCallable_Check(fetch)) return PyErr_SetString(PyExc_TypeError, "open_fetching: fetch must be callable"), nullptr;
    // Checked, not wrapped as "K" would: 2**64 must not pass for an empty object.
    unsigned long long size = PyLong_AsUnsignedLongLong(size_arg);
    if ((size == (unsigned long long)-1 && PyErr_Occurred()) || size > uint64_t(INT64_MAX)) {
        PyErr_Clear();
        return PyErr_Format(PyExc_ValueError, "%U: size %S is out of range", name, size_arg), nullptr;
    }
    auto reader = std::make_unique<Reader>();
    reader->path = PyRef::borrow(name);
    reader->fetch = PyRef::borrow(fetch);
    reader->path_is_local = false;
    reader->keep_head = keep_head;
    reader->costs = costs;
    return check_and_wrap(module, std::move(reader), size, head == Py_None ? nullptr : head);
}

}  // namespace karvo::native
