// Owning reference to a Python object: the one place where reference counts
// are adjusted, so readers never count references by hand.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace karvo::host {

class PyRef {
public:
    PyRef() = default;
    PyRef(const PyRef& o) : p_(o.p_) { Py_XINCREF(p_); }
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    // Takes over a new reference (may be null, as returned by a failing call).
    static PyRef steal(PyObject* p) { return PyRef(p); }
    // Adds a reference to a borrowed one.
    static PyRef borrow(PyObject* p) {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyObject* get() const { return p_; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() { return std::exchange(p_, nullptr); }
    void reset() { Py_CLEAR(p_); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit PyRef(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Keeps the current exception aside while cleanup code runs, then restores
// it. An error raised by the cleanup itself cannot propagate from there and
// is reported as unraisable, as the host does for errors in finalizers.
class ErrorGuard {
public:
    ErrorGuard() { PyErr_Fetch(&type_, &value_, &tb_); }
    ~ErrorGuard() {
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
        if (type_) PyErr_Restore(type_, value_, tb_);
    }
    ErrorGuard(const ErrorGuard&) = delete;
    ErrorGuard& operator=(const ErrorGuard&) = delete;

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

}  // namespace karvo::host
