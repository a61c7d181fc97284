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

PyRef lookup(PyObject* name) {
    if (!name) return PyRef();  // the name could not be made
    PyRef v = PyRef::borrow(PyDict_GetItemWithError(g_ns, name));
    if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

PyRef lookup(const char* name) {
    PyRef key = PyRef::steal(PyUnicode_InternFromString(name));
    return key ? lookup(key.get()) : PyRef();
}

PyRef peek(PyObject* name) {
    PyRef v = PyRef::borrow(name ? PyDict_GetItemWithError(g_ns, name) : nullptr);
    if (!v) PyErr_Clear();
    return v;
}

// The error class of the module bound as `struct` now.
static PyRef struct_error_class() {
    PyRef mod = peek(KARVO_STR("struct"));
    PyRef bound = mod ? PyRef::steal(PyObject_GetAttr(mod.get(), KARVO_STR("error"))) : PyRef();
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
