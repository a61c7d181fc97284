// Series: the stream of a series file (a description item, then one item per
// spectrum), and open_file, the entry point for series files.
#pragma once
#include "host/pyref.hpp"

namespace karvo::host {

PyObject* create_series_class();
extern PyMethodDef open_file_def;

}  // namespace karvo::host
