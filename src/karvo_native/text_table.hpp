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

// number_cells(values) -> list of str; METH_O. The text of each value of a
// 1-D float32 or float64 array, as the rows above write it.
PyObject* number_cells(PyObject* module, PyObject* values);

}  // namespace karvo::native
