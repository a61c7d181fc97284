#include "host/namespace.hpp"

namespace karvo::host {
namespace {
PyObject* g_ns = nullptr;
Originals g_originals;
}  // namespace

PyObject* ns() { return g_ns; }
void set_ns(PyObject* dict) {
    Py_XINCREF(dict);
    g_ns = dict;
}

Originals& originals() { return g_originals; }

PyObject* lookup(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(g_ns, name);
    if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

// The error class of the module bound as `struct` now.
static PyRef struct_error_class() {
    PyObject* mod = PyDict_GetItemWithError(g_ns, KARVO_STR("struct"));
    PyRef bound = mod ? PyRef::steal(PyObject_GetAttr(mod, KARVO_STR("error"))) : PyRef();
    PyErr_Clear();
    if (bound && PyExceptionClass_Check(bound.get())) return bound;
    return PyRef::borrow(g_originals.struct_error);
}

void raise_short_read(Py_ssize_t n) {
    PyRef err = struct_error_class();
    PyErr_Format(err.get(), "unpack requires a buffer of %zd bytes", n);
}

void raise_struct_error(const char* message) {
    PyRef err = struct_error_class();
    PyErr_SetString(err.get(), message);
}

PyObject* call_method(PyObject* obj, PyObject* name, PyObject* arg1, PyObject* arg2) {
    PyObject* args[3] = {obj, arg1, arg2};
    size_t n = arg2 ? 3 : arg1 ? 2 : 1;
    return PyObject_VectorcallMethod(name, args, n, nullptr);
}

}  // namespace karvo::host
