#include "series/linked_data.hpp"

#include "host/function.hpp"
#include "host/namespace.hpp"
#include "records/record_classes.hpp"

#include <cstring>
#include <typeinfo>
#include <vector>

namespace karvo::host {
namespace {

constexpr size_t kChunk = size_t(16) << 20;  // largest single read from a file object of unknown size

PyObject* raise_eof() {
    PyErr_SetString(PyExc_EOFError, "read() didn't return enough bytes");
    return nullptr;
}

// Our own mini header class, with our own constructors all the way down.
const RecordClass* pristine_mini_header(PyObject* cls) {
    // No record is built on this road: a property on one of its fields
    // (spec_title's getter, say) would not run, so such a class is not ours.
    const RecordClass* rc = pristine_record_class(cls);
    if (!rc || !fields_plain(*rc, cls)) return nullptr;
    const char* name = rc->recipe->class_name;
    if (std::strcmp(name, "SeriesSpecheader") == 0) return rc;
    if (std::strcmp(name, "SeriesSpecheaderVer3") != 0) return nullptr;
    PyObject* base = reinterpret_cast<PyObject*>(reinterpret_cast<PyTypeObject*>(cls)->tp_base);
    const RecordClass* base_rc = pristine_record_class(base);
    return base_rc && fields_plain(*base_rc, cls) ? rc : nullptr;
}

// Whether every class the stream will call is still the library's own, so
// that nothing but the library reads the stream's file.
bool all_ours() {
    for (PyObject* name : {KARVO_STR("MainSpectralHeader"), KARVO_STR("BenchInfo"), KARVO_STR("SeriesSpecheader"),
                           KARVO_STR("SeriesSpecheaderVer3")}) {
        PyRef cls = peek(name);
        if (!cls || !pristine_record_class(cls.get())) return false;
    }
    return peek(KARVO_STR("array")).get() == originals().array_type;
}

PyObject* raise_os(io::NativeFile& nf) {
    errno = nf.error();
    return PyErr_SetFromErrno(PyExc_OSError);
}

// Reads n bytes into the array's own memory.
bool fill_array(PyObject* array, io::NativeFile& nf, size_t nbytes) {
    Py_buffer view;
    if (PyObject_GetBuffer(array, &view, PyBUF_WRITABLE) < 0) return false;
    io::ReadResult r = nbytes ? nf.read_into(view.buf, nbytes) : io::ReadResult::Ok;
    PyBuffer_Release(&view);
    if (r == io::ReadResult::Short) return raise_eof();
    if (r == io::ReadResult::Error) return raise_os(nf);
    return true;
}

}  // namespace

void ArrayMaker::reset() {
    if (has_view_) PyBuffer_Release(&view_);
    has_view_ = false;
    small_.reset();
    one_.reset();
}

PyObject* ArrayMaker::one_element(PyObject* dtype, size_t element_size) {
    if (!one_) {
        PyRef zeros = PyRef::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(element_size)));
        if (!zeros) return nullptr;
        std::memset(PyBytes_AS_STRING(zeros.get()), 0, element_size);
        one_ = PyRef::steal(PyObject_CallFunctionObjArgs(originals().array_type, dtype, zeros.get(), nullptr));
    }
    return one_.get();
}

// Zeros by repeating a one-element template; the read then fills them.
PyObject* ArrayMaker::make(PyObject* dtype, size_t element_size, size_t count) {
    PyObject* one = one_element(dtype, element_size);
    return one ? Py_TYPE(one)->tp_as_sequence->sq_repeat(one, Py_ssize_t(count)) : nullptr;
}

PyObject* ArrayMaker::read(PyObject* dtype, size_t element_size, size_t count, io::NativeFile& nf) {
    size_t nbytes = count * element_size;
    if (count == 0 || nbytes > kSmall) {
        PyRef data = PyRef::steal(make(dtype, element_size, count));
        if (!data || !fill_array(data.get(), nf, nbytes)) return nullptr;
        return data.release();
    }
    if (!small_ || Py_SIZE(small_.get()) != Py_ssize_t(count)) {
        if (has_view_) PyBuffer_Release(&view_);
        has_view_ = false;
        small_ = PyRef::steal(make(dtype, element_size, count));
        if (!small_ || PyObject_GetBuffer(small_.get(), &view_, PyBUF_WRITABLE) < 0) {
            small_.reset();
            return nullptr;
        }
        has_view_ = true;
    }
    io::ReadResult r = nf.read_into(view_.buf, nbytes);
    if (r == io::ReadResult::Short) return raise_eof();
    if (r == io::ReadResult::Error) return raise_os(nf);
    return Py_TYPE(small_.get())->tp_as_sequence->sq_repeat(small_.get(), 1);  // a new array, a copy
}

PyObject* read_spectrum_values(Source& src, PyObject* dtype, size_t element_size, size_t count, ArrayMaker& arrays) {
    PyRef array_cls = lookup(KARVO_STR("array"));
    if (!array_cls) return nullptr;
    io::NativeFile* nf = src.native();
    bool too_many = count > SIZE_MAX / element_size;
    size_t nbytes = count * element_size;
    // Memory is committed only to values that the file holds.
    if (nf && (too_many || nf->remaining(nbytes) < nbytes)) {
        nf->seek(nf->position() + nf->remaining(0));
        return raise_eof();
    }
    if (array_cls.get() != originals().array_type) {
        // A caller's array class: made and filled as the host's would be.
        PyRef data = PyRef::steal(PyObject_CallOneArg(array_cls.get(), dtype));
        if (!data) return nullptr;
        PyRef f = PyRef::borrow(src.file_object());
        if (!f) return nullptr;
        PyRef n = PyRef::steal(PyLong_FromSize_t(count));
        if (!n) return nullptr;
        PyRef r = PyRef::steal(call_method(data.get(), KARVO_STR("fromfile"), f.get(), n.get()));
        if (!r || !src.resync()) return nullptr;
        return data.release();
    }
    if (nf) return arrays.read(dtype, element_size, count, *nf);
    if (too_many) return raise_eof();
    // A file object of unknown size: read in bounded pieces, so memory grows
    // only with the bytes that arrive.
    PyRef f = PyRef::borrow(src.file_object());
    if (!f) return nullptr;
    std::vector<uint8_t> bytes;
    while (bytes.size() < nbytes) {
        size_t want = nbytes - bytes.size() < kChunk ? nbytes - bytes.size() : kChunk;
        PyRef n = PyRef::steal(PyLong_FromSize_t(want));
        if (!n) return nullptr;
        PyRef piece = PyRef::steal(call_method(f.get(), KARVO_STR("read"), n.get()));
        if (!piece) return nullptr;
        Py_buffer view;
        if (PyObject_GetBuffer(piece.get(), &view, PyBUF_SIMPLE) < 0) return nullptr;
        const uint8_t* p = static_cast<const uint8_t*>(view.buf);
        bytes.insert(bytes.end(), p, p + view.len);
        bool short_read = size_t(view.len) < want;
        PyBuffer_Release(&view);
        if (short_read) return raise_eof();
    }
    PyRef data = PyRef::steal(arrays.make(dtype, element_size, count));
    if (!data) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(data.get(), &view, PyBUF_WRITABLE) < 0) return nullptr;
    if (nbytes) std::memcpy(view.buf, bytes.data(), nbytes);
    PyBuffer_Release(&view);
    return data.release();
}

LinkedData::LinkedData(PyObject* record, PyObject* file, PyObject* n_spectra)
    : record_(PyRef::borrow(record)), file_(PyRef::borrow(file)), n_spectra_(PyRef::borrow(n_spectra)) {}

int LinkedData::traverse(visitproc visit, void* arg) {
    Py_VISIT(record_.get());
    Py_VISIT(file_.get());
    Py_VISIT(n_spectra_.get());
    Py_VISIT(sh_.get());
    Py_VISIT(spec_header_class_.get());
    return f_.traverse(visit, arg);
}

void LinkedData::release() {
    f_.close();
    record_.reset();
    file_.reset();
    n_spectra_.reset();
    sh_.reset();
    spec_header_class_.reset();
    dtype_.reset();
    arrays_.reset();
    ahead_.arrays.clear();
    ahead_.last.reset();
    ahead_.taken = 0;
}

// One flag of the link's data blob format, read as it is now.
PyRef LinkedData::blob_flag(PyObject* name, int* set) {
    PyRef link = attr(record_.get(), KARVO_STR("link"));
    PyRef blob = link ? attr(link.get(), KARVO_STR("data_blob_format")) : PyRef();
    PyRef flag = blob ? attr(blob.get(), name) : PyRef();
    *set = flag ? PyObject_IsTrue(flag.get()) : -1;
    return flag;
}

// The first request: checks, the data section, the stream's file, the headers.
PyObject* LinkedData::start() {
    PyRef link = attr(record_.get(), KARVO_STR("link"));
    if (!link) return nullptr;
    PyRef link_type = attr(link.get(), KARVO_STR("link_type"));
    if (!link_type) return nullptr;
    int external = PyObject_IsTrue(link_type.get());
    if (external < 0) return nullptr;
    if (external) {
        PyErr_SetString(PyExc_RuntimeError, "Can not read linked external files.");
        return nullptr;
    }
    PyRef section_type = attr(link.get(), KARVO_STR("section_type"));
    if (!section_type) return nullptr;
    PyRef found = PyRef::steal(call_method(file_.get(), KARVO_STR("find_indextypes"), section_type.get()));
    PyRef indices = found ? PyRef::steal(PySequence_List(found.get())) : PyRef();
    if (!indices) return nullptr;
    PyRef number = attr(link.get(), KARVO_STR("section_number"));
    if (!number) return nullptr;
    PyRef index = PyRef::steal(PyObject_GetItem(indices.get(), number.get()));
    if (!index) return nullptr;
    PyRef info = attr(file_.get(), KARVO_STR("info"));
    PyRef sections = info ? attr(info.get(), KARVO_STR("sections")) : PyRef();
    PyRef section = sections ? PyRef::steal(PyObject_GetItem(sections.get(), index.get())) : PyRef();
    PyRef soffset = section ? attr(section.get(), KARVO_STR("section_offset")) : PyRef();
    if (!soffset) return nullptr;
    PyRef size = attr(record_.get(), KARVO_STR("array_element_size"));
    if (!size) return nullptr;
    dtype_ = PyRef::steal(PyObject_GetItem(originals().element_types, size.get()));  // KeyError(size)
    if (!dtype_) return nullptr;
    element_size_ = PyUnicode_READ_CHAR(dtype_.get(), 0) == 'f' ? 4 : 8;
    PyRef filename = attr(file_.get(), KARVO_STR("filename"));
    if (!filename || !f_.open(filename.get(), all_ours(), true) || !f_.seek(soffset.get())) return nullptr;

    PyRef headers = PyRef::steal(PyDict_New());
    if (!headers) return nullptr;
    PyObject* parts[2][2] = {
        {KARVO_STR("spectral_hdr"), KARVO_STR("MainSpectralHeader")},
        {KARVO_STR("bench_hdr"), KARVO_STR("BenchInfo")},
    };
    for (int k = 0; k < 2; ++k) {
        int set;
        blob_flag(parts[k][0], &set);
        if (set < 0) return nullptr;
        if (!set) continue;
        PyRef cls = lookup(parts[k][1]);
        if (!cls) return nullptr;
        PyRef rec = PyRef::steal(construct_record(cls.get(), f_.source()));
        if (!rec || PyDict_SetItem(headers.get(), cls.get(), rec.get()) < 0) return nullptr;
        if (k == 0) sh_ = rec;
    }
    state_ = State::Headers;
    return headers.release();
}

// The second request: the mini header class and the number of spectra.
bool LinkedData::begin_spectra() {
    PyRef link = attr(record_.get(), KARVO_STR("link"));
    PyRef kind = link ? attr(link.get(), KARVO_STR("mini_header_type")) : PyRef();
    if (!kind) return false;
    int ver3 = PyObject_IsTrue(kind.get());
    if (ver3 < 0) return false;
    spec_header_class_ = lookup(ver3 ? KARVO_STR("SeriesSpecheaderVer3") : KARVO_STR("SeriesSpecheader"));
    if (!spec_header_class_) return false;
    PyRef n = PyRef::steal(PyNumber_Index(n_spectra_.get()));
    if (!n) return false;
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (count == -1 && PyErr_Occurred()) return false;
    count_ = overflow > 0 ? PY_SSIZE_T_MAX : (overflow < 0 || count < 0 ? 0 : Py_ssize_t(count));
    i_ = 0;
    state_ = State::Spectra;
    return true;
}

// Whether spectra have mini headers, read from the blob's flag now, and
// whether their class is our own (read natively then).
bool LinkedData::read_mini_plan() {
    int mini;
    blob_flag(KARVO_STR("mini_hdr"), &mini);
    if (mini < 0) return false;
    plan_.mini = mini;
    plan_.mini_rc = mini ? pristine_mini_header(spec_header_class_.get()) : nullptr;
    plan_.ver3 = plan_.mini_rc && plan_.mini_rc->recipe->base_name != nullptr;
    return true;
}

// The main spectral header's point count, as array.fromfile would take it.
bool LinkedData::read_point_count() {
    PyRef num_points = attr(sh_.get(), KARVO_STR("num_points"));
    PyRef n = num_points ? PyRef::steal(PyNumber_Index(num_points.get())) : PyRef();
    if (!n) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (!overflow && v < 0)) {
        PyErr_SetString(PyExc_ValueError, "negative count");
        return false;
    }
    plan_.points = overflow ? SIZE_MAX : size_t(v);  // more than any file holds: EOFError
    // Read ahead: spectra of our own mini header class (or none) whose values are of moderate size.
    plan_.ahead = (!plan_.mini || plan_.mini_rc) && plan_.points >= kAheadMinValues / element_size_ &&
                  plan_.points <= kAheadMaxValues / element_size_;
    return true;
}

// The title of a mini header read natively in one piece; a short read fails
// with the error of the piece (of the record's four) in which the file ends.
static PyObject* read_mini_title(io::NativeFile& nf, size_t size) {
    static constexpr size_t kEnds[] = {16, 80, 96, 100}, kPieces[] = {16, 64, 16, 4};
    const uint8_t* p = nullptr;
    uint64_t at = nf.position();
    switch (nf.read(size, &p)) {
        case io::ReadResult::Ok:
            return text_object(p + 16, 64);
        case io::ReadResult::Short: {
            size_t have = size_t(nf.position() - at);
            size_t k = 0;
            while (k < 3 && have >= kEnds[k]) ++k;
            raise_short_read(Py_ssize_t(kPieces[k]));
            return nullptr;
        }
        case io::ReadResult::Error:
            break;
    }
    return raise_os(nf);
}

// Titles are decoded here only while `read_string` and `decode_string` are
// still the library's own; a caller's replacement reads every title after it
// is bound (an absent name fails in the record's own reading).
bool LinkedData::titles_native() {
    if (namespace_unchanged(texts_mark_)) return titles_native_;
    titles_native_ = peek(KARVO_STR("read_string")).get() == originals().read_string &&
                     peek(KARVO_STR("decode_string")).get() == originals().decode_string;
    set_mark(texts_mark_);
    return titles_native_;
}

// The title of the next mini header, or None without mini headers. Only the
// title is visible: with our own classes the other fields are read and passed over.
PyRef LinkedData::read_title(bool native_text) {
    if (!plan_.mini) return PyRef::borrow(Py_None);
    Source& src = f_.source();
    if (native_text && src.native()) return PyRef::steal(read_mini_title(*src.native(), plan_.ver3 ? 100 : 96));
    if (native_text) {
        if (!src.read_block(16)) return PyRef();
        PyRef text = PyRef::steal(read_text(src, 64));
        if (!text || !src.read_block(16) || (plan_.ver3 && !src.read_block(4))) return PyRef();
        return text;
    }
    PyRef hdr = PyRef::steal(construct_record(spec_header_class_.get(), src));
    if (!hdr || hdr.get() == Py_None) return hdr;
    return attr(hdr.get(), KARVO_STR("spec_title"));
}

// Spectra of moderate size are read ahead in batches, each value block
// straight into its own new array and each mini header into one scratch
// block, with one scatter read per batch: one copy of every byte, and few
// system calls.
bool LinkedData::read_ahead() {
    io::NativeFile* nf = f_.source().native();
    if (!nf) return true;
    PyRef array_cls = lookup(KARVO_STR("array"));
    if (!array_cls) return false;
    if (array_cls.get() != originals().array_type) return true;
    size_t values = plan_.points * element_size_;
    ahead_.mini = plan_.mini ? (plan_.ver3 ? 100 : 96) : 0;
    ahead_.each = ahead_.mini + values;
    size_t k = size_t(count_ - i_);
    k = k < kAheadBytes / ahead_.each ? k : kAheadBytes / ahead_.each;
    k = k < kAheadMaxSpectra ? k : kAheadMaxSpectra;
    uint64_t held = nf->remaining(k * ahead_.each) / ahead_.each;  // only what the file holds
    k = held < k ? size_t(held) : k;
    if (k < 2) return true;
    ahead_.minis.resize(k * ahead_.mini);
    std::vector<PyRef> arrays;
    std::vector<Py_buffer> views;
    std::vector<io::NativeFile::Span> spans;
    arrays.reserve(k);
    views.reserve(k);
    spans.reserve(2 * k);
    bool ok = true;
    for (size_t j = 0; j < k && ok; ++j) {
        PyRef a = PyRef::steal(arrays_.make(dtype_.get(), element_size_, plan_.points));
        Py_buffer view;
        ok = a && PyObject_GetBuffer(a.get(), &view, PyBUF_WRITABLE) == 0;
        if (!ok) break;
        views.push_back(view);
        arrays.push_back(std::move(a));
        if (ahead_.mini) spans.push_back({ahead_.minis.data() + j * ahead_.mini, ahead_.mini});
        spans.push_back({static_cast<uint8_t*>(view.buf), values});
    }
    // The batch's arrays exist: the one handed out last can go (see Ahead::last).
    ahead_.last.reset();
    ahead_.start = nf->position();
    long long got = ok ? nf->read_scatter(spans.data(), spans.size()) : 0;
    for (Py_buffer& view : views) PyBuffer_Release(&view);
    if (!ok) return false;
    if (got < 0) return raise_os(*nf) != nullptr;
    // A file that shrank meanwhile: keep the whole spectra; the next read
    // reports the end where it lies.
    size_t full = size_t(got) / ahead_.each;
    nf->seek(ahead_.start + uint64_t(full) * ahead_.each);
    arrays.resize(full);
    ahead_.arrays = std::move(arrays);
    ahead_.taken = 0;
    return true;
}

// The next spectrum out of the batch read ahead, while the host's array
// class still makes the values.
bool LinkedData::take_ahead(PyRef* title, PyRef* values, bool* taken) {
    *taken = false;
    PyRef array_cls = lookup(KARVO_STR("array"));
    if (!array_cls) return false;
    if (array_cls.get() != originals().array_type) {
        drop_ahead();  // `array` was rebound: its class makes the values from here on
        return true;
    }
    size_t j = ahead_.taken;
    PyRef text = ahead_.mini ? PyRef::steal(text_object(ahead_.minis.data() + j * ahead_.mini + 16, 64))
                             : PyRef::borrow(Py_None);
    if (!text) return false;
    ++ahead_.taken;
    ahead_.last = std::move(ahead_.arrays[j]);
    *title = std::move(text);
    *values = ahead_.last;
    *taken = true;
    return true;
}

// Forgets the spectra read ahead, and stands at the first one not handed out.
void LinkedData::drop_ahead() {
    if (ahead_.taken < ahead_.arrays.size())
        f_.source().native()->seek(ahead_.start + uint64_t(ahead_.taken) * ahead_.each);
    ahead_.arrays.clear();
    ahead_.taken = 0;
}

// The one road of every spectrum, in either form (see the class).
int LinkedData::spectrum(Form form, PyRef* head, PyRef* values) {
    if (state_ == State::Headers && !begin_spectra()) return -1;
    if (i_ >= count_) return f_.close() ? 0 : -1;  // the file closes after the last spectrum
    if (!sh_) {
        // Without a main spectral header nothing says how many values a spectrum has.
        PyRef cls = lookup(KARVO_STR("MainSpectralHeader"));
        if (cls) PyErr_SetObject(PyExc_KeyError, cls.get());
        return -1;
    }
    if (form == Form::Item) {
        drop_ahead();
        if (!read_mini_plan()) return -1;
        *head = plan_.mini ? PyRef::steal(construct_record(spec_header_class_.get(), f_.source()))
                           : PyRef::borrow(Py_None);
        if (!*head || !read_point_count()) return -1;
    } else {
        if (!plan_.taken) {
            if (!read_mini_plan() || !read_point_count()) return -1;
            plan_.taken = true;
        }
        // Titles of our own mini header class are decoded here, unless a
        // caller rebound the text readers (then the record reads each one).
        bool native_text = plan_.mini_rc && titles_native();
        if (plan_.mini && !native_text) {
            drop_ahead();  // titles read ahead were decoded natively
        } else {
            if (ahead_.taken == ahead_.arrays.size() && plan_.ahead && !read_ahead()) return -1;
        }
        if (ahead_.taken < ahead_.arrays.size()) {
            bool taken;
            if (!take_ahead(head, values, &taken)) return -1;
            if (taken) {
                ++i_;
                return 1;
            }
        }
        *head = read_title(native_text);
        if (!*head) return -1;
    }
    *values = PyRef::steal(read_spectrum_values(f_.source(), dtype_.get(), element_size_, plan_.points, arrays_));
    if (!*values) return -1;
    ahead_.last.reset();
    ++i_;
    return 1;
}

PyObject* LinkedData::next() {
    if (state_ == State::Fresh) return start();
    PyRef hdr, values;
    if (spectrum(Form::Item, &hdr, &values) <= 0) return nullptr;
    PyObject* item = PyTuple_New(2);
    if (!item) return nullptr;
    PyTuple_SET_ITEM(item, 0, hdr.release());
    PyTuple_SET_ITEM(item, 1, values.release());
    return item;
}

int LinkedData::next_titled(PyRef* title, PyRef* values) { return spectrum(Form::Title, title, values); }

LinkedData* LinkedData::walking(PyObject* gen) {
    StreamBody* body = generator_body(gen);
    // An exact type test: cheaper than dynamic_cast, once per spectrum.
    if (!body || typeid(*body) != typeid(LinkedData)) return nullptr;
    auto* linked = static_cast<LinkedData*>(body);
    return linked->state_ != State::Fresh ? linked : nullptr;
}

namespace {

PyObject* read_linked_data(Function*, PyObject* const* args) {
    return make_generator(std::make_unique<LinkedData>(args[0], args[1], args[2]), KARVO_STR("read_linked_data"),
                          KARVO_STR("DiskResidentArray.read_linked_data"));
}

}  // namespace

PyObject* make_read_linked_data() {
    return make_function("DiskResidentArray.read_linked_data", {"self", "file", "n_spectra"}, read_linked_data);
}

}  // namespace karvo::host
