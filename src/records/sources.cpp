#include "records/sources.hpp"

#include "host/namespace.hpp"

#include <cstring>

namespace karvo::host {

PyFileSource::~PyFileSource() { drop_last(); }

void PyFileSource::drop_last() {
    if (has_view_) PyBuffer_Release(&view_);
    has_view_ = false;
    last_.reset();
}

const uint8_t* PyFileSource::read_block(size_t n) {
    drop_last();
    PyRef count = PyRef::steal(PyLong_FromSize_t(n));
    if (!count) return nullptr;
    last_ = PyRef::steal(call_method(f_, KARVO_STR("read"), count.get()));
    if (!last_) return nullptr;
    const uint8_t* data;
    Py_ssize_t len;
    if (PyBytes_Check(last_.get())) {
        data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(last_.get()));
        len = PyBytes_GET_SIZE(last_.get());
    } else {
        if (PyObject_GetBuffer(last_.get(), &view_, PyBUF_SIMPLE) < 0) return nullptr;
        has_view_ = true;
        data = static_cast<const uint8_t*>(view_.buf);
        len = view_.len;
    }
    if (size_t(len) != n) {
        raise_short_read(Py_ssize_t(n));
        return nullptr;
    }
    // A zero-length block still needs a valid pointer.
    static const uint8_t empty = 0;
    return n ? data : &empty;
}

// A host file object ("rb") over a descriptor that the native file keeps
// owning (closefd=False), named `name` when one is given: the file is
// opened once, and stays one open file whichever way it is read.
static PyObject* host_file_over(int fd, PyObject* name) {
    PyRef fd_obj = PyRef::steal(PyLong_FromLong(fd));
    PyRef kw = PyRef::steal(Py_BuildValue("(s)", "closefd"));
    if (!fd_obj || !kw) return nullptr;
    PyObject* args[] = {fd_obj.get(), KARVO_STR("rb"), Py_False};
    PyRef f = PyRef::steal(PyObject_Vectorcall(originals().open, args, 2, kw.get()));
    if (!f || !name) return f.release();
    // As if opened by name: its name is the one the caller gave.
    PyRef raw = attr(f.get(), KARVO_STR("raw"));
    if (!raw || PyObject_SetAttr(raw.get(), KARVO_STR("name"), name) < 0) {
        ErrorGuard keep;
        PyRef r = PyRef::steal(call_method(f.get(), KARVO_STR("close")));
        return nullptr;
    }
    return f.release();
}

// A file opened natively. Foreign code gets a host file object over the same
// descriptor (made once, on demand); the native reads never move the
// descriptor's offset, so both views stay consistent.
class OpenedFile::NativeSource final : public Source {
public:
    NativeSource(io::NativeFile& file, PyRef& wrapper, PyObject* filename)
        : file_(file), wrapper_(wrapper), filename_(filename) {}

    const uint8_t* read_block(size_t n) override {
        const uint8_t* p = nullptr;
        switch (file_.read(n, &p)) {
            case io::ReadResult::Ok:
                return n ? p : reinterpret_cast<const uint8_t*>("");
            case io::ReadResult::Short:
                raise_short_read(Py_ssize_t(n));
                return nullptr;
            case io::ReadResult::Error:
                errno = file_.error();
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename_);
                return nullptr;
        }
        return nullptr;
    }

    PyObject* file_object() override {
        if (!wrapper_) {
            wrapper_ = PyRef::steal(host_file_over(file_.fd(), nullptr));
            if (!wrapper_) return nullptr;
        }
        PyRef pos = PyRef::steal(PyLong_FromUnsignedLongLong(file_.position()));
        if (!pos) return nullptr;
        PyRef r = PyRef::steal(call_method(wrapper_.get(), KARVO_STR("seek"), pos.get()));
        return r ? wrapper_.get() : nullptr;
    }

    bool resync() override {
        if (!wrapper_) return true;
        PyRef pos = PyRef::steal(call_method(wrapper_.get(), KARVO_STR("tell")));
        if (!pos) return false;
        unsigned long long p = PyLong_AsUnsignedLongLong(pos.get());
        if (p == (unsigned long long)-1 && PyErr_Occurred()) return false;
        file_.seek(p);
        return true;
    }

    io::NativeFile* native() override { return &file_; }

private:
    io::NativeFile& file_;
    PyRef& wrapper_;
    PyObject* filename_;  // borrowed from the OpenedFile
};

OpenedFile::OpenedFile() = default;

OpenedFile::~OpenedFile() {
    if (source_ || host_) {
        ErrorGuard keep;
        close();
    }
}

// The bytes of a path as the host's open would pass them to the system.
static bool path_bytes(PyObject* filename, PyRef& holder, const char** path) {
    if (PyUnicode_Check(filename) && PyUnicode_IS_ASCII(filename)) {
        Py_ssize_t len;
        const char* s = PyUnicode_AsUTF8AndSize(filename, &len);
        if (!s) return false;
        if (std::strlen(s) != size_t(len)) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            return false;
        }
        *path = s;
        return true;
    }
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(filename, &converted)) return false;
    holder = PyRef::steal(converted);
    *path = PyBytes_AS_STRING(converted);
    return true;
}

bool OpenedFile::open(PyObject* filename, bool native, bool stream) {
    filename_ = PyRef::borrow(filename);
    // Names the host would take as a path are opened natively; anything else
    // (a descriptor number, an object of a caller's) goes to the host's open.
    if (native && (PyUnicode_Check(filename) || PyBytes_Check(filename) ||
                   PyObject_HasAttr(filename, KARVO_STR("__fspath__")))) {
        PyRef holder;
        const char* path;
        if (!path_bytes(filename, holder, &path)) return false;
        int err = native_.open(path, stream);
        if (err) {
            errno = err;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
            return false;
        }
        if (native_.is_regular()) {
            source_ = std::make_unique<NativeSource>(native_, host_, filename_.get());
            return true;
        }
        // Pipes and devices are read through a host file object, made over
        // the descriptor already open: a name is never opened twice (a FIFO
        // has one writer to meet; the path may change in between).
        host_ = PyRef::steal(host_file_over(native_.fd(), filename));
        if (!host_) {
            native_.close();
            return false;
        }
    } else {
        PyObject* args[] = {filename, KARVO_STR("rb")};
        host_ = PyRef::steal(PyObject_Vectorcall(originals().open, args, 2, nullptr));
        if (!host_) return false;
    }
    source_ = std::make_unique<PyFileSource>(host_.get());
    return true;
}

bool OpenedFile::seek(PyObject* offset) {
    io::NativeFile* nf = source_->native();
    if (nf && PyLong_CheckExact(offset)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(offset, &overflow);
        if (!overflow && v >= 0) {
            nf->seek(uint64_t(v));
            return true;
        }
        PyErr_Clear();
    }
    // Let the host's seek judge (and word the error for) anything else.
    PyRef f = PyRef::borrow(source_->file_object());
    if (!f) return false;
    PyRef r = PyRef::steal(call_method(f.get(), KARVO_STR("seek"), offset));
    return r && source_->resync();
}

int OpenedFile::traverse(visitproc visit, void* arg) {
    Py_VISIT(filename_.get());
    Py_VISIT(host_.get());
    return 0;
}

bool OpenedFile::close() {
    source_.reset();
    bool ok = true;
    if (host_) {
        PyRef f = std::move(host_);
        PyRef r = PyRef::steal(call_method(f.get(), KARVO_STR("close")));
        ok = bool(r);
    }
    native_.close();
    return ok;
}

}  // namespace karvo::host
