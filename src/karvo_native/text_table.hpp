// Rows of a CSV/TSV table of spectra, formatted natively: the x value of a
// point, then the value of every spectrum at that point.
#pragma once
#include <Python.h>

namespace karvo::native {

// text_rows(x, values, delimiter) -> bytes; METH_VARARGS.
PyObject* text_rows(PyObject* module, PyObject* args);

// long_rows(x, values, heads, tails, delimiter) -> bytes; METH_VARARGS.
// A row per value: heads[s], x[j], the value, tails[s].
PyObject* long_rows(PyObject* module, PyObject* args);

}  // namespace karvo::native
