// The module namespace and the library's own originals. Every name that an
// operation uses is looked up in the namespace at the moment of use; the
// originals let fast paths check, by identity, that nobody replaced a name.
#pragma once
#include "host/pyref.hpp"

namespace karvo::host {

// Interned string for a literal, made on first use; a failure (no memory)
// is not remembered, so the next use tries again.
#define KARVO_STR(lit)                                                  \
    ([]() -> PyObject* {                                                \
        static PyObject* s_ = nullptr;                                  \
        if (!s_) s_ = PyUnicode_InternFromString(lit);                  \
        return s_;                                                      \
    }())

// The module's namespace (set once at initialization).
PyObject* ns();
void set_ns(PyObject* dict);

// Value bound under `name` now; NameError when absent. The handle owns its
// reference: Python code that runs meanwhile may rebind the name.
PyRef lookup(PyObject* name);
PyRef lookup(const char* name);
// As lookup, but null without an error when the name is absent.
PyRef peek(PyObject* name);

// What initialization bound, kept to recognise the library's own objects.
struct Originals {
    PyObject* read_string = nullptr;
    PyObject* decode_string = nullptr;
    PyObject* array_type = nullptr;       // the host's array.array
    PyObject* struct_error = nullptr;     // the host's struct.error
    PyObject* open = nullptr;             // the host's io.open
    PyObject* element_types = nullptr;    // {4: "f", 8: "d"}
};
Originals& originals();

// struct.error for a short read of an n-byte block, in the host's wording.
void raise_short_read(Py_ssize_t n);
void raise_struct_error(const char* message);

// Calls obj.name(args...) through the host's method lookup.
PyObject* call_method(PyObject* obj, PyObject* name, PyObject* arg1 = nullptr, PyObject* arg2 = nullptr);

// getattr with an interned name.
inline PyRef attr(PyObject* obj, PyObject* name) { return PyRef::steal(PyObject_GetAttr(obj, name)); }

}  // namespace karvo::host
