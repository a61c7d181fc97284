// Records as Python values, from the same flat layouts that the bulk reader
// decodes: a dict of fields by record name, or a numpy dtype description.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "records/flat_layout.hpp"

#include <cstdint>
#include <vector>

namespace karvo::native {

// A record's fields by their names, nested records as dicts of their own;
// None when `raw` is shorter than the record (it was not in the file).
PyObject* record_dict(const format::FlatLayout& layout, const std::vector<uint8_t>& raw);

// A list of such dicts for the records held back to back in `raw`.
PyObject* record_dicts(const format::FlatLayout& layout, const std::vector<uint8_t>& raw);

// {"names", "formats", "offsets", "itemsize"} for np.dtype(): the record's
// numbers as little-endian numbers, its string fields as bytes.
PyObject* dtype_description(const format::FlatLayout& layout);

}  // namespace karvo::native
