// Zarr references of a series, made natively: the chunk references (one
// [url, offset, length] list per chunk of spectra) and the JSON text of a
// reference dict. A series may hold millions of spectra; made one by one in
// Python, these cost far more than reading the file's headers.
#pragma once
#include <Python.h>

namespace karvo::native {

// chunk_refs(name, url, first, stride, values_size, held, run, file_size)
// -> dict; METH_VARARGS. {"name/k.0": [url, first + k * run * stride,
// run * values_size]} for each of the held // run chunks; ValueError when a
// chunk would end beyond file_size or the runs don't tile the series.
PyObject* chunk_refs(PyObject* module, PyObject* args);

// refs_json(refs) -> bytes; METH_O. The text json.dumps(refs) gives for a
// dict of str keys whose values are str or lists of str and int; TypeError
// for anything else.
PyObject* refs_json(PyObject* module, PyObject* refs);

}  // namespace karvo::native
