#include "file/spafile.hpp"

#include "host/classes.hpp"
#include "host/function.hpp"
#include "host/generator.hpp"
#include "host/namespace.hpp"
#include "records/record_classes.hpp"
#include "records/sources.hpp"

namespace karvo::host {
namespace {

PyRef sections_of(PyObject* self) {
    PyRef info = attr(self, KARVO_STR("info"));
    return info ? attr(info.get(), KARVO_STR("sections")) : PyRef();
}

// 1 when the entry's section type equals t, 0 when not, -1 on error.
int entry_has_type(PyObject* entry, PyObject* t) {
    PyRef st = attr(entry, KARVO_STR("section_type"));
    return st ? PyObject_RichCompareBool(st.get(), t, Py_EQ) : -1;
}

// Opens `filename`, seeks when `offset` is given, and reads one record of `cls`.
PyObject* read_record(PyObject* filename, PyObject* cls, PyObject* offset) {
    OpenedFile file;
    if (!file.open(filename, pristine_record_class(cls) != nullptr)) return nullptr;
    if (offset && !file.seek(offset)) return nullptr;
    PyRef record = PyRef::steal(construct_record(cls, file.source()));
    if (!record) return nullptr;  // the file closes on the way out
    if (!file.close()) return nullptr;
    return record.release();
}

PyObject* read_basic_info(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyRef filename = attr(self, KARVO_STR("filename"));
    if (!filename) return nullptr;
    PyRef header_cls = lookup(KARVO_STR("FileHeader"));
    if (!header_cls) return nullptr;
    PyRef header = PyRef::steal(read_record(filename.get(), header_cls.get(), nullptr));
    if (!header || PyObject_SetAttr(self, KARVO_STR("info"), header.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* spafile_init(Function*, PyObject* const* args) {
    if (PyObject_SetAttr(args[0], KARVO_STR("filename"), args[1]) < 0) return nullptr;
    PyRef r = PyRef::steal(call_method(args[0], KARVO_STR("read_basic_info")));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyObject* find_indextype(Function*, PyObject* const* args) {
    PyRef sections = sections_of(args[0]);
    if (!sections) return nullptr;
    PyRef it = PyRef::steal(PyObject_GetIter(sections.get()));
    if (!it) return nullptr;
    for (Py_ssize_t index = 0;; ++index) {
        PyRef entry = PyRef::steal(PyIter_Next(it.get()));
        if (!entry) break;
        int match = entry_has_type(entry.get(), args[1]);
        if (match < 0) return nullptr;
        if (match) return PyLong_FromSsize_t(index);
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// The directory indices of every entry of one section type; the scan of the
// directory begins at the first request.
class FindTypes final : public StreamBody {
public:
    FindTypes(PyObject* file, PyObject* t) : file_(PyRef::borrow(file)), t_(PyRef::borrow(t)) {}

    PyObject* next() override {
        if (!iter_) {
            PyRef sections = sections_of(file_.get());
            if (!sections) return nullptr;
            iter_ = PyRef::steal(PyObject_GetIter(sections.get()));
            if (!iter_) return nullptr;
        }
        for (;;) {
            PyRef entry = PyRef::steal(PyIter_Next(iter_.get()));
            if (!entry) return nullptr;
            Py_ssize_t index = index_++;
            int match = entry_has_type(entry.get(), t_.get());
            if (match < 0) return nullptr;
            if (match) return PyLong_FromSsize_t(index);
        }
    }
    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(file_.get());
        Py_VISIT(t_.get());
        Py_VISIT(iter_.get());
        return 0;
    }
    void release() override {
        iter_.reset();
        t_.reset();
        file_.reset();
    }

private:
    PyRef file_, t_, iter_;
    Py_ssize_t index_ = 0;
};

PyObject* find_indextypes(Function*, PyObject* const* args) {
    return make_generator(std::make_unique<FindTypes>(args[0], args[1]), KARVO_STR("find_indextypes"),
                          KARVO_STR("SPAFile.find_indextypes"));
}

PyObject* spafile_read(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyRef sections = sections_of(self);
    if (!sections) return nullptr;
    // The host's list indexing: negative counts from the end; IndexError and
    // TypeError come before the file is opened.
    PyRef section = PyRef::steal(PyObject_GetItem(sections.get(), args[1]));
    if (!section) return nullptr;
    PyRef type = attr(section.get(), KARVO_STR("section_type"));
    if (!type) return nullptr;
    PyRef registry = lookup(KARVO_STR("TYPE_CLASS"));
    if (!registry) return nullptr;
    PyRef cls = PyRef::steal(PyObject_GetItem(registry.get(), type.get()));
    if (!cls) return nullptr;
    PyRef offset = attr(section.get(), KARVO_STR("section_offset"));
    if (!offset) return nullptr;
    return call_method(self, KARVO_STR("read_offset"), cls.get(), offset.get());
}

PyObject* read_offset(Function*, PyObject* const* args) {
    PyRef filename = attr(args[0], KARVO_STR("filename"));
    if (!filename) return nullptr;
    return read_record(filename.get(), args[1], args[2]);
}

}  // namespace

PyObject* create_spafile_class() {
    PyRef ops[] = {
        PyRef::steal(make_function("SPAFile.read_basic_info", {"self"}, read_basic_info)),
        PyRef::steal(make_function("SPAFile.__init__", {"self", "filename"}, spafile_init)),
        PyRef::steal(make_function("SPAFile.find_indextype", {"self", "t"}, find_indextype)),
        PyRef::steal(make_function("SPAFile.find_indextypes", {"self", "t"}, find_indextypes)),
        PyRef::steal(make_function("SPAFile.read", {"self", "index"}, spafile_read)),
        PyRef::steal(make_function("SPAFile.read_offset", {"self", "rclass", "offset"}, read_offset)),
    };
    for (const PyRef& op : ops)
        if (!op) return nullptr;
    return make_class("SPAFile", nullptr, nullptr,
                      {{"type", Py_None},
                       {"read_basic_info", ops[0].get()},
                       {"__init__", ops[1].get()},
                       {"find_indextype", ops[2].get()},
                       {"find_indextypes", ops[3].get()},
                       {"read", ops[4].get()},
                       {"read_offset", ops[5].get()}});
}

}  // namespace karvo::host
