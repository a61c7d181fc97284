// karvo._native.File: one open spectral data file, its structure checked,
// read by position from any thread.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace karvo::native {

extern PyType_Spec File_spec;

// open(path): opens and checks a spectral data file by content; a new File.
PyObject* open_file(PyObject* module, PyObject* path);

// open_many(paths): open(path) of each path of a list; a single spectrum as
// (title, first_x, last_x, values), a series as its File, a failure as its exception.
PyObject* open_many(PyObject* module, PyObject* paths);

// open_fetching(fetch, size, name): a File over an object held elsewhere,
// whose bytes fetch(starts, ends) -> [bytes-like, ...] returns.
PyObject* open_fetching(PyObject* module, PyObject* args);

// np.linspace(first, last, n)[:count] as a bytearray of float64.
PyObject* linspace_bytes(double first, double last, uint64_t n, uint64_t count);

}  // namespace karvo::native
