// Where records read their bytes from. A record is read from a Source: the
// caller's own file object (one read(n) call per fixed block), or a file that
// an operation of the library opened itself, read natively. Code that is not
// ours (a class or function a caller bound in the namespace) always gets a
// real host file object, standing where the record starts.
#pragma once
#include "io/native_file.hpp"
#include "host/pyref.hpp"

#include <cstdint>
#include <memory>

namespace karvo::host {

class Source {
public:
    virtual ~Source() = default;
    // One read request of exactly n bytes; the pointer is valid until the
    // next read. Null with struct.error set on a short read, or with the
    // read's own error.
    virtual const uint8_t* read_block(size_t n) = 0;
    // The host file object of this stream at the stream's position (borrowed).
    virtual PyObject* file_object() = 0;
    // Takes up the position where code reading file_object() left it.
    virtual bool resync() = 0;
    // The natively read file, when there is one.
    virtual io::NativeFile* native() { return nullptr; }
};

// A caller's binary file object: read(n) returns bytes-like objects.
class PyFileSource final : public Source {
public:
    explicit PyFileSource(PyObject* f) : f_(f) {}
    ~PyFileSource() override;
    const uint8_t* read_block(size_t n) override;
    PyObject* file_object() override { return f_; }
    bool resync() override { return true; }

private:
    void drop_last();
    PyObject* f_;  // borrowed: the caller keeps it alive
    PyRef last_;
    Py_buffer view_{};
    bool has_view_ = false;
};

// A file that an operation opened by name, as the host's open(name, "rb")
// would, and closes on every way out.
class OpenedFile {
public:
    OpenedFile();
    ~OpenedFile();
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;

    // With `native` false, the file is always the host's own file object
    // (for code of a caller's that will read it).
    // `stream`: the file will be read on by a stream, so its kind is checked
    // at once (pipes and devices go to the host's file object).
    bool open(PyObject* filename, bool native = true, bool stream = false);
    // Moves to an absolute offset; the host's own seek errors for bad ones.
    bool seek(PyObject* offset);
    Source& source() { return *source_; }
    // Closes the file; false with the error when closing failed.
    bool close();
    // Visits the Python objects that the open file holds (its name, which may
    // be a caller's path object, and the host file object), for the cycle
    // collector of whoever holds this file.
    int traverse(visitproc visit, void* arg);

private:
    class NativeSource;
    io::NativeFile native_;
    PyRef filename_;
    PyRef host_;  // the host file object: for reading when the file is not
                  // read natively, else made on demand over the same descriptor
    std::unique_ptr<Source> source_;
};

}  // namespace karvo::host
