#include "series/series.hpp"

#include "host/classes.hpp"
#include "host/function.hpp"
#include "host/generator.hpp"
#include "host/namespace.hpp"
#include "series/linked_data.hpp"

namespace karvo::host {
namespace {

// {"first": first, "last": last, "n": n}, keys in that order.
PyObject* range_dict(PyObject* first, PyObject* last, PyObject* n) {
    PyRef d = PyRef::steal(PyDict_New());
    if (!d || PyDict_SetItem(d.get(), KARVO_STR("first"), first) < 0 ||
        PyDict_SetItem(d.get(), KARVO_STR("last"), last) < 0 || PyDict_SetItem(d.get(), KARVO_STR("n"), n) < 0)
        return nullptr;
    return d.release();
}

// next(it), as the host's next() does it.
PyObject* next_item(PyObject* it) {
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not an iterator", Py_TYPE(it)->tp_name);
        return nullptr;
    }
    return PyIter_Next(it);
}

PyObject* spectrum_item(PyObject* title, PyObject* data) {
    PyRef d = PyRef::steal(PyDict_New());
    if (!d || PyDict_SetItem(d.get(), KARVO_STR("title"), title) < 0) return nullptr;
    PyObject* item = PyTuple_New(2);
    if (!item) return nullptr;
    PyTuple_SET_ITEM(item, 0, d.release());
    PyTuple_SET_ITEM(item, 1, Py_NewRef(data));
    return item;
}

// The record of the first section whose type CLASS_TYPE gives for `cls_name`.
PyRef read_section_of(PyObject* karvo_file, PyObject* cls_name) {
    PyRef class_type = lookup(KARVO_STR("CLASS_TYPE"));
    PyRef cls = class_type ? lookup(cls_name) : PyRef();
    if (!cls) return PyRef();
    PyRef t = PyRef::steal(PyObject_GetItem(class_type.get(), cls.get()));
    PyRef i = t ? PyRef::steal(call_method(karvo_file, KARVO_STR("find_indextype"), t.get())) : PyRef();
    return i ? PyRef::steal(call_method(karvo_file, KARVO_STR("read"), i.get())) : PyRef();
}

class SeriesStream final : public StreamBody {
public:
    explicit SeriesStream(PyObject* series) : series_(PyRef::borrow(series)) {}

    PyObject* next() override { return res_ ? next_spectrum() : describe(); }

    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(series_.get());
        Py_VISIT(res_.get());
        return 0;
    }

    void release() override {
        // The linked-data stream, and its file, close now, not when the last
        // reference to them goes.
        if (res_) generator_finish(res_.get());
        res_.reset();
        series_.reset();
    }

private:
    PyObject* describe() {
        PyRef karvo_file = attr(series_.get(), KARVO_STR("karvo_file"));
        if (!karvo_file) return nullptr;
        PyRef header = read_section_of(karvo_file.get(), KARVO_STR("SeriesHeader"));
        if (!header) return nullptr;
        PyRef diskarray = read_section_of(karvo_file.get(), KARVO_STR("DiskResidentArray"));
        if (!diskarray) return nullptr;
        PyRef max_spectra = attr(header.get(), KARVO_STR("max_spectra"));
        if (!max_spectra) return nullptr;
        res_ = PyRef::steal(
            call_method(diskarray.get(), KARVO_STR("read_linked_data"), karvo_file.get(), max_spectra.get()));
        if (!res_) return nullptr;
        PyRef headers = PyRef::steal(next_item(res_.get()));
        if (!headers) return nullptr;  // an error, or a linked-data stream without items: the series ends
        PyRef msh = lookup(KARVO_STR("MainSpectralHeader"));
        if (!msh) return nullptr;
        PyRef sh = PyRef::steal(PyObject_GetItem(headers.get(), msh.get()));
        if (!sh) return nullptr;
        PyRef first = attr(sh.get(), KARVO_STR("first_x"));
        PyRef last = first ? attr(sh.get(), KARVO_STR("last_x")) : PyRef();
        PyRef n = last ? attr(sh.get(), KARVO_STR("num_points")) : PyRef();
        PyRef spectral_info = n ? PyRef::steal(range_dict(first.get(), last.get(), n.get())) : PyRef();
        if (!spectral_info) return nullptr;

        PyRef valid_dims = PyRef::steal(PyList_New(0));
        PyRef dims = valid_dims ? attr(diskarray.get(), KARVO_STR("dimensions")) : PyRef();
        PyRef it = dims ? PyRef::steal(PyObject_GetIter(dims.get())) : PyRef();
        if (!it) return nullptr;
        while (PyRef d = PyRef::steal(PyIter_Next(it.get()))) {
            PyRef count = attr(d.get(), KARVO_STR("num_elements"));
            if (!count) return nullptr;
            int match = PyObject_RichCompareBool(count.get(), max_spectra.get(), Py_EQ);
            if (match < 0) return nullptr;
            if (!match) continue;
            PyRef scale = attr(d.get(), KARVO_STR("scale_dim"));
            PyRef first_dim = scale ? attr(d.get(), KARVO_STR("first_dim")) : PyRef();
            PyRef last_dim = first_dim ? attr(d.get(), KARVO_STR("last_dim")) : PyRef();
            if (!last_dim) return nullptr;
            PyRef lo = PyRef::steal(PyNumber_Multiply(first_dim.get(), scale.get()));
            PyRef hi = lo ? PyRef::steal(PyNumber_Multiply(last_dim.get(), scale.get())) : PyRef();
            PyRef entry = hi ? PyRef::steal(range_dict(lo.get(), hi.get(), count.get())) : PyRef();
            if (!entry || PyList_Append(valid_dims.get(), entry.get()) < 0) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        return PyTuple_Pack(2, spectral_info.get(), valid_dims.get());
    }

    PyObject* next_spectrum() {
        PyRef res = res_;  // alive whatever runs meanwhile
        // Our own linked-data stream is asked for just the title and the
        // values, through its generator, which owns it: the body is taken
        // afresh for each request (a caller may have closed the stream, found
        // through gc.get_referents), and the generator is marked running
        // meanwhile, so nothing can finish or re-enter it under the request.
        if (LinkedData* linked = LinkedData::walking(res.get())) {
            if (!generator_enter(res.get())) return nullptr;
            PyRef title, values;
            int r = linked->next_titled(&title, &values);
            generator_leave(res.get(), r > 0);
            return r > 0 ? spectrum_item(title.get(), values.get()) : nullptr;
        }
        PyRef item = PyRef::steal(next_item(res.get()));
        if (!item) return nullptr;
        PyRef seq = PyRef::steal(PySequence_Fast(item.get(), "cannot unpack non-iterable object"));
        if (!seq) return nullptr;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        if (n != 2) {
            if (n > 2) PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            else PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
            return nullptr;
        }
        // Held: the pair may be a caller's list, which a spec_title property can empty.
        PyRef hdr = PyRef::borrow(PySequence_Fast_GET_ITEM(seq.get(), 0));
        PyRef data = PyRef::borrow(PySequence_Fast_GET_ITEM(seq.get(), 1));
        // A spectrum without a mini header still comes through, untitled.
        PyRef title = hdr.get() == Py_None ? hdr : attr(hdr.get(), KARVO_STR("spec_title"));
        if (!title) return nullptr;
        return spectrum_item(title.get(), data.get());
    }

    PyRef series_;
    PyRef res_;
};

PyObject* series_init(Function*, PyObject* const* args) {
    if (PyObject_SetAttr(args[0], KARVO_STR("karvo_file"), args[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* open_series(Function*, PyObject* const* args) {
    return make_generator(std::make_unique<SeriesStream>(args[0]), KARVO_STR("open_series"),
                          KARVO_STR("Series.open_series"));
}

PyObject* open_file(PyObject* module, PyObject* filename) {
    ModuleScope scope(module);
    PyRef spa_cls = lookup(KARVO_STR("SPAFile"));
    if (!spa_cls) return nullptr;
    PyRef spa = PyRef::steal(PyObject_CallOneArg(spa_cls.get(), filename));
    PyRef info = spa ? attr(spa.get(), KARVO_STR("info")) : PyRef();
    PyRef file_type = info ? attr(info.get(), KARVO_STR("file_type")) : PyRef();
    if (!file_type) return nullptr;
    PyRef series_type = PyRef::steal(PyLong_FromLong(11));
    int is_series = series_type ? PyObject_RichCompareBool(file_type.get(), series_type.get(), Py_EQ) : -1;
    if (is_series < 0) return nullptr;
    if (!is_series) Py_RETURN_NONE;
    PyRef series_cls = lookup(KARVO_STR("Series"));
    return series_cls ? PyObject_CallOneArg(series_cls.get(), spa.get()) : nullptr;
}

}  // namespace

PyMethodDef open_file_def = {"open_file", open_file, METH_O, nullptr};

PyObject* create_series_class() {
    PyRef init = PyRef::steal(make_function("Series.__init__", {"self", "karvo_file"}, series_init));
    PyRef open = PyRef::steal(make_function("Series.open_series", {"self"}, open_series));
    if (!init || !open) return nullptr;
    return make_class("Series", nullptr, nullptr, {{"__init__", init.get()}, {"open_series", open.get()}});
}

}  // namespace karvo::host
